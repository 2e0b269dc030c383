/* The probe server's fast path: an XDP program that answers the 3-byte
 * address probe and the common STUN Binding request in the driver, with the
 * same bytes the socket path sends, and drops malformed probe requests and
 * requests of either over their source's limit there, so that a flood
 * never reaches the socket layer.
 *
 * Only a request whose every header it can check is handled here: an
 * untagged IPv4 frame without options or fragmentation, to the server's
 * port and one of its addresses, from a unicast source, with lengths and
 * checksums that agree.  Everything else goes on to the kernel unchanged
 * (XDP_PASS), which answers through the socket path or drops it as it
 * would without this program.
 *
 * A reply leaves here only where the kernel's own would: a source that is
 * no unicast address, an address of the host, a subnet broadcast, or one
 * the routing table would not send the reply back to through this
 * interface goes on to the kernel, which drops it as a martian or answers
 * it as it would without the program; so does one whose neighbour is not
 * resolved yet, which the kernel resolves.  The reply's MAC addresses are
 * those of the route back, as the kernel has them.
 *
 * The kernel's route lookup for XDP (bpf_fib_lookup) works only on an
 * interface that forwards.  On one that does not (a host, not a router)
 * the way back is learned from the kernel's own replies instead: a second
 * program on the interface's egress records, for each source the socket
 * path answered, the MAC addresses that reply went out with.  A source the
 * kernel never answered through this interface is thus never answered
 * here, and the first request of a source is the kernel's.  What was
 * learned lapses when any route, neighbour, address or link of the host
 * changes (the loader then moves `generation` on) and after
 * ROUTE_BACK_LIFETIME_NS.
 *
 * Of STUN, only an RFC 5389/8489 Binding request with no attribute, or with
 * only a correct FINGERPRINT, is answered here (common/stun_codec.h, answers
 * 1 and 2).  Every other datagram of STUN form (classic RFC 3489 requests,
 * other attributes, methods and classes, a wrong FINGERPRINT) goes on to
 * the socket path, which answers it or drops it. */
#include <linux/bpf.h>
#include <linux/if_ether.h>
#include <linux/in.h>
#include <linux/ip.h>
#include <linux/udp.h>

#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#include "fast_path_layout.h"

/* Set by the loader before the program is loaded. */
const volatile __u16 server_port = 0;    /* network byte order */
const volatile __u32 server_address = 0; /* network byte order; 0: local_addresses */
const volatile __u8 dont_fragment = 1;
const volatile __u8 limited = 0;
const volatile __u64 interval_ns = 0;
const volatile __u64 tolerance_ns = 0;
const volatile __u64 hash_seed = 0;
const volatile __u32 set_count = 1;
/* zlib's CRC-32 table, for STUN's FINGERPRINT. */
const volatile __u32 crc_table[256] = {0};

struct {
  __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
  __uint(max_entries, fast_path_counter_count);
  __type(key, __u32);
  __type(value, __u64);
} counters SEC(".maps");

/* Sized by the loader from --sources. */
struct {
  __uint(type, BPF_MAP_TYPE_ARRAY);
  __uint(max_entries, 1);
  __type(key, __u32);
  __type(value, struct fast_path_source_set);
} sources SEC(".maps");

/* The host's addresses and subnet broadcasts (FAST_PATH_ADDRESS_*
 * flags), kept by the loader as the interfaces change.  Allocated as
 * entries come, so that the limit costs nothing. */
struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, FAST_PATH_MAX_ADDRESSES);
  __uint(map_flags, BPF_F_NO_PREALLOC);
  __type(key, __u32);
  __type(value, __u8);
} host_addresses SEC(".maps");

/* The ways back learned from the kernel's replies, by source address.
 * Sized by the loader from --sources. */
struct {
  __uint(type, BPF_MAP_TYPE_LRU_HASH);
  __uint(max_entries, 1);
  __type(key, __u32);
  __type(value, struct fast_path_route_back);
} routes_back SEC(".maps");

/* The interface's Ethernet address now, kept by the loader. */
struct {
  __uint(type, BPF_MAP_TYPE_ARRAY);
  __uint(max_entries, 1);
  __type(key, __u32);
  __type(value, struct fast_path_link_address);
} link_address SEC(".maps");

