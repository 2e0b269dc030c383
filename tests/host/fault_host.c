/*
 * Faults a host can hit, one class per run, each in children of this
 * process, which never loads the library itself:
 *   exit-race        a stop on another thread while main calls exit(), 200 runs;
 *   unload-service   dlclose at once after a start with a service-name port, 200 runs;
 *   limit            the descriptor limit lowered to 0 or 1 after the start;
 *   spawn            posix_spawn of a descriptor lister during name lookups;
 *   resolver-options a dead first name server with "options timeout:1 attempts:2";
 *   no-host          texts that name no host send no request.
 * The last three run in namespaces of their own (root), else skip (77).
 *
 * usage: fault_host PATH-TO-libwanseer.so.1 CLASS
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "c_host_support.h"

static const unsigned char address[4] = {192, 0, 2, 15};
static wanseer_exports wanseer;
static unsigned port;
static int server = -1;

static void* load(const char* path) {
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  host_check(library != NULL && load_exports(library, &wanseer), "dlopen: %s", dlerror());
  server = loopback_socket(&port);
  return library;
}

static void start(const char* host) {
  char text[64];
  snprintf(text, sizeof text, "%s:%u", host, port);
  wanseer.startup(text);
}

static void* stop_on_thread(void* unused) {
  (void)unused;
  wanseer.stop();
  return NULL;
}

/* Runs `body` in `runs` children in turn; each must end by itself, well. */
static void in_children(const char* what, int runs, void (*body)(const char*, int),
                        const char* path) {
  for (int run = 0; run < runs && host_failures == 0; ++run) {
    int report = -1;
    const pid_t child = fork_reporting(&report);
    if (child == 0) {
      body(path, run);
      exit(host_failures == 0 ? 0 : 1);
    }
    const int status = child > 0 ? await_child(child, report, 60.0, NULL) : -1;
    if (status == 77) {
      exit(77);
    }
    host_check(status == 0, "%s: run %d ended with %d", what, run, status);
  }
}

static void exit_during_stop(const char* path, int run) {
  (void)run;
  load(path);
  start("127.0.0.1");
  host_check(take_request(server, address) && wait_until_stored(wanseer.get, address), "no reply");
  pthread_t stopper;
  pthread_create(&stopper, NULL, stop_on_thread, NULL);
  exit(host_failures == 0 ? 0 : 1);
}

static void unload_after_service_start(const char* path, int run) {
  void* library = load(path);
  wanseer.startup(run % 2 == 0 ? "127.0.0.1:domain" : "localhost:domain");
  host_check(dlclose(library) == 0, "dlclose: %s", dlerror());
}

/* run: bit 0 the limit (0 or 1), bit 1 stop in the pause after a reply
   rather than in a receive.  Lowered once the worker sent its first
   request; then a short datagram makes it wait anew. */
