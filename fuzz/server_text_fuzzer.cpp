// The server text of wanseer_startup, parsed the way wanseer_startup parses
// it (host names split from dotted addresses and checked), and a dotted
// address aimed at by the worker's probe_channel.
// Whatever the text, the parse must stay within the text and the channel's
// socket still opens.
//
// The parse never looks a host name up, but a mistake that made it do so
// would ask a name server elsewhere.  So this target refuses to run where any
// network but loopback is reachable; scripts/fuzz.sh starts it in a network
// namespace of its own that has only a loopback interface, where every
// lookup fails at once and nothing can leave the machine.

#include <net/if.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz_check.h"
#include "probe_channel.h"
#include "server_text.h"

namespace {

bool only_loopback_is_reachable() {
  struct if_nameindex* const interfaces = ::if_nameindex();
  if (interfaces == nullptr) {
    return false;
  }
  bool only_loopback = true;
  for (const struct if_nameindex* entry = interfaces; entry->if_index != 0; ++entry) {
    if (std::strcmp(entry->if_name, "lo") != 0) {
      only_loopback = false;
    }
  }
  ::if_freenameindex(interfaces);
  return only_loopback;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  if (!only_loopback_is_reachable()) {
    std::fprintf(stderr,
                 "server_text_fuzzer: host names in the input would reach the name server; "
                 "run it in a network namespace with only loopback (scripts/fuzz.sh)\n");
    std::exit(2);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The text as the worker holds it: a C string, here in a heap block of
  // exactly its size, so a read past its NUL is reported.
  const std::unique_ptr<char[]> text(new char[size + 1]);
  std::memcpy(text.get(), data, size);
  text[size] = '\0';

  const wanseer::server_text_parts parts = wanseer::parse_server_text(text.get());
  wanseer::probe_channel channel;
  if (parts.what == wanseer::server_text_parts::kind::address) {
    channel.aim_at(wanseer::ipv4_endpoint(parts.address, parts.port));
  }
  FUZZ_REQUIRE(channel.local_port() != 0, "the socket opens whatever the server text");
  return 0;
}
