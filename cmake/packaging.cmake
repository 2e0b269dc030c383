# Debian packages through CPack's DEB generator, one package per install
# component (cmake/install.cmake).  scripts/package.sh configures a build with
# WANSEER_DEBIAN_PACKAGE=ON and the /usr prefix, then runs cpack.
#
#   component  package               contents
#   runtime    libwanseer1           libwanseer.so.1*
#   store      libpellary1           libpellary.so.1*, the stand-in value store
#   dev        libwanseer-dev        wanseer.h, libwanseer.so, wanseer.pc, the CMake package, wanseer(3)
#   cli        wanseer               wanseer, wanseer(1), the watcher's systemd unit template
#   server     wanseer-probe-server  wanseer-probe-server, wanseer-probe-server(8), its systemd unit
#
# CPack rather than a debian/ folder: the install rules already say where
# every file goes and which package takes it, and the version is the
# project's.  A debian/ folder would say both again (debhelper's .install
# files, debian/changelog) and drive a second build through dpkg-buildpackage,
# two descriptions to keep in step.  What CPack does not write itself
# (copyright, changelog, ldconfig trigger, symbols, conffiles, lintian
# overrides) comes from packaging/debian/.
option(WANSEER_DEBIAN_PACKAGE
  "Install what Debian packages carry besides the program files: copyright, changelog, lintian overrides, the systemd unit under /lib"
  OFF)

set(WANSEER_PACKAGE_CONTACT "The wanseer authors <wanseer@example.org>")
# Without the bundled store (a platform that has its own), no libpellary1.
if(DEFINED WANSEER_INSTALL_PELLARY AND NOT WANSEER_INSTALL_PELLARY)
  set(wanseer_package_store OFF)
else()
  set(wanseer_package_store ON)
endif()
set(wanseer_debian_packages runtime:libwanseer1 dev:libwanseer-dev)
if(wanseer_package_store)
  list(APPEND wanseer_debian_packages store:libpellary1)
endif()
if(WANSEER_BUILD_TOOLS)
  list(APPEND wanseer_debian_packages cli:wanseer server:wanseer-probe-server)
endif()

# The server's service unit and its environment file, where the tree has
# them.  Only the package installs them: the unit runs /usr/bin's server.
set(wanseer_unit_source ${PROJECT_SOURCE_DIR}/packaging/systemd/wanseer-probe-server.service)
set(wanseer_xdp_unit_source
  ${PROJECT_SOURCE_DIR}/packaging/systemd/wanseer-probe-server-xdp.service)
set(wanseer_unit_environment ${PROJECT_SOURCE_DIR}/packaging/systemd/wanseer-probe-server.default)
set(wanseer_watch_unit_source ${PROJECT_SOURCE_DIR}/packaging/systemd/wanseer-watch@.service)
set(WANSEER_SYSTEMD_UNIT_DIR /lib/systemd/system CACHE PATH
  "Where the package installs the probe server's systemd unit")

if(WANSEER_DEBIAN_PACKAGE)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in
    ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
    COMMAND ${GZIP_EXECUTABLE} -9n -c ${PROJECT_BINARY_DIR}/packaging/changelog
      > ${PROJECT_BINARY_DIR}/packaging/changelog.gz
    DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog
    VERBATIM)
  add_custom_target(wanseer_debian_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)

  foreach(entry IN LISTS wanseer_debian_packages)
    string(REPLACE ":" ";" entry "${entry}")
    list(GET entry 0 component)
    list(GET entry 1 package)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
      ${PROJECT_BINARY_DIR}/packaging/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
    set(overrides ${PROJECT_SOURCE_DIR}/packaging/debian/${package}.lintian-overrides)
    if(EXISTS ${overrides})
      install(FILES ${overrides} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME ${package} COMPONENT ${component})
    endif()
  endforeach()

  if(WANSEER_BUILD_TOOLS AND EXISTS ${wanseer_unit_source})
    install(FILES ${wanseer_unit_source} ${wanseer_xdp_unit_source}
      DESTINATION ${WANSEER_SYSTEMD_UNIT_DIR} COMPONENT server)
  endif()
  # The watcher's template unit, and an example of its configuration.
  if(WANSEER_BUILD_TOOLS AND EXISTS ${wanseer_watch_unit_source})
    install(FILES ${wanseer_watch_unit_source}
      DESTINATION ${WANSEER_SYSTEMD_UNIT_DIR} COMPONENT cli)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/wanseer-watch.conf
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/wanseer/examples RENAME watch.conf COMPONENT cli)
  endif()
  # Files under /etc are the administrator's: dpkg keeps their changes.
  if(WANSEER_BUILD_TOOLS AND EXISTS ${wanseer_unit_environment})
    install(FILES ${wanseer_unit_environment} DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default
      RENAME wanseer-probe-server COMPONENT server)
    file(WRITE ${PROJECT_BINARY_DIR}/packaging/server/conffiles
      "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/wanseer-probe-server\n")
    set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/server/conffiles)
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wanseer)
set(CPACK_PACKAGE_VENDOR "The wanseer authors")
set(CPACK_PACKAGE_CONTACT "${WANSEER_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
# Absolute destinations (the unit under /lib, /etc/default) land inside the package.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL "")
foreach(entry IN LISTS wanseer_debian_packages)
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 component)
  list(APPEND CPACK_COMPONENTS_ALL ${component})
