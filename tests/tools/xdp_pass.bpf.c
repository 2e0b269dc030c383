/* Lets every frame through.  A veth device takes frames that its peer's
 * XDP program sends back with XDP_TX only while an XDP program of its own
 * is attached, so the client's end of a test link carries this one. */
#include <linux/bpf.h>

#include <bpf/bpf_helpers.h>

SEC("xdp")
int pass_every_frame(struct xdp_md* ctx) {
  (void)ctx;
  return XDP_PASS;
}

char LICENSE[] SEC("license") = "Dual MIT/GPL";
