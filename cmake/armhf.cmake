# 32-bit ARM (armhf), as on Raspberry Pi OS: long and pointers are 32 bits; char is unsigned.
set(CROSS_ARCH armhf)
set(CROSS_TRIPLE arm-linux-gnueabihf)
set(CROSS_QEMU arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
