# 32-bit x86 (long and pointers of 32 bits), run under qemu-i386.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZEK_CROSS_TRIPLE i686-linux-gnu)
set(ZEK_CROSS_QEMU qemu-i386)
set(ZEK_CROSS_MULTIARCH i386-linux-gnu) # Debian's directory name for 32-bit x86 libraries
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
