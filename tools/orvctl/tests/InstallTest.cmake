# Installs the build tree into a fresh prefix, then builds C hosts against the installed
# package: through find_package(OrvSdk), and through pkg-config with the README's own
# commands (README_HOST runs them); runs the hosts and the installed orvctl.
# Inputs: BUILD_DIR, WORK_DIR, SOURCE_DIR, README_HOST, HOST_SOURCE (runs without a server),
# EXAMPLE_SOURCE (built only: it wants a server; may be empty), CONSUMER_DIR, C_COMPILER.
cmake_minimum_required(VERSION 3.22)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " cmd "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}\n${err}")
  endif()
  set(RUN_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

file(GLOB_RECURSE libs ${prefix}/lib*/libOrvSdk.so)
file(GLOB_RECURSE configs ${prefix}/*/OrvSdkConfig.cmake)
file(GLOB_RECURSE pcs ${prefix}/*/orv-sdk.pc)
foreach(item libs configs pcs)
  if(NOT ${item})
    message(FATAL_ERROR "install tree lacks ${item}")
  endif()
endforeach()
if(NOT EXISTS ${prefix}/include/orv_sdk.h OR NOT EXISTS ${prefix}/bin/orvctl)
  message(FATAL_ERROR "install tree lacks the header or orvctl")
endif()
list(GET libs 0 lib)
get_filename_component(libdir ${lib} DIRECTORY)

# find_package(OrvSdk) -> OrvSdk::OrvSdk
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer -DCMAKE_PREFIX_PATH=${prefix}
    -DHOST_SOURCE=${HOST_SOURCE} -DEXAMPLE_SOURCE=${EXAMPLE_SOURCE} -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_BUILD_RPATH=${libdir})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run(${WORK_DIR}/consumer/host)
message(STATUS "find_package host: ${RUN_OUTPUT}")

# pkg-config orv-sdk: the README's own lines build examples/host.c against the installed
# tree and run it against the installed orv-sim, so the README's command cannot drift.
run(sh ${README_HOST} ${SOURCE_DIR}/README.md ${prefix} ${SOURCE_DIR} ${WORK_DIR}/readme)
message(STATUS "README's pkg-config host: ${RUN_OUTPUT}")

# The installed orvctl finds the installed library by itself, and the library finds the
# decoder plug-in beside it: the demo fails when a compressed-video camera gives no picture.
run(${prefix}/bin/orvctl --help)
execute_process(COMMAND ${prefix}/bin/orvctl demo -o ${WORK_DIR}/demo
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "installed orvctl demo failed (${rc}):\n${out}\n${err}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
