#include "xdp_fast_path.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <ifaddrs.h>
#include <linux/if_link.h>
#include <linux/if_packet.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <vector>

#include "fast_path_layout.h"
#include "host_changes.h"
#include "probe_fast_path.skel.h"
#include "unique_fd.h"

namespace wanseer_tools {

namespace {

// The verifier's log and libbpf's own warnings explain a failed load.
__attribute__((format(printf, 2, 0))) int print_libbpf_warnings(libbpf_print_level level,
                                                                const char* format,
                                                                va_list arguments) {
  return level == LIBBPF_WARN ? std::vfprintf(stderr, format, arguments) : 0;
}

std::uint64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ULL +
         static_cast<std::uint64_t>(now.tv_nsec);
}

struct skeleton_deleter {
  void operator()(probe_fast_path* skeleton) const { probe_fast_path::destroy(skeleton); }
};
struct ring_buffer_deleter {
  void operator()(ring_buffer* buffer) const { ring_buffer__free(buffer); }
};

struct interface_facts {
  unsigned index = 0;
  std::vector<std::uint32_t> addresses;  // network byte order
};

// The host_addresses map as it should be: address (network byte order) to
// FAST_PATH_ADDRESS_* flags.
using address_flags = std::map<std::uint32_t, std::uint8_t>;

std::uint32_t ipv4_of(const sockaddr* address) {
  return reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr;
}

// Every IPv4 address and subnet broadcast of the host's interfaces, those
// of `name` marked as served, and the Ethernet address of `name`.
bool read_host_addresses(const std::string& name, address_flags& wanted,
                         fast_path_link_address& mac, std::string& error) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    error = std::string("cannot list the host's addresses: ") + std::strerror(errno);
    return false;
  }
  for (const ifaddrs* item = list; item != nullptr; item = item->ifa_next) {
    if (item->ifa_addr != nullptr && item->ifa_addr->sa_family == AF_PACKET &&
        name == item->ifa_name) {
      const auto* link = reinterpret_cast<const sockaddr_ll*>(item->ifa_addr);
      if (link->sll_halen == sizeof mac.mac) {
        std::memcpy(mac.mac, link->sll_addr, sizeof mac.mac);
      }
    }
    if (item->ifa_addr == nullptr || item->ifa_addr->sa_family != AF_INET) {
      continue;
    }
    std::uint8_t& flags = wanted[ipv4_of(item->ifa_addr)];
    flags |= FAST_PATH_ADDRESS_HOST;
    if (name == item->ifa_name) {
      flags |= FAST_PATH_ADDRESS_SERVED;
    }
    // The kernel makes the last address of a subnet of /30 or wider a
    // broadcast address whether or not one was given; only a broadcast
    // interface's ifa_broadaddr is one (a point-to-point one's is the peer).
    if (item->ifa_netmask != nullptr && item->ifa_netmask->sa_family == AF_INET) {
      const std::uint32_t mask = ntohl(ipv4_of(item->ifa_netmask));
      if (mask != 0xffffffff && mask != 0xfffffffe) {
        wanted[htonl(ntohl(ipv4_of(item->ifa_addr)) | ~mask)] |= FAST_PATH_ADDRESS_HOST;
      }
    }
    if ((item->ifa_flags & IFF_BROADCAST) != 0 && item->ifa_broadaddr != nullptr &&
        item->ifa_broadaddr->sa_family == AF_INET && ipv4_of(item->ifa_broadaddr) != 0) {
      wanted[ipv4_of(item->ifa_broadaddr)] |= FAST_PATH_ADDRESS_HOST;
    }
  }
  freeifaddrs(list);
  return true;
}

bool read_interface(const std::string& name, interface_facts& facts, std::string& error) {
  facts.index = if_nametoindex(name.c_str());
  if (facts.index == 0) {
    error = "no interface named '" + name + "'";
    return false;
  }
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    error = std::string("cannot list the interface's addresses: ") + std::strerror(errno);
    return false;
  }
  bool has_mac = false;
  for (const ifaddrs* item = list; item != nullptr; item = item->ifa_next) {
    if (item->ifa_addr == nullptr || name != item->ifa_name) {
      continue;
    }
    if (item->ifa_addr->sa_family == AF_INET) {
      facts.addresses.push_back(ipv4_of(item->ifa_addr));
    } else if (item->ifa_addr->sa_family == AF_PACKET) {
      has_mac = has_mac || reinterpret_cast<const sockaddr_ll*>(item->ifa_addr)->sll_halen == 6;
    }
  }
  freeifaddrs(list);
  if (!has_mac) {
    error = "'" + name + "' is not an Ethernet interface";
    return false;
  }
  return true;
}