endforeach()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${WANSEER_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Library dependencies come from dpkg-shlibdeps; libpellary.so.1 is found in
# the build tree, and its package is named below because no installed shlibs
# file can tell dpkg-shlibdeps about it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/pellary ${PROJECT_BINARY_DIR}/src)
# A shlibs file for each library package (CPack writes none for a package
# without a shared library), so that others' dpkg-shlibdeps can depend on it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# Each library package carries dpkg's ldconfig trigger (CPack's own
# postinst and postrm run ldconfig, but Debian relies on the trigger) and a
# symbols file, which tells a dependent package the version that brought each
# function; scripts/package.sh checks it against the library's exports.
foreach(entry runtime:libwanseer1 store:libpellary1)
  string(REPLACE ":" ";" entry "${entry}")
  list(GET entry 0 component)
  list(GET entry 1 package)
  string(TOUPPER ${component} component)
  set(control ${PROJECT_BINARY_DIR}/packaging/${package})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/library.triggers ${control}/triggers COPYONLY)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/${package}.symbols ${control}/symbols COPYONLY)
  set(CPACK_DEBIAN_${component}_PACKAGE_CONTROL_EXTRA ${control}/triggers ${control}/symbols)
endforeach()

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libwanseer1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
if(wanseer_package_store)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libpellary1 (>= ${PROJECT_VERSION})")
endif()
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "learn this machine's external IPv4 address from a probe server
wanseer is a small shared library that tells a host program the IPv4
address under which a server beyond the local network, and beyond any NAT,
sees this machine.  A background worker asks a cooperating probe server
over UDP, keeps the answer in the shared value store, refreshes it every
45 to 75 seconds (60 on average) and soon after a network change, and hands
it to any caller.

This package contains the shared library.")

set(CPACK_DEBIAN_STORE_PACKAGE_NAME libpellary1)
set(CPACK_DEBIAN_STORE_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_STORE_DESCRIPTION
  "shared value store used by libwanseer
pellary keeps named values for the life of a process, for any number of
threads at once.  libwanseer writes the external address into it, and
reads it back for its callers.

This package contains the project's own build of the store, for systems
that do not provide one.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libwanseer-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libwanseer1 (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "learn this machine's external IPv4 address - development files
wanseer is a small shared library that tells a host program the IPv4
address under which a server beyond the local network, and beyond any NAT,
sees this machine.

This package contains the header, the link library, the pkg-config file,
the CMake package and the manual page wanseer(3).")

set(CPACK_DEBIAN_CLI_PACKAGE_NAME wanseer)
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION net)
# The tool loads the library with dlopen, which dpkg-shlibdeps cannot see.
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS "libwanseer1 (>= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_CLI_DESCRIPTION
  "print this machine's external IPv4 address
wanseer asks a wanseer probe server for the address under which it sees
this machine, through libwanseer loaded as any host program loads it, and
prints it once, or every time it changes.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME wanseer-probe-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_COMPONENT_SERVER_DESCRIPTION
  "UDP server that tells each client its external IPv4 address
wanseer-probe-server answers each 3-byte request with the 4 bytes of the
IPv4 address the request came from, with a per-source rate limit against
reflection.  It serves the hosts that run libwanseer.

The package ships a systemd unit, which is not enabled on installation.")

include(CPack)
