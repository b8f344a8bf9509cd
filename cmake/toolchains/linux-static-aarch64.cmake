# Self-contained programs for Linux on 64-bit ARM (ARMv8-A), tested on the
# oldest such core, the Cortex-A53 of a Raspberry Pi 3.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(triplet aarch64-linux-gnu)
set(qemu qemu-aarch64)
set(qemu_cpu cortex-a53)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
