# The fuzz targets' committed seeds replayed as tests in the normal build:
# each target built with the normal compiler and fuzz/replay_main.cpp in
# place of libFuzzer.  Like scripts/fuzz.sh, each runs in a network namespace
# of its own with only loopback (skipped where none can be made).
# FuzzedDataProvider.h comes with clang's runtime (libclang-rt-dev).
file(GLOB wanseer_fuzzed_data_providers
  /usr/lib/llvm-*/lib/clang/*/include/fuzzer/FuzzedDataProvider.h)
list(SORT wanseer_fuzzed_data_providers)
list(LENGTH wanseer_fuzzed_data_providers found)
if(found GREATER 0)
  # Alone: clang's other headers there are not for gcc.
  list(GET wanseer_fuzzed_data_providers -1 provider)
  file(COPY ${provider} DESTINATION ${PROJECT_BINARY_DIR}/fuzz-include/fuzzer)
endif()
set(wanseer_loopback_only [=[
  unshare --map-root-user --net true 2>/dev/null || { echo "no network namespace: skipped"; exit 77; }
  exec unshare --map-root-user --net -- sh -c 'ip link set lo up && exec "$@"' sh "$@"]=])

function(wanseer_fuzz_target name)
  cmake_parse_arguments(PARSE_ARGV 1 target "" "MAX_LEN" "LIBRARIES")
  set(replay fuzz_replay_${name})
  add_executable(${replay} ${PROJECT_SOURCE_DIR}/fuzz/${name}_fuzzer.cpp
    ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
  target_link_libraries(${replay} PRIVATE wanseer_objects pellary ${target_LIBRARIES})
  target_include_directories(${replay} SYSTEM PRIVATE ${PROJECT_BINARY_DIR}/fuzz-include)
  add_test(NAME fuzz_corpus.${name} COMMAND sh -c "${wanseer_loopback_only}" sh
    $<TARGET_FILE:${replay}> ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
  set_tests_properties(fuzz_corpus.${name} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
endfunction()
include(${PROJECT_SOURCE_DIR}/fuzz/targets.cmake)
