# 32-bit big-endian PowerPC, the device's own processor and word size, run
# under qemu-ppc. zlib, libmd and libdeflate are built from Debian's
# sources into build/sysroot/ppc by scripts/setup.sh cross and linked
# statically, so the emulator needs only the cross toolchain's C and C++
# runtimes; GoogleTest is built from Debian's googletest sources.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE powerpc-linux-gnu)

get_filename_component(_dl_root "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
set(DL_CROSS_SYSROOT "${_dl_root}/build/sysroot/ppc")
set(CMAKE_FIND_ROOT_PATH "${DL_CROSS_SYSROOT}" /usr/powerpc-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc -L /usr/powerpc-linux-gnu)

# pkg-config sees the sysroot's libraries only, never the machine's own.
set(ENV{PKG_CONFIG_LIBDIR} "${DL_CROSS_SYSROOT}/usr/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${DL_CROSS_SYSROOT}")
