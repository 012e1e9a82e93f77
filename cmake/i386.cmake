# 32-bit PCs (i386): long and pointers are 32 bits; char is signed.
set(CROSS_ARCH i386)
set(CROSS_TRIPLE i686-linux-gnu)
set(CROSS_MULTIARCH i386-linux-gnu)
set(CROSS_QEMU i386)
# The cross toolchain's C library (libc6-i386-cross) hangs in fork under
# qemu-i386; Debian's own i386 C library does not.
set(CROSS_QEMU_FROM_DEPS ON)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
