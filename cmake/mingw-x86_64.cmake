# Cross-compiling for Windows (x86_64) with MinGW-w64: see mingw-common.cmake.
set(ORV_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
