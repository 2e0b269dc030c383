/*
 * A host that forks and execs while its worker runs, through two loads of
 * the library.  While the parent's worker sits in its pause after a reply:
 *   - helpers started with posix_spawn and with fork and exec list their
 *     descriptors: none may be a socket or eventfd of the library;
 *   - a forked child reads the address, stops (at once: it has no worker),
 *     then starts, uses and stops a worker of its own against its own probe
 *     server, and exits;
 *   - meanwhile the parent's probe server must see no request (the next is
 *     due a minute after the reply) and the parent must stay idle.
 * Then another thread starts and stops workers in a loop while the host
 * forks 200 times; every child must stop, start and stop a worker of its own
 * without blocking, whatever moment of a start or stop the fork caught.
 * (Under AddressSanitizer a child blocked in the sanitizer's own allocator
 * says so, and is counted apart: that allocator is not fork-safe.)
 * After each unload a fork must not reach into the unloaded library.
 *
 * usage: fork_host PATH-TO-libwanseer.so.1
 *        fork_host --list-descriptors   (the helper that the host execs)
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "c_host_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ADDRESS_SANITIZER 1
#endif
#endif
#ifdef ADDRESS_SANITIZER
#include <sanitizer/allocator_interface.h>
#endif

/* The child starts a worker of its own: under ThreadSanitizer, which does
   not follow threads across a fork, that is allowed only with this. */
const char* __tsan_default_options(void);
const char* __tsan_default_options(void) {
  return "die_after_fork=0";
}

/* A forked child holds copies of what the parent's worker thread owns (its
   job, ACE's per-thread state), reachable only from that thread, which does
   not exist in the child: LeakSanitizer would report them at the child's
   exit.  The child's own start and stop are checked in the parent. */
static int in_forked_child = 0;
int __lsan_is_turned_off(void);
int __lsan_is_turned_off(void) {
  return in_forked_child;
}

/* Far below the 5 s of the shortest wait on the real schedule. */
static const double prompt = 2.0;
/* How long the parent's server is watched after the child has ended: a
   worker woken for good by the child would send again within microseconds. */
static const int watch_after_child_ms = 500;

static char self_path[PATH_MAX];

static int list_descriptors(void) {
  char found[512];
  const int count = foreign_descriptors(NULL, 0, found, sizeof found);
  host_check(count == 0, "an exec'd program holds%s", found);
  return count == 0 ? 0 : 1;
}

static void check_exec_helpers(void) {
  char* const helper[] = {self_path, "--list-descriptors", NULL};
  /* posix_spawn runs no fork handlers: only close-on-exec protects here. */
  pid_t spawned = -1;
  const int error = posix_spawn(&spawned, self_path, NULL, NULL, helper, environ);
  host_check(error == 0, "posix_spawn: %s", strerror(error));
  int status = -1;
  if (error == 0) {
    waitpid(spawned, &status, 0);
    host_check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "posix_spawn'd helper failed");
  }
  const pid_t forked = fork();
  if (forked == 0) {
    execv(self_path, helper);
    _exit(127);
  }
  host_check(forked > 0, "fork: %s", strerror(errno));
  if (forked > 0) {
    waitpid(forked, &status, 0);
    host_check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "fork and exec'd helper failed");
  }
}

static double timed_stop(const wanseer_exports* wanseer) {
  const double started = now_seconds();
  wanseer->stop();
  return now_seconds() - started;
}