std::string privilege_hint(int error) {
  return error == EPERM || error == EACCES
             ? " (needs CAP_BPF, CAP_NET_ADMIN and CAP_PERFMON, or root)"
             : "";
}

}  // namespace

struct xdp_fast_path::state {
  std::unique_ptr<probe_fast_path, skeleton_deleter> skeleton;
  wanseer::unique_fd link;
  wanseer::unique_fd egress_link;
  int possible_cpus = 1;
  std::string interface;
  unsigned interface_index = 0;

  // Subscribed to changes of links, IPv4 addresses, routes and neighbours
  // before the program learns the first of them, and asked for the
  // neighbours known now, so that only a change of one counts later.
  wanseer::unique_fd netlink;
  bool subscribe(std::string& error);
  // Attaches the programs to the interface at `index`.
  bool attach_link(unsigned index, std::string& error);
  void detach() {
    link.reset();
    egress_link.reset();
  }
  // Lets go of every way back learned so far.
  bool next_generation(std::string& error);
  // Makes the host_addresses map what `wanted` says: new flags first, so
  // that no address is unknown for a moment, then what is gone.
  bool store_addresses(const address_flags& wanted, std::string& error);
  // Reads the host's addresses and the interface's Ethernet address anew
  // and hands them to the program.
  bool refresh(std::string& error);
};

bool xdp_fast_path::state::attach_link(unsigned index, std::string& error) {
  // Native mode only: a driver without it would fall back to the generic
  // hook, which runs after the socket buffer is built and gains little.
  LIBBPF_OPTS(bpf_link_create_opts, options);
  options.flags = XDP_FLAGS_DRV_MODE;
  link.reset(bpf_link_create(bpf_program__fd(skeleton->progs.answer_probes),
                             static_cast<int>(index), BPF_XDP, &options));
  if (link.valid()) {
    // The TCX egress hook (Linux 6.6), which the installed headers may not
    // name yet.
    constexpr auto tcx_egress = static_cast<bpf_attach_type>(47);
    egress_link.reset(bpf_link_create(bpf_program__fd(skeleton->progs.learn_routes_back),
                                      static_cast<int>(index), tcx_egress, nullptr));
    if (!egress_link.valid()) {
      error = "cannot attach the program that learns the way back to '" + interface +
              "': " + std::strerror(errno) + " (the egress hook needs Linux 6.6 or later)";
      link.reset();
      return false;
    }
    interface_index = index;
    return true;
  }
  const int failure = errno;
  error = "cannot attach XDP to '" + interface + "': ";
  if (failure == EOPNOTSUPP || failure == EINVAL) {
    error += "its driver has no native XDP support";
  } else if (failure == EBUSY || failure == EEXIST) {
    error += "another XDP program is attached to it";
  } else {
    error += std::strerror(failure) + privilege_hint(failure);
  }
  return false;
}

