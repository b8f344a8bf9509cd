# cmake -DWINE=... -DPREFIX=... [-DSTOP=ON] -P wine_prefix.cmake
# Makes the Wine prefix of this test run anew, before any test starts Wine:
# programs started in parallel on a prefix that does not exist yet race to
# create it, and the COM-port tests need its dosdevices folder. With STOP,
# ends the prefix's Wine server once every test is done.
find_program(WINESERVER NAMES wineserver wineserver64 PATHS /usr/lib/wine REQUIRED)
set(ENV{WINEPREFIX} ${PREFIX})
if(STOP)
    execute_process(COMMAND ${WINESERVER} -k ERROR_QUIET)
    return()
endif()
execute_process(COMMAND ${WINESERVER} -k ERROR_QUIET)
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${WINE} wineboot --init RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
# wineboot returns while the prefix is still being written.
execute_process(COMMAND ${WINESERVER} -w)
if(NOT status EQUAL 0 OR NOT IS_DIRECTORY ${PREFIX}/dosdevices)
    message(FATAL_ERROR "no Wine prefix made in ${PREFIX} (status ${status}):\n${out}")
endif()
# Windows without a display (Wine's null driver), so that a test can open
# the top-level window that broadcasts reach; taken up once this server ends.
execute_process(COMMAND ${WINE} reg add "HKCU\\Software\\Wine\\Drivers" /v Graphics /d null /f
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
execute_process(COMMAND ${WINESERVER} -w)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "could not set Wine's null display driver (status ${status}):\n${out}")
endif()