/* The forked child's part; ends the child. */
static void child_life(const wanseer_exports* wanseer, int parent_server, int report,
                       const unsigned char* parent_address) {
  char found[512];
  const int known[] = {parent_server, report};
  host_check(foreign_descriptors(known, 2, found, sizeof found) == 0,
             "the child holds the parent worker's descriptors:%s", found);

  unsigned char read_back[4] = {0};
  int32_t length = sizeof read_back;
  host_check(wanseer->get(read_back, &length) == 0 && memcmp(read_back, parent_address, 4) == 0,
             "the child does not read what the store held at the fork");
  double took = timed_stop(wanseer);
  host_check(took < prompt, "stop in the child took %.3f s", took);

  unsigned port = 0;
  const int server = loopback_socket(&port);
  char text[32];
  snprintf(text, sizeof text, "127.0.0.1:%u", port);
  errno = 0;
  wanseer->startup(text);
  host_check(errno == 0, "start in the child: %s", strerror(errno));
  const unsigned char own_address[4] = {198, 51, 100, 42};
  host_check(server >= 0 && take_request(server, own_address), "the child's worker sent nothing");
  host_check(wait_until_stored(wanseer->get, own_address), "the child's worker stored nothing");
  took = timed_stop(wanseer);
  host_check(took < prompt, "stop of the child's own worker took %.3f s", took);
  /* exit(), not _exit(): the library's teardown runs in the child too. */
  exit(host_failures == 0 ? 0 : 1);
}

/* Forks a child while the parent's worker pauses, and watches the parent's
   server and CPU until a while after the child's end. */
static void check_forked_child(const wanseer_exports* wanseer, int server,
                               const unsigned char* address) {
  const double cpu_before = cpu_seconds();
  const double started = now_seconds();
  int report = -1;
  const pid_t child = fork_reporting(&report);
  if (child == 0) {
    in_forked_child = 1;
    child_life(wanseer, server, report, address);
  }
  if (child < 0) {
    return;
  }
  int requests = 0;
  double child_end = 0;
  double watch_end = now_seconds() + 20.0; /* a child that has not ended by then hangs */
  while (now_seconds() < watch_end) {
    struct pollfd watched[2] = {{server, POLLIN, 0}, {child_end == 0 ? report : -1, POLLIN, 0}};
    if (poll(watched, 2, 50) <= 0) {
      continue;
    }
    if (watched[0].revents != 0) {
      char request[8];
      requests += recv(server, request, sizeof request, MSG_DONTWAIT) > 0;
    }
    char ignored[64];
    if (watched[1].revents != 0 && read(report, ignored, sizeof ignored) == 0) {
      child_end = now_seconds();
      watch_end = child_end + watch_after_child_ms / 1000.0;
    }
  }
  host_check(await_child(child, report, 1.0, NULL) == 0, "the forked child failed");
  const double wall = now_seconds() - started;
  const double cpu = cpu_seconds() - cpu_before;
  host_check(requests == 0, "the parent's server got %d requests while the child ran", requests);
  /* A worker that no longer waits keeps a core busy. */
  host_check(cpu < wall / 4, "the parent used %.3f s of CPU in %.3f s", cpu, wall);
  host_check(child_end > 0, "the forked child did not end");
  printf("forked child ran %.3f s; parent's server got %d requests; parent CPU %.3f s in %.3f s\n",
         child_end - started, requests, cpu, wall);
}

/* How long a child forked during a start or stop may take before it is
   taken as blocked; the parent waits a good deal longer, so that a child
   can say why it blocked. */
static const unsigned child_deadline_s = 20;
/* The exit statuses of a child that blocked: in the library, or in
   AddressSanitizer's allocator. */
enum { child_blocked = 3, allocator_locked_at_fork = 75 };

#ifdef ADDRESS_SANITIZER
static void leave_locked_allocator(int signal_number) {
  (void)signal_number;
  _exit(allocator_locked_at_fork);
}

/* AddressSanitizer's allocator (before LLVM 18) takes no lock of its own
   across fork, unlike the C library's malloc: a child forked while another
   thread of the parent (the host's, or the parent's worker) was refilling
   a size class holds that class's lock for good, and its first thread to
   allocate from it waits for ever.  Purging takes every size class's lock
   and the quarantine's in turn: a blocked child that gets through it was
   blocked elsewhere, in the library. */
static void tell_why_blocked(int signal_number) {
  (void)signal_number;
  signal(SIGALRM, leave_locked_allocator);
  alarm(child_deadline_s / 2);
  __sanitizer_purge_allocator();
  _exit(child_blocked);
}
#endif