/* The generation of the host's routes, neighbours, addresses and links,
 * moved on by the loader at each change. */
struct {
  __uint(type, BPF_MAP_TYPE_ARRAY);
  __uint(max_entries, 1);
  __type(key, __u32);
  __type(value, __u32);
} generation SEC(".maps");

#define ROUTE_BACK_LIFETIME_NS 30000000000ULL

/* Throttled sources worth a log line, for the loader to write. */
struct {
  __uint(type, BPF_MAP_TYPE_RINGBUF);
  __uint(max_entries, 64 * 1024);
} reports SEC(".maps");

#define REQUEST_LENGTH 3
#define ANSWER_LENGTH 4
#define FRAME_HEADERS (sizeof(struct ethhdr) + sizeof(struct iphdr) + sizeof(struct udphdr))
#define STUN_HEADER_LENGTH 20
#define STUN_MAPPED_LENGTH 12     /* XOR-MAPPED-ADDRESS of an IPv4 address */
#define STUN_FINGERPRINT_LENGTH 8 /* FINGERPRINT: type, length, CRC */
#define STUN_FINGERPRINT_XOR 0x5354554e

enum stun_form { stun_for_socket_path, stun_plain, stun_fingerprinted };

enum admission { admit_answer, admit_drop, admit_drop_and_report };

static __always_inline void count(__u32 slot) {
  __u64* value = bpf_map_lookup_elem(&counters, &slot);
  if (value) {
    *value += 1;
  }
}

static __always_inline __u16 fold(__u64 sum) {
  sum = (sum & 0xffffffff) + (sum >> 32);
  sum = (sum & 0xffff) + (sum >> 16);
  sum = (sum & 0xffff) + (sum >> 16);
  sum = (sum & 0xffff) + (sum >> 16);
  return (__u16)sum;
}

/* Sum of a 32-bit value's two 16-bit halves, as they lie in memory. */
static __always_inline __u64 sum32(__u32 value) {
  return (value & 0xffff) + (value >> 16);
}

static __always_inline __u16 ipv4_header_checksum(const struct iphdr* ip) {
  const __u16* words = (const __u16*)ip;
  __u64 sum = 0;
#pragma unroll
  for (int i = 0; i < (int)(sizeof(struct iphdr) / 2); ++i) {
    sum += words[i];
  }
  return (__u16)~fold(sum);
}

/* The UDP pseudo-header and header sum, checksum field included.  All
 * values in network byte order, summed as they lie in memory. */
static __always_inline __u64 udp_header_sum(__u32 source, __u32 destination,
                                            const struct udphdr* udp) {
  return sum32(source) + sum32(destination) + bpf_htons(IPPROTO_UDP) + udp->len + udp->source +
         udp->dest + udp->len + udp->check;
}

/* The MAC addresses of the reply. */
struct reply_route {
  unsigned char source_mac[ETH_ALEN];
  unsigned char destination_mac[ETH_ALEN];
};

static __always_inline __u8 address_flags(__u32 address) {
  const __u8* flags = bpf_map_lookup_elem(&host_addresses, &address);
  return flags ? *flags : 0;
}

/* Whether the interface has `address` (and, listening on one address, it
 * is that one). */
static __always_inline int is_served_destination(__u32 address) {
  if (server_address != 0 && address != server_address) {
    return 0;
  }
  return (address_flags(address) & FAST_PATH_ADDRESS_SERVED) != 0;
}

/* Why a request from `source` is the kernel's to judge: the counter slot
 * of the reason, or 0 for a source a reply may go to.  0.0.0.0/8, 127/8,
 * 224/4 and 240/4 (255.255.255.255 included) are martians to the kernel;
 * the host's own addresses and subnet broadcasts are sources only a
 * forger uses. */
static __always_inline __u32 source_for_kernel(__u32 source) {
  const __u32 host = bpf_ntohl(source);
  if ((host >> 24) == 0 || (host >> 24) == 127 || (host >> 28) >= 0xe) {
    return fast_path_passed_martian_source;
  }
  if (address_flags(source) != 0) {
    return fast_path_passed_own_address;
  }
  return 0;
}

static __always_inline __u32 current_generation(void) {
  const __u32 zero = 0;
  const __u32* value = bpf_map_lookup_elem(&generation, &zero);
  return value ? *value : 0;
}