static void limit_lowered(const char* path, int run) {
  load(path);
  start("127.0.0.1");
  host_check(take_request(server, NULL), "no first request");
  struct rlimit saved, low;
  getrlimit(RLIMIT_NOFILE, &saved);
  low = saved;
  low.rlim_cur = (rlim_t)(run & 1);
  setrlimit(RLIMIT_NOFILE, &low);
  const struct sockaddr* worker = (const struct sockaddr*)&last_requester;
  sendto(server, "no", 2, 0, worker, sizeof last_requester);
  if (run & 2) {
    sendto(server, address, 4, 0, worker, sizeof last_requester);
    host_check(wait_until_stored(wanseer.get, address), "limit %d: reply not stored", run & 1);
  } else {
    /* poll(2) here would fail under the limit as the worker's once did. */
    const struct timeval patience = {30, 0};
    char request[8];
    setsockopt(server, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    host_check(recv(server, request, sizeof request, 0) == 3, "limit %d: no second request",
               run & 1);
  }
  const double started = now_seconds();
  wanseer.stop();
  const double took = now_seconds() - started;
  setrlimit(RLIMIT_NOFILE, &saved);
  printf("limit %d, stop in the %s: %.4f s\n", run & 1, run & 2 ? "pause" : "receive", took);
  host_check(took < 0.5, "limit %d: stop took %.3f s", run & 1, took);
}

/* Lists its descriptors above 2 on stdout: what it inherited. */
static int list_descriptors(void) {
  DIR* listing = opendir("/proc/self/fd");
  for (struct dirent* entry; listing != NULL && (entry = readdir(listing)) != NULL;) {
    char target[256] = "";
    const int fd = atoi(entry->d_name);
    if (fd > 2 && fd != dirfd(listing) &&
        readlinkat(dirfd(listing), entry->d_name, target, 255) > 0) {
      printf("%d -> %s\n", fd, target);
    }
  }
  if (listing != NULL) {
    closedir(listing);
  }
  return 0;
}

static volatile int spawning = 1;
static int inherited = 0;
static int spawned = 0;

static void* spawn_listers(void* self) {
  while (__atomic_load_n(&spawning, __ATOMIC_SEQ_CST)) {
    int out[2];
    pid_t lister;
    char* argv[] = {self, "", "list", NULL};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipe2(out, O_CLOEXEC) != 0) {
      continue;
    }
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const int failed = posix_spawn(&lister, self, &actions, NULL, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    char listed[512];
    const ssize_t got = failed ? 0 : read(out[0], listed, sizeof listed - 1);
    if (got > 0) {
      listed[got] = '\0';
      fprintf(stderr, "inherited: %s", listed);
      ++inherited;
    }
    close(out[0]);
    spawned += !failed && waitpid(lister, NULL, 0) > 0;
  }
  return NULL;
}

/* Each cycle: a start (which a fork waits for: the trivial fork ends when
   the worker has started), one lookup with a 1.7 MB hosts file read while
   listers are spawned, and a stop. */
static void spawn_during_lookups(const char* path, int run) {
  (void)run;
  for (int fd = 3; fd < 1024; ++fd) {
    fcntl(fd, F_SETFD, FD_CLOEXEC); /* what this host got from its parent */
  }
  size_t size = 0;
  char* hosts = NULL;
  FILE* text = open_memstream(&hosts, &size);
  for (int i = 0; i < 60000; ++i) {
    fprintf(text, "198.51.%d.%d host-%d.example.org\n", i / 250 % 256, i % 250, i);
  }
  fclose(text);
  int queries = 0;
  const int isolated = enter_private_network("nameserver 127.0.0.1\n", hosts);
  free(hosts);
  if (!isolated) {
    exit(77);
  }
  const unsigned char loopback[4] = {127, 0, 0, 1};
  serve_names("127.0.0.1", loopback, &queries);
  load(path);
  pthread_t spawner;
  char self[4096] = "";
  host_check(readlink("/proc/self/exe", self, sizeof self - 1) > 0, "no /proc/self/exe");
  for (int cycle = 0; cycle < 40 && host_failures == 0; ++cycle) {
    __atomic_store_n(&spawning, 0, __ATOMIC_SEQ_CST);
    if (cycle > 0) {
      pthread_join(spawner, NULL);
    }
    const int asked = __atomic_load_n(&queries, __ATOMIC_SEQ_CST);
    start("probe.example.org");
    int ended = -1;
    const pid_t child = fork_reporting(&ended);
    if (child == 0) {
      _exit(0);
    }
    await_child(child, ended, 30.0, NULL);
    __atomic_store_n(&spawning, 1, __ATOMIC_SEQ_CST);
    pthread_create(&spawner, NULL, spawn_listers, self);
    const double deadline = now_seconds() + 30;
    while (__atomic_load_n(&queries, __ATOMIC_SEQ_CST) == asked && now_seconds() < deadline) {
      poll(NULL, 0, 1);
    }
    host_check(take_request(server, NULL), "cycle %d: name not looked up", cycle);
    wanseer.stop();
  }
  __atomic_store_n(&spawning, 0, __ATOMIC_SEQ_CST);
  pthread_join(spawner, NULL);
  printf("%d of %d listers inherited a descriptor\n", inherited, spawned);
  host_check(inherited == 0 && spawned > 0, "%d listers inherited a descriptor", inherited);
}

/* run 0: the options in resolv.conf; run 1: in RES_OPTIONS. */
static void dead_first_name_server(const char* path, int run) {
  static const char* const files[] = {
      "nameserver 127.0.0.2\nnameserver 127.0.0.1\noptions timeout:1 attempts:2\n",
      "nameserver 127.0.0.2\nnameserver 127.0.0.1\n"};
  if (!enter_private_network(files[run], NULL)) {
    exit(77);
  }
  if (run == 1) {
    setenv("RES_OPTIONS", "timeout:1 attempts:2", 1);
  }
  int silent = 0, asked = 0;
  const unsigned char loopback[4] = {127, 0, 0, 1};
  serve_names("127.0.0.2", NULL, &silent);
  serve_names("127.0.0.1", loopback, &asked);
  load(path);
  const double started = now_seconds();
  start("probe.example.org");
  host_check(take_request(server, address) && wait_until_stored(wanseer.get, address),
             "not stored");
  const double took = now_seconds() - started;
  printf("%s: stored after %.2f s\n", run ? "RES_OPTIONS" : "resolv.conf", took);
  const int dead_asked = __atomic_load_n(&silent, __ATOMIC_SEQ_CST);
  host_check(took < 2.5 && dead_asked > 0, "stored after %.2f s, %d queries to the dead server",
             took, dead_asked);
  wanseer.stop();
}

/* The worker used to ask 0.0.0.0, which reaches this host at once. */
static void no_host(const char* path, int run) {
  char text[32];
  load(path);
  snprintf(text, sizeof text, "%s%u", run == 0 ? "" : "0.0.0.0:", port);
  wanseer.startup(text);
  struct pollfd watched = {server, POLLIN, 0};
  host_check(poll(&watched, 1, 2000) == 0, "\"%s\": a request was sent", text);
  wanseer.stop();
}

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[2], "list") == 0) {
    return list_descriptors();
  }
  static const struct {
    const char* name;
    int runs;
    void (*body)(const char*, int);
  } classes[] = {{"exit-race", 200, exit_during_stop},
                 {"unload-service", 200, unload_after_service_start},
                 {"limit", 4, limit_lowered},
                 {"spawn", 1, spawn_during_lookups},
                 {"resolver-options", 2, dead_first_name_server},
                 {"no-host", 2, no_host}};
  for (size_t i = 0; argc == 3 && i < sizeof classes / sizeof classes[0]; ++i) {
    if (strcmp(argv[2], classes[i].name) == 0) {
      in_children(classes[i].name, classes[i].runs, classes[i].body, argv[1]);
      printf("%s: %d failures\n", classes[i].name, host_failures);
      return host_failures == 0 ? 0 : 1;
    }
  }
  fprintf(stderr, "usage: %s PATH-TO-libwanseer.so.1 CLASS\n", argv[0]);
  return 2;
}
