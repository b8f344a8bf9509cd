# Installation layout: the program with its manual page and Debian's
# copyright and changelog (component runtime), and the library with its
# header, CMake package and pkg-config file (component development).

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

