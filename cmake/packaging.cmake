# Installation layout and the packages CPack makes from it: on Linux a .deb
# for the program (xonspan) and one for the library (libxonspan-dev), both
# lintian-clean; on Windows a flat zip with the program, README and license.

set(CPACK_PACKAGE_NAME xonspan)
set(CPACK_PACKAGE_VENDOR "xonspan developers")
set(CPACK_PACKAGE_CONTACT "xonspan developers <dev@xonspan.invalid>")

# The program.
if(WIN32)
    install(TARGETS xonspan RUNTIME DESTINATION . COMPONENT runtime)
    install(FILES README.md DESTINATION . COMPONENT runtime)
    install(FILES LICENSE DESTINATION . RENAME LICENSE.txt COMPONENT runtime)
else()
    install(TARGETS xonspan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)

    # Debian's copyright file, machine-readable, with the terms from LICENSE.
    string(REGEX REPLACE "^Copyright \\(c\\) " "" XONSPAN_COPYRIGHT_HOLDERS "${XONSPAN_COPYRIGHT}")
    file(READ LICENSE terms)
    string(REGEX REPLACE "^.*\n(Permission is hereby granted)" "\\1" terms "${terms}")
    string(STRIP "${terms}" terms)
    string(REPLACE "\n\n" "\n.\n" terms "${terms}")
    string(REPLACE "\n" "\n " XONSPAN_LICENSE_TERMS " ${terms}")
    set(debian ${PROJECT_BINARY_DIR}/debian)
    configure_file(cmake/debian/copyright.in ${debian}/copyright @ONLY)
    configure_file(cmake/debian/changelog.in ${debian}/changelog @ONLY)
    configure_file(man/xonspan.1 ${debian}/xonspan.1 COPYONLY)

    # Manual page and changelog compressed, reproducibly (no name, no time).
    find_program(XONSPAN_GZIP gzip REQUIRED)
    foreach(file IN ITEMS xonspan.1 changelog)
        add_custom_command(OUTPUT ${debian}/${file}.gz
            COMMAND ${XONSPAN_GZIP} -9nkf ${debian}/${file}
            DEPENDS ${debian}/${file} VERBATIM)
        list(APPEND compressed ${debian}/${file}.gz)
    endforeach()
    add_custom_target(compressed_docs ALL DEPENDS ${compressed})

    install(FILES ${debian}/xonspan.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
    install(FILES ${debian}/copyright ${debian}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/xonspan COMPONENT runtime)
    install(FILES ${debian}/copyright ${debian}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libxonspan-dev COMPONENT development)
endif()

# The library: header, static archive, CMake package and pkg-config file.
set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/xonspan)
install(TARGETS span_filter EXPORT xonspan-targets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES src/span_filter.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/xonspan COMPONENT development)
install(EXPORT xonspan-targets NAMESPACE xonspan:: DESTINATION ${cmake_dir} COMPONENT development)
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/xonspan-config-version.cmake COMPATIBILITY SameMajorVersion)
install(FILES cmake/xonspan-config.cmake ${PROJECT_BINARY_DIR}/xonspan-config-version.cmake
        DESTINATION ${cmake_dir} COMPONENT development)
# Relative to the .pc file, so the package can be installed under any prefix.
file(RELATIVE_PATH XONSPAN_PC_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" XONSPAN_PC_PREFIX "${XONSPAN_PC_PREFIX}")
configure_file(cmake/xonspan.pc.in ${PROJECT_BINARY_DIR}/xonspan.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/xonspan.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
    set(CPACK_SYSTEM_NAME windows-x86_64)
    # The zip is for users of the program; the library installs with cmake --install.
    set(CPACK_COMPONENTS_ALL runtime)
    set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
    set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
    set(CPACK_GENERATOR DEB)
    # Each package's description starts with its own synopsis line; a global
    # summary would be put in front of both.
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
    set(CPACK_COMPONENTS_ALL runtime development)
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

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
endif()
include(CPack)
