# Cortex-M4 (ARMv7E-M, Thumb-2), bare metal: no operating system, no C or C++
# library. Configure with -DZEK_ENGINE_ONLY=ON; the firmware that checks the
# engine runs on qemu-system-arm's MPS2 AN386 board (tests/baremetal).
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)
# Nothing links without a startup file and a linker script: the compiler
# checks build a static library instead.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_CXX_FLAGS_INIT "-mcpu=cortex-m4 -mthumb -ffunction-sections -fdata-sections")
set(CMAKE_C_FLAGS_INIT "-mcpu=cortex-m4 -mthumb -ffunction-sections -fdata-sections")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
