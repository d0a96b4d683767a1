# What an installation holds and how the packages are made. Components: program (the binary,
# manual page and completion: every package), docs (LICENSE, NEWS.md: installs and the .rpm),
# debian (copyright, changelog, lintian override: the .deb). Their time: packaging/source_date.cmake.
set(LOGIN_HISTORY_MAINTAINER "login-history developers <login-history@example.org>")
set(LOGIN_HISTORY_HOMEPAGE "https://example.org/login-history")

set(source_dir ${PROJECT_SOURCE_DIR})
set(version ${PROJECT_VERSION})
include(packaging/source_date.cmake)
set(ENV{SOURCE_DATE_EPOCH} "${source_date_epoch}")  # string(TIMESTAMP) reads it
string(TIMESTAMP MAN_DATE "%Y-%m-%d" UTC)

# The manual page and Debian's changelog (NEWS.md in Debian's format), compressed with no names or
# times, as both families' policies ask.
configure_file(doc/login-history.1.in login-history.1 @ONLY)
add_custom_command(OUTPUT login-history.1.gz
                   COMMAND sh -c "gzip -9n < login-history.1 > login-history.1.gz"
                   DEPENDS ${PROJECT_BINARY_DIR}/login-history.1 VERBATIM)
add_custom_command(OUTPUT changelog.gz
                   COMMAND sh -c "awk -v maintainer=\"$1\" -f \"$2\" \"$3\" | gzip -9n > changelog.gz"
                           sh ${LOGIN_HISTORY_MAINTAINER}
                           ${PROJECT_SOURCE_DIR}/packaging/news_to_changelog.awk
                           ${PROJECT_SOURCE_DIR}/NEWS.md
                   DEPENDS NEWS.md packaging/news_to_changelog.awk VERBATIM)
add_custom_target(compressed_docs ALL DEPENDS login-history.1.gz changelog.gz)

# Debian's copyright file, the licence's text taken from LICENSE.
file(READ LICENSE licence)
string(REGEX REPLACE "^.*\n\n(Permission.*[^\n])\n*$" "\\1" licence "${licence}")
string(REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REPLACE "\n" "\n " licence " ${licence}")
configure_file(packaging/copyright.in copyright @ONLY)

include(GNUInstallDirs)
# Directories 0755 under any umask, and those that exist left as they are: an install notes which
# of its destinations (each here; the install test finds one left out) it lacks, then sets them.
set(install_dirs ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_MANDIR}/man1 ${CMAKE_INSTALL_DOCDIR}
    ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides)
install(CODE "set(install_dirs \"${install_dirs}\")" ALL_COMPONENTS)
install(CODE [[set(made_dirs)
    foreach(dir IN LISTS install_dirs)
        get_filename_component(path "${CMAKE_INSTALL_PREFIX}/${dir}" ABSOLUTE)  # as cmake does
        get_filename_component(path "$ENV{DESTDIR}${path}" ABSOLUTE)
        while(NOT EXISTS "${path}")
            list(APPEND made_dirs "${path}")
            get_filename_component(path "${path}" DIRECTORY)
        endwhile()
    endforeach()]] ALL_COMPONENTS)
install(TARGETS login-history RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
install(FILES ${PROJECT_BINARY_DIR}/login-history.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
install(FILES completion/login-history.bash
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
        RENAME login-history COMPONENT program)
install(FILES LICENSE NEWS.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT docs)
install(FILES ${PROJECT_BINARY_DIR}/copyright ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME login-history COMPONENT debian EXCLUDE_FROM_ALL)
install(CODE [[file(GLOB made_dirs LIST_DIRECTORIES true ${made_dirs})  # those made at last
    if(made_dirs)
        file(CHMOD ${made_dirs} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
             GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()]] ALL_COMPONENTS)

# cpack -G 'DEB;RPM' in the build directory makes the packages.
foreach(part summary description)
    execute_process(COMMAND awk -v part=${part} -f packaging/man_text.awk doc/login-history.1.in
                    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE man_${part}
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
endforeach()
set(CPACK_PACKAGE_NAME login-history)
set(CPACK_PACKAGE_VENDOR "login-history developers")
set(CPACK_PACKAGE_HOMEPAGE_URL "${LOGIN_HISTORY_HOMEPAGE}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_RPM_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)

set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${man_summary}\n${man_description}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${LOGIN_HISTORY_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)  # which loads the completion
# A build that reads the 32-bit time unsigned, as glibc 2.40 and later declare it, needs such a glibc.
include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_INCLUDES ${PROJECT_SOURCE_DIR}/src)
check_cxx_source_compiles("#include \"login_record.h\"
    static_assert(!LOGIN_RECORD_FORM.time_signed); int main() {}" LOGIN_HISTORY_TIME_UNSIGNED)
if(LOGIN_HISTORY_TIME_UNSIGNED)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.40)")
    set(CPACK_RPM_PACKAGE_REQUIRES "glibc >= 2.40")
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

# The RPM family's names and places: the licence marked, no relocation, no system directory claimed.
string(SUBSTRING "${man_summary}" 0 1 first)
string(SUBSTRING "${man_summary}" 1 -1 rest)
string(TOUPPER "${first}" first)
set(CPACK_RPM_PACKAGE_SUMMARY "${first}${rest}")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${man_description}")
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_PACKAGE_RELOCATABLE OFF)
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1
    /usr/share/bash-completion /usr/share/bash-completion/completions)
set(CPACK_RPM_USER_FILELIST "%license /usr/share/doc/login-history/LICENSE"
                            "%doc /usr/share/doc/login-history/NEWS.md")
# rpm's macros for reproducible packages: a fixed build host; SOURCE_DATE_EPOCH for the build time
# and, after rpm's own steps, each file's, 0 included, which rpm's clamp passes over. Suggests, which
# CPack 3.25 drops from CPACK_RPM_PACKAGE_SUGGESTS, as its probe of rpm 4.18 fails.
string(CONCAT CPACK_RPM_SPEC_MORE_DEFINE
    "Suggests: bash-completion\n"
    "%define packager ${LOGIN_HISTORY_MAINTAINER}\n"
    "%define _buildhost reproducible\n"
    "%define _build_id_links none\n"
    "%define use_source_date_epoch_as_buildtime 1\n"
    "%global __os_install_post %{__os_install_post} find $RPM_BUILD_ROOT -exec touch -h -d @$SOURCE_DATE_EPOCH {} +")

set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/packaging/modes.cmake")
set(CPACK_POST_BUILD_SCRIPTS ${CPACK_PRE_BUILD_SCRIPTS})
configure_file(packaging/cpack_config.cmake.in cpack_config.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_BINARY_DIR}/cpack_config.cmake")
include(CPack)
