include(CMakePackageConfigHelpers)
get_target_property(QUILO_LIBRARY_TYPE quilo TYPE)

install(TARGETS quilo EXPORT quiloTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
# <quilo/quilo.hpp> is the one public include; the headers it pulls in come along.
install(DIRECTORY include/quilo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.hpp")
install(EXPORT quiloTargets NAMESPACE quilo:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quilo)
configure_package_config_file(cmake/quiloConfig.cmake.in
  ${PROJECT_BINARY_DIR}/quiloConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quilo)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quiloConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quiloConfig.cmake ${PROJECT_BINARY_DIR}/quiloConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quilo)

# pkg-config, for builds without CMake. A static quilo needs its dependencies on every link line;
# a shared one carries them, and no public header includes theirs, so a consumer needs none.
if(QUILO_LIBRARY_TYPE STREQUAL STATIC_LIBRARY)
  set(QUILO_PC_REQUIRES "Requires: libcurl libcrypto pugixml")
endif()
file(RELATIVE_PATH QUILO_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" QUILO_PC_TO_PREFIX "${QUILO_PC_TO_PREFIX}")
configure_file(cmake/quilo.pc.in ${PROJECT_BINARY_DIR}/quilo.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quilo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
