# Install rules and package files: `cmake --install` lays out
#   bin/orvctl, bin/orv-gateway, bin/orv-sim
#   lib/libOrvSdk.so*, lib/libVEVIDAZev2.so (the decoder plug-in is looked up beside the library)
#   include/orv_sdk.h
#   lib/cmake/OrvSdk/ (find_package(OrvSdk) -> OrvSdk::OrvSdk), lib/pkgconfig/orv-sdk.pc
# Targets that are not part of this build are skipped.
include(CMakePackageConfigHelpers)

set(ORV_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/OrvSdk)

if(TARGET OrvSdk)
  install(TARGETS OrvSdk EXPORT OrvSdkTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/include/orv_sdk.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
  install(EXPORT OrvSdkTargets NAMESPACE OrvSdk:: DESTINATION ${ORV_INSTALL_CMAKEDIR} COMPONENT dev)

  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/OrvSdkConfig.cmake.in
    ${PROJECT_BINARY_DIR}/OrvSdkConfig.cmake INSTALL_DESTINATION ${ORV_INSTALL_CMAKEDIR})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/OrvSdkConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/OrvSdkConfig.cmake ${PROJECT_BINARY_DIR}/OrvSdkConfigVersion.cmake
    DESTINATION ${ORV_INSTALL_CMAKEDIR} COMPONENT dev)

  # The .pc file finds its prefix from its own location, so an installed tree can be moved.
  file(RELATIVE_PATH ORV_PC_PREFIX_FROM_PCDIR
    /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
  string(REGEX REPLACE "/$" "" ORV_PC_PREFIX_FROM_PCDIR "${ORV_PC_PREFIX_FROM_PCDIR}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/orv-sdk.pc.in ${PROJECT_BINARY_DIR}/orv-sdk.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/orv-sdk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endif()

# The decoder plug-in goes beside the library, where the library looks for it first.
foreach(_orv_plugin VEVIDAZev2)
  if(TARGET ${_orv_plugin})
    install(TARGETS ${_orv_plugin}
      LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
      RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  endif()
endforeach()

# orv-sim carries its own install rule beside its target (sim/CMakeLists.txt).
foreach(_orv_tool orvctl orv-gateway)
  if(TARGET ${_orv_tool})
    get_target_property(_orv_tool_type ${_orv_tool} TYPE)
    if(_orv_tool_type STREQUAL "EXECUTABLE")
      # Installed tools find libOrvSdk.so in the lib folder next to their bin folder.
      set_property(TARGET ${_orv_tool} PROPERTY INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
      install(TARGETS ${_orv_tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
    endif()
  endif()
endforeach()
