# cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DTOOLS=... -P check_minimal_build.cmake
# With GoogleTest, Google Benchmark and Python hidden, as on a machine with
# only CMake and a compiler, the project configures with a note for each part
# it skips, builds, and the program extracts the bundled capture. With the
# test libraries there but every program in the system's bin folders hidden
# (the compiler and build tools given by path in TOOLS), the tests that need
# groff, lintian or pkg-config are skipped with a note.
set(dir ${BUILD_DIR}/minimal-build-check)
file(REMOVE_RECURSE ${dir})
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${dir} -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
                        -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON -DCMAKE_DISABLE_FIND_PACKAGE_Python3=ON
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "configuring without the test tools failed:\n${out}")
endif()
foreach(note IN ITEMS "xonspan: tests skipped" "xonspan: kernel benchmark skipped")
    string(FIND "${out}" "${note}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "configuring without the test tools did not say \"${note}\":\n${out}")
    endif()
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${dir} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "building without the test tools failed:\n${out}")
endif()
execute_process(COMMAND ${dir}/xonspan ${SOURCE_DIR}/examples/capture.bin ${dir}/payload RESULT_VARIABLE status)
file(READ ${SOURCE_DIR}/examples/capture.expected want HEX)
file(READ ${dir}/payload got HEX)
if(NOT status EQUAL 0 OR NOT got STREQUAL want)
    message(FATAL_ERROR "the program built without the test tools did not extract the capture")
endif()
message(STATUS "built and ran with only CMake and a compiler")

set(dir ${BUILD_DIR}/no-test-programs-check)
file(REMOVE_RECURSE ${dir})
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${dir} "-DCMAKE_IGNORE_PATH=/usr/bin;/bin" ${TOOLS}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "configuring without groff, lintian and pkg-config failed:\n${out}")
endif()
foreach(program IN ITEMS groff lintian pkg-config)
    if(NOT out MATCHES "xonspan: [^\n]* skipped: it needs ${program}")
        message(FATAL_ERROR "configuring without ${program} did not say which test it skips:\n${out}")
    endif()
endforeach()
message(STATUS "configured without groff, lintian and pkg-config")
