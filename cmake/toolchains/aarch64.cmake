# 64-bit ARM (ARMv8-A, NEON always present), run under qemu-aarch64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ZEK_CROSS_TRIPLE aarch64-linux-gnu)
set(ZEK_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
