# cmake -DBUILD_DIR=... -DMAKENSIS=... -DSCRIPT=... -DOUTFILE=... -DVERSION=... -DPUBLISHER=... -DCOPYRIGHT=... -DDESCRIPTION=... -P windows_installer.cmake
# The Windows installer: the zip's files, laid out by the same install rules
# (stripped, as CPack does), each stamped with SOURCE_DATE_EPOCH when it is
# set, packed by makensis. makensis keeps each file's time and nothing else of
# the build, so the installer is a function of the source.
set(stage ${BUILD_DIR}/installer-stage)
file(REMOVE_RECURSE ${stage})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --component runtime --strip --prefix ${stage}
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "could not lay out the installer's files in ${stage}")
endif()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    file(GLOB files ${stage}/*)
    execute_process(COMMAND touch -d @$ENV{SOURCE_DATE_EPOCH} ${files} RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "could not stamp the installer's files with SOURCE_DATE_EPOCH")
    endif()
endif()
execute_process(COMMAND ${MAKENSIS} -V2 -INPUTCHARSET UTF8 -DVERSION=${VERSION} -DSTAGE=${stage}
                        -DOUTFILE=${OUTFILE} "-DPUBLISHER=${PUBLISHER}" "-DCOPYRIGHT=${COPYRIGHT}"
                        "-DDESCRIPTION=${DESCRIPTION}" ${SCRIPT}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
    file(REMOVE ${OUTFILE})
    message(FATAL_ERROR "makensis failed:\n${out}")
endif()
