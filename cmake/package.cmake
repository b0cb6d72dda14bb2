# Debian packages (cpack -G DEB): libkelmcat1 holds the shared library,
# libkelmcat-dev the headers, the pkg-config file, the CMake package and the
# development link. Dependencies are computed with dpkg-shlibdeps, and the
# runtime package carries a shlibs file for the packages built against it.
set(KELMCAT_PACKAGE_MAINTAINER "the kelmcat developers" CACHE STRING
  "Maintainer field of the Debian packages")

set(CPACK_PACKAGE_NAME kelmcat)
set(CPACK_PACKAGE_VENDOR "the kelmcat developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CONTACT "${KELMCAT_PACKAGE_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkelmcat1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# First line the synopsis, then the long description.
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "media categorizer library with a flat C interface
The library walks a user's folders through host-supplied storage backends,
finds the IMDb ids of video files and records each file in a host-supplied
key/value store. This package holds the shared library.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkelmcat-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "media categorizer library (development files)
The header, the pkg-config file and the CMake package (imported target
kelmcat::kelmcat) for building programs against libkelmcat.")

include(CPack)
