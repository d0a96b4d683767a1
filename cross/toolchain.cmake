# The cross builds' toolchain: -Dcross_triplet=TRIPLET takes Debian's cross compilers and only the
# target's libraries and headers; -Dcross_emulator=QEMU runs the tests under that qemu, with the
# target's libraries from -Dcross_root=DIR (default /usr/TRIPLET).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${cross_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${cross_triplet}-g++)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES cross_triplet cross_emulator cross_root)
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${cross_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(NOT cross_root)
    set(cross_root /usr/${cross_triplet})
endif()
if(cross_emulator)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${cross_emulator} -L ${cross_root})
endif()
