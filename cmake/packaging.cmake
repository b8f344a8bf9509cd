# The packages CPack makes from the installation: on Linux a .deb for the
# program (xonspan) and one for the library (libxonspan-dev), both
# lintian-clean; on Windows a flat zip with the program, README and license,
# and an installer of the same files (NSIS, built with the program when
# makensis is there).

set(CPACK_PACKAGE_NAME xonspan)
set(CPACK_PACKAGE_VENDOR "xonspan developers")
set(CPACK_PACKAGE_CONTACT "${XONSPAN_CONTACT}")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
# The source package holds what the repository tracks: no build folder, no
# output of the README's example, no repository metadata. (Each backslash is
# doubled twice: once for this file, once for CPackSourceConfig.cmake.)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "^${PROJECT_SOURCE_DIR}/build/" "^${PROJECT_BINARY_DIR}/" "/\\\\.git/" "/payload\\\\.txt$")

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
    set(CPACK_SYSTEM_NAME windows-x86_64)
    # The zip is for users of the program; the library installs with cmake --install.
    set(CPACK_COMPONENTS_ALL runtime)
    set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
    # Flat, so that Explorer's "Extract all" gives one folder named after the zip.
    set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)

    find_program(XONSPAN_MAKENSIS makensis)
    set(XONSPAN_SETUP ${PROJECT_BINARY_DIR}/${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME}-setup.exe)
    if(XONSPAN_MAKENSIS)
        set(script ${PROJECT_SOURCE_DIR}/packaging/windows/xonspan.nsi)
        add_custom_command(OUTPUT ${XONSPAN_SETUP}
            COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR} -DMAKENSIS=${XONSPAN_MAKENSIS}
                    -DSCRIPT=${script} -DOUTFILE=${XONSPAN_SETUP} -DVERSION=${PROJECT_VERSION}
                    "-DPUBLISHER=${CPACK_PACKAGE_VENDOR}" "-DCOPYRIGHT=${XONSPAN_COPYRIGHT}"
                    "-DDESCRIPTION=${PROJECT_DESCRIPTION}"
                    -P ${PROJECT_SOURCE_DIR}/cmake/windows_installer.cmake
            DEPENDS xonspan ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_SOURCE_DIR}/LICENSE ${script}
                    ${PROJECT_SOURCE_DIR}/cmake/windows_installer.cmake
            VERBATIM)
        add_custom_target(installer ALL DEPENDS ${XONSPAN_SETUP})
    elseif(XONSPAN_REQUIRE_TEST_TOOLS)
        message(FATAL_ERROR "no makensis to build the installer with (Debian package nsis)")
    else()
        message(STATUS "xonspan: the installer is not built: it needs makensis (Debian package nsis)")
    endif()
else()
    set(CPACK_GENERATOR DEB)
    # Cross-built packages are for the target's architecture, not this machine's.
    if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE)
        execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                        OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
                        ERROR_QUIET)
    endif()
    # Each package's description starts with its own synopsis line; a global
    # summary would be put in front of both.
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
    set(CPACK_COMPONENTS_ALL runtime development)
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

    set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME xonspan)
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "${PROJECT_DESCRIPTION}
xonspan copies from one file to another exactly the bytes that lie
between an XON byte (0x11) and the next XOFF byte (0x13), and nothing else.
It extracts the payload from captures of XON/XOFF-framed serial or device
traffic, byte for byte, in constant memory and at the speed of a file copy,
and follows a live input such as a FIFO or a serial device as it arrives.")

    set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libxonspan-dev)
    set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
    set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "XON/XOFF span filter (static library and headers)
The span filter of xonspan as a static C++ library: it copies the bytes
that lie between an XON byte (0x11) and the next XOFF byte (0x13) from one
stream to another, or scans a buffer in memory with the state carried from
call to call, with SIMD kernels chosen for the CPU at run time.
.
This package holds the header xonspan/span_filter.h, the static library,
a CMake package (find_package(xonspan), target xonspan::span_filter) and a
pkg-config file (xonspan).")

    # Debian's armhf is ARMv7 and its toolchain makes ARMv7 code (its crt
    # files and libgcc too), but Raspberry Pi OS uses the name for ARMv6.
    if(CMAKE_LIBRARY_ARCHITECTURE STREQUAL "arm-linux-gnueabihf")
        string(APPEND CPACK_DEBIAN_RUNTIME_DESCRIPTION "
.
This build needs an ARMv7 CPU or later: a Raspberry Pi 2 or later, or
another ARMv7 board. It cannot run on the ARMv6 of a Raspberry Pi Zero,
Zero W or Pi 1; for those the release has a self-contained program,
xonspan-${PROJECT_VERSION}-linux-armv6.tar.gz.")
        string(APPEND CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "
.
Programs built with this build need an ARMv7 CPU or later: a Raspberry
Pi 2 or later, or another ARMv7 board, not the ARMv6 of a Raspberry Pi
Zero, Zero W or Pi 1.")
    endif()
endif()
include(CPack)
