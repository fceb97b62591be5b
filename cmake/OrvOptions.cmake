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

# orv_add_subsystem(NAME DIR SOURCES file... [DEPS target...]): a static (PIC) library
# from the listed sources of src/DIR.
#
# Each subsystem publishes only its own folder: its include root is a directory of the
# build tree holding one link, DIR -> src/DIR, so "DIR/Header.h" resolves for the
# subsystem itself and for whatever links it (directly or through a subsystem above),
# and nowhere else. A header of a layer that is not among the dependencies does not
# compile, which keeps the layering honest.
# orv_include_root(NAME FOLDER OUT): OUT = an include root where "NAME/..." is FOLDER.
function(orv_include_root name folder out)
  set(root ${PROJECT_BINARY_DIR}/layers/${name})
  if(NOT EXISTS ${root}/${name})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${folder} ${root}/${name} SYMBOLIC)
  endif()
  set(${out} ${root} PARENT_SCOPE)
endfunction()

function(orv_subsystem_include_root dir out)
  orv_include_root(${dir} ${PROJECT_SOURCE_DIR}/src/${dir} root)
  set(${out} ${root} PARENT_SCOPE)
endfunction()

function(orv_add_subsystem name dir)
  cmake_parse_arguments(PARSE_ARGV 2 ARG "" "" "SOURCES;DEPS")
  orv_subsystem_include_root(${dir} root)
  list(TRANSFORM ARG_SOURCES PREPEND ${dir}/)
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE orv_warnings)
  target_include_directories(${name} PUBLIC ${root})
endfunction()
