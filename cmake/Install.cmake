include(CMakePackageConfigHelpers)

install(TARGETS quilo EXPORT quiloTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/quilo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT quiloTargets NAMESPACE quilo:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quilo)
configure_package_config_file(cmake/quiloConfig.cmake.in
  ${PROJECT_BINARY_DIR}/quiloConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quilo)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quiloConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quiloConfig.cmake ${PROJECT_BINARY_DIR}/quiloConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quilo)
