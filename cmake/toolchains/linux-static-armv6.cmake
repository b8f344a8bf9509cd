# Self-contained programs for Linux on 32-bit ARM, ARMv6 and later. Debian's
# armel toolchain makes ARMv5TE code with software floating point, its C and
# C++ libraries included, which every later ARM runs; tested on the ARM1176
# of a Raspberry Pi Zero and Pi 1.
set(CMAKE_SYSTEM_PROCESSOR armv6)
set(triplet arm-linux-gnueabi)
set(qemu qemu-arm)
set(qemu_cpu arm1176)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
