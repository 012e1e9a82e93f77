# 64-bit ARM (arm64): a 64-bit Raspberry Pi; little-endian, char unsigned.
set(CROSS_ARCH arm64)
set(CROSS_TRIPLE aarch64-linux-gnu)
set(CROSS_QEMU aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
