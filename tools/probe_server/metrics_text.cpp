#include "metrics_text.h"

#include <cstdio>
#include <utility>

namespace wanseer_tools {

namespace {

void add_metric(std::string& text, const char* name, const char* type, const char* help,
                std::uint64_t value) {
  text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
          name + " " + std::to_string(value) + "\n";
}

// A counter split by why a datagram got no answer.
void add_drops(std::string& text, const char* name, const char* help, std::uint64_t malformed,
               std::uint64_t rate_limited) {
  text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " counter\n" + name +
          "{reason=\"malformed\"} " + std::to_string(malformed) + "\n" + name +
          "{reason=\"rate_limited\"} " + std::to_string(rate_limited) + "\n";
}

}  // namespace

std::string format_metrics(const metrics_snapshot& snapshot) {
  const counter_values& totals = snapshot.totals;
  std::string text;
  text.reserve(2048);
  add_metric(text, "wanseer_probe_received_total", "counter",
             "Probe protocol datagrams received (all not of STUN form).", totals.received);
  add_metric(text, "wanseer_probe_answered_total", "counter", "Probe protocol requests answered.",
             totals.answered);
  add_drops(text, "wanseer_probe_dropped_total", "Datagrams dropped without an answer, by reason.",
            totals.dropped_malformed, totals.dropped_rate_limited);
  add_metric(text, "wanseer_probe_answered_at_driver_total", "counter",
             "Requests of both protocols answered by the XDP fast path (included in "
             "answered_total and stun_answered_total; 0 without --xdp).",
             snapshot.answered_at_driver);
  add_metric(text, "wanseer_probe_xdp_attached", "gauge",
             "1 while the XDP fast path is attached to its interface; 0 while the interface is "
             "gone, and without --xdp.",
             snapshot.xdp_attached ? 1 : 0);
  const driver_passes& passed = snapshot.passed_to_kernel;
  text +=
      "# HELP wanseer_probe_xdp_passed_total Requests the XDP fast path left to the kernel, "
      "which drops them or answers them on the socket path, by reason.\n"
      "# TYPE wanseer_probe_xdp_passed_total counter\n";
  for (const auto& [reason, value] :
       {std::pair{"martian_source", passed.martian_source},
        std::pair{"own_address", passed.own_address}, std::pair{"no_route", passed.no_route},
        std::pair{"no_neighbour", passed.no_neighbour},
        std::pair{"route_unknown", passed.route_unknown}}) {
    text += std::string("wanseer_probe_xdp_passed_total{reason=\"") + reason + "\"} " +
            std::to_string(value) + "\n";
  }
  add_metric(text, "wanseer_probe_send_failures_total", "counter",
             "Replies the kernel refused to send.", totals.send_failed);
  add_metric(text, "wanseer_probe_stun_received_total", "counter",
             "Datagrams of STUN form received.", totals.stun_received);
  add_metric(text, "wanseer_probe_stun_answered_total", "counter",
             "STUN Binding requests answered (success or 420).", totals.stun_answered);
  add_drops(text, "wanseer_probe_stun_dropped_total",
            "Datagrams of STUN form dropped without an answer, by reason.",
            totals.stun_dropped_malformed, totals.stun_dropped_rate_limited);
  add_metric(text, "wanseer_probe_stun_send_failures_total", "counter",
             "STUN answers the kernel refused to send.", totals.stun_send_failed);
  add_metric(text, "wanseer_probe_sources_tracked", "gauge", "Slots of the source table in use.",
             totals.sources_tracked);
  add_metric(text, "wanseer_probe_sources_evicted_total", "counter",
             "Sources that took over the slot of another.", totals.sources_evicted);
  add_metric(text, "wanseer_probe_rate_limit_log_lines_suppressed_total", "counter",
             "Rate-limited lines not written to keep the log to a few lines a second.",
             snapshot.log_lines_suppressed);
  add_metric(text, "wanseer_probe_log_lines_dropped_total", "counter",
             "Lines lost because standard output or error took no more.",
             snapshot.log_lines_dropped);
  add_metric(text, "wanseer_probe_threads", "gauge", "Serving threads.", snapshot.threads);
  char start[64];
  std::snprintf(start, sizeof start, "%.3f", snapshot.start_time_seconds);
  text += std::string(
              "# HELP process_start_time_seconds Start time of the process since the Unix "
              "epoch in seconds.\n"
              "# TYPE process_start_time_seconds gauge\n"
              "process_start_time_seconds ") +
          start + "\n";
  return text;
}

}  // namespace wanseer_tools
