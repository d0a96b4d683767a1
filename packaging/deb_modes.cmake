# Run by cpack after it makes the packages: cpack gives the .deb's members
# (debian-binary and the two tarballs) the mode that the builder's umask gave
# their files, so each member's mode field is set to 100644, as dpkg-deb
# writes it, and the package is the same bytes whatever the umask.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    if(NOT package MATCHES "\\.deb$")
        continue()
    endif()
    file(SIZE "${package}" size)
    set(at 8)  # past "!<arch>\n"; each member: a 60-byte header, its bytes, padding to even
    while(at LESS size)
        file(READ "${package}" header OFFSET ${at} LIMIT 60)
        string(SUBSTRING "${header}" 48 10 member_size)
        string(STRIP "${member_size}" member_size)
        math(EXPR mode_at "${at} + 40")
        execute_process(COMMAND sh -c "printf '100644  ' | dd of=\"$0\" bs=1 seek=$1 conv=notrunc status=none"
                                "${package}" ${mode_at} COMMAND_ERROR_IS_FATAL ANY)
        math(EXPR at "${at} + 60 + ${member_size} + ${member_size} % 2")
    endwhile()
endforeach()
