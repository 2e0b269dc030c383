# Every fuzz target, one line each: its name (the source is NAME_fuzzer.cpp,
# the seeds are in corpus/NAME/, a dictionary NAME.dict is used when there is
# one), the longest input scripts/fuzz.sh lets libFuzzer try, and what it
# links beyond the library's objects and the store.  fuzz/CMakeLists.txt
# builds them for libFuzzer; fuzz/replay.cmake replays their seeds in the
# test suite.
wanseer_fuzz_target(key_name MAX_LEN 600)
wanseer_fuzz_target(server_text MAX_LEN 4096)
wanseer_fuzz_target(get_buffer MAX_LEN 400)
wanseer_fuzz_target(reply_datagram MAX_LEN 8192 LIBRARIES loopback_net)
wanseer_fuzz_target(stun_message MAX_LEN 600)
