// The fast path of a build made without libbpf, clang or bpftool: --xdp
// says so and the server exits, rather than serving without it.
#include "xdp_fast_path.h"

namespace wanseer_tools {

struct xdp_fast_path::state {};

xdp_fast_path::xdp_fast_path(std::unique_ptr<state> loaded) : state_(std::move(loaded)) {}

xdp_fast_path::~xdp_fast_path() = default;

std::unique_ptr<xdp_fast_path> xdp_fast_path::attach(const fast_path_settings&,
                                                     std::string& error) {
  error = "this build has no XDP support (it was built without libbpf, clang or bpftool)";
  return nullptr;
}

counter_values xdp_fast_path::totals() const {
  return {};
}

driver_passes xdp_fast_path::passes() const {
  return {};
}

bool xdp_fast_path::forward_reports(int, throttle_log&) {
  return true;
}

bool xdp_fast_path::follow_interface(int, const std::function<void(const std::string&)>&,
                                     std::string&) {
  return true;
}

bool xdp_fast_path::admit(std::uint32_t, admission&) const {
  return false;
}

}  // namespace wanseer_tools