/* The way back the kernel's last reply to `source` took, if it is still
 * good: out of the interface the request came in on, learned since the
 * host's routes, neighbours and addresses last changed, and not long ago. */
static __always_inline __u32 learned_route_back(struct xdp_md* ctx, __u32 source,
                                                struct reply_route* route) {
  const struct fast_path_route_back* learned = bpf_map_lookup_elem(&routes_back, &source);
  if (!learned || learned->ifindex != ctx->ingress_ifindex ||
      learned->generation != current_generation() ||
      bpf_ktime_get_ns() - learned->seen_ns > ROUTE_BACK_LIFETIME_NS) {
    return fast_path_passed_route_unknown;
  }
  __builtin_memcpy(route->source_mac, learned->source_mac, ETH_ALEN);
  __builtin_memcpy(route->destination_mac, learned->destination_mac, ETH_ALEN);
  return 0;
}

/* Looks up the route the kernel would send the reply by: it must lead back
 * out of the interface the request came in on (the reverse-path check), to
 * a neighbour whose MAC address is known.  Returns 0 and the MAC addresses,
 * or the counter slot of why the request is the kernel's to judge. */
static __always_inline __u32 route_back(struct xdp_md* ctx, const struct iphdr* ip,
                                        const struct udphdr* udp, __u32 reply_ip_length,
                                        struct reply_route* route) {
  struct bpf_fib_lookup lookup = {};
  lookup.family = 2; /* AF_INET */
  lookup.l4_protocol = IPPROTO_UDP;
  lookup.sport = udp->dest;
  lookup.dport = udp->source;
  lookup.tot_len = (__u16)reply_ip_length;
  lookup.ipv4_src = ip->daddr;
  lookup.ipv4_dst = ip->saddr;
  lookup.ifindex = ctx->ingress_ifindex;
  const long found = bpf_fib_lookup(ctx, &lookup, sizeof lookup, BPF_FIB_LOOKUP_OUTPUT);
  if (found == BPF_FIB_LKUP_RET_FWD_DISABLED) {
    return learned_route_back(ctx, ip->saddr, route);
  }
  if (found == BPF_FIB_LKUP_RET_NO_NEIGH) {
    return fast_path_passed_no_neighbour;
  }
  if (found != BPF_FIB_LKUP_RET_SUCCESS || lookup.ifindex != ctx->ingress_ifindex) {
    return fast_path_passed_no_route;
  }
  __builtin_memcpy(route->source_mac, lookup.smac, ETH_ALEN);
  __builtin_memcpy(route->destination_mac, lookup.dmac, ETH_ALEN);
  return 0;
}

/* Frames to another station's address reach us only in promiscuous mode;
 * the kernel drops them, and so do we. */
static __always_inline int is_to_interface(const struct ethhdr* eth) {
  const __u32 zero = 0;
  const struct fast_path_link_address* own = bpf_map_lookup_elem(&link_address, &zero);
  if (!own) {
    return 0;
  }
#pragma unroll
  for (int i = 0; i < ETH_ALEN; ++i) {
    if (eth->h_dest[i] != own->mac[i]) {
      return 0;
    }
  }
  return 1;
}

/* Whether the payload has the form of a STUN message: at least the header,
 * the two top bits clear, and a length field that is the rest of it. */
static __always_inline int has_stun_form(const unsigned char* payload, const void* end,
                                         __u32 length) {
  if (length < STUN_HEADER_LENGTH || (const void*)(payload + 4) > end) {
    return 0;
  }
  return (payload[0] & 0xc0) == 0 && ((__u32)payload[2] << 8 | payload[3]) == length - 20;
}

/* The socket path's per-source limit, on one table for all CPUs (see
 * source_rate_limiter.h for why a newcomer inherits the fullest bucket). */