bool xdp_fast_path::state::subscribe(std::string& error) {
  netlink.reset(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
  sockaddr_nl groups{};
  groups.nl_family = AF_NETLINK;
  groups.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_NEIGH;
  if (!netlink.valid() ||
      bind(netlink.get(), reinterpret_cast<const sockaddr*>(&groups), sizeof groups) != 0) {
    error = std::string("cannot follow the interface through rtnetlink: ") + std::strerror(errno);
    return false;
  }
  struct {
    nlmsghdr header;
    ndmsg neighbour;
  } dump{};
  dump.header.nlmsg_len = sizeof dump;
  dump.header.nlmsg_type = RTM_GETNEIGH;
  dump.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  dump.neighbour.ndm_family = AF_INET;
  if (send(netlink.get(), &dump, sizeof dump, 0) != static_cast<ssize_t>(sizeof dump)) {
    error = std::string("cannot list the neighbours: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool xdp_fast_path::state::next_generation(std::string& error) {
  const std::uint32_t zero = 0;
  std::uint32_t current = 0;
  if (bpf_map__lookup_elem(skeleton->maps.generation, &zero, sizeof zero, &current, sizeof current,
                           0) != 0 ||
      (++current, bpf_map__update_elem(skeleton->maps.generation, &zero, sizeof zero, &current,
                                       sizeof current, BPF_ANY) != 0)) {
    error = std::string("cannot forget the learned ways back: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool xdp_fast_path::state::refresh(std::string& error) {
  address_flags wanted;
  fast_path_link_address mac{};
  if (!read_host_addresses(interface, wanted, mac, error) || !store_addresses(wanted, error)) {
    return false;
  }
  const std::uint32_t zero = 0;
  if (bpf_map__update_elem(skeleton->maps.link_address, &zero, sizeof zero, &mac, sizeof mac,
                           BPF_ANY) != 0) {
    error = std::string("cannot record the interface's Ethernet address: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool xdp_fast_path::state::store_addresses(const address_flags& wanted, std::string& error) {
  if (wanted.size() > FAST_PATH_MAX_ADDRESSES) {
    error = "the host has " + std::to_string(wanted.size()) +
            " IPv4 addresses and subnet broadcasts; the fast path holds at most " +
            std::to_string(FAST_PATH_MAX_ADDRESSES);
    return false;
  }
  bpf_map* const map = skeleton->maps.host_addresses;
  std::vector<std::uint32_t> stored;
  std::uint32_t key = 0;
  const std::uint32_t* previous = nullptr;
  while (bpf_map__get_next_key(map, previous, &key, sizeof key) == 0) {
    stored.push_back(key);
    previous = &stored.back();
  }
  for (const auto& [address, flags] : wanted) {
    std::uint8_t now = 0;
    if (bpf_map__lookup_elem(map, &address, sizeof address, &now, sizeof now, 0) == 0 &&
        now == flags) {
      continue;
    }
    if (bpf_map__update_elem(map, &address, sizeof address, &flags, sizeof flags, BPF_ANY) != 0) {
      error = std::string("cannot record the host's addresses: ") + std::strerror(errno);
      return false;
    }
  }
  for (const std::uint32_t address : stored) {
    if (wanted.count(address) == 0 && bpf_map__delete_elem(map, &address, sizeof address, 0) != 0 &&
        errno != ENOENT) {
      error = std::string("cannot forget an address: ") + std::strerror(errno);
      return false;
    }
  }
  return true;
}

xdp_fast_path::xdp_fast_path(std::unique_ptr<state> loaded) : state_(std::move(loaded)) {}

xdp_fast_path::~xdp_fast_path() = default;

std::unique_ptr<xdp_fast_path> xdp_fast_path::attach(const fast_path_settings& settings,
                                                     std::string& error) {
  interface_facts facts;
  if (!read_interface(settings.interface, facts, error)) {
    return nullptr;
  }
  const std::uint32_t listen_address = settings.bound.sin_addr.s_addr;
  if (listen_address != 0 && std::find(facts.addresses.begin(), facts.addresses.end(),
                                       listen_address) == facts.addresses.end()) {
    error = "the listening address is not an address of '" + settings.interface + "'";
    return nullptr;
  }
  if (listen_address == 0 && facts.addresses.empty()) {
    error = "'" + settings.interface + "' has no IPv4 address";
    return nullptr;
  }

  libbpf_set_print(print_libbpf_warnings);
  auto loaded = std::make_unique<state>();
  loaded->possible_cpus = std::max(libbpf_num_possible_cpus(), 1);
  loaded->skeleton.reset(probe_fast_path::open());
  if (!loaded->skeleton) {
    error = std::string("cannot open the XDP program: ") + std::strerror(errno);
    return nullptr;
  }
  probe_fast_path& program = *loaded->skeleton;
  auto& constants = *program.rodata;
  constants.server_port = settings.bound.sin_port;
  constants.server_address = listen_address;
  constants.dont_fragment = settings.dont_fragment ? 1 : 0;
  // The same arithmetic as the socket path's limiter, on one table for all
  // CPUs.
  const rate_limit& limit = settings.limit;
  const bool limited = limit.per_second > 0.0;
  const std::uint64_t interval = limited ? static_cast<std::uint64_t>(1e9 / limit.per_second) : 0;
  const std::size_t sets =
      std::max<std::size_t>((limit.table_slots + FAST_PATH_WAYS - 1) / FAST_PATH_WAYS, 1);
  constants.limited = limited ? 1 : 0;
  constants.interval_ns = interval;
  constants.tolerance_ns = interval * (std::max(limit.burst, 1U) - 1);
  constants.hash_seed = settings.hash_seed;
  constants.set_count = static_cast<std::uint32_t>(sets);
  // The same CRC-32 as the socket path's STUN codec, for FINGERPRINT.
  const z_crc_t* crc_table = get_crc_table();
  static_assert(sizeof constants.crc_table == 256 * sizeof crc_table[0]);
  std::copy(crc_table, crc_table + 256, constants.crc_table);
  // The ways back for as many sources as the limit tracks, up to 262,144
  // (an LRU map is allocated whole, some 80 bytes an entry): a source
  // pushed out is learned again from the kernel's next answer.
  const std::size_t ways_back = std::clamp<std::size_t>(limit.table_slots, 64, 1U << 18);
  if (bpf_map__set_max_entries(program.maps.sources, static_cast<std::uint32_t>(sets)) != 0 ||
      bpf_map__set_max_entries(program.maps.routes_back, static_cast<std::uint32_t>(ways_back)) !=
          0) {
    error = std::string("cannot size the source table: ") + std::strerror(errno);
    return nullptr;
  }
  if (probe_fast_path::load(&program) != 0) {
    const int failure = errno;
    error = std::string("cannot load the XDP program: ") + std::strerror(failure) +
            privilege_hint(failure);
    return nullptr;
  }
  loaded->interface = settings.interface;
  // Subscribed first: a change after the picture is taken is then news.
  if (!loaded->subscribe(error) || !loaded->refresh(error) ||
      !loaded->attach_link(facts.index, error)) {
    return nullptr;
  }
  return std::unique_ptr<xdp_fast_path>(new xdp_fast_path(std::move(loaded)));
}

counter_values xdp_fast_path::totals() const {
  std::array<std::uint64_t, fast_path_counter_count> sums{};
  std::vector<std::uint64_t> per_cpu(static_cast<std::size_t>(state_->possible_cpus));
  for (std::uint32_t slot = 0; slot < fast_path_counter_count; ++slot) {
    if (bpf_map__lookup_elem(state_->skeleton->maps.counters, &slot, sizeof slot, per_cpu.data(),
                             per_cpu.size() * sizeof per_cpu[0], 0) == 0) {
      for (std::uint64_t value : per_cpu) {
        sums[slot] += value;
      }
    }
  }
  counter_values values;
  values.received = sums[fast_path_received];
  values.answered = sums[fast_path_answered];
  values.dropped_malformed = sums[fast_path_dropped_malformed];
  values.dropped_rate_limited = sums[fast_path_dropped_rate_limited];
  values.sources_tracked = sums[fast_path_sources_tracked];
  values.sources_evicted = sums[fast_path_sources_evicted];
  values.stun_received = sums[fast_path_stun_received];
  values.stun_answered = sums[fast_path_stun_answered];
  values.stun_dropped_rate_limited = sums[fast_path_stun_dropped_rate_limited];
  return values;
}

driver_passes xdp_fast_path::passes() const {
  const auto sum = [this](std::uint32_t slot) {
    std::vector<std::uint64_t> per_cpu(static_cast<std::size_t>(state_->possible_cpus));
    std::uint64_t total = 0;
    if (bpf_map__lookup_elem(state_->skeleton->maps.counters, &slot, sizeof slot, per_cpu.data(),
                             per_cpu.size() * sizeof per_cpu[0], 0) == 0) {
      for (const std::uint64_t value : per_cpu) {
        total += value;
      }
    }
    return total;
  };
  driver_passes passed;
  passed.martian_source = sum(fast_path_passed_martian_source);
  passed.own_address = sum(fast_path_passed_own_address);
  passed.no_route = sum(fast_path_passed_no_route);
  passed.no_neighbour = sum(fast_path_passed_no_neighbour);
  passed.route_unknown = sum(fast_path_passed_route_unknown);
  return passed;
}

bool xdp_fast_path::forward_reports(int stop_event, throttle_log& log) {
  const auto on_report = [](void* context, void* data, std::size_t size) -> int {
    std::uint32_t address = 0;
    if (size == sizeof address) {
      std::memcpy(&address, data, sizeof address);
      static_cast<throttle_log*>(context)->report(address, monotonic_ns());
    }
    return 0;
  };
  const std::unique_ptr<ring_buffer, ring_buffer_deleter> reports(
      ring_buffer__new(bpf_map__fd(state_->skeleton->maps.reports), on_report, &log, nullptr));
  if (!reports) {
    return false;
  }
  std::array<pollfd, 2> waits = {pollfd{ring_buffer__epoll_fd(reports.get()), POLLIN, 0},
                                 pollfd{stop_event, POLLIN, 0}};
  for (;;) {
    if (poll(waits.data(), waits.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if (waits[1].revents != 0) {
      return true;
    }
    if (ring_buffer__consume(reports.get()) < 0) {
      return false;
    }
  }
}

}  // namespace wanseer_tools

namespace wanseer_tools {

bool xdp_fast_path::follow_interface(int stop_event,
                                     const std::function<void(const std::string&)>& log,
                                     std::string& error) {
  state& loaded = *state_;
  const wanseer::unique_fd& netlink = loaded.netlink;
  const std::string prefix = "--xdp " + loaded.interface + ": ";
  host_changes changes(loaded.interface_index);
  // Each change is followed by a fresh look at the interface and the
  // addresses, which also makes up for messages lost to a full socket
  // buffer (ENOBUFS), and the ways back learned so far lapse.
  const auto look_again = [&]() {
    const unsigned index = if_nametoindex(loaded.interface.c_str());
    if (attached() && index != loaded.interface_index) {
      loaded.detach();
      attached_.store(false, std::memory_order_relaxed);
      changes.restart(0);
      log(prefix +
          "the interface is gone; answering on the socket path until it comes back, then in "
          "the driver again");
    }
    if (!attached() && index != 0) {
      if (!loaded.attach_link(index, error)) {
        return false;
      }
      attached_.store(true, std::memory_order_relaxed);
      changes.restart(index);
      log(prefix + "the interface is back; answering in the driver again");
    }
    return loaded.refresh(error) && loaded.next_generation(error);
  };
  std::array<pollfd, 2> waits = {pollfd{netlink.get(), POLLIN, 0}, pollfd{stop_event, POLLIN, 0}};
  std::array<char, 16384> message{};
  for (;;) {
    if (poll(waits.data(), waits.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      error = std::string("cannot wait for interface changes: ") + std::strerror(errno);
      return false;
    }
    if (waits[1].revents != 0) {
      return true;
    }
    bool changed = false;
    for (;;) {
      const ssize_t got = recv(netlink.get(), message.data(), message.size(), 0);
      if (got >= 0) {
        changed |= changes.take(message.data(), static_cast<std::size_t>(got));
        continue;
      }
      if (errno == ENOBUFS) {
        changed = true;
        continue;
      }
      if (errno == EINTR) {
        continue;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        break;
      }
      error = std::string("cannot read interface changes: ") + std::strerror(errno);
      return false;
    }
    if (changed && !look_again()) {
      return false;
    }
  }
}

bool xdp_fast_path::admit(std::uint32_t ipv4, admission& verdict) const {
  // The smallest frame the kernel runs an XDP program on.
  std::array<unsigned char, 64> frame{};
  std::memcpy(frame.data(), &ipv4, sizeof ipv4);
  LIBBPF_OPTS(bpf_test_run_opts, run);
  run.data_in = frame.data();
  run.data_size_in = static_cast<std::uint32_t>(frame.size());
  if (bpf_prog_test_run_opts(bpf_program__fd(state_->skeleton->progs.admit_for_socket_path),
                             &run) != 0) {
    return false;
  }
  switch (run.retval) {
    case XDP_PASS:
      verdict = admission::answer;
      return true;
    case XDP_TX:
      verdict = admission::drop_and_report;
      return true;
    case XDP_DROP:
      verdict = admission::drop;
      return true;
    default:
      return false;
  }
}

}  // namespace wanseer_tools
