# Cross build for s390x: 64-bit, big-endian, 400-byte records, under qemu.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(cross_triplet s390x-linux-gnu)
set(cross_emulator qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
