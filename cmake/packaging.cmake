# Installation layout and the packages CPack makes from it.
include(GNUInstallDirs)

if(WIN32)
    # The Windows zip is flat: the program and its README side by side.
    install(TARGETS xonspan RUNTIME DESTINATION .)
    install(FILES README.md DESTINATION .)
else()
    install(TARGETS xonspan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES man/xonspan.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CPACK_PACKAGE_NAME xonspan)
set(CPACK_PACKAGE_VENDOR "xonspan developers")
set(CPACK_PACKAGE_CONTACT "xonspan developers <dev@xonspan.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "xonspan copies from one file to another exactly the bytes that lie
between an XON byte (0x11) and the next XOFF byte (0x13), and nothing else.
It extracts the payload from captures of XON/XOFF-framed serial or device
traffic, byte for byte, in constant memory and at the speed of a file copy.")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_SYSTEM_NAME windows-x86_64)
else()
    set(CPACK_GENERATOR DEB)
endif()
include(CPack)
