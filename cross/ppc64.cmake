# Cross build for ppc64: 64-bit, big-endian, 384-byte records, under qemu.
set(CMAKE_SYSTEM_PROCESSOR ppc64)
set(cross_triplet powerpc64-linux-gnu)
set(cross_emulator qemu-ppc64)
include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
