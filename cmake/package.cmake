# Debian packages (cpack -G DEB): libkelmcat1 holds the shared library,
# kelmcat-tools the kelmcat command and the host kit's shared library,
# libkelmcat-dev the headers (the kit's too), the pkg-config file, the CMake
# package and the development links. Dependencies are computed with dpkg-shlibdeps, and the
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

set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_COMPONENT_DEV_DEPENDS runtime tools)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
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
# kelmcat-tools: the command and the kit need libkelmcat1 of the same build
# (a component dependency); dpkg-shlibdeps adds SQLite and the C/C++ runtimes,
# and is shown where the libraries of this build lie.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}
  ${PROJECT_BINARY_DIR}/host)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kelmcat-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "media categorizer: the kelmcat command and its host kit
The kelmcat command scans folders of the local disk into a SQLite database,
finding each video file's IMDb id through a title-matching service or a file
of offline answers. The package also holds libkelmcathost, the host kit it is
built on: a disk storage backend, a SQLite vault and an offline answers IO for
libkelmcat.")

include(CPack)
