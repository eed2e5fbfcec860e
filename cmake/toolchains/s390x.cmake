# IBM Z: 64-bit and big-endian, run under qemu-s390x.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(ZEK_CROSS_TRIPLE s390x-linux-gnu)
set(ZEK_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
