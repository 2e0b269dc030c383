# The probe server's XDP fast path (--xdp): the BPF program is compiled with
# clang -target bpf, turned into a skeleton header by bpftool, and loaded
# with libbpf.  Without those three the server is built without it, and
# --xdp says so.
pkg_check_modules(LIBBPF IMPORTED_TARGET GLOBAL libbpf)
pkg_check_modules(FAST_PATH_ZLIB IMPORTED_TARGET zlib)
find_program(WANSEER_BPF_CLANG NAMES clang clang-16 clang-15 clang-14)
find_program(WANSEER_BPFTOOL bpftool PATHS /usr/sbin /sbin)
set(fast_path_dir ${CMAKE_CURRENT_SOURCE_DIR}/probe_server/xdp)

# Compiles one BPF program of the tests or benchmarks into OUTPUT, built
# with the target TARGET.
function(wanseer_bpf_object target source output)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${WANSEER_BPF_CLANG} -O2 -target bpf -Wall -Werror
      -idirafter /usr/include/${CMAKE_LIBRARY_ARCHITECTURE} -c ${source} -o ${output}
    DEPENDS ${source}
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${output})
endfunction()

if(LIBBPF_FOUND AND FAST_PATH_ZLIB_FOUND AND WANSEER_BPF_CLANG AND WANSEER_BPFTOOL)
  set(WANSEER_XDP_SUPPORT ON CACHE INTERNAL "The probe server is built with --xdp")
  set(fast_path_object ${CMAKE_CURRENT_BINARY_DIR}/probe_fast_path.bpf.o)
  set(fast_path_skeleton ${CMAKE_CURRENT_BINARY_DIR}/probe_fast_path.skel.h)
  add_custom_command(
    OUTPUT ${fast_path_object}
    COMMAND ${WANSEER_BPF_CLANG} -O2 -g -target bpf -Wall -Wextra -Werror
      -idirafter /usr/include/${CMAKE_LIBRARY_ARCHITECTURE} -I${fast_path_dir}
      -c ${fast_path_dir}/probe_fast_path.bpf.c -o ${fast_path_object}
    DEPENDS ${fast_path_dir}/probe_fast_path.bpf.c ${fast_path_dir}/fast_path_layout.h
    COMMENT "Compiling the XDP fast path"
    VERBATIM)
  add_custom_command(
    OUTPUT ${fast_path_skeleton}
    COMMAND ${WANSEER_BPFTOOL} gen skeleton ${fast_path_object} name probe_fast_path
      > ${fast_path_skeleton}
    DEPENDS ${fast_path_object}
    COMMENT "Generating the XDP fast path's skeleton"
    VERBATIM)
  add_library(wanseer_probe_fast_path STATIC ${fast_path_dir}/xdp_fast_path.cpp
    ${fast_path_dir}/host_changes.cpp ${fast_path_skeleton})
  target_include_directories(wanseer_probe_fast_path PRIVATE ${CMAKE_CURRENT_BINARY_DIR})
  target_link_libraries(wanseer_probe_fast_path PUBLIC PkgConfig::LIBBPF
    PRIVATE PkgConfig::FAST_PATH_ZLIB)
else()
  set(WANSEER_XDP_SUPPORT OFF CACHE INTERNAL "The probe server is built with --xdp")
  message(STATUS "wanseer-probe-server: no libbpf, clang or bpftool; building without --xdp")
  add_library(wanseer_probe_fast_path STATIC ${fast_path_dir}/xdp_fast_path_absent.cpp)
endif()
target_include_directories(wanseer_probe_fast_path PUBLIC ${fast_path_dir}
  ${CMAKE_CURRENT_SOURCE_DIR}/probe_server)
target_link_libraries(wanseer_probe_fast_path PUBLIC wanseer_tools_common)
