# cmake --install: headers, the library (and, unless WANSEER_INSTALL_PELLARY
# is off, the bundled value store), wanseer.pc and a CMake package
# (find_package(wanseer) gives wanseer::wanseer).
#
# Each file belongs to an install component, one per Debian package
# (cmake/packaging.cmake): runtime (libwanseer1), store (libpellary1), dev
# (libwanseer-dev), cli (wanseer), server (wanseer-probe-server).  The store's
# own header and link name form store-dev, which no package ships: hosts talk
# to the library, never to the store, so the CMake package exports only
# wanseer::wanseer (libwanseer links the store by its file, not as a target).
include(CMakePackageConfigHelpers)

# On a platform with its own store, ours would clash with it.
if(WANSEER_INSTALL_PELLARY)
  install(TARGETS pellary
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT store NAMELINK_COMPONENT store-dev
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT store-dev)
endif()
install(TARGETS wanseer EXPORT wanseer-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT wanseer-targets NAMESPACE wanseer::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/wanseer COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/wanseer-config.cmake.in
  ${PROJECT_BINARY_DIR}/wanseer-config.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/wanseer)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/wanseer-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/wanseer-config.cmake
  ${PROJECT_BINARY_DIR}/wanseer-config-version.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/wanseer COMPONENT dev)

# Plain paths (prefix=/usr, libdir=${prefix}/lib/...), as pkg-config files
# have them, written when the files are installed so that the prefix is the
# one installed to, also with `cmake --install --prefix DIR`.
install(CODE "
  set(WANSEER_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  set(pc_file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/wanseer.pc\")
  message(STATUS \"Installing: \${pc_file}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/wanseer.pc.in\" \"\${pc_file}\" @ONLY)
  " COMPONENT dev)
