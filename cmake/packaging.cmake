# Debian packages through CPack's DEB generator, one package per install
# component (cmake/install.cmake).  scripts/package.sh configures a build with
# WANSEER_DEBIAN_PACKAGE=ON and the /usr prefix, then runs cpack.
#
#   component  package               contents
#   runtime    libwanseer1           libwanseer.so.1*
#   store      libpellary1           libpellary.so.1*, the stand-in value store
#   dev        libwanseer-dev        wanseer.h, libwanseer.so, wanseer.pc, the CMake package, wanseer(3)
#   cli        wanseer               wanseer, wanseer(1), the watcher's systemd unit template
#                                    and an example of its configuration, README
#   server     wanseer-probe-server  wanseer-probe-server, wanseer-probe-server(8), its two
#                                    systemd units, README, docs/operating.md
#
# CPack rather than a debian/ folder: the install rules already say where
# every file goes and which package takes it, and the version is the
# project's.  A debian/ folder would say both again (debhelper's .install
# files, debian/changelog) and drive a second build through dpkg-buildpackage,
# two descriptions to keep in step.  What CPack does not write itself
# (copyright, changelog, ldconfig trigger, symbols, conffiles, lintian
# overrides, the maintainer scripts for systemd units) comes from
# packaging/debian/.  Maintainer and Homepage are the project's
# (WANSEER_MAINTAINER and HOMEPAGE_URL in the top CMakeLists.txt).
option(WANSEER_DEBIAN_PACKAGE
  "Install what Debian packages carry besides the program files: copyright, changelog, lintian overrides, the systemd unit under /lib"
  OFF)

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

