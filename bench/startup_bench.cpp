// Time from wanseer_startup to the first wanseer_get that returns the
// address, against wanseer-probe-server on loopback, with the library
// loaded by dlopen as a host loads it.
//
// Usage: startup_bench [RUNS]   (default 1000)

#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "running_probe_server.h"
#include "spread.h"
#include "wanseer.h"

namespace {

struct exports {
  decltype(&wanseer_init) init;
  decltype(&wanseer_startup) startup;
  decltype(&wanseer_stop) stop;
  decltype(&wanseer_get) get;
};

// Between two reads: a spinning reader would take the core that the worker
// and the server need on a small machine, and delay the answer it waits for.
constexpr timespec poll_pause{0, 20000};

template <typename Function>
Function symbol(void* library, const char* name) {
  void* const found = dlsym(library, name);
  if (found == nullptr) {
    std::fprintf(stderr, "no %s in the library\n", name);
    std::exit(1);
  }
  return reinterpret_cast<Function>(found);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 1000;
  if (runs < 1) {
    std::fprintf(stderr, "usage: %s [RUNS]\n", argv[0]);
    return 2;
  }
  // Every run comes from the same address: the rate limit would otherwise
  // be what is measured.
  wanseer_tests::running_probe_server server({"--rate", "0"});
  const std::string endpoint = server.endpoint();

  void* const library = dlopen(WANSEER_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  const exports wanseer{symbol<decltype(&wanseer_init)>(library, "wanseer_init"),
                        symbol<decltype(&wanseer_startup)>(library, "wanseer_startup"),
                        symbol<decltype(&wanseer_stop)>(library, "wanseer_stop"),
                        symbol<decltype(&wanseer_get)>(library, "wanseer_get")};

  std::vector<double> microseconds;
  microseconds.reserve(static_cast<std::size_t>(runs));
  int unanswered = 0;
  for (int run = 0; run < runs; ++run) {
    // A fresh key per run: the store keeps the address of earlier runs.
    const std::string key = "startup-bench-" + std::to_string(run);
    wanseer.init(nullptr, key.c_str());
    unsigned char address[WANSEER_ADDRESS_LENGTH];
    const auto started = std::chrono::steady_clock::now();
    const auto give_up = started + std::chrono::seconds(10);
    wanseer.startup(endpoint.c_str());
    std::int32_t status = -2;
    auto now = started;
    while (status != 0 && now < give_up) {
      std::int32_t length = sizeof address;
      status = wanseer.get(address, &length);
      if (status != 0) {
        nanosleep(&poll_pause, nullptr);
      }
      now = std::chrono::steady_clock::now();
    }
    wanseer.stop();
    if (status != 0) {
      ++unanswered;
      continue;
    }
    microseconds.push_back(std::chrono::duration<double, std::micro>(now - started).count());
  }
  dlclose(library);
  const std::string counters = wanseer_tests::counter_line(server.stop());

  if (microseconds.empty()) {
    std::fprintf(stderr, "no run got an answer\n");
    return 1;
  }
  std::printf("startup to first address, %zu runs (%d unanswered), microseconds:\n",
              microseconds.size(), unanswered);
  wanseer_bench::print_spread(microseconds);
  std::printf("  probe server: %s\n", counters.c_str());
  return unanswered == 0 ? 0 : 1;
}
