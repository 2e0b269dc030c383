/*
 * A plain C host that knows nothing of ACE or C++: it loads the library with
 * dlopen, plays the probe server itself on a loopback socket, reads the
 * address back, stops the library and unloads it, several times over, and
 * checks each time that the library really left the process.
 *
 * usage: dlopen_host PATH-TO-libwanseer.so.1 [CYCLES]
 */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "c_host_support.h"

/* One load, start, exchange, read, stop and unload. */
static void cycle(const char* path, int round) {
  wanseer_exports wanseer;
  void* library = open_library(path, &wanseer);
  if (library == NULL) {
    return;
  }
  /* The store comes in as the library's dependency. */
  int32_t (*store_open)(void) = (int32_t(*)(void))dlsym(library, "pellary_open");
  int32_t (*store_write)(const char*, const void*, int32_t) =
      (int32_t(*)(const char*, const void*, int32_t))dlsym(library, "pellary_write");
  host_check(store_open && store_write, "the value store's operations are not reachable");

  /* A fresh load reads under "IP". */
  unsigned char address[4] = {198, 51, 100, (unsigned char)round};
  if (store_open && store_write) {
    store_open();
    store_write("IP", address, 4);
    host_check(wait_until_stored(wanseer.get, address), "round %d: default key is not IP", round);
  }
  char key[32];
  snprintf(key, sizeof key, "host-key-%d", round);
  wanseer.init(NULL, key);

  unsigned port = 0;
  const int server = loopback_socket(&port);
  char text[32];
  snprintf(text, sizeof text, "127.0.0.1:%u", port);
  wanseer.startup(text);
  address[0] = 203;
  host_check(server >= 0 && take_request(server, address), "round %d: no request within 30 s",
             round);
  const int stored = wait_until_stored(wanseer.get, address);
  host_check(stored, "round %d: address not stored", round);
  if (stored) {
    printf("round %d: external address %u.%u.%u.%u, as told by the probe server at %s\n", round,
           address[0], address[1], address[2], address[3], text);
  }

  const double took = stop_and_unload(&wanseer, library, path, server, round);
  host_check(took < 2.0, "round %d: stop took %.3f s", round, took);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s PATH-TO-libwanseer.so.1 [CYCLES]\n", argv[0]);
    return 2;
  }
  const int cycles = argc > 2 ? atoi(argv[2]) : 5;
  for (int round = 1; round <= cycles; ++round) {
    cycle(argv[1], round);
  }
  printf("dlopen_host: %d cycles, %d failures\n", cycles, host_failures);
  return host_failures == 0 ? 0 : 1;
}
