# Cross build for i386. No emulator: an amd64 host runs i386 binaries
# itself, with Debian's libc6-i386 and lib32stdc++6.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(cross_triplet i686-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
