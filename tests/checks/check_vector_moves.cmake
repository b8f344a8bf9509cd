# cmake -DOBJDUMP=... -DFILES=a.exe;b.exe -DDUMP=scratch-file -P check_vector_moves.cmake
# Fails on any aligned move of a 256- or 512-bit register to or from the
# stack: mingw-w64 does not align such stack slots, so the move would fault.
# The first file must hold 512-bit code, or the wide kernels are not built in.
set(aligned "vmov(aps|apd|dqa|dqa32|dqa64)[[:space:]]")
set(pattern "${aligned}.*%[yz]mm.*\\(%r[sb]p|${aligned}.*\\(%r[sb]p.*%[yz]mm")
list(GET FILES 0 first)
foreach(file IN LISTS FILES)
    execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${file} OUTPUT_FILE ${DUMP} RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "${OBJDUMP} -d ${file} failed")
    endif()
    execute_process(COMMAND grep -E "${pattern}" ${DUMP} OUTPUT_VARIABLE found)
    if(NOT found STREQUAL "")
        message(FATAL_ERROR "${file} moves wide vectors to or from the stack with aligned moves:\n${found}")
    endif()
    execute_process(COMMAND grep -c "%zmm" ${DUMP} OUTPUT_VARIABLE wide OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(file STREQUAL first AND NOT wide GREATER 0)
        message(FATAL_ERROR "${file} has no 512-bit code: the wide kernels are not built in")
    endif()
    message(STATUS "${file}: ${wide} instructions on zmm registers, no aligned wide move on the stack")
endforeach()
file(REMOVE ${DUMP})