static __always_inline enum admission admit(__u32 source, __u64 now) {
  if (!limited) {
    return admit_answer;
  }
  const __u64 mixed = ((__u64)source ^ hash_seed) * 0x9E3779B97F4A7C15ULL;
  __u32 index = (__u32)((mixed >> 32) % set_count);
  struct fast_path_source_set* set = bpf_map_lookup_elem(&sources, &index);
  if (!set) {
    return admit_drop;
  }
  /* Whole seconds, as on the socket path: more than 60 apart is a full
   * minute since the last line, whenever it was. */
  const __u32 second = (__u32)(now / 1000000000ULL) + 1;
  enum admission verdict = admit_answer;
  int claimed = 0; /* 1: a free slot, 2: another address's slot */

  bpf_spin_lock(&set->lock);
  struct fast_path_source* entry = 0;
  struct fast_path_source* fullest = &set->ways[0];
#pragma unroll
  for (int way = 0; way < FAST_PATH_WAYS; ++way) {
    struct fast_path_source* candidate = &set->ways[way];
    if (!entry && candidate->arrival_ns != 0 && candidate->address == source) {
      entry = candidate;
    }
    if (candidate->arrival_ns < fullest->arrival_ns) {
      fullest = candidate;
    }
  }
  if (!entry) {
    entry = fullest;
    if (entry->arrival_ns == 0) {
      claimed = 1;
      entry->arrival_ns = now;
    } else {
      claimed = 2;
    }
    entry->address = source;
  }
  const __u64 arrival = entry->arrival_ns > now ? entry->arrival_ns : now;
  if (arrival - now > tolerance_ns) {
    if (entry->reported_second != 0 && second - entry->reported_second <= 60) {
      verdict = admit_drop;
    } else {
      entry->reported_second = second;
      verdict = admit_drop_and_report;
    }
  } else {
    entry->arrival_ns = arrival + interval_ns;
  }
  bpf_spin_unlock(&set->lock);

  if (claimed == 1) {
    count(fast_path_sources_tracked);
  } else if (claimed == 2) {
    count(fast_path_sources_evicted);
  }
  return verdict;
}

/* Whether the per-source limit lets this request be answered; an over-limit
 * one is counted in over_limit_slot, and the first of a run is handed to the
 * throttle log. */
static __always_inline int admitted(__u32 source, __u32 over_limit_slot) {
  switch (admit(source, bpf_ktime_get_ns())) {
    case admit_answer:
      return 1;
    case admit_drop_and_report:
      bpf_ringbuf_output(&reports, &source, sizeof source, 0);
      /* fall through */
    default:
      count(over_limit_slot);
      return 0;
  }
}

/* How much the frame must grow (or, below 0, shrink) to carry a payload of
 * `payload_length`. */
static __always_inline long payload_change(struct xdp_md* ctx, __u32 payload_length) {
  long frame_length = (long)ctx->data_end - (long)ctx->data;
  /* A plain number from here on: the verifier refuses arithmetic that
   * starts from the frame's end pointer, which is what the compiler would
   * otherwise make of a payload length that is not a constant. */
  asm volatile("" : "+r"(frame_length));
  return (long)(FRAME_HEADERS + payload_length) - frame_length;
}

/* Grows or shrinks the frame to carry a payload of `payload_length`;
 * nonzero when the driver cannot. */
static __always_inline int resize_payload(struct xdp_md* ctx, __u32 payload_length) {
  return bpf_xdp_adjust_tail(ctx, (int)payload_change(ctx, payload_length));
}

/* Makes the frame of a STUN request carry a payload of `payload_length`
 * (more than the 20-byte header), keeping the headers and the STUN
 * header.  Where the driver left too little room after the frame (veth
 * often does), it grows at the front, which XDP always has room for, and
 * moves what it keeps there.  Nonzero when neither works. */
static __always_inline int resize_stun_payload(struct xdp_md* ctx, __u32 payload_length) {
  long change = payload_change(ctx, payload_length);
  if (bpf_xdp_adjust_tail(ctx, (int)change) == 0) {
    return 0;
  }
  /* The request had at least the header: it grows by at most the rest. */
  if (change <= 0 ||
      change >
          STUN_HEADER_LENGTH + STUN_MAPPED_LENGTH + STUN_FINGERPRINT_LENGTH - STUN_HEADER_LENGTH ||
      bpf_xdp_adjust_head(ctx, (int)-change) != 0) {
    return -1;
  }
  unsigned char* data = (unsigned char*)(long)ctx->data;
  const void* end = (const void*)(long)ctx->data_end;
  const unsigned char* kept = data + change;
  if ((const void*)(data + FRAME_HEADERS + STUN_HEADER_LENGTH) > end ||
      (const void*)(kept + FRAME_HEADERS + STUN_HEADER_LENGTH) > end) {
    return -1;
  }
  /* Front to back: each byte is read before it is overwritten. */
#pragma unroll
  for (int i = 0; i < (int)(FRAME_HEADERS + STUN_HEADER_LENGTH); ++i) {
    data[i] = kept[i];
  }
  return 0;
}

