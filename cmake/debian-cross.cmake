# Cross-builds with Debian's cross compiler for the machine that the
# including file names (CROSS_ARCH, CROSS_TRIPLE). The libraries are that
# machine's Debian packages unpacked into $VALEDICT_CROSS_DEPS, as
# scripts/cross-test does; nothing is installed on the build machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)
# Debian's folder for the machine's libraries; for i386 not the compiler's triple.
if(NOT CROSS_MULTIARCH)
  set(CROSS_MULTIARCH ${CROSS_TRIPLE})
endif()
set(CMAKE_LIBRARY_ARCHITECTURE ${CROSS_MULTIARCH})

if(DEFINED ENV{VALEDICT_CROSS_DEPS})
  set(cross_deps $ENV{VALEDICT_CROSS_DEPS})
else()
  get_filename_component(cross_deps ${CMAKE_CURRENT_LIST_DIR}/../build-cross/deps-${CROSS_ARCH} ABSOLUTE)
endif()
set(CMAKE_FIND_ROOT_PATH ${cross_deps})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Multiarch headers (zconf.h) lie in a folder of the machine's own.
foreach(lang C CXX)
  set(CMAKE_${lang}_STANDARD_INCLUDE_DIRECTORIES
    ${cross_deps}/usr/include/${CROSS_MULTIARCH} ${cross_deps}/usr/include)
endforeach()
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${cross_deps}/usr/lib/${CROSS_MULTIARCH}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${cross_deps}/usr/lib/${CROSS_MULTIARCH}")
set(ENV{PKG_CONFIG_LIBDIR} ${cross_deps}/usr/lib/${CROSS_MULTIARCH}/pkgconfig:${cross_deps}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${cross_deps})
# Test programs run under qemu-user; what they start runs there through
# binfmt_misc, with QEMU_LD_PREFIX set to the same folder. Where the cross
# toolchain's own C library fails under qemu (i386's hangs in fork), the
# machine's Debian C library in the unpacked packages is used instead.
if(CROSS_QEMU_FROM_DEPS)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CROSS_QEMU}-static -L ${cross_deps})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CROSS_QEMU}-static -L /usr/${CROSS_TRIPLE})
endif()
# The package names the machine it is for.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CROSS_ARCH})
