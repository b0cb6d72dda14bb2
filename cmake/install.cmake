# Installs the shared library (runtime component: libkelmcat.so.1 and the file
# it names; dev component: the libkelmcat.so link), the public headers, the
# pkg-config file and the CMake package with the imported target
# kelmcat::kelmcat, and the host kit with the kelmcat command (below).
# Nothing else of the build is installed.
include(CMakePackageConfigHelpers)

set(KELMCAT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kelmcat)

install(TARGETS kelmcat EXPORT kelmcatTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/include/kelmcat.h
              ${KELMCAT_GENERATED_INCLUDE_DIR}/kelmcat_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

# The host kit and the kelmcat command (tools component: libkelmcathost.so.1
# and the file it names, bin/kelmcat); the kit's header and its development
# link go with the library's (dev). The CMake package also defines
# kelmcat::kelmcathost.
install(TARGETS kelmcathost EXPORT kelmcatTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT tools NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(TARGETS kelmcat_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(FILES ${PROJECT_SOURCE_DIR}/include/kelmcat_host.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

install(EXPORT kelmcatTargets NAMESPACE kelmcat:: DESTINATION ${KELMCAT_CMAKE_DIR}
  COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kelmcatConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kelmcatConfig.cmake INSTALL_DESTINATION ${KELMCAT_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kelmcatConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kelmcatConfig.cmake
              ${PROJECT_BINARY_DIR}/kelmcatConfigVersion.cmake
  DESTINATION ${KELMCAT_CMAKE_DIR} COMPONENT dev)

# The pkg-config file names the prefix the tree is installed under, which is
# known only when installing (cmake --install --prefix, or /usr for the
# packages); it is written then, straight into the destination.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(KELMCAT_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(KELMCAT_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(KELMCAT_PC_LIBDIR_REL ${CMAKE_INSTALL_LIBDIR})
set(KELMCAT_PC_PREFIX "@prefix@") # filled in when installing
# kelmcat.pc for the library, kelmcathost.pc for the host kit (which requires
# kelmcat).
foreach(pc kelmcat kelmcathost)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc.in @ONLY)
  install(CODE "
    set(pc_dir \"${KELMCAT_PC_LIBDIR_REL}/pkgconfig\")
    if(NOT IS_ABSOLUTE \"\${pc_dir}\")
      set(pc_dir \"\${CMAKE_INSTALL_PREFIX}/\${pc_dir}\")
    endif()
    set(pc_file \"\$ENV{DESTDIR}\${pc_dir}/${pc}.pc\")
    file(READ \"${PROJECT_BINARY_DIR}/${pc}.pc.in\" pc_text)
    string(REPLACE \"@prefix@\" \"\${CMAKE_INSTALL_PREFIX}\" pc_text \"\${pc_text}\")
    message(STATUS \"Installing: \${pc_file}\")
    file(WRITE \"\${pc_file}\" \"\${pc_text}\")
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${pc_dir}/${pc}.pc\")
  " COMPONENT dev)
endforeach()
