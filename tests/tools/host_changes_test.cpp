// Which rtnetlink messages make the XDP fast path's learned ways back lapse:
// a stale Ethernet address must never survive, and a new neighbour must not
// make every source start over.
#include "host_changes.h"

#include <gtest/gtest.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using wanseer_tools::host_changes;

constexpr unsigned followed = 7;

void add_attribute(std::vector<char>& message, unsigned short type, const void* data,
                   std::size_t length) {
  const std::size_t at = message.size();
  message.resize(at + RTA_SPACE(length));
  rtattr attribute{};
  attribute.rta_len = static_cast<unsigned short>(RTA_LENGTH(length));
  attribute.rta_type = type;
  std::memcpy(message.data() + at, &attribute, sizeof attribute);
  std::memcpy(message.data() + at + RTA_LENGTH(0), data, length);
}

// One RTM_NEWNEIGH or RTM_DELNEIGH message of an IPv4 neighbour.
std::vector<char> neighbour(unsigned short type, unsigned ifindex, std::uint8_t last_octet,
                            std::uint16_t state, int mac_last = -1) {
  std::vector<char> message(NLMSG_SPACE(sizeof(ndmsg)));
  ndmsg body{};
  body.ndm_family = AF_INET;
  body.ndm_ifindex = static_cast<int>(ifindex);
  body.ndm_state = state;
  std::memcpy(NLMSG_DATA(reinterpret_cast<nlmsghdr*>(message.data())), &body, sizeof body);
  const std::uint8_t address[4] = {192, 0, 2, last_octet};
  add_attribute(message, NDA_DST, address, sizeof address);
  if (mac_last >= 0) {
    const std::uint8_t mac[6] = {2, 0, 0, 0, 0, static_cast<std::uint8_t>(mac_last)};
    add_attribute(message, NDA_LLADDR, mac, sizeof mac);
  }
  nlmsghdr header{};
  header.nlmsg_len = static_cast<std::uint32_t>(message.size());
  header.nlmsg_type = type;
  std::memcpy(message.data(), &header, sizeof header);
  return message;
}

bool take(host_changes& changes, const std::vector<char>& message) {
  return changes.take(message.data(), message.size());
}

TEST(HostChanges, OnlyAChangedOrLostNeighbourOfTheInterfaceCounts) {
  host_changes changes(followed);
  struct step {
    const char* what;
    std::vector<char> message;
    bool changed;
  };
  const step steps[] = {
      {"not resolved yet", neighbour(RTM_NEWNEIGH, followed, 2, NUD_INCOMPLETE), false},
      {"resolved for the first time", neighbour(RTM_NEWNEIGH, followed, 2, NUD_REACHABLE, 1),
       false},
      {"the same address again", neighbour(RTM_NEWNEIGH, followed, 2, NUD_STALE, 1), false},
      {"another Ethernet address", neighbour(RTM_NEWNEIGH, followed, 2, NUD_REACHABLE, 9), true},
      {"of another interface", neighbour(RTM_NEWNEIGH, followed + 1, 2, NUD_REACHABLE, 5), false},
      {"failed", neighbour(RTM_NEWNEIGH, followed, 2, NUD_FAILED), true},
      {"back after failing", neighbour(RTM_NEWNEIGH, followed, 2, NUD_REACHABLE, 9), false},
      {"deleted", neighbour(RTM_DELNEIGH, followed, 2, NUD_NONE), true},
      {"deleted, never seen", neighbour(RTM_DELNEIGH, followed, 3, NUD_NONE), true},
  };
  for (const step& each : steps) {
    EXPECT_EQ(take(changes, each.message), each.changed) << each.what;
  }
}

TEST(HostChanges, AnyLinkAddressOrRouteMessageCounts) {
  for (const unsigned short type :
       {RTM_NEWLINK, RTM_DELLINK, RTM_NEWADDR, RTM_DELADDR, RTM_NEWROUTE, RTM_DELROUTE}) {
    host_changes changes(followed);
    std::vector<char> message(NLMSG_SPACE(sizeof(ifinfomsg)));
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(message.size());
    header.nlmsg_type = type;
    std::memcpy(message.data(), &header, sizeof header);
    EXPECT_TRUE(take(changes, message)) << "type " << type;
  }
}

TEST(HostChanges, OneChangeAmongSeveralMessagesCounts) {
  host_changes changes(followed);
  std::vector<char> both = neighbour(RTM_NEWNEIGH, followed, 4, NUD_REACHABLE, 1);
  ASSERT_FALSE(take(changes, both));
  const std::vector<char> changed = neighbour(RTM_NEWNEIGH, followed, 4, NUD_REACHABLE, 2);
  both.insert(both.end(), changed.begin(), changed.end());
  EXPECT_TRUE(take(changes, both));
}

TEST(HostChanges, ANewInterfaceStartsWithNoNeighbours) {
  host_changes changes(followed);
  ASSERT_FALSE(take(changes, neighbour(RTM_NEWNEIGH, followed, 2, NUD_REACHABLE, 1)));
  changes.restart(followed + 1);
  EXPECT_FALSE(take(changes, neighbour(RTM_NEWNEIGH, followed + 1, 2, NUD_REACHABLE, 8)));
  EXPECT_FALSE(take(changes, neighbour(RTM_NEWNEIGH, followed, 2, NUD_REACHABLE, 9)));
}

}  // namespace
