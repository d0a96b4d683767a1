# Run by cpack once the packages are made. cpack gives each member of the
# .deb (debian-binary, the two tarballs) the mode of its file, which the
# umask set: 100644, as dpkg-deb writes, makes it the same whatever the umask.
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
