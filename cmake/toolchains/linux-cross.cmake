# Shared by the Linux cross toolchains: Debian's cross compilers for
# `triplet`, tests run under qemu-user (`qemu`), on the CPU `qemu_cpu` when
# one is named, with the target's libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${triplet})

set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The build needs no emulator; the tests do. The target's libraries are the
# cross toolchain's, matching its loader, even where the same architecture's
# own (multiarch) libraries are installed too. Programs linked statically
# (XONSPAN_STATIC) are given none, so a test fails if one needs a library.
find_program(QEMU_PROGRAM ${qemu})
if(QEMU_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_PROGRAM})
    if(qemu_cpu)
        list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -cpu ${qemu_cpu})
    endif()
    if(NOT XONSPAN_STATIC)
        list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -L /usr/${triplet} -E LD_LIBRARY_PATH=/usr/${triplet}/lib)
    endif()
endif()
