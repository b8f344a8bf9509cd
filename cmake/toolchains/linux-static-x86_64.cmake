# Self-contained programs for Linux on x86-64, tested on a CPU with nothing
# past SSE3 (no SSSE3, no AVX), so that the baseline kernel is the one run.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triplet x86_64-linux-gnu)
set(qemu qemu-x86_64)
set(qemu_cpu qemu64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
