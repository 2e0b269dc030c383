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
  fast_path_counter_count,
};

/* One source address's token bucket, as in the socket path's limiter. */
struct fast_path_source {
  __u32 address;
  __u32 reported_minute; /* monotonic minute + 1 of the last report; 0: none */
  __u64 arrival_ns;      /* 0: slot unused */
};

#define FAST_PATH_WAYS 4

/* One set of the source table, locked as a whole while a request from one
 * of its addresses is weighed, so that the limit is exact whichever CPU a
 * request arrives on. */
struct fast_path_source_set {
  struct bpf_spin_lock lock;
  __u32 unused;
  struct fast_path_source ways[FAST_PATH_WAYS];
};

#endif /* WANSEER_TOOLS_FAST_PATH_LAYOUT_H */
