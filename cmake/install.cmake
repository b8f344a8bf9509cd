# Installation layout: the program with its manual page and Debian's
# copyright and changelog (component runtime), and the library with its
# header, CMake package and pkg-config file (component development). A
# static build installs the program alone, as its tarball holds it.

# Debian and its kin keep architecture-dependent files (the library, its CMake
# package and pkg-config file) in a multiarch folder such as
# lib/x86_64-linux-gnu. Only as the top-level project: a parent's cache is its own.
if(PROJECT_IS_TOP_LEVEL AND CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CMAKE_INSTALL_LIBDIR)
    set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries")
endif()
include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(XONSPAN_CONTACT "xonspan developers <dev@xonspan.invalid>")

# The program.
if(WIN32)
    install(TARGETS xonspan RUNTIME DESTINATION . COMPONENT runtime)
    include(${CMAKE_CURRENT_LIST_DIR}/windows_readme.cmake)
    xonspan_windows_readme(${PROJECT_SOURCE_DIR}/README.md ${PROJECT_BINARY_DIR}/README.txt)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/README.md)
    install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION . COMPONENT runtime)
    install(FILES LICENSE DESTINATION . RENAME LICENSE.txt COMPONENT runtime)
elseif(XONSPAN_STATIC)
    # The self-contained program, flat, as its tarball holds it: the program,
    # its manual page, LICENSE and a README saying where it runs.
    set(machines_x86_64 "x86-64 PCs and boards (uname -m: x86_64)")
    set(machines_aarch64 "64-bit ARM, ARMv8-A and later (uname -m: aarch64)")
    set(machines_armv6 "32-bit ARM, ARMv6 and later (uname -m: armv6l, armv7l or armv8l)")
    set(machines_riscv64 "64-bit RISC-V, RV64GC (uname -m: riscv64)")
    set(XONSPAN_MACHINES "${machines_${CMAKE_SYSTEM_PROCESSOR}}")
    if(NOT XONSPAN_MACHINES)
        message(FATAL_ERROR "XONSPAN_STATIC: no release named for the processor ${CMAKE_SYSTEM_PROCESSOR}")
    endif()
    configure_file(packaging/linux/README.in ${PROJECT_BINARY_DIR}/README @ONLY)
    install(TARGETS xonspan RUNTIME DESTINATION . COMPONENT runtime)
    install(FILES ${PROJECT_BINARY_DIR}/README LICENSE man/xonspan.1 DESTINATION . COMPONENT runtime)

    # `--target tarball`: packages/xonspan-VERSION-linux-PROCESSOR.tar.gz, the
    # release artifact. Not CPack's archive, which records the builder's
    # user and group.
    find_program(XONSPAN_TAR tar REQUIRED)
    find_program(XONSPAN_GZIP gzip REQUIRED)
    add_custom_target(tarball
        COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR}
                -DNAME=xonspan-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}
                -DTAR=${XONSPAN_TAR} -DGZIP=${XONSPAN_GZIP} -P ${CMAKE_CURRENT_LIST_DIR}/tarball.cmake
        VERBATIM)
    add_dependencies(tarball xonspan)
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
    configure_file(packaging/debian/copyright.in ${debian}/copyright @ONLY)
    configure_file(packaging/debian/changelog.in ${debian}/changelog @ONLY)
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

# A static build is for the program only.
if(XONSPAN_STATIC)
    return()
endif()

# The library: header, static archive, CMake package and pkg-config file.
set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/xonspan)
install(TARGETS span_filter EXPORT xonspan-targets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/xonspan/span_filter.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/xonspan COMPONENT development)
install(EXPORT xonspan-targets NAMESPACE xonspan:: DESTINATION ${cmake_dir} COMPONENT development)
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/xonspan-config-version.cmake COMPATIBILITY SameMajorVersion)
install(FILES cmake/xonspan-config.cmake ${PROJECT_BINARY_DIR}/xonspan-config-version.cmake
        DESTINATION ${cmake_dir} COMPONENT development)
# Relative to the .pc file, so the package can be installed under any prefix;
# a directory given as an absolute path stays as it is.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    set(XONSPAN_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
    file(RELATIVE_PATH up /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
    string(REGEX REPLACE "/$" "" up "${up}")
    set(XONSPAN_PC_PREFIX "\${pcfiledir}/${up}")
endif()
foreach(dir IN ITEMS LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
        set(XONSPAN_PC_${dir} "${CMAKE_INSTALL_${dir}}")
    else()
        set(XONSPAN_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
    endif()
endforeach()
configure_file(cmake/xonspan.pc.in ${PROJECT_BINARY_DIR}/xonspan.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/xonspan.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