# Every systemd unit in packaging/systemd/ goes to the package of the
# program it runs: wanseer-probe-server*.service to the server's, any other
# to the CLI's.  Only the packages install them: a unit runs /usr/bin's
# program.  None is enabled on installation (the administrator chooses the
# addresses first, and the XDP unit its interface); each package's
# maintainer scripts, made from packaging/debian/units.*.in for the units it
# ships, keep the administrator's choice, restart what runs on an upgrade,
# stop it on removal and forget it on purge.  A template unit (NAME@.service)
# is never enabled by the package: its running instances are restarted and
# stopped the same way.
file(GLOB wanseer_unit_files CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/systemd/*.service)
set(wanseer_unit_environment ${PROJECT_SOURCE_DIR}/packaging/systemd/wanseer-probe-server.default)
set(wanseer_watch_unit_source ${PROJECT_SOURCE_DIR}/packaging/systemd/wanseer-watch@.service)
set(WANSEER_SYSTEMD_UNIT_DIR /lib/systemd/system CACHE PATH
  "Where the packages install their systemd units")

if(WANSEER_DEBIAN_PACKAGE)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in
    ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/copyright
    ${PROJECT_BINARY_DIR}/packaging/copyright @ONLY)
  # What the manual pages point to, compressed as Debian installs documents:
  # the README for users of the library and the tools, the operator's guide
  # (with the XDP benchmark's description and figures) for the server's.
  set(wanseer_documents README.md:dev README.md:cli README.md:server docs/operating.md:server)
  set(compressed_documents "")
  foreach(entry IN LISTS wanseer_documents)
    string(REPLACE ":" ";" entry "${entry}")
    list(GET entry 0 document)
    list(GET entry 1 component)
    get_filename_component(name ${document} NAME)
    set(compressed ${PROJECT_BINARY_DIR}/packaging/${name}.gz)
    if(NOT compressed IN_LIST compressed_documents)
      add_custom_command(OUTPUT ${compressed}
        COMMAND ${GZIP_EXECUTABLE} -9n -c ${PROJECT_SOURCE_DIR}/${document} > ${compressed}
        DEPENDS ${PROJECT_SOURCE_DIR}/${document}
        VERBATIM)
      list(APPEND compressed_documents ${compressed})
    endif()
    foreach(known IN LISTS wanseer_debian_packages)
      if(known MATCHES "^${component}:(.*)$")
        install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CMAKE_MATCH_1}
          COMPONENT ${component})
      endif()
    endforeach()
  endforeach()
  add_custom_target(wanseer_debian_documents ALL DEPENDS ${compressed_documents})
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
    install(FILES ${PROJECT_BINARY_DIR}/packaging/copyright
      ${PROJECT_BINARY_DIR}/packaging/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
    set(overrides ${PROJECT_SOURCE_DIR}/packaging/debian/${package}.lintian-overrides)
    if(EXISTS ${overrides})
      install(FILES ${overrides} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
        RENAME ${package} COMPONENT ${component})
    endif()
  endforeach()

  # Each package's units, and the maintainer scripts that handle them.
  if(WANSEER_BUILD_TOOLS)
    foreach(component cli server)
      set(units "")
      set(instances "")
      foreach(unit_file IN LISTS wanseer_unit_files)
        get_filename_component(unit ${unit_file} NAME)
        if(unit MATCHES "^wanseer-probe-server")
          set(owner server)
        else()
          set(owner cli)
        endif()
        if(NOT owner STREQUAL component)
          continue()
        endif()
        install(FILES ${unit_file} DESTINATION ${WANSEER_SYSTEMD_UNIT_DIR} COMPONENT ${component})
        if(unit MATCHES "^(.*)@\\.service$")
          list(APPEND instances "${CMAKE_MATCH_1}@*.service")
        else()
          list(APPEND units ${unit})
        endif()
      endforeach()
      if(units STREQUAL "" AND instances STREQUAL "")
        continue()
      endif()
      foreach(entry IN LISTS wanseer_debian_packages)
        if(entry MATCHES "^${component}:(.*)$")
          set(PACKAGE ${CMAKE_MATCH_1})
        endif()
      endforeach()
      list(JOIN units " " UNITS)
      list(JOIN instances " " INSTANCES)
      set(scripts "")
      foreach(script postinst prerm postrm)
        configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/units.${script}.in
          ${PROJECT_BINARY_DIR}/packaging/${component}/${script} @ONLY)
        list(APPEND scripts ${PROJECT_BINARY_DIR}/packaging/${component}/${script})
      endforeach()
      string(TOUPPER ${component} upper)
      list(APPEND CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA ${scripts})
    endforeach()
  endif()
  # An example of the watcher's configuration, beside its template unit.
  if(WANSEER_BUILD_TOOLS AND EXISTS ${wanseer_watch_unit_source})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/wanseer-watch.conf
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/wanseer/examples RENAME watch.conf COMPONENT cli)
  endif()
  # Files under /etc are the administrator's: dpkg keeps their changes.
  if(WANSEER_BUILD_TOOLS AND EXISTS ${wanseer_unit_environment})
    install(FILES ${wanseer_unit_environment} DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default
      RENAME wanseer-probe-server COMPONENT server)
    file(WRITE ${PROJECT_BINARY_DIR}/packaging/server/conffiles
      "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/wanseer-probe-server\n")
    list(APPEND CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/server/conffiles)
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wanseer)
set(CPACK_PACKAGE_VENDOR "The wanseer authors")
set(CPACK_PACKAGE_CONTACT "${WANSEER_MAINTAINER}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${PROJECT_HOMEPAGE_URL}")
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
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${WANSEER_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PROJECT_HOMEPAGE_URL}")
# Multi-Arch: same, so that the libraries of several architectures install
# side by side; CPack 3.25 has no variable for the field, so a script run
# after packaging adds it to these packages.
set(CPACK_WANSEER_MULTIARCH_SAME libwanseer1 libpellary1)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb_multiarch_same.cmake)
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
  "learn this machine's external IPv4 address (probe protocol or STUN)
wanseer is a small shared library that tells a host program the IPv4
address under which a server beyond the local network, and beyond any NAT,
sees this machine.  A background worker asks a wanseer probe server over
UDP, or any STUN server (RFC 8489 Binding), keeps the answer in the
process's value store, refreshes it every 45 to 75 seconds (60 on average)
and soon after a network change, and hands it to any caller.

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
sees this machine, asking a wanseer probe server or any STUN server.

This package contains the header, the link library, the pkg-config file,
the CMake package and the manual page wanseer(3).")

set(CPACK_DEBIAN_CLI_PACKAGE_NAME wanseer)
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION net)
# The tool loads the library with dlopen, which dpkg-shlibdeps cannot see.
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS "libwanseer1 (>= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_CLI_DESCRIPTION
  "print this machine's external IPv4 address (probe protocol or STUN)
wanseer asks a wanseer probe server, or any STUN server (RFC 8489
Binding), for the address under which it sees this machine, through
libwanseer loaded as any host program loads it, and prints it once, or
every time it changes, running a command on each change if asked.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME wanseer-probe-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_COMPONENT_SERVER_DESCRIPTION
  "UDP server that tells each client its external IPv4 address (also STUN)
wanseer-probe-server answers each 3-byte request with the 4 bytes of the
IPv4 address the request came from, and STUN Binding requests (RFC 8489)
on the same sockets, with a per-source rate limit against reflection.  It
serves the hosts that run libwanseer, and any STUN client.  An optional XDP
fast path answers in the network driver.

The package ships two systemd units, neither enabled on installation:
wanseer-probe-server.service for the socket path, and
wanseer-probe-server-xdp.service, which also answers through XDP.")

include(CPack)
