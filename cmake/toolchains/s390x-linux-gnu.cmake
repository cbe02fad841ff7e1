# 64-bit big-endian s390x, run under qemu-s390x. The libraries come from
# Debian's s390x packages unpacked into build/sysroot/s390x by
# scripts/setup.sh cross; they are linked statically so that the emulator
# needs only the cross toolchain's C and C++ runtimes.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE s390x-linux-gnu)

get_filename_component(_dl_root "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
set(DL_CROSS_SYSROOT "${_dl_root}/build/sysroot/s390x")
set(CMAKE_FIND_ROOT_PATH "${DL_CROSS_SYSROOT}" /usr/s390x-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(ZLIB_USE_STATIC_LIBS ON)
set(OPENSSL_USE_STATIC_LIBS ON)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L /usr/s390x-linux-gnu)

# Debian keeps the architecture's own headers (OpenSSL's configuration) in
# the multiarch folder, which the cross compiler does not search.
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${DL_CROSS_SYSROOT}/usr/include/s390x-linux-gnu")