static void end_blocked_child_at_deadline(void) {
#ifdef ADDRESS_SANITIZER
  signal(SIGALRM, tell_why_blocked);
  alarm(child_deadline_s);
#endif
}

struct cycling {
  const wanseer_exports* wanseer;
  const char* server;
  int running; /* atomic */
};

static void* start_and_stop_in_a_loop(void* argument) {
  struct cycling* cycles = argument;
  while (__atomic_load_n(&cycles->running, __ATOMIC_RELAXED)) {
    cycles->wanseer->startup(cycles->server);
    cycles->wanseer->stop();
  }
  return NULL;
}

static void check_forks_during_start_and_stop(const wanseer_exports* wanseer, const char* server) {
  struct cycling cycles = {wanseer, server, 1};
  pthread_t cycler;
  if (pthread_create(&cycler, NULL, start_and_stop_in_a_loop, &cycles) != 0) {
    host_check(0, "no thread to start and stop workers");
    return;
  }
  const int forks = 200;
  int blocked = 0;
  int locked_allocators = 0;
  for (int round = 0; round < forks && blocked == 0; ++round) {
    int report = -1;
    const pid_t child = fork_reporting(&report);
    if (child == 0) {
      end_blocked_child_at_deadline();
      wanseer->stop();
      wanseer->startup(server);
      wanseer->stop();
      _exit(0);
    }
    const int status = child < 0 ? -1 : await_child(child, report, 2.0 * child_deadline_s, NULL);
    locked_allocators += status == allocator_locked_at_fork;
    blocked += status != 0 && status != allocator_locked_at_fork;
  }
  __atomic_store_n(&cycles.running, 0, __ATOMIC_RELAXED);
  pthread_join(cycler, NULL);
  host_check(blocked == 0, "a child forked during a start or stop could not start and stop");
  printf(
      "%d forks during starts and stops: %d children blocked, %d found the sanitizer's "
      "allocator locked\n",
      forks, blocked, locked_allocators);
}

static void round_trip(const char* path, int round) {
  wanseer_exports wanseer;
  void* library = open_library(path, &wanseer);
  if (library == NULL) {
    return;
  }
  unsigned port = 0;
  const int server = loopback_socket(&port);
  char text[32];
  snprintf(text, sizeof text, "127.0.0.1:%u", port);
  wanseer.startup(text);
  const unsigned char address[4] = {203, 0, 113, (unsigned char)round};
  host_check(server >= 0 && take_request(server, address), "round %d: no request", round);
  host_check(wait_until_stored(wanseer.get, address), "round %d: address not stored", round);

  check_exec_helpers();
  check_forked_child(&wanseer, server, address);

  const double took = timed_stop(&wanseer);
  host_check(took < prompt, "round %d: the parent's stop took %.3f s", round, took);
  check_forks_during_start_and_stop(&wanseer, text);
  close(server);
  host_check(dlclose(library) == 0, "dlclose: %s", dlerror());
  host_check(dlopen(path, RTLD_NOW | RTLD_NOLOAD) == NULL, "round %d: library still loaded", round);

  /* The unloaded library's fork handlers went with it. */
  int report = -1;
  const pid_t child = fork_reporting(&report);
  if (child == 0) {
    _exit(0);
  }
  if (child > 0) {
    host_check(await_child(child, report, 20.0, NULL) == 0, "round %d: fork after unload", round);
  }
}

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--list-descriptors") == 0) {
    return list_descriptors();
  }
  if (argc < 2) {
    fprintf(stderr, "usage: %s PATH-TO-libwanseer.so.1\n", argv[0]);
    return 2;
  }
  if (realpath(argv[0], self_path) == NULL) {
    fprintf(stderr, "%s: %s\n", argv[0], strerror(errno));
    return 2;
  }
  for (int round = 1; round <= 2; ++round) {
    round_trip(argv[1], round);
  }
  printf("fork_host: %d failures\n", host_failures);
  return host_failures == 0 ? 0 : 1;
}
