# The packages' time, one rule for the configure step and for cpack: source_date_epoch, in seconds
# since 1970, is SOURCE_DATE_EPOCH where it is set; else, in cpack, build_time, the build's; else
# the last commit's time in source_dir's own repository; else that of NEWS.md's heading for
# version. Anything but 0 to 4294967295 (a .rpm holds a file's time in 32 bits) stops it, saying so.
set(source_date_epoch "$ENV{SOURCE_DATE_EPOCH}")  # empty is unset: 0 is a time
if(source_date_epoch STREQUAL "")
    set(source_date_epoch "${build_time}")
endif()
file(REAL_PATH "${source_dir}" source_dir)
if(source_date_epoch STREQUAL "")
    # The repository whose top level is this tree, trusted by that path alone whoever owns it, as
    # the build runs its code anyway; and no signature checked, which would run a program.
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
