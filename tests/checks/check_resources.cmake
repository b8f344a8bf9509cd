# cmake -DWINDRES=... -DEXE=... -DVERSION=1.2.3 -DDESCRIPTION=... -DCOPYRIGHT=... -P check_resources.cmake
# Reads the resources back from the built executable: the version resource
# that Explorer and installers show, and the application manifest.
execute_process(COMMAND ${WINDRES} -i ${EXE} -O rc OUTPUT_VARIABLE rc RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${WINDRES} cannot read the resources of ${EXE}")
endif()

string(REPLACE "." ", " numbers "${VERSION}, 0")
set(expected
    "FILEVERSION ${numbers}\n"
    "PRODUCTVERSION ${numbers}\n"
    "VALUE \"FileVersion\", \"${VERSION}\""
    "VALUE \"ProductVersion\", \"${VERSION}\""
    "VALUE \"ProductName\", \"xonspan\""
    "VALUE \"FileDescription\", \"${DESCRIPTION}\""
    "VALUE \"OriginalFilename\", \"xonspan.exe\""
    "VALUE \"LegalCopyright\", \"${COPYRIGHT}\""
    "1 24 /* RT_MANIFEST */"
    "level=\"\"asInvoker\"\""
    ">true</longPathAware>"
    # Windows 7, 8, 8.1, and 10 and 11
    "35138b9a-5d96-4fbd-8e2d-a2440225f93a"
    "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38"
    "1f676c76-80e1-4239-95bb-83d0f6d0da78"
    "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a")
foreach(text IN LISTS expected)
    string(FIND "${rc}" "${text}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "the resources of ${EXE} lack ${text}:\n${rc}")
    endif()
endforeach()
message(STATUS "${EXE} carries the version resource ${VERSION} and the manifest")