/* Turns the request's headers into the answer's, as the kernel writes
 * them for an unconnected socket, and leaves the UDP checksum 0 for the
 * caller to fill in once the payload is written. */
static __always_inline void turn_around(struct ethhdr* eth, struct iphdr* ip, struct udphdr* udp,
                                        __u32 payload_length, const struct reply_route* route) {
  __builtin_memcpy(eth->h_dest, route->destination_mac, ETH_ALEN);
  __builtin_memcpy(eth->h_source, route->source_mac, ETH_ALEN);

  const __u32 client = ip->saddr;
  ip->saddr = ip->daddr;
  ip->daddr = client;
  ip->tos = 0;
  ip->tot_len = bpf_htons(sizeof(struct iphdr) + sizeof(struct udphdr) + payload_length);
  /* --allow-fragmenting: without don't-fragment the kernel gives each
   * reply an unpredictable IP ID (an ID of 0 on every reply would let
   * fragments of different replies be joined); a random one stands in. */
  ip->id = dont_fragment ? 0 : (__u16)bpf_get_prandom_u32();
  ip->frag_off = dont_fragment ? bpf_htons(0x4000) : 0;
  ip->ttl = 64;
  ip->check = 0;
  ip->check = ipv4_header_checksum(ip);

  const __u16 client_port = udp->source;
  udp->source = udp->dest;
  udp->dest = client_port;
  udp->len = bpf_htons(sizeof(struct udphdr) + payload_length);
  udp->check = 0;
}

static __always_inline __u16 udp_checksum(const struct iphdr* ip, const struct udphdr* udp,
                                          __u64 payload_sum) {
  const __u16 check = (__u16)~fold(udp_header_sum(ip->saddr, ip->daddr, udp) + payload_sum);
  return check == 0 ? 0xffff : check;
}

/* Turns the probe request's frame into its answer in place and sends it
 * back. */
static __always_inline int answer_probe(struct xdp_md* ctx, const struct reply_route* route) {
  if (resize_payload(ctx, ANSWER_LENGTH) != 0) {
    return XDP_PASS;
  }
  void* data = (void*)(long)ctx->data;
  void* end = (void*)(long)ctx->data_end;
  if (data + FRAME_HEADERS + ANSWER_LENGTH > end) {
    return XDP_PASS;
  }
  struct ethhdr* eth = data;
  struct iphdr* ip = (struct iphdr*)(eth + 1);
  struct udphdr* udp = (struct udphdr*)(ip + 1);
  __u32* payload = (__u32*)(udp + 1);
  turn_around(eth, ip, udp, ANSWER_LENGTH, route);
  *payload = ip->daddr;
  udp->check = udp_checksum(ip, udp, sum32(ip->daddr));
  return XDP_TX;
}

/* The sum of `count` 16-bit words as they lie in memory; `count` is a
 * constant, and the caller has checked that they are in the frame. */
static __always_inline __u64 sum_words(const __u16* words, int count) {
  __u64 sum = 0;
#pragma unroll
  for (int i = 0; i < count; ++i) {
    sum += words[i];
  }
  return sum;
}

/* STUN's FINGERPRINT of the first `length` bytes of `message`: CRC-32 XOR
 * 0x5354554e.  `length` is a constant, and the caller has checked that the
 * bytes are in the frame. */
static __always_inline __u32 stun_fingerprint(const unsigned char* message, int length) {
  __u32 crc = 0xffffffff;
#pragma unroll
  for (int i = 0; i < length; ++i) {
    crc = crc_table[(crc ^ message[i]) & 0xff] ^ (crc >> 8);
  }
  return ~crc ^ STUN_FINGERPRINT_XOR;
}

static __always_inline __u32 read_be32(const unsigned char* at) {
  return (__u32)at[0] << 24 | (__u32)at[1] << 16 | (__u32)at[2] << 8 | at[3];
}

