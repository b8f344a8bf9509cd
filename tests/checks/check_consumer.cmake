# cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DLIBDIR=... -DCXX=... -DCXX_FLAGS=... -DLINK_FLAGS=... -P check_consumer.cmake
# Installs the build to a scratch prefix and builds a program outside the tree
# against it three ways: through the CMake package, through pkg-config, and
# with xonspan added as a subdirectory. Each must extract the bundled capture.
# As a subdirectory, the parent installs and exports a library of its own that
# links xonspan, into its own library folder, and cannot reach xonspan's
# internal headers. The pkg-config file takes absolute directories as given.
set(work ${BUILD_DIR}/consumer-check)
set(prefix ${work}/prefix)
file(REMOVE_RECURSE ${work})

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "failed: ${ARGN}\n${out}")
    endif()
    set(output "${out}" PARENT_SCOPE)
endfunction()

function(check_consumer how exe)
    run(${exe} ${SOURCE_DIR}/examples/capture.bin ${work}/${how}.out)
    file(READ ${SOURCE_DIR}/examples/capture.expected want HEX)
    file(READ ${work}/${how}.out got HEX)
    if(NOT got STREQUAL want)
        message(FATAL_ERROR "the consumer built ${how} extracted the wrong bytes")
    endif()
    message(STATUS "built ${how}: the consumer extracts the bundled capture")
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
set(consumer ${SOURCE_DIR}/tests/consumer)
set(flags -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_CXX_FLAGS=${CXX_FLAGS} -DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS})

run(${CMAKE_COMMAND} -S ${consumer} -B ${work}/package ${flags}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF)
run(${CMAKE_COMMAND} --build ${work}/package)
check_consumer("through the CMake package" ${work}/package/consumer)

run(${CMAKE_COMMAND} -E env PKG_CONFIG_LIBDIR=${prefix}/${LIBDIR}/pkgconfig pkg-config --cflags --libs xonspan)
separate_arguments(pc_flags UNIX_COMMAND "${output}")
separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS} ${LINK_FLAGS}")
run(${CXX} -std=c++17 ${cxx_flags} ${consumer}/consumer.cpp ${pc_flags} -o ${work}/pkg-config-consumer)
check_consumer("through pkg-config" ${work}/pkg-config-consumer)

run(${CMAKE_COMMAND} -S ${consumer} -B ${work}/subdirectory ${flags} -DXONSPAN_SOURCE=${SOURCE_DIR}
    -DCMAKE_INSTALL_PREFIX=${work}/parent)
run(${CMAKE_COMMAND} --build ${work}/subdirectory)
check_consumer("as a subdirectory" ${work}/subdirectory/consumer)
run(${CMAKE_COMMAND} --install ${work}/subdirectory)
if(NOT EXISTS ${work}/parent/lib/cmake/consumer/consumer-targets.cmake)
    file(GLOB_RECURSE installed RELATIVE ${work}/parent ${work}/parent/*)
    message(FATAL_ERROR "the parent's export is not in its own lib/cmake:\n${installed}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${work}/subdirectory --target internal_header
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(status EQUAL 0 OR NOT out MATCHES "span_kernel.h")
    message(FATAL_ERROR "a program outside xonspan reaches its internal header span_kernel.h:\n${out}")
endif()

run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${work}/absolute -DXONSPAN_TESTS=OFF -DXONSPAN_BENCH=OFF
    -DCMAKE_INSTALL_LIBDIR=/opt/xonspan/lib -DCMAKE_INSTALL_INCLUDEDIR=/opt/xonspan/include)
run(${CMAKE_COMMAND} -E env PKG_CONFIG_LIBDIR=${work}/absolute pkg-config --cflags --libs xonspan)
string(STRIP "${output}" output)
if(NOT output STREQUAL "-I/opt/xonspan/include -L/opt/xonspan/lib -lxonspan")
    message(FATAL_ERROR "xonspan.pc with absolute directories gives: ${output}")
endif()
