# cmake -DBUILD_DIR=... -DGENERATOR=DEB|ZIP|TGZ [-DMAN_PAGE=... -DGROFF=... -DLINTIAN=...] [-DSETUP=...]
#       [-DEMULATOR=... -DEXAMPLE=examples/capture] -P check_package.cmake
# The manual page renders without a warning, `cmake --install` lays out the
# files, CPack (or a static build's tarball target) packs them, and lintian
# finds nothing wrong with a .deb; the Windows zip holds its files at the top
# level, its manual as plain text that speaks of Windows only, and the
# installer was built beside it; a static build's tarball unpacks into one
# folder of its own name, and its program, run as EMULATOR runs it, gives
# EXAMPLE.expected from EXAMPLE.bin.
if(GENERATOR STREQUAL "DEB")
    set(installed bin/xonspan share/man/man1/xonspan.1.gz share/doc/xonspan/copyright
        share/doc/xonspan/changelog.gz include/xonspan/span_filter.h share/doc/libxonspan-dev/copyright)
    # package name, then files it must hold
    set(packages "xonspan:./usr/bin/xonspan,./usr/share/man/man1/xonspan.1.gz,./usr/share/doc/xonspan/copyright,./usr/share/doc/xonspan/changelog.gz"
                 "libxonspan-dev:./usr/include/xonspan/span_filter.h,libxonspan.a,xonspan-config.cmake,xonspan-config-version.cmake,xonspan-targets.cmake,xonspan.pc,./usr/share/doc/libxonspan-dev/copyright")
    set(list_command dpkg-deb --contents)
elseif(GENERATOR STREQUAL "TGZ")
    set(installed xonspan xonspan.1 README LICENSE)
    set(packages "xonspan:xonspan,xonspan.1,README,LICENSE")
    set(list_command ${CMAKE_COMMAND} -E tar tf)
else()
    set(installed xonspan.exe README.txt LICENSE.txt)
    set(packages "xonspan:LICENSE.txt,README.txt,xonspan.exe")
    set(list_command ${CMAKE_COMMAND} -E tar tf)
endif()

if(MAN_PAGE AND GROFF)
    execute_process(COMMAND ${GROFF} -man -ww -z ${MAN_PAGE}
                    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
    if(NOT status EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
        message(FATAL_ERROR "groff reports on the manual page:\n${out}${err}")
    endif()
endif()

set(prefix ${BUILD_DIR}/install-check)
file(REMOVE_RECURSE ${prefix})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix}
                RESULT_VARIABLE status OUTPUT_QUIET)
foreach(file IN LISTS installed)
    if(NOT status EQUAL 0 OR NOT EXISTS ${prefix}/${file})
        message(FATAL_ERROR "cmake --install did not install ${file}")
    endif()
endforeach()
# The Windows manual: plain text with CR LF line ends, saying how to run a capture.
if(GENERATOR STREQUAL "ZIP")
    file(READ ${prefix}/README.txt readme)
    # file(READ) drops CRs: count them in the bytes.
    file(READ ${prefix}/README.txt bytes HEX)
    string(REGEX REPLACE "(..)" " \\1" bytes "${bytes}")
    string(REGEX MATCHALL " 0d 0a" crlf "${bytes}")
    string(REGEX MATCHALL " 0a" lf "${bytes}")
    list(LENGTH crlf crlf)
    list(LENGTH lf lf)
    if(NOT crlf EQUAL lf OR NOT readme MATCHES "mode COM3 BAUD=" OR NOT readme MATCHES "Error opening files"
       OR NOT readme MATCHES "setup.exe /S" OR NOT readme MATCHES "MIT: see LICENSE" OR readme MATCHES "```|<!--|Linux|dialout")
        message(FATAL_ERROR "README.txt is not the Windows manual in plain text with CR LF:\n${readme}")
    endif()
    if(SETUP AND NOT EXISTS ${SETUP})
        message(FATAL_ERROR "no installer ${SETUP}")
    elseif(NOT SETUP)
        message(STATUS "no installer built (it needs makensis): not checked")
    endif()
