# A Debian package of what `cmake --install` puts in place: the library, its headers with the
# CMake and pkg-config files, and the tool with its man page. `cpack -G DEB` in a build configured
# with -DCMAKE_INSTALL_PREFIX=/usr (and BUILD_SHARED_LIBS=ON, as Debian ships libraries).
set(CPACK_PACKAGE_NAME quilo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "quilo maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "C++20 client library and tool for S3-compatible storage")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Depends on the packages of the libraries the library and the tool link, as dpkg-shlibdeps
# finds them; a shared library also gets its shlibs file and the ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
if(QUILO_LIBRARY_TYPE STREQUAL STATIC_LIBRARY)
  # A static library's consumers link its dependencies themselves.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcurl4-openssl-dev | libcurl-dev, libssl-dev, libpugixml-dev")
endif()
include(CPack)
