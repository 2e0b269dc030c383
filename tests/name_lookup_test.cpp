// Host names: looked up as part of each attempt, on a name server of the
// test's own on loopback; a stop ends a lookup that hangs; a lookup that
// failed is made again at the next attempt; a moved server is followed; a
// new resolver configuration is read by the next lookup; several addresses
// are tried in turn; a STUN name without a port is found by its SRV record.

#include <gtest/gtest.h>

#include "probe_control.h"
#include "server_text.h"
#include "support/cpu_time.h"
#include "support/test_name_server.h"
#include "support/worker_harness.h"

namespace wanseer::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr milliseconds unit(40);
const std::string probe_name = "probe.example.net";

std::string named_server(std::uint16_t port) {
  return probe_name + ":" + std::to_string(port);
}

// Answers the next request that `socket` receives with `bytes`.
void answer_next_request(const udp_socket& socket, const address_bytes& bytes) {
  const auto request = socket.receive(seconds(30));
  ASSERT_TRUE(request.has_value());
  socket.send_to(request->sender_port, {bytes.begin(), bytes.end()});
}

TEST(NameLookup, StopEndsALookupThatHangs) {
  use_fresh_key();
  test_name_server names;
  names.set_behaviour(test_name_server::behaviour::silent);
  test_resolver_configuration resolver({&names});
  // Real seconds: the lookup alone would last the resolver's own timeouts.
  running_worker worker(named_server(7171), real_schedule);
  ASSERT_TRUE(names.wait_for_queries(probe_name, 1));
  EXPECT_LT(worker.stop(), prompt_stop);
}

TEST(NameLookup, FailedLookupsAreMissesAndTheNameHealsAtTheNextAttempt) {
  const address_bytes address = {198, 51, 100, 7};
  using behaviour = test_name_server::behaviour;
  for (const behaviour failure : {behaviour::silent, behaviour::nxdomain, behaviour::servfail,
                                  behaviour::truncated, behaviour::garbage}) {
    SCOPED_TRACE(static_cast<int>(failure));
    use_fresh_key();
    loopback_probe_server server([&](std::size_t) { return answer::with(address); });
    test_name_server names;
    names.set_addresses(probe_name, {{127, 0, 0, 1}});
    names.set_behaviour(failure);
    test_resolver_configuration resolver({&names});
    running_worker worker(named_server(server.port()), scaled_schedule(unit));
    ASSERT_TRUE(names.wait_for_queries(probe_name, 1));
    names.set_behaviour(behaviour::answer);
    EXPECT_TRUE(wait_until_stored(address));
    // Nothing was sent while the name did not resolve.  (The server counts a
    // request after answering it, so the answer may be stored first.)
    EXPECT_TRUE(server.wait_for_requests(1));
    EXPECT_EQ(server.request_count(), 1u);
  }
}

TEST(NameLookup, NameWithoutIpv4AddressIsAMissUntilItHasOne) {
  use_fresh_key();
  const address_bytes address = {198, 51, 100, 8};
  loopback_probe_server server([&](std::size_t) { return answer::with(address); });
  test_name_server names;
  names.set_addresses(probe_name, {});
  test_resolver_configuration resolver({&names});
  running_worker worker(named_server(server.port()), scaled_schedule(unit));
  ASSERT_TRUE(names.wait_for_queries(probe_name, 2));
  EXPECT_EQ(server.request_count(), 0u);
  names.set_addresses(probe_name, {{127, 0, 0, 1}});
  EXPECT_TRUE(wait_until_stored(address));
}

TEST(NameLookup, MovedServerIsFollowedAfterOneMissAndKeptWhileItAnswers) {
  use_fresh_key();
  const address_bytes first = {192, 0, 2, 1};
  const address_bytes second = {192, 0, 2, 2};
  loopback_probe_server old_server(
      [&](std::size_t index) { return index == 0 ? answer::with(first) : answer::silent(); });
  const udp_socket new_server("127.0.0.2", old_server.port());
  test_name_server names;
  names.set_addresses(probe_name, {{127, 0, 0, 1}});
  test_resolver_configuration resolver({&names});
  probe_schedule schedule = scaled_schedule(unit);
  schedule.pause_steps = 1;
  running_worker worker(named_server(old_server.port()), schedule);
  ASSERT_TRUE(wait_until_stored(first));
  names.set_addresses(probe_name, {{127, 0, 0, 2}});
  answer_next_request(new_server, second);
  EXPECT_TRUE(wait_until_stored(second));
  EXPECT_EQ(old_server.request_count(), 2u);
  // One lookup at the start, one after the miss, none while answered.
  EXPECT_EQ(names.queries_for(probe_name), 2u);
}

TEST(NameLookup, ChangedResolverConfigurationIsReadByTheNextLookup) {
  use_fresh_key();
  const address_bytes address = {203, 0, 113, 9};
  loopback_probe_server server([&](std::size_t) { return answer::with(address); });
  test_name_server hung;
  hung.set_behaviour(test_name_server::behaviour::silent);
  test_name_server working("127.0.0.2", hung.port());
  working.set_addresses(probe_name, {{127, 0, 0, 1}});
  test_resolver_configuration resolver({&hung});
  running_worker worker(named_server(server.port()), scaled_schedule(unit));
  ASSERT_TRUE(hung.wait_for_queries(probe_name, 1));
  resolver.point_at({&working});
  EXPECT_TRUE(wait_until_stored(address));
  EXPECT_GE(working.queries_for(probe_name), 1u);
}

