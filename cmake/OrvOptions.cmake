# Warnings and sanitizers for our own targets.
add_library(orv_warnings INTERFACE)
target_compile_options(orv_warnings INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic -Werror>
  $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra -Wpedantic -Werror>)

if(ORV_SANITIZE STREQUAL "asan")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(ORV_SANITIZE STREQUAL "tsan")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT ORV_SANITIZE STREQUAL "")
  message(FATAL_ERROR "ORV_SANITIZE must be empty, asan or tsan")
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
