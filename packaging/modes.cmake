# Run by cpack before it makes each package and after, for a package the same whatever the umask:
# the install prefix, which cpack makes itself in its components' directory, 0755, as the install
# makes the rest (none is left after); then each member of the .deb (debian-binary, the two
# tarballs), which cpack gives its file's mode: 100644, as dpkg-deb does.
file(GLOB prefix "${CPACK_TEMPORARY_DIRECTORY}/*${CPACK_PACKAGING_INSTALL_PREFIX}")
foreach(path IN LISTS prefix)
    file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
         WORLD_READ WORLD_EXECUTE)
endforeach()
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    if(package MATCHES "\\.deb$")
        file(SIZE "${package}" size)
        set(at 8)  # past "!<arch>\n"; a member: a 60-byte header, its bytes, padding to even
        while(at LESS size)
            file(READ "${package}" header OFFSET ${at} LIMIT 60)
            string(SUBSTRING "${header}" 48 10 member_size)
            math(EXPR mode_at "${at} + 40")
            execute_process(COMMAND sh -c "printf '100644  ' | dd of=\"$0\" bs=1 seek=$1 conv=notrunc status=none"
                                    "${package}" ${mode_at} COMMAND_ERROR_IS_FATAL ANY)
            math(EXPR at "${at} + 60 + ${member_size} + ${member_size} % 2")
        endwhile()
    endif()
endforeach()
