/*
 * Hosts that break the calling rules on their way out: with a worker running
 * and no wanseer_stop they return from main, call exit(), or unload the
 * library.  Each runs in a child of this process, which never loads the
 * library itself, and must end, without a crash, within a fraction of a
 * second of the moment it starts to leave.
 *
 * usage: teardown_host PATH-TO-libwanseer.so.1 [at-once]
 *   at-once  also unload at once after the start, while the worker may still
 *            be opening the store: that needs a store whose open takes no
 *            loader lock (a first thread_local with a destructor does).
 */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "c_host_support.h"

/* Far more than the milliseconds a woken worker needs, far less than the
   5 s of the shortest wait a worker that was not woken would sit out. */
static const double prompt_end = 3.0;

enum leaving { return_from_main, call_exit, unload_and_exit, unload_at_once, leaving_kinds };
static const char* const leaving_names[] = {"return from main", "exit()", "dlclose",
                                            "dlclose just after the start"};

/* In the child: loads the library and starts a worker.  The worker is left
   in its pause after a reply, or, for an exit, in its first receive from a
   server that never answers; for an unload at once, wherever it is. */
static void* start_worker(const char* path, enum leaving how, int* server) {
  wanseer_exports wanseer;
  void* library = open_library(path, &wanseer);
  if (library == NULL) {
    return library;
  }
  unsigned port = 0;
  *server = loopback_socket(&port);
  char text[32];
  snprintf(text, sizeof text, "127.0.0.1:%u", port);
  wanseer.startup(text);
  if (how == unload_at_once) {
    return library;
  }
  const unsigned char address[4] = {192, 0, 2, 77};
  const int answered = how != call_exit;
  host_check(*server >= 0 && take_request(*server, answered ? address : NULL),
             "%s: no request within 30 s", leaving_names[how]);
  if (answered) {
    host_check(wait_until_stored(wanseer.get, address), "%s: address not stored",
               leaving_names[how]);
  }
  return library;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s PATH-TO-libwanseer.so.1 [at-once]\n", argv[0]);
    return 2;
  }
  const int kinds = argc > 2 && strcmp(argv[2], "at-once") == 0 ? leaving_kinds : unload_at_once;
  for (int how = 0; how < kinds; ++how) {
    int report = -1;
    const pid_t child = fork_reporting(&report);
    if (child < 0) {
      break;
    }
    if (child == 0) {
      int server = -1;
      void* library = start_worker(argv[1], (enum leaving)how, &server);
      /* The parent times the end from here. */
      host_check(write(report, "!", 1) == 1, "report to parent failed");
      const int code = host_failures == 0 ? 0 : 1;
      switch ((enum leaving)how) {
        case return_from_main:
          return code;
        case call_exit:
          exit(code);
        case unload_and_exit:
        case unload_at_once:
          if (library != NULL) {
            host_check(dlclose(library) == 0, "dlclose: %s", dlerror());
          }
          exit(host_failures == 0 ? 0 : 1);
        case leaving_kinds:
          break;
      }
      return 1;
    }
    /* Until the child is ready to leave: a start on a loaded machine. */
    char ready = 0;
    host_check(read(report, &ready, 1) == 1, "%s: child failed before leaving", leaving_names[how]);
    double took = 0;
    const int status = await_child(child, report, 20.0, &took);
    host_check(status == 0, "%s: child ended with %d", leaving_names[how], status);
    host_check(took < prompt_end, "%s: took %.3f s to end", leaving_names[how], took);
    printf("%s with a running worker: ended in %.3f s\n", leaving_names[how], took);
  }
  printf("teardown_host: %d failures\n", host_failures);
  return host_failures == 0 ? 0 : 1;
}
