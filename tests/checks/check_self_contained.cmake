# cmake -DREADELF=... -DEXE=... [-DARM_ARCHS=v4;...;v6K] -P check_self_contained.cmake
# A self-contained program asks for no loader (INTERP) and no shared library
# (NEEDED); a 32-bit ARM one is made for an architecture in ARM_ARCHS.
execute_process(COMMAND ${READELF} --wide --program-headers --dynamic --arch-specific ${EXE}
                OUTPUT_VARIABLE report ERROR_VARIABLE report RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "readelf failed on ${EXE}:\n${report}")
endif()
if(report MATCHES "INTERP|\\(NEEDED\\)")
    message(FATAL_ERROR "${EXE} needs a loader or a shared library:\n${report}")
endif()
if(ARM_ARCHS)
    string(REGEX MATCH "Tag_CPU_arch: ([^\n]*)" arch "${report}")
    list(FIND ARM_ARCHS "${CMAKE_MATCH_1}" known)
    if(known EQUAL -1)
        message(FATAL_ERROR "${EXE} is made for ARM ${CMAKE_MATCH_1}, not one of ${ARM_ARCHS}:\n${report}")
    endif()
endif()
message(STATUS "${EXE} is self-contained:\n${report}")
