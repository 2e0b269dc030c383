/* What the XDP program and its loader agree on: the counters' slots and the
 * source table's layout.  Plain C, read by clang -target bpf and by the
 * loader alike. */
#ifndef WANSEER_TOOLS_FAST_PATH_LAYOUT_H
#define WANSEER_TOOLS_FAST_PATH_LAYOUT_H

#include <linux/types.h>

/* Slots of the per-CPU counter array. */
enum fast_path_counter {
  fast_path_received,
  fast_path_answered,
  fast_path_dropped_malformed,
  fast_path_dropped_rate_limited,
  fast_path_sources_tracked,
  fast_path_sources_evicted,
  /* STUN Binding requests the program answered or dropped itself; the
   * others go on to the socket path, which counts them. */
  fast_path_stun_received,
  fast_path_stun_answered,
  fast_path_stun_dropped_rate_limited,
  /* Requests of either protocol left to the kernel because no reply should
   * leave the driver for them, by reason: the kernel drops them or answers
   * them as it would without the program. */
  fast_path_passed_martian_source,
  fast_path_passed_own_address,
  fast_path_passed_no_route,
  fast_path_passed_no_neighbour,
  fast_path_passed_route_unknown,
  fast_path_counter_count,
};

/* One source address's token bucket, as in the socket path's limiter. */
struct fast_path_source {
  __u32 address;
  __u32 reported_second; /* monotonic second + 1 of the last report; 0: none */
  __u64 arrival_ns;      /* 0: slot unused */
};

#define FAST_PATH_WAYS 4

/* The host's addresses as the program knows them (the host_addresses map),
 * kept by the loader as the interfaces change. */
#define FAST_PATH_MAX_ADDRESSES 65536
/* An address of the interface the program is attached to: one it answers
 * to when the server listens on all addresses. */
#define FAST_PATH_ADDRESS_SERVED 1
/* An address of any of the host's interfaces, or a subnet broadcast
 * address: never the source of a request worth an answer. */
#define FAST_PATH_ADDRESS_HOST 2

/* One set of the source table, locked as a whole while a request from one
 * of its addresses is weighed, so that the limit is exact whichever CPU a
 * request arrives on. */
struct fast_path_source_set {
  struct bpf_spin_lock lock;
  __u32 unused;
  struct fast_path_source ways[FAST_PATH_WAYS];
};

struct fast_path_link_address {
  unsigned char mac[6];
  __u16 unused;
};

/* The way back to one source, as the kernel's own reply to it took it. */
struct fast_path_route_back {
  unsigned char source_mac[6];
  unsigned char destination_mac[6];
  __u32 ifindex;
  __u32 generation; /* of the host's routes, neighbours and addresses */
  __u64 seen_ns;
};

#endif /* WANSEER_TOOLS_FAST_PATH_LAYOUT_H */
