# cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DGIT=... -P check_reproducible.cmake
# Clones the commit checked out twice, into folders of different names, runs
# packaging/run in each, some seconds apart, and requires the same checksums
# of every artifact.
set(work ${BUILD_DIR}/reproducible-check)
file(REMOVE_RECURSE ${work})
foreach(clone IN ITEMS first second-clone)
    execute_process(COMMAND ${GIT} clone --quiet ${SOURCE_DIR} ${work}/${clone} RESULT_VARIABLE status)
    if(status EQUAL 0)
        execute_process(COMMAND ${work}/${clone}/packaging/run RESULT_VARIABLE status
                        OUTPUT_VARIABLE out ERROR_VARIABLE out)
    endif()
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "packaging/run failed in ${work}/${clone}:\n${out}")
    endif()
    file(READ ${work}/${clone}/build/dist/SHA256SUMS sums_${clone})
    execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 2)
endforeach()
if(NOT sums_first STREQUAL sums_second-clone)
    message(FATAL_ERROR "two builds of one commit differ:\n${sums_first}\n${sums_second-clone}")
endif()
message(STATUS "two builds of one commit give the same artifacts:\n${sums_first}")