/* Which STUN datagram the program answers itself: a Binding request with
 * the magic cookie and no attribute, or only a correct FINGERPRINT, from a
 * nonzero port, whose UDP checksum (if any) adds up.  The payload has STUN
 * form (its length field is `length` less the header). */
static __always_inline enum stun_form driver_stun_form(const unsigned char* payload,
                                                       const void* end, __u32 length,
                                                       const struct iphdr* ip,
                                                       const struct udphdr* udp) {
  if (udp->source == 0 || (const void*)(payload + STUN_HEADER_LENGTH) > end || payload[0] != 0 ||
      payload[1] != 1 || payload[4] != 0x21 || payload[5] != 0x12 || payload[6] != 0xa4 ||
      payload[7] != 0x42) {
    return stun_for_socket_path;
  }
  enum stun_form form = stun_for_socket_path;
  __u64 sum = 0;
  if (length == STUN_HEADER_LENGTH) {
    form = stun_plain;
    sum = sum_words((const __u16*)payload, STUN_HEADER_LENGTH / 2);
  } else if (length == STUN_HEADER_LENGTH + STUN_FINGERPRINT_LENGTH) {
    const unsigned char* attribute = payload + STUN_HEADER_LENGTH;
    if ((const void*)(attribute + STUN_FINGERPRINT_LENGTH) > end || attribute[0] != 0x80 ||
        attribute[1] != 0x28 || attribute[2] != 0 || attribute[3] != 4 ||
        read_be32(attribute + 4) != stun_fingerprint(payload, STUN_HEADER_LENGTH)) {
      return stun_for_socket_path;
    }
    form = stun_fingerprinted;
    sum = sum_words((const __u16*)payload, (STUN_HEADER_LENGTH + STUN_FINGERPRINT_LENGTH) / 2);
  }
  /* As for the probe: a checksum that does not add up is the kernel's to
   * judge. */
  if (form != stun_for_socket_path && udp->check != 0 &&
      fold(udp_header_sum(ip->saddr, ip->daddr, udp) + sum) != 0xffff) {
    return stun_for_socket_path;
  }
  return form;
}

/* Turns a STUN Binding request's frame into the socket path's success
 * answer in place (the header's cookie and ID stay where they are), under
 * the same per-source limit as the probe. */
static __always_inline int answer_stun(struct xdp_md* ctx, enum stun_form form,
                                       const struct reply_route* route) {
  const int fingerprinted = form == stun_fingerprinted;
  const __u32 answer_length =
      STUN_HEADER_LENGTH + STUN_MAPPED_LENGTH + (fingerprinted ? STUN_FINGERPRINT_LENGTH : 0);
  if (resize_stun_payload(ctx, answer_length) != 0) {
    return XDP_PASS;
  }
  void* data = (void*)(long)ctx->data;
  void* end = (void*)(long)ctx->data_end;
  if (data + FRAME_HEADERS + STUN_HEADER_LENGTH + STUN_MAPPED_LENGTH > end) {
    return XDP_DROP;
  }
  struct ethhdr* eth = data;
  struct iphdr* ip = (struct iphdr*)(eth + 1);
  struct udphdr* udp = (struct udphdr*)(ip + 1);
  unsigned char* payload = (unsigned char*)(udp + 1);

  count(fast_path_stun_received);
  if (!admitted(ip->saddr, fast_path_stun_dropped_rate_limited)) {
    return XDP_DROP;
  }

  turn_around(eth, ip, udp, answer_length, route);
  const unsigned char* port = (const unsigned char*)&udp->dest;
  const unsigned char* address = (const unsigned char*)&ip->daddr;
  unsigned char* mapped = payload + STUN_HEADER_LENGTH;
  payload[0] = 0x01; /* Binding success */
  payload[1] = 0x01;
  payload[2] = 0;
  payload[3] = (unsigned char)(answer_length - STUN_HEADER_LENGTH);
  mapped[0] = 0x00; /* XOR-MAPPED-ADDRESS, 8 bytes, IPv4 */
  mapped[1] = 0x20;
  mapped[2] = 0;
  mapped[3] = 8;
  mapped[4] = 0;
  mapped[5] = 1;
  /* XORed with the magic cookie, which is bytes 4..7 of the message. */
  mapped[6] = port[0] ^ payload[4];
  mapped[7] = port[1] ^ payload[5];
#pragma unroll
  for (int i = 0; i < 4; ++i) {
    mapped[8 + i] = address[i] ^ payload[4 + i];
  }
  __u64 sum;
  if (fingerprinted) {
    unsigned char* fingerprint = mapped + STUN_MAPPED_LENGTH;
    if ((void*)(fingerprint + STUN_FINGERPRINT_LENGTH) > end) {
      return XDP_DROP;
    }
    const __u32 crc = stun_fingerprint(payload, STUN_HEADER_LENGTH + STUN_MAPPED_LENGTH);
    fingerprint[0] = 0x80;
    fingerprint[1] = 0x28;
    fingerprint[2] = 0;
    fingerprint[3] = 4;
    fingerprint[4] = (unsigned char)(crc >> 24);
    fingerprint[5] = (unsigned char)(crc >> 16);
    fingerprint[6] = (unsigned char)(crc >> 8);
    fingerprint[7] = (unsigned char)crc;
    sum = sum_words((const __u16*)payload,
                    (STUN_HEADER_LENGTH + STUN_MAPPED_LENGTH + STUN_FINGERPRINT_LENGTH) / 2);
  } else {
    sum = sum_words((const __u16*)payload, (STUN_HEADER_LENGTH + STUN_MAPPED_LENGTH) / 2);
  }
  udp->check = udp_checksum(ip, udp, sum);
  count(fast_path_stun_answered);
  return XDP_TX;
}