TEST(NameLookup, SilentFirstAddressCostsOneAttemptAndOthersRepliesAreDropped) {
  use_fresh_key();
  const address_bytes address = {198, 51, 100, 60};
  loopback_probe_server silent_server;
  const udp_socket answering("127.0.0.2", silent_server.port());
  test_name_server names;
  names.set_addresses(probe_name, {{127, 0, 0, 1}, {127, 0, 0, 2}});
  test_resolver_configuration resolver({&names});
  running_worker worker(named_server(silent_server.port()), scaled_schedule(unit));
  ASSERT_TRUE(silent_server.wait_for_requests(1));
  // The second address answers an attempt that asked the first: dropped.
  answering.send_to(silent_server.requests()[0].sender_port, {6, 6, 6, 6});
  answer_next_request(answering, address);
  EXPECT_TRUE(wait_until_stored(address));
  EXPECT_EQ(silent_server.request_count(), 1u);
}

TEST(NameLookup, HostsFileNamesNeedNoNameServer) {
  use_fresh_key();
  const address_bytes address = {192, 0, 2, 80};
  loopback_probe_server server([&](std::size_t) { return answer::with(address); });
  test_name_server names;
  names.set_behaviour(test_name_server::behaviour::silent);
  test_resolver_configuration resolver({&names});
  running_worker worker("localhost:" + std::to_string(server.port()), scaled_schedule(unit));
  EXPECT_TRUE(wait_until_stored(address));
  EXPECT_EQ(names.queries_for("localhost"), 0u);
}

TEST(NameLookup, TextThatCannotBeAHostNameIsNeverLookedUp) {
  use_fresh_key();
  test_name_server names;
  test_resolver_configuration resolver({&names});
  for (const std::string name : {"bad name", "bad\xffname"}) {
    SCOPED_TRACE(name);
    // Were it looked up, the name server would have an answer for it.
    names.set_addresses(name, {{127, 0, 0, 1}});
    running_worker worker(name + ":7171", scaled_schedule(milliseconds(5)));
    // Attempts of 5, 6, 7, ... units, each a lookup if there were one.
    EXPECT_FALSE(names.wait_for_queries(name, 1, seconds(1)));
  }
}

TEST(ServerText, WhatIsANameWhatIsAnAddressAndWhatIsNeither) {
  using kind = server_text_parts::kind;
  const std::string label63(63, 'a');
  std::string name253 = label63 + "." + label63 + "." + label63 + ".";
  name253 += std::string(253 - name253.size(), 'b');
  ASSERT_EQ(name253.size(), 253u);
  const struct {
    std::string text;
    kind expected;
  } cases[] = {
      {"192.0.2.1:7171", kind::address},
      {"127.1:7171", kind::address},  // inet_aton's short form, as before
      {"7171", kind::unusable},       // no host: nobody to ask
      {"0.0.0.0:7171", kind::unusable},
      {"0:7171", kind::unusable},
      {"probe.example.net:7171", kind::host_name},
      {"Probe-1.example_net.:7171", kind::host_name},
      {"probe.example.net:domain", kind::host_name},
      {name253 + ":7171", kind::host_name},
      {name253 + "b:7171", kind::unusable},
      {label63 + "a.net:7171", kind::unusable},
      {"a..b:7171", kind::unusable},
      {"256.1.1.1:7171", kind::unusable},
      {".a:7171", kind::unusable},
      {":7171", kind::unusable},
      {"bad name:7171", kind::unusable},
      {"bad\xffname:7171", kind::unusable},
      {"[::1]:7171", kind::unusable},
      {"probe.example.net:", kind::unusable},
      {"probe.example.net:70000", kind::unusable},
      {"probe.example.net:no-such-service", kind::unusable},
      {"192.0.2.1:70000", kind::unusable},
      {"stun:192.0.2.1", kind::address},
      {"stun:stun.example.net", kind::host_name},
      {"stun:stun.example.net:3479", kind::host_name},
      {"stun:", kind::unusable},
      {"stun::3478", kind::unusable},
      {"stun:stun.example.net:", kind::unusable},
      {"stun:stun.example.net:99999", kind::unusable},
      {"stun:stun.example.net:0", kind::unusable},
      {"stun:0.0.0.0", kind::unusable},
  };
  for (const auto& entry : cases) {
    EXPECT_EQ(parse_server_text(entry.text.c_str()).what, entry.expected) << entry.text;
  }
  EXPECT_EQ(parse_server_text("probe.example.net:domain").port, 53);
  EXPECT_EQ(parse_server_text("stun:192.0.2.1").port, 3478);
  EXPECT_TRUE(parse_server_text("stun:stun.example.net").look_up_service);
  EXPECT_FALSE(parse_server_text("stun:stun.example.net:3478").look_up_service);
}

// The SRV targets in priority order, each on its own port: the first
// request goes to the lowest priority's, the next attempt's to the other.
TEST(NameLookup, StunNameWithoutAPortIsFoundByItsServiceRecord) {
  use_fresh_key();
  loopback_probe_server first_choice;
  loopback_probe_server second_choice;
  test_name_server names;
  names.set_services("_stun._udp.stun.example.net",
                     {{20, 0, second_choice.port(), "b.example.net"},
                      {10, 0, first_choice.port(), "a.example.net"}});
  names.set_addresses("a.example.net", {{127, 0, 0, 1}});
  names.set_addresses("b.example.net", {{127, 0, 0, 1}});
  test_resolver_configuration resolver({&names});
  running_worker worker("stun:stun.example.net", scaled_schedule(unit));
  ASSERT_TRUE(second_choice.wait_for_requests(1));
  ASSERT_GE(first_choice.requests().size(), 1u);
  EXPECT_LT(first_choice.requests()[0].arrival, second_choice.requests()[0].arrival);
}

}  // namespace
}  // namespace wanseer::testing
