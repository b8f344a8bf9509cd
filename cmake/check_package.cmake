# cmake -DBUILD_DIR=... -DGENERATOR=DEB|ZIP [-DMAN_PAGE=... -DGROFF=...] -P check_package.cmake
# The manual page renders without a warning, `cmake --install` lays out the
# files, and CPack packs them.
if(GENERATOR STREQUAL "DEB")
    set(installed bin/xonspan share/man/man1/xonspan.1)
    set(packed ./usr/bin/xonspan ./usr/share/man/man1/xonspan.1)
    set(list_command dpkg-deb --contents)
else()
    set(installed xonspan.exe README.md)
    set(packed xonspan.exe README.md)
    set(list_command ${CMAKE_COMMAND} -E tar tf)
endif()

if(MAN_PAGE)
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

set(pack_dir ${BUILD_DIR}/package-check)
file(REMOVE_RECURSE ${pack_dir})
execute_process(COMMAND cpack -G ${GENERATOR} -B ${pack_dir} --config ${BUILD_DIR}/CPackConfig.cmake
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
file(GLOB package ${pack_dir}/*.deb ${pack_dir}/*.zip)
if(NOT status EQUAL 0 OR NOT package)
    message(FATAL_ERROR "cpack -G ${GENERATOR} failed:\n${out}")
endif()
execute_process(COMMAND ${list_command} ${package} OUTPUT_VARIABLE contents)
foreach(file IN LISTS packed)
    if(NOT contents MATCHES "(^|[ /\n])${file}\n")
        message(FATAL_ERROR "${package} lacks ${file}:\n${contents}")
    endif()
endforeach()
message(STATUS "${package}:\n${contents}")
