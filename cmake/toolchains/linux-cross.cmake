# Shared by the Linux cross targets: Debian's cross compiler for
# ZEK_CROSS_TRIPLE, its sysroot /usr/<triple>, and qemu-user to run what is
# built. ctest runs every test program through CMAKE_CROSSCOMPILING_EMULATOR,
# and the tests that start zek themselves take it from there too.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${ZEK_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZEK_CROSS_TRIPLE}-g++)

if(NOT ZEK_CROSS_MULTIARCH)
  set(ZEK_CROSS_MULTIARCH ${ZEK_CROSS_TRIPLE})
endif()

# The C and C++ libraries come from the sysroot /usr/<triple>; libsndfile and
# what it links come from Debian's multiarch packages (libsndfile1-dev:<arch>),
# in /usr/lib/<multiarch> with their headers in /usr/include. pkg-config reads
# the target's .pc files only, so no host library is ever linked.
set(CMAKE_FIND_ROOT_PATH /usr/${ZEK_CROSS_TRIPLE} /)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${ZEK_CROSS_MULTIARCH}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L: the target's dynamic loader and libraries come from the sysroot. The
# loader still reads the host's library cache, which on an x86-64 host lists
# i386 libraries (/lib32, package libc6-i386) of another glibc build than the
# sysroot's loader: threads then hang. The sysroot's own directory comes first.
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZEK_CROSS_QEMU} -L /usr/${ZEK_CROSS_TRIPLE}
    -E LD_LIBRARY_PATH=/usr/${ZEK_CROSS_TRIPLE}/lib:/usr/lib/${ZEK_CROSS_MULTIARCH})
