/* The client end of the benchmark's link: drops the answers to forged
 * sources (198.51.100.0/24, 203.0.113.0/24) before the client's stack
 * spends a processor on them, and passes everything else.  The interface's
 * receive counters still count them. */
#include <linux/bpf.h>
#include <linux/if_ether.h>
#include <linux/ip.h>

#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

SEC("xdp")
int drop_forged_answers(struct xdp_md* ctx) {
  void* data = (void*)(long)ctx->data;
  void* end = (void*)(long)ctx->data_end;
  struct ethhdr* eth = data;
  struct iphdr* ip = (struct iphdr*)(eth + 1);
  if ((void*)(ip + 1) > end || eth->h_proto != bpf_htons(ETH_P_IP)) {
    return XDP_PASS;
  }
  const __u32 network = bpf_ntohl(ip->daddr) & 0xffffff00;
  return network == 0xC6336400 || network == 0xCB007100 ? XDP_DROP : XDP_PASS;
}

char LICENSE[] SEC("license") = "Dual MIT/GPL";
