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

# The public headers, the library's interface. Headers private to their folder (the kernels,
# the threads, the engine's internals, the checked arithmetic) stay with the sources; the
# install_consumer test checks that every installed header compiles on its own and that every
# header left out says it is private.
set(VT_PUBLIC_HEADERS
  rtl/Classes.h rtl/Extended.h rtl/Graphics.h rtl/Memory.h rtl/ModuleCounter.h rtl/Object.h
  rtl/SoftExtended.h rtl/Strings.h rtl/SysUtils.h
  platform/Console.h platform/FileApi.h platform/Interrupt.h platform/Process.h platform/Win32.h
  image/BitmapLoaders.h image/LinarBitmap.h image/StreamClass.h
  math/FloatMap.h math/MatrixMath.h math/SymmetricEigen.h
  stretch/PrincipalAxes.h stretch/StretchEngine.h stretch/StretchOptions.h
  stretch/StretchTransform.h stretch/TransformFile.h
  streams/BufStream.h streams/Json.h streams/Streams.h streams/StringLists.h
  expr/ExpressionEval.h
  library/Startup.h
  plugin/VeltranePlugin.h)
foreach(header ${VT_PUBLIC_HEADERS})
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header}
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/veltrane/${dir})
endforeach()

install(EXPORT VeltraneTargets NAMESPACE Veltrane:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Veltrane)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VeltraneConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VeltraneConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Veltrane)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VeltraneConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VeltraneConfig.cmake ${PROJECT_BINARY_DIR}/VeltraneConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Veltrane)