endif()

if(GENERATOR STREQUAL "TGZ")
    # A static build's tarball, made as packaging/run makes it.
    set(pack_dir ${BUILD_DIR}/packages)
    set(pack_command ${CMAKE_COMMAND} --build ${BUILD_DIR} --target tarball)
else()
    set(pack_dir ${BUILD_DIR}/package-check)
    set(pack_command cpack -G ${GENERATOR} -B ${pack_dir} --config ${BUILD_DIR}/CPackConfig.cmake)
endif()
file(REMOVE_RECURSE ${pack_dir})
execute_process(COMMAND ${pack_command} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${pack_command} failed:\n${out}")
endif()
foreach(entry IN LISTS packages)
    string(REPLACE ":" ";" entry "${entry}")
    list(GET entry 0 name)
    list(GET entry 1 files)
    string(REPLACE "," ";" files "${files}")
    file(GLOB package ${pack_dir}/${name}[_-]*.deb ${pack_dir}/${name}-*.zip ${pack_dir}/${name}-*.tar.gz)
    if(NOT package)
        message(FATAL_ERROR "${pack_command} made no package ${name}:\n${out}")
    endif()
    execute_process(COMMAND ${list_command} ${package} OUTPUT_VARIABLE contents)
    if(GENERATOR STREQUAL "ZIP")
        # Nothing but the files, and no folder around them.
        string(REGEX MATCHALL "[^\n]+" entries "${contents}")
        list(SORT entries)
        if(NOT entries STREQUAL files)
            message(FATAL_ERROR "${package} holds ${entries}, not ${files} at the top level")
        endif()
    elseif(GENERATOR STREQUAL "TGZ")
        # One folder of the tarball's own name, as its README says.
        string(REGEX REPLACE "^.*/|\\.tar\\.gz$" "" folder "${package}")
        if(NOT contents MATCHES "^(${folder}/[^\n]*\n)+$")
            message(FATAL_ERROR "${package} does not unpack into ${folder}/:\n${contents}")
        endif()
        # The program as shipped (stripped) runs on the bundled capture.
        set(unpacked ${BUILD_DIR}/package-check)
        file(REMOVE_RECURSE ${unpacked})
        file(ARCHIVE_EXTRACT INPUT ${package} DESTINATION ${unpacked})
        execute_process(COMMAND ${EMULATOR} ${unpacked}/${folder}/xonspan ${EXAMPLE}.bin ${unpacked}/out
                        RESULT_VARIABLE status OUTPUT_VARIABLE said ERROR_VARIABLE said)
        file(READ ${EXAMPLE}.expected want HEX)
        set(got "")
        if(EXISTS ${unpacked}/out)
            file(READ ${unpacked}/out got HEX)
        endif()
        if(NOT status EQUAL 0 OR NOT said STREQUAL "" OR NOT got STREQUAL want)
            message(FATAL_ERROR "the program in ${package} fails on ${EXAMPLE}.bin (${status}):\n${said}")
        endif()
    endif()
    foreach(file IN LISTS files)
        if(NOT contents MATCHES "(^|[ /\n])${file}\n")
            message(FATAL_ERROR "${package} lacks ${file}:\n${contents}")
        endif()
    endforeach()
    message(STATUS "${package}:\n${contents}")

    if(LINTIAN)
        execute_process(COMMAND ${LINTIAN} ${package} OUTPUT_VARIABLE report ERROR_VARIABLE report)
        message(STATUS "lintian ${package}:\n${report}")
        if(report MATCHES "(^|\n)[EW]: ")
            message(FATAL_ERROR "lintian reports errors or warnings on ${package}")
        endif()
    elseif(GENERATOR STREQUAL "DEB")
        message(STATUS "lintian is not installed: ${package} not checked")
    endif()
endforeach()
