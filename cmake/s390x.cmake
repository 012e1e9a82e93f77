# IBM Z (s390x): 64-bit and big-endian, the big-endian machine Debian main still has.
set(CROSS_ARCH s390x)
set(CROSS_TRIPLE s390x-linux-gnu)
set(CROSS_QEMU s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
