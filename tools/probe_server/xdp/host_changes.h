// Which rtnetlink messages change what the XDP fast path learned about the
// way back to its clients.  Each change of a link, address or route may
// change it; a neighbour only when its link-layer address changes or it is
// lost.  A neighbour seen for the first time changes nothing: no reply can
// have left through it before it was resolved, and the kernel resolves it
// before it says so.
#ifndef WANSEER_TOOLS_HOST_CHANGES_H
#define WANSEER_TOOLS_HOST_CHANGES_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>

namespace wanseer_tools {

class host_changes {
 public:
  // Follows the neighbours of the interface at `ifindex`.
  explicit host_changes(unsigned ifindex) : ifindex_(ifindex) {}

  // Takes one datagram of rtnetlink messages (notifications or the reply
  // to a neighbour dump); true if any of them may change a way back.
  bool take(const void* data, std::size_t length);

  // Forgets every neighbour, for another interface.
  void restart(unsigned ifindex) {
    ifindex_ = ifindex;
    neighbours_.clear();
  }

 private:
  using link_address = std::array<unsigned char, 6>;
  bool take_neighbour(const void* message, std::size_t length, bool deleted);

  unsigned ifindex_;
  std::map<std::uint32_t, link_address> neighbours_;  // IPv4 (network byte order)
};

}  // namespace wanseer_tools

#endif  // WANSEER_TOOLS_HOST_CHANGES_H
