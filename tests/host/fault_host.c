/*
 * Faults a host can hit, one class per run, each in children of this
 * process, which never loads the library itself.  The classes that need a
 * resolver of their own run in private namespaces (root), else skip (77).
 * usage: fault_host PATH-TO-libwanseer.so.1 CLASS
 */
#define _GNU_SOURCE
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

static const unsigned char address[4] = {192, 0, 2, 15}, loopback[4] = {127, 0, 0, 1};
static wanseer_exports wanseer;
static unsigned port;
static int server = -1, queries = 0, spawning = 1, inherited = 0, spawned = 0;

static void* load(const char* path) {
  void* library = open_library(path, &wanseer);
  server = loopback_socket(&port);
  return library;
}

static void start(const char* host) {
  char text[64];
  snprintf(text, sizeof text, "%s:%u", host, port);
  wanseer.startup(text);
}

static void* stop_worker(void* unused) {
  wanseer.stop();
  return unused;
}

static void exit_during_stop(const char* path, int run) {
  (void)run;
  load(path);
  start("127.0.0.1");
  host_check(take_request(server, address) && wait_until_stored(wanseer.get, address), "no reply");
  pthread_t stopper;
  host_check(pthread_create(&stopper, NULL, stop_worker, NULL) == 0 && pthread_detach(stopper) == 0,
             "no stopping thread");
  exit(host_failures == 0 ? 0 : 1);
}

static void unload_after_service_start(const char* path, int run) {
  void* library = load(path);
  wanseer.startup(run % 2 == 0 ? "127.0.0.1:domain" : "localhost:domain");
  host_check(dlclose(library) == 0, "dlclose: %s", dlerror());
}

/* run: bit 0 the limit, bit 1 stop in the pause after a reply rather than in
   a receive.  A short datagram after the lowering makes the worker wait anew. */
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
  char request[8];
  const struct timeval patience = {30, 0}; /* poll(2) would fail here too */
  setsockopt(server, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  if (run & 2) {
    sendto(server, address, 4, 0, worker, sizeof last_requester);
  }
  host_check(run & 2 ? wait_until_stored(wanseer.get, address)
                     : recv(server, request, sizeof request, 0) == 3,
             "limit %d: no %s", run & 1, run & 2 ? "reply stored" : "second request");
  const double started = now_seconds();
  wanseer.stop();
  const double took = now_seconds() - started;
  setrlimit(RLIMIT_NOFILE, &saved);
  printf("limit %d, stop in the %s: %.4f s\n", run & 1, run & 2 ? "pause" : "receive", took);
  host_check(took < 0.5, "limit %d: stop took %.3f s", run & 1, took);
}

/* ls(1) lists what it inherited: 0, 1, 2 and its own listing, 3, alone. */
static void* spawn_listers(void* unused) {
  while (__atomic_load_n(&spawning, __ATOMIC_SEQ_CST)) {
    int out[2] = {-1, -1};
    pid_t lister;
    char* argv[] = {"ls", "/proc/self/fd", NULL};
    char listed[256] = "";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const int ready = pipe2(out, O_CLOEXEC) == 0 &&
                      posix_spawn_file_actions_adddup2(&actions, out[1], 1) == 0 &&
                      posix_spawn(&lister, "/bin/ls", &actions, NULL, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    size_t got = 0;
    for (ssize_t more = 1; ready && more > 0 && got < sizeof listed - 1; got += (size_t)more) {
      more = read(out[0], listed + got, sizeof listed - 1 - got);
      more = more < 0 ? 0 : more;
    }
    close(out[0]);
    if (ready && waitpid(lister, NULL, 0) > 0) {
      inherited += strcmp(listed, "0\n1\n2\n3\n") != 0;
      ++spawned;
    }
  }
  return unused;
}

/* Each cycle a start, waited for by a fork; a lookup, which reads a 2 MB
   hosts file, while listers are spawned; a stop. */
static void spawn_during_lookups(const char* path, int run) {
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
  if (!enter_private_network("nameserver 127.0.0.1\n", hosts)) {
    exit(77);
  }
  free(hosts);
  serve_names("127.0.0.1", loopback, &queries);
  load(path);
  pthread_t spawner;
  for (run = 0; run < 40 && host_failures == 0; ++run) {
    start("probe.example.org");
    int ended = -1;
    const pid_t child = fork_reporting(&ended);
    if (child == 0) {
      _exit(0);
    }
    await_child(child, ended, 30.0, NULL);
    __atomic_store_n(&spawning, 1, __ATOMIC_SEQ_CST);
    pthread_create(&spawner, NULL, spawn_listers, NULL);
    host_check(take_request(server, NULL), "cycle %d: name not looked up", run);
    wanseer.stop();
    __atomic_store_n(&spawning, 0, __ATOMIC_SEQ_CST);
    pthread_join(spawner, NULL);
  }
  printf("%d of %d listers inherited a descriptor\n", inherited, spawned);
  host_check(inherited == 0 && spawned > 0, "%d listers inherited a descriptor", inherited);
}

/* run 0: the options in resolv.conf; run 1: in RES_OPTIONS. */
static void dead_first_name_server(const char* path, int run) {
  if (!enter_private_network(run ? "nameserver 127.0.0.2\nnameserver 127.0.0.1\n"
                                 : "nameserver 127.0.0.2\nnameserver 127.0.0.1\n"
                                   "options timeout:1 attempts:2\n",
                             NULL)) {
    exit(77);
  }
  setenv("RES_OPTIONS", run ? "timeout:1 attempts:2" : "", 1);
  int silent = 0;
  serve_names("127.0.0.2", NULL, &silent);
  serve_names("127.0.0.1", loopback, &queries);
  load(path);
  const double started = now_seconds();
  start("probe.example.org");
  host_check(take_request(server, address) && wait_until_stored(wanseer.get, address),
             "not stored");
  const double took = now_seconds() - started;
  printf("%s: stored after %.2f s\n", run ? "RES_OPTIONS" : "resolv.conf", took);
  host_check(took < 2.5 && __atomic_load_n(&silent, __ATOMIC_SEQ_CST) > 0, "stored after %.2f s",
             took);
  wanseer.stop();
}

/* "PORT" and "0.0.0.0:PORT": asking 0.0.0.0 would reach this host at once. */
static void no_host(const char* path, int run) {
  char text[32];
  load(path);
  snprintf(text, sizeof text, "%s%u", run == 0 ? "" : "0.0.0.0:", port);
  wanseer.startup(text);
  struct pollfd watched = {server, POLLIN, 0};
  host_check(poll(&watched, 1, 2000) == 0, "run %d: a request was sent", run);
  wanseer.stop();
}

int main(int argc, char** argv) {
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
  int matched = 0;
  for (size_t i = 0; argc == 3 && i < sizeof classes / sizeof classes[0]; ++i) {
    matched |= strcmp(argv[2], classes[i].name) == 0;
    for (int run = 0; strcmp(argv[2], classes[i].name) == 0 && run < classes[i].runs; ++run) {
      int report = -1;
      const pid_t child = fork_reporting(&report);
      if (child == 0) {
        classes[i].body(argv[1], run);
        exit(host_failures == 0 ? 0 : 1);
      }
      const int status = child > 0 ? await_child(child, report, 60.0, NULL) : -1;
      if (status == 77 || status != 0) {
        printf("%s: run %d ended with %d\n", argv[2], run, status);
        return status == 77 ? 77 : 1;
      }
    }
  }
  return matched ? 0 : 2;
}
