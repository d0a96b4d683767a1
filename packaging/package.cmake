# What an installation holds and how the packages are made: the program, its
# manual page and bash completion (component program, in every package), the
# licence and release notes as they stand (component docs: plain installs and
# the .rpm), and Debian's copyright file, changelog and lintian override
# (component debian: the .deb only).
#
# Dates come from SOURCE_DATE_EPOCH, else from the last commit, else from
# this release's heading in NEWS.md, so that two builds of one commit give
# the same bytes.
set(LOGIN_HISTORY_MAINTAINER "login-history developers <login-history@example.org>")
set(LOGIN_HISTORY_HOMEPAGE "https://example.org/login-history")

if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(source_date_epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
    find_package(Git QUIET)
    if(GIT_FOUND)
        execute_process(COMMAND "${GIT_EXECUTABLE}" log -1 --format=%ct
                        WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}" OUTPUT_VARIABLE source_date_epoch
                        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
    if(NOT source_date_epoch MATCHES "^[0-9]+$")
        file(STRINGS NEWS.md heading REGEX "^## ${PROJECT_VERSION} \\(")
        string(REGEX REPLACE "^## [^(]*\\(([^)]*) UTC\\).*" "\\1 UTC" release_time "${heading}")
        execute_process(COMMAND date -u -d "${release_time}" +%s
                        OUTPUT_VARIABLE source_date_epoch OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
endif()
set(ENV{SOURCE_DATE_EPOCH} "${source_date_epoch}")  # string(TIMESTAMP) reads it
string(TIMESTAMP MAN_DATE "%Y-%m-%d" UTC)

# The manual page names the version. It and Debian's changelog (the release
# notes in Debian's format) are installed compressed, as both families'
# policies ask, without names or times in the gzip headers.
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

include(GNUInstallDirs)
install(TARGETS login-history RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
install(FILES ${PROJECT_BINARY_DIR}/login-history.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
install(FILES completion/login-history.bash
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
        RENAME login-history COMPONENT program)
install(FILES LICENSE NEWS.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT docs)
install(FILES packaging/copyright ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES packaging/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME login-history COMPONENT debian EXCLUDE_FROM_ALL)

# cpack -G DEB and cpack -G RPM in the build directory make the packages.
# Before publishing them, set the maintainer and the homepage above, which
# are placeholders. Their summary and description are the manual page's.
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
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

# The RPM family's names and places: name-version-release.arch.rpm, the
# licence marked as such, no relocation prefix, and none of the base
# system's directories claimed.
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
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i.86|x86)$")
    set(CPACK_RPM_PACKAGE_ARCHITECTURE i686)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(arm64|aarch64)$")
    set(CPACK_RPM_PACKAGE_ARCHITECTURE aarch64)
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
    set(CPACK_RPM_PACKAGE_ARCHITECTURE armv7hl)
else()
    set(CPACK_RPM_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})  # x86_64, s390x, ppc64le
endif()
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /usr/share/man /usr/share/man/man1 /usr/share/bash-completion
    /usr/share/bash-completion/completions)
set(CPACK_RPM_USER_FILELIST "%license /usr/share/doc/login-history/LICENSE"
                            "%doc /usr/share/doc/login-history/NEWS.md")
# rpm's own macros for reproducible packages: a fixed build host, and the
# build time and every file's time from SOURCE_DATE_EPOCH.
string(CONCAT CPACK_RPM_SPEC_MORE_DEFINE
    "%define packager ${LOGIN_HISTORY_MAINTAINER}\n"
    "%define _buildhost reproducible\n"
    "%define _build_id_links none\n"
    "%define use_source_date_epoch_as_buildtime 1\n"
    "%define clamp_mtime_to_source_date_epoch 1")

# cpack loads this file for each generator: it sets SOURCE_DATE_EPOCH where
# the caller has not, and chooses the generator's components.
configure_file(packaging/cpack_config.cmake.in cpack_config.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_BINARY_DIR}/cpack_config.cmake")
include(CPack)
