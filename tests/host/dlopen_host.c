/*
 * A plain C host that knows nothing of ACE or C++: it loads the library with
 * dlopen, plays the probe server itself on a loopback socket, reads the
 * address back, stops the library and unloads it, several times over, and
 * checks each time that the library really left the process.
 *
 * usage: dlopen_host PATH-TO-libwanseer.so.1 [CYCLES]
 */
#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

typedef void (*init_fn)(const void*, const char*);
typedef void (*startup_fn)(const char*);
typedef void (*stop_fn)(void);
typedef int32_t (*get_fn)(void*, int32_t*);
typedef int32_t (*store_write_fn)(const char*, const void*, int32_t);
typedef int32_t (*store_open_fn)(void);

static int failures = 0;

#define CHECK(condition, ...)                       \
  do {                                              \
    if (!(condition)) {                             \
      fprintf(stderr, "dlopen_host: " __VA_ARGS__); \
      fputc('\n', stderr);                          \
      ++failures;                                   \
    }                                               \
  } while (0)

static double now_seconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

static void* symbol(void* library, const char* name) {
  void* found = dlsym(library, name);
  CHECK(found != NULL, "missing symbol %s: %s", name, dlerror());
  return found;
}

/* One load, start, exchange, read, stop and unload. */
static void cycle(const char* path, int round) {
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  CHECK(library != NULL, "dlopen: %s", dlerror());
  if (library == NULL) {
    return;
  }
  init_fn init = (init_fn)symbol(library, "wanseer_init");
  startup_fn startup = (startup_fn)symbol(library, "wanseer_startup");
  stop_fn stop = (stop_fn)symbol(library, "wanseer_stop");
  get_fn get = (get_fn)symbol(library, "wanseer_get");
  /* The store comes in as the library's dependency. */
  store_open_fn store_open = (store_open_fn)symbol(library, "pellary_open");
  store_write_fn store_write = (store_write_fn)symbol(library, "pellary_write");
  if (!init || !startup || !stop || !get || !store_open || !store_write) {
    dlclose(library);
    return;
  }

  /* A fresh load reads under "IP". */
  unsigned char address[4] = {198, 51, 100, (unsigned char)round};
  unsigned char buffer[4];
  int32_t length = 4;
  store_open();
  store_write("IP", address, 4);
  CHECK(get(buffer, &length) == 0 && memcmp(buffer, address, 4) == 0,
        "round %d: default key is not IP", round);
  char key[32];
  snprintf(key, sizeof key, "host-key-%d", round);
  init(NULL, key);

  int server = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in bound;
  memset(&bound, 0, sizeof bound);
  bound.sin_family = AF_INET;
  bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t bound_length = sizeof bound;
  bind(server, (struct sockaddr*)&bound, sizeof bound);
  getsockname(server, (struct sockaddr*)&bound, &bound_length);
  char text[32];
  snprintf(text, sizeof text, "127.0.0.1:%u", (unsigned)ntohs(bound.sin_port));

  startup(text);
  struct pollfd watched = {server, POLLIN, 0};
  CHECK(poll(&watched, 1, 30000) == 1, "round %d: no request within 30 s", round);
  unsigned char request[8];
  struct sockaddr_in worker;
  socklen_t worker_length = sizeof worker;
  ssize_t got =
      recvfrom(server, request, sizeof request, 0, (struct sockaddr*)&worker, &worker_length);
  CHECK(got == 3 && memcmp(request, "ip", 3) == 0, "round %d: bad request", round);
  address[0] = 203;
  sendto(server, address, 4, 0, (struct sockaddr*)&worker, worker_length);

  double deadline = now_seconds() + 30.0;
  int32_t status;
  /* The store keeps the last round's address across the unload: wait for
     this round's. */
  do {
    length = 4;
    status = get(buffer, &length);
  } while ((status != 0 || memcmp(buffer, address, 4) != 0) && now_seconds() < deadline &&
           usleep(1000) == 0);
  CHECK(status == 0 && memcmp(buffer, address, 4) == 0, "round %d: address not stored (%d)", round,
        (int)status);
  if (status == 0) {
    printf("round %d: external address %u.%u.%u.%u, as told by the probe server at %s\n", round,
           buffer[0], buffer[1], buffer[2], buffer[3], text);
  }

  double stop_started = now_seconds();
  stop();
  CHECK(now_seconds() - stop_started < 2.0, "round %d: stop took %.3f s", round,
        now_seconds() - stop_started);
  close(server);

  CHECK(dlclose(library) == 0, "dlclose: %s", dlerror());
  CHECK(dlopen(path, RTLD_NOW | RTLD_NOLOAD) == NULL, "round %d: library still loaded", round);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s PATH-TO-libwanseer.so.1 [CYCLES]\n", argv[0]);
    return 2;
  }
  int cycles = argc > 2 ? atoi(argv[2]) : 5;
  for (int round = 1; round <= cycles; ++round) {
    cycle(argv[1], round);
  }
  printf("dlopen_host: %d cycles, %d failures\n", cycles, failures);
  return failures == 0 ? 0 : 1;
}
