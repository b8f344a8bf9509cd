# Self-contained programs for Linux on 64-bit RISC-V (RV64GC), tested on
# qemu's default CPU (rv64).
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(triplet riscv64-linux-gnu)
set(qemu qemu-riscv64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
