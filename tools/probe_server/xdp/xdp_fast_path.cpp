#include "xdp_fast_path.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <ifaddrs.h>
#include <linux/if_link.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "fast_path_layout.h"
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
  std::array<unsigned char, 6> mac{};
  std::vector<std::uint32_t> addresses;  // network byte order
};

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
      facts.addresses.push_back(
          reinterpret_cast<const sockaddr_in*>(item->ifa_addr)->sin_addr.s_addr);
    } else if (item->ifa_addr->sa_family == AF_PACKET) {
      const auto* link = reinterpret_cast<const sockaddr_ll*>(item->ifa_addr);
      if (link->sll_halen == facts.mac.size()) {
        std::memcpy(facts.mac.data(), link->sll_addr, facts.mac.size());
        has_mac = true;
      }
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
  int possible_cpus = 1;
};

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
  std::memcpy(constants.interface_mac, facts.mac.data(), facts.mac.size());
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
  if (bpf_map__set_max_entries(program.maps.sources, static_cast<std::uint32_t>(sets)) != 0) {
    error = std::string("cannot size the source table: ") + std::strerror(errno);
    return nullptr;
  }
  if (probe_fast_path::load(&program) != 0) {
    const int failure = errno;
    error = std::string("cannot load the XDP program: ") + std::strerror(failure) +
            privilege_hint(failure);
    return nullptr;
  }
  if (listen_address == 0) {
    const std::uint8_t present = 1;
    for (std::uint32_t address : facts.addresses) {
      if (bpf_map__update_elem(program.maps.local_addresses, &address, sizeof address, &present,
                               sizeof present, BPF_ANY) != 0) {
        error = std::string("cannot record the interface's addresses: ") + std::strerror(errno);
        return nullptr;
      }
    }
  }

  // Native mode only: a driver without it would fall back to the generic
  // hook, which runs after the socket buffer is built and gains little.
  LIBBPF_OPTS(bpf_link_create_opts, options);
  options.flags = XDP_FLAGS_DRV_MODE;
  loaded->link.reset(bpf_link_create(bpf_program__fd(program.progs.answer_probes),
                                     static_cast<int>(facts.index), BPF_XDP, &options));
  if (!loaded->link.valid()) {
    const int failure = errno;
    error = "cannot attach XDP to '" + settings.interface + "': ";
    if (failure == EOPNOTSUPP || failure == EINVAL) {
      error += "its driver has no native XDP support";
    } else if (failure == EBUSY || failure == EEXIST) {
      error += "another XDP program is attached to it";
    } else {
      error += std::strerror(failure) + privilege_hint(failure);
    }
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