SEC("xdp")
int answer_probes(struct xdp_md* ctx) {
  void* data = (void*)(long)ctx->data;
  void* end = (void*)(long)ctx->data_end;
  struct ethhdr* eth = data;
  if ((void*)(eth + 1) > end || eth->h_proto != bpf_htons(ETH_P_IP) || (eth->h_source[0] & 1)) {
    return XDP_PASS;
  }
  struct iphdr* ip = (struct iphdr*)(eth + 1);
  if ((void*)(ip + 1) > end || ip->version != 4 || ip->ihl != 5 || ip->protocol != IPPROTO_UDP ||
      (ip->frag_off & bpf_htons(0x3fff)) != 0) {
    return XDP_PASS;
  }
  struct udphdr* udp = (struct udphdr*)(ip + 1);
  if ((void*)(udp + 1) > end || udp->dest != server_port || !is_served_destination(ip->daddr) ||
      !is_to_interface(eth)) {
    return XDP_PASS;
  }
  /* Lengths that lie, and a header the kernel would refuse, are the
   * kernel's to judge. */
  const __u32 ip_length = bpf_ntohs(ip->tot_len);
  const __u32 udp_length = bpf_ntohs(udp->len);
  if (ip_length < sizeof(struct iphdr) + sizeof(struct udphdr) ||
      data + sizeof(struct ethhdr) + ip_length > end || udp_length < sizeof(struct udphdr) ||
      udp_length > ip_length - sizeof(struct iphdr) || ipv4_header_checksum(ip) != 0) {
    return XDP_PASS;
  }
  /* Sources the kernel drops as it receives them: it, not the program,
   * has the last word on what it counts. */
  const __u32 forged = source_for_kernel(ip->saddr);
  if (forged != 0) {
    count(forged);
    return XDP_PASS;
  }
  /* Whether an answer may leave here; if not, the kernel answers (or not)
   * by its own route, and its answer shows the program the way back.  The
   * longest answer, for the route's MTU. */
  struct reply_route route;
  const __u32 ip_answer_length = sizeof(struct iphdr) + sizeof(struct udphdr) + STUN_HEADER_LENGTH +
                                 STUN_MAPPED_LENGTH + STUN_FINGERPRINT_LENGTH;
  __u32 no_way_back;
  const unsigned char* payload = (const unsigned char*)(udp + 1);
  const __u32 payload_length = udp_length - sizeof(struct udphdr);
  if (has_stun_form(payload, end, payload_length)) {
    const enum stun_form form = driver_stun_form(payload, end, payload_length, ip, udp);
    if (form == stun_for_socket_path) {
      return XDP_PASS;
    }
    no_way_back = route_back(ctx, ip, udp, ip_answer_length, &route);
    if (no_way_back != 0) {
      count(no_way_back);
      return XDP_PASS;
    }
    return answer_stun(ctx, form, &route);
  }

  if (payload_length == REQUEST_LENGTH && (const void*)(payload + REQUEST_LENGTH) <= end &&
      payload[0] == 'i' && payload[1] == 'p' && payload[2] == 0 && udp->check != 0) {
    /* A checksum that does not add up may be one the sender left to
     * offloading, which only the kernel knows: let it judge. */
    const __u64 sum = udp_header_sum(ip->saddr, ip->daddr, udp) + bpf_htons(('i' << 8) | 'p');
    if (fold(sum) != 0xffff) {
      return XDP_PASS;
    }
  }

  /* What is no request is dropped here whatever its source: no answer
   * leaves for it, and the socket path would drop it too. */
  if (payload_length != REQUEST_LENGTH || (const void*)(payload + REQUEST_LENGTH) > end ||
      payload[0] != 'i' || payload[1] != 'p' || payload[2] != 0 || udp->source == 0) {
    count(fast_path_received);
    count(fast_path_dropped_malformed);
    return XDP_DROP;
  }
  no_way_back = route_back(ctx, ip, udp, ip_answer_length, &route);
  if (no_way_back != 0) {
    count(no_way_back);
    return XDP_PASS;
  }
  count(fast_path_received);
  if (!admitted(ip->saddr, fast_path_dropped_rate_limited)) {
    return XDP_DROP;
  }
  const int verdict = answer_probe(ctx, &route);
  if (verdict == XDP_TX) {
    count(fast_path_answered);
  }
  return verdict;
}

