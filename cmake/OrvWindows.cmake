# Windows (MinGW-w64) specifics of the build. The dependencies come from
# ORV_WINDOWS_PREFIX, filled by scripts/package-windows.
if(NOT ORV_WINDOWS_PREFIX)
  message(FATAL_ERROR "ORV_WINDOWS_PREFIX is not set: build through scripts/package-windows")
endif()

# Windows 7 API level; Asio needs it spelled out.
add_compile_definitions(_WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
# Static C, C++ and thread runtimes: the modules then import only system DLLs.
add_link_options(-static -static-libgcc -static-libstdc++)
# DLLs, the plug-in and executables side by side, as in the package.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)

# Boost is used for headers only on Windows: Asio (Windows Sockets), Date_Time.
add_library(Boost::headers INTERFACE IMPORTED)
set_target_properties(Boost::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${ORV_WINDOWS_PREFIX}/boost-inc)
add_library(Boost::system INTERFACE IMPORTED)
set_target_properties(Boost::system PROPERTIES INTERFACE_LINK_LIBRARIES "Boost::headers;ws2_32;mswsock")
add_library(Boost::date_time INTERFACE IMPORTED)
set_target_properties(Boost::date_time PROPERTIES INTERFACE_LINK_LIBRARIES Boost::headers)
# The library lock uses std::mutex here (platform/LibraryMutex.h); nothing needs the compiled Boost.Thread.
add_library(Boost::thread INTERFACE IMPORTED)
set_target_properties(Boost::thread PROPERTIES INTERFACE_LINK_LIBRARIES Boost::headers)

# 32-bit exports are called by hosts that keep only 4-byte stack alignment (MSVC);
# code entered from such a caller realigns its own stack.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(ORV_WINDOWS_ENTRY_FLAGS -mincoming-stack-boundary=2)
  # SSE2 doubles instead of the x87 unit: with x87's 80-bit intermediates OLE dates
  # come out a unit in the last place away from the other builds.
  add_compile_options(-msse2 -mfpmath=sse)
else()
  set(ORV_WINDOWS_ENTRY_FLAGS "")
endif()

# orv_windows_def(IN OUT): a .def file for this architecture. The source lists the
# 32-bit stdcall names (NAME@bytes); 64-bit Windows has one calling convention and
# plain names, so the decoration is dropped there.
function(orv_windows_def in out)
  file(READ ${in} _def)
  if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
    string(REGEX REPLACE "@[0-9]+" "" _def "${_def}")
  endif()
  file(WRITE ${out}.tmp "${_def}")
  configure_file(${out}.tmp ${out} COPYONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${in})
endfunction()

# A stdcall DLL built from a decorated .def: exports without the @bytes, and an import
# library (what the linker writes itself lacks the decoration stdcall callers look for).
function(orv_windows_dll_exports target def)
  target_sources(${target} PRIVATE ${def})
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_link_options(${target} PRIVATE -Wl,--kill-at)
  endif()
  set_target_properties(${target} PROPERTIES PREFIX "" IMPORT_PREFIX "lib" IMPORT_SUFFIX ".dll.a")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} -d ${def} -D $<TARGET_FILE_NAME:${target}> -k -l $<TARGET_LINKER_FILE:${target}>
    VERBATIM)
endfunction()

# The tools (orv-sim.exe, orvctl.exe): header-only CLI11 and nlohmann-json from the same
# folder as Boost; libpng, zlib, libx264 and an encoding libavcodec in ${ORV_WINDOWS_PREFIX}/tools.
add_library(CLI11::CLI11 INTERFACE IMPORTED)
set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_LINK_LIBRARIES Boost::headers)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_LINK_LIBRARIES Boost::headers)
set(ORV_WINDOWS_TOOLS ${ORV_WINDOWS_PREFIX}/tools)
if(EXISTS ${ORV_WINDOWS_TOOLS}/lib/libavcodec.a AND EXISTS ${ORV_WINDOWS_TOOLS}/lib/libx264.a)
  set(ORV_WINDOWS_HAVE_TOOLS ON)
  list(APPEND CMAKE_FIND_ROOT_PATH ${ORV_WINDOWS_TOOLS})
  add_library(orv_sim_avcodec INTERFACE IMPORTED)
  set_target_properties(orv_sim_avcodec PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${ORV_WINDOWS_TOOLS}/include
    INTERFACE_LINK_LIBRARIES "${ORV_WINDOWS_TOOLS}/lib/libavcodec.a;${ORV_WINDOWS_TOOLS}/lib/libx264.a;${ORV_WINDOWS_TOOLS}/lib/libavutil.a;bcrypt;ole32;user32")
  set(ORV_SIM_AVCODEC orv_sim_avcodec)
else()
  set(ORV_WINDOWS_HAVE_TOOLS OFF)
endif()
