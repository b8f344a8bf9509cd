# cmake -DBUILD_DIR=... -DNAME=... -DTAR=... -DGZIP=... -P tarball.cmake
# BUILD_DIR/packages/NAME.tar.gz: the installed program (stripped) with what
# comes with it, in a folder NAME. Reproducible: entries in name order, owned
# by root, with fixed modes and SOURCE_DATE_EPOCH's time when that is
# set; compressed with no name or time.
set(stage ${BUILD_DIR}/tarball-stage)
set(out ${BUILD_DIR}/packages/${NAME}.tar.gz)
file(REMOVE_RECURSE ${stage})
file(REMOVE ${out})
file(MAKE_DIRECTORY ${BUILD_DIR}/packages)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --component runtime --strip --prefix ${stage}/${NAME}
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "cmake --install ${BUILD_DIR} failed")
endif()
set(mtime "")
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(mtime --mtime=@$ENV{SOURCE_DATE_EPOCH})
endif()
execute_process(COMMAND ${TAR} --create --format=gnu --sort=name --owner=0 --group=0 --numeric-owner
                        --mode=u=rwX,go=rX ${mtime} --directory=${stage} ${NAME}
                COMMAND ${GZIP} -9n
                OUTPUT_FILE ${out} RESULTS_VARIABLE status)
if(NOT status STREQUAL "0;0")
    file(REMOVE ${out})
    message(FATAL_ERROR "tar or gzip failed on ${stage}/${NAME}")
endif()
message(STATUS "made ${out}")
