# Warnings and sanitizers for our own targets.
add_library(orv_warnings INTERFACE)
target_compile_options(orv_warnings INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic -Werror>
  $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra -Wpedantic -Werror>)

if(ORV_SANITIZE STREQUAL "asan")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  # The sanitizer instrumentation makes GCC's flow analysis report false
  # maybe-uninitialized warnings inside libstdc++ (<regex>, std::function).
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
elseif(ORV_SANITIZE STREQUAL "tsan")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  # GCC warns that Asio's atomic_thread_fence is not instrumented; the fences Asio uses
  # sit beside atomics that are, so the warning is noise that -Werror would turn fatal.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-tsan)
  endif()
  add_link_options(-fsanitize=thread)
elseif(NOT ORV_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ORV_SANITIZE must be empty, asan or tsan")
endif()

# Fuzz builds instrument every library for coverage, not just the fuzz executables,
# otherwise libFuzzer sees none of the code it is meant to explore.
if(ORV_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ORV_BUILD_FUZZ needs clang")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# orv_add_subsystem(NAME DIR [DEPS ...]): a static (PIC) library from every source in DIR.
function(orv_add_subsystem name dir)
  file(GLOB _srcs CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
  if(_srcs)
    add_library(${name} STATIC ${_srcs})
    target_link_libraries(${name} PUBLIC ${ARGN} PRIVATE orv_warnings)
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${ARGN})
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
  endif()
endfunction()
