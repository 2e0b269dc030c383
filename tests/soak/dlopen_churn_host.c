/*
 * A plain C host that loads and unloads the library many times with a start
 * and a stop inside each load, against a probe server it plays itself that
 * answers, one that stays silent and a port where nothing is bound, in turn.
 * Each stop must be prompt, each unload must take the library out of the
 * process, and at the end the process must hold the descriptors and threads
 * it held before, and the value store must still hold the last address
 * across the unloads.  Run under valgrind's memcheck by scripts/soak-valgrind.sh
 * and in the sanitizer builds by CTest, it also shows leaks.
 *
 * usage: dlopen_churn_host PATH-TO-libwanseer.so.1 CYCLES
 */
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "c_host_support.h"

enum server_kind { answering, silent, absent, server_kinds };
static const char* const kind_names[] = {"answering", "silent", "absent"};

static double longest_stop = 0;
/* The address stored in the last answering round, if any. */
static unsigned char last_stored[4];
static int stored_before = 0;

static void cycle(const char* path, int round, unsigned absent_port) {
  const enum server_kind kind = (enum server_kind)(round % server_kinds);
  wanseer_exports wanseer;
  void* library = open_library(path, &wanseer);
  if (library == NULL) {
    return;
  }
  wanseer.init(NULL, "churn");
  /* The value store keeps its values for the life of the process, also
     while no library that uses it is loaded. */
  if (stored_before) {
    unsigned char kept[4];
    int32_t length = 4;
    host_check(wanseer.get(kept, &length) == 0 && memcmp(kept, last_stored, 4) == 0,
               "round %d: the address stored before the unload is gone", round);
  }

  unsigned port = absent_port;
  int server = kind == absent ? -1 : loopback_socket(&port);
  char text[32];
  /* Nothing listens at 127.0.0.2 on the absent port, which main holds on
     127.0.0.1 so that no other socket can take it. */
  snprintf(text, sizeof text, "127.0.0.%d:%u", kind == absent ? 2 : 1, port);
  unsigned char address[4] = {203, 0, 113, (unsigned char)round};
  wanseer.startup(text);
  if (kind == answering) {
    host_check(take_request(server, address), "round %d: no request", round);
    if (wait_until_stored(wanseer.get, address)) {
      memcpy(last_stored, address, 4);
      stored_before = 1;
    } else {
      host_check(0, "round %d: address not stored", round);
    }
  } else if (kind == silent) {
    /* The stop then comes while the worker waits for its first answer. */
    host_check(take_request(server, NULL), "round %d: no request", round);
  }
  const double took = stop_and_unload(&wanseer, library, path, server, round);
  if (took > longest_stop) {
    longest_stop = took;
  }
  host_check(took < 2.0, "round %d (%s server): stop took %.3f s", round, kind_names[kind], took);
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s PATH-TO-libwanseer.so.1 CYCLES\n", argv[0]);
    return 2;
  }
  const int cycles = atoi(argv[2]);
  unsigned absent_port = 0;
  const int absent_port_holder = loopback_socket(&absent_port);

  /* One round of each kind first: a sanitizer may start a thread of its own
     with the first thread the process makes. */
  for (int round = 0; round < server_kinds; ++round) {
    cycle(argv[1], round, absent_port);
  }
  const int descriptors_before = count_entries("/proc/self/fd");
  const int threads_before = threads_without_worker();
  for (int round = 0; round < cycles; ++round) {
    cycle(argv[1], round, absent_port);
  }
  const int descriptors_after = count_entries("/proc/self/fd");
  const int threads_after = threads_without_worker();
  host_check(descriptors_after == descriptors_before, "descriptors %d before, %d after",
             descriptors_before, descriptors_after);
  host_check(threads_after == threads_before, "threads %d before, %d after", threads_before,
             threads_after);
  printf(
      "dlopen_churn_host: %d load/start/stop/unload cycles, %d failures, longest stop %.1f ms,"
      " descriptors %d -> %d, threads %d -> %d\n",
      cycles, host_failures, longest_stop * 1e3, descriptors_before, descriptors_after,
      threads_before, threads_after);
  close(absent_port_holder);
  return host_failures == 0 ? 0 : 1;
}
