# 32-bit x86 (long and pointers of 32 bits), run under qemu-i386.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZEK_CROSS_TRIPLE i686-linux-gnu)
set(ZEK_CROSS_QEMU qemu-i386)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
