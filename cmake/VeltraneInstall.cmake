# `cmake --install` puts the component library, its public headers and a CMake package for
# find_package(Veltrane) under the prefix.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VT_INSTALL_TARGETS veltrane_core vt_warnings)
if(TARGET vtuser32)
  list(APPEND VT_INSTALL_TARGETS vtuser32)
endif()
install(TARGETS ${VT_INSTALL_TARGETS} EXPORT VeltraneTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS Veltrane LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/veltrane
  RUNTIME DESTINATION ${CMAKE_INSTALL_LIBDIR}/veltrane)

foreach(dir rtl platform image math stretch streams expr library)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/veltrane/${dir}
    FILES_MATCHING PATTERN "*.h" PATTERN "*Private.h" EXCLUDE PATTERN "*Device.h" EXCLUDE
    PATTERN "linux" EXCLUDE PATTERN "windows" EXCLUDE)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/plugin/VeltranePlugin.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/veltrane/plugin)

install(EXPORT VeltraneTargets NAMESPACE Veltrane:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Veltrane)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VeltraneConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VeltraneConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Veltrane)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VeltraneConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VeltraneConfig.cmake ${PROJECT_BINARY_DIR}/VeltraneConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Veltrane)