/* On the interface's egress (TCX): learns the way back to each source from
 * the socket path's replies, which the kernel routed and addressed.  Lets
 * every packet go on unchanged. */
SEC("tc")
int learn_routes_back(struct __sk_buff* skb) {
  unsigned char headers[FRAME_HEADERS];
  if (bpf_skb_load_bytes(skb, 0, headers, sizeof headers) != 0) {
    return -1; /* TCX_NEXT */
  }
  const struct ethhdr* eth = (const struct ethhdr*)headers;
  const struct iphdr* ip = (const struct iphdr*)(eth + 1);
  const struct udphdr* udp = (const struct udphdr*)(ip + 1);
  if (eth->h_proto != bpf_htons(ETH_P_IP) || ip->version != 4 || ip->ihl != 5 ||
      ip->protocol != IPPROTO_UDP || udp->source != server_port ||
      !is_served_destination(ip->saddr) || source_for_kernel(ip->daddr) != 0) {
    return -1;
  }
  struct fast_path_route_back learned = {};
  __builtin_memcpy(learned.source_mac, eth->h_source, ETH_ALEN);
  __builtin_memcpy(learned.destination_mac, eth->h_dest, ETH_ALEN);
  learned.ifindex = skb->ifindex;
  learned.generation = current_generation();
  learned.seen_ns = bpf_ktime_get_ns();
  const __u32 client = ip->daddr;
  bpf_map_update_elem(&routes_back, &client, &learned, BPF_ANY);
  return -1;
}

/* The socket path's admission under the same per-source limit, so that a
 * source has one budget whichever path its requests take.  The loader runs
 * it (BPF_PROG_TEST_RUN) on a frame whose first four bytes are the source
 * address; the verdict is XDP_PASS to answer, XDP_DROP to drop, and XDP_TX
 * to drop and name the source in the log.  Never attached. */
SEC("xdp")
int admit_for_socket_path(struct xdp_md* ctx) {
  const void* data = (const void*)(long)ctx->data;
  const void* end = (const void*)(long)ctx->data_end;
  if (data + sizeof(__u32) > end) {
    return XDP_ABORTED;
  }
  __u32 source;
  __builtin_memcpy(&source, data, sizeof source);
  switch (admit(source, bpf_ktime_get_ns())) {
    case admit_answer:
      return XDP_PASS;
    case admit_drop_and_report:
      return XDP_TX;
    default:
      return XDP_DROP;
  }
}

/* The project is Expat-licensed; the kernel counts "Dual MIT/GPL" as GPL-compatible. */
char LICENSE[] SEC("license") = "Dual MIT/GPL";
