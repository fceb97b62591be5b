# The Python package (python/orv_sdk) loads libOrvSdk.so from its own folder first:
# every build of the library and of the decoder plug-in copies them there, so that
# `pip install ./python` after a build ships them inside the package. Sanitizer
# builds are left out: their libraries cannot be loaded into a plain interpreter.
option(ORV_PYTHON_COPY_LIBS "Copy the built libraries into python/orv_sdk" ON)

# Called from the directory that creates `target` (POST_BUILD needs that).
function(orv_copy_into_python_package target)
  if(ORV_PYTHON_COPY_LIBS AND ORV_SANITIZE STREQUAL "" AND NOT WIN32)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${target}>
              ${PROJECT_SOURCE_DIR}/python/orv_sdk/lib${target}.so
      COMMENT "Copying lib${target}.so into python/orv_sdk"
      VERBATIM)
  endif()
endfunction()
