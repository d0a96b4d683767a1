# The packages' time, source_date_epoch, for the configure step and cpack: SOURCE_DATE_EPOCH where
# set; else, in cpack, build_time; else the last commit's in source_dir's own repository; else
# NEWS.md's heading's for version. Only 0 to 4294967295 passes: a .rpm's file times have 32 bits.
set(source_date_epoch "$ENV{SOURCE_DATE_EPOCH}")  # empty is unset: 0 is a time
if(source_date_epoch STREQUAL "")
    set(source_date_epoch "${build_time}")
endif()
file(REAL_PATH "${source_dir}" source_dir)
if(source_date_epoch STREQUAL "")
    # This tree's own repository, trusted by its path alone (the build runs its code anyway), with
    # no signature checked, which would run a program.
    set(git git -c safe.directory=${source_dir} -C ${source_dir})
    execute_process(COMMAND ${git} rev-parse --show-toplevel OUTPUT_VARIABLE top ERROR_QUIET
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(top STREQUAL source_dir)
        execute_process(COMMAND ${git} log -1 --no-show-signature --format=%ct ERROR_QUIET
                        OUTPUT_VARIABLE source_date_epoch OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
endif()
if(source_date_epoch STREQUAL "")
    file(STRINGS "${source_dir}/NEWS.md" heading REGEX "^## ${version} \\(")
    string(REGEX REPLACE "^## [^(]*\\(([^)]*) UTC\\).*" "\\1 UTC" release_time "${heading}")
    execute_process(COMMAND sh -c "[ -n \"$1\" ] && date -u -d \"$1\" +%s" sh "${release_time}"
                    OUTPUT_VARIABLE source_date_epoch OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(NOT source_date_epoch MATCHES "^[0-9]+$" OR source_date_epoch GREATER 4294967295)
    message(FATAL_ERROR "The packages' time, \"${source_date_epoch}\", is not 0 to 4294967295: "
                        "set SOURCE_DATE_EPOCH to one, or give NEWS.md ${version}'s heading")
endif()
