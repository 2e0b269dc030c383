/*
 * What the plain C hosts share: the four exports looked up by name, a probe
 * server played on a loopback socket, and failure counting.
 */
#ifndef WANSEER_TESTS_C_HOST_SUPPORT_H
#define WANSEER_TESTS_C_HOST_SUPPORT_H

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

typedef struct {
  void (*init)(const void*, const char*);
  void (*startup)(const char*);
  void (*stop)(void);
  int32_t (*get)(void*, int32_t*);
} wanseer_exports;

/* Failures so far; host_check counts one and prints the message. */
extern int host_failures;
void host_check(int condition, const char* format, ...) __attribute__((format(printf, 2, 3)));

/* Looks up the four exports; 0 (with a failure counted) if any is missing. */
int load_exports(void* library, wanseer_exports* exports);

/* Loads the library at `path` (RTLD_NOW | RTLD_LOCAL) and looks up its
   exports; NULL (with a failure counted, and the library not left loaded)
   if either fails. */
void* open_library(const char* path, wanseer_exports* exports);

double now_seconds(void);

/* A UDP socket bound to a free loopback port, which goes to *port; -1 (with
   a failure counted) if none can be had. */
int loopback_socket(unsigned* port);

/* Waits up to 30 s for a request "ip\0" and answers it with the 4 bytes of
   `address` unless that is NULL; 0 if no request came. */
int take_request(int server, const unsigned char* address);

/* Who sent the request that take_request took last. */
extern struct sockaddr_in last_requester;

/* In a process of one thread: network and mount namespaces of its own, with
   loopback up and the texts over /etc/resolv.conf and, unless NULL,
   /etc/hosts.  0 where that cannot be done (needs root): skip. */
int enter_private_network(const char* resolv_conf, const char* hosts);

/* On a thread of its own, answers every query on `address` port 53 with
   the A record `answer`, or never when NULL; counts them in *queries. */
void serve_names(const char* address, const unsigned char* answer, int* queries);

/* Polls `get` for up to 30 s until it delivers the 4 bytes of `address`. */
int wait_until_stored(int32_t (*get)(void*, int32_t*), const unsigned char* address);

/* Forks a child that reports over a pipe.  In the child returns 0 with the
   pipe's write end in *report; in the parent the child's pid with the read
   end, which reaches its end when the child has ended.  -1 (with a failure
   counted) if no child can be made. */
pid_t fork_reporting(int* report);

/* Waits up to `seconds` for the end of a child from fork_reporting, reaps it
   and closes `report`.  Returns its exit status; -1 (with a failure counted)
   if it died of a signal or had to be killed at the deadline.  *took, unless
   NULL, gets the seconds from the call to the child's end. */
int await_child(pid_t child, int report, double seconds, double* took);

/* Descriptors above 2 that are sockets or eventfds, other than the `known`
   ones: what a process would hold of the library's.  Their numbers and
   targets go to `found` (room bytes); returns how many. */
int foreign_descriptors(const int* known, int known_count, char* found, size_t room);

/* Stops the worker, closes `server` unless it is -1, unloads the library
   and checks that it is gone (a failure counted otherwise); returns how
   long the stop took, in seconds. */
double stop_and_unload(const wanseer_exports* exports, void* library, const char* path, int server,
                       int round);

/* Entries of a /proc folder such as /proc/self/fd or /proc/self/task, the
   listing's own descriptor not counted; -1 if it cannot be read. */
int count_entries(const char* path);

/* Entries of /proc/self/task once none is the library's worker (a task
   named "wanseer", as wanseer.h names it, or one that can no longer be
   read): a worker that wanseer_stop joined may still be listed for a
   moment.  -1 (with a failure counted) if one is still listed after 30 s. */
int threads_without_worker(void);

/* User plus system CPU time of this whole process, in seconds. */
double cpu_seconds(void);

#endif /* WANSEER_TESTS_C_HOST_SUPPORT_H */
