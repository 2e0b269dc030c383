# Run by CPack after it has made the packages (CPACK_POST_BUILD_SCRIPTS):
# adds "Multi-Arch: same" to the control file of each package named in
# CPACK_WANSEER_MULTIARCH_SAME, which CPack's DEB generator cannot write.
# The package is unpacked and built again with dpkg-deb, owners root.
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(package_file IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND ${DPKG_DEB} -f ${package_file} Package
    OUTPUT_VARIABLE package OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  if(NOT package IN_LIST CPACK_WANSEER_MULTIARCH_SAME)
    continue()
  endif()
  set(tree ${package_file}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${DPKG_DEB} -R ${package_file} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(READ ${tree}/DEBIAN/control control)
  if(NOT control MATCHES "\nMulti-Arch:")
    string(REGEX REPLACE "(^|\n)(Architecture: [^\n]*\n)" "\\1\\2Multi-Arch: same\n" control
      "${control}")
    file(WRITE ${tree}/DEBIAN/control "${control}")
  endif()
  execute_process(COMMAND ${DPKG_DEB} --root-owner-group -b ${tree} ${package_file}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
  message(STATUS "${package}: Multi-Arch: same")
endforeach()
