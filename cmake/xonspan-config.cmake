# find_package(xonspan CONFIG) gives the imported target xonspan::span_filter.
include("${CMAKE_CURRENT_LIST_DIR}/xonspan-targets.cmake")
