# Cross-compiling for Windows (i686) with MinGW-w64: see mingw-common.cmake.
set(ORV_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
