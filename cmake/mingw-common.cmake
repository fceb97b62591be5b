# Cross-compiling for Windows with MinGW-w64 (posix thread model), for the
# architecture ORV_MINGW_ARCH the including toolchain file names (i686 or x86_64).
# ORV_WINDOWS_PREFIX (cache variable or environment) holds the dependencies built for
# this architecture by scripts/package-windows (TurboJPEG, libavcodec, Boost headers).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${ORV_MINGW_ARCH})
set(CMAKE_C_COMPILER ${ORV_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORV_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${ORV_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_DLLTOOL ${ORV_MINGW_ARCH}-w64-mingw32-dlltool)

if(NOT ORV_WINDOWS_PREFIX)
  set(ORV_WINDOWS_PREFIX "$ENV{ORV_WINDOWS_PREFIX}" CACHE PATH "Dependencies built for Windows ${ORV_MINGW_ARCH}")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORV_WINDOWS_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/${ORV_MINGW_ARCH}-w64-mingw32 ${ORV_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config must see only the cross-built .pc files, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "${ORV_WINDOWS_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
set(ENV{PKG_CONFIG_PATH} "")

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
