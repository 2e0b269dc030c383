#define _GNU_SOURCE
#include "c_host_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int host_failures = 0;
struct sockaddr_in last_requester;

void host_check(int condition, const char* format, ...) {
  if (condition) {
    return;
  }
  ++host_failures;
  va_list arguments;
  va_start(arguments, format);
  fprintf(stderr, "%s: ", program_invocation_short_name);
  vfprintf(stderr, format, arguments);
  fputc('\n', stderr);
  va_end(arguments);
}

int load_exports(void* library, wanseer_exports* exports) {
  exports->init = (void (*)(const void*, const char*))dlsym(library, "wanseer_init");
  exports->startup = (void (*)(const char*))dlsym(library, "wanseer_startup");
  exports->stop = (void (*)(void))dlsym(library, "wanseer_stop");
  exports->get = (int32_t(*)(void*, int32_t*))dlsym(library, "wanseer_get");
  const int found = exports->init && exports->startup && exports->stop && exports->get;
  host_check(found, "missing exports");
  return found;
}

void* open_library(const char* path, wanseer_exports* exports) {
  void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  host_check(library != NULL, "dlopen: %s", dlerror());
  if (library != NULL && !load_exports(library, exports)) {
    dlclose(library);
    library = NULL;
  }
  return library;
}

double now_seconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

int loopback_socket(unsigned* port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in bound;
  memset(&bound, 0, sizeof bound);
  bound.sin_family = AF_INET;
  bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof bound;
  if (fd < 0 || bind(fd, (struct sockaddr*)&bound, sizeof bound) != 0 ||
      getsockname(fd, (struct sockaddr*)&bound, &length) != 0) {
    host_check(0, "no loopback socket: %s", strerror(errno));
    if (fd >= 0) {
      close(fd);
    }
    return -1;
  }
  *port = ntohs(bound.sin_port);
  return fd;
}

int take_request(int server, const unsigned char* address) {
  struct pollfd watched = {server, POLLIN, 0};
  if (poll(&watched, 1, 30000) != 1) {
    return 0;
  }
  unsigned char request[8];
  struct sockaddr_in worker;
  socklen_t worker_length = sizeof worker;
  ssize_t got =
      recvfrom(server, request, sizeof request, 0, (struct sockaddr*)&worker, &worker_length);
  if (got != 3 || memcmp(request, "ip", 3) != 0) {
    return 0;
  }
  last_requester = worker;
  if (address != NULL) {
    sendto(server, address, 4, 0, (struct sockaddr*)&worker, worker_length);
  }
  return 1;
}

int wait_until_stored(int32_t (*get)(void*, int32_t*), const unsigned char* address) {
  const double deadline = now_seconds() + 30.0;
  unsigned char buffer[4];
  for (;;) {
    int32_t length = 4;
    if (get(buffer, &length) == 0 && memcmp(buffer, address, 4) == 0) {
      return 1;
    }
    if (now_seconds() > deadline) {
      return 0;
    }
    usleep(500);
  }
}

pid_t fork_reporting(int* report) {
  /* Nothing buffered is written twice. */
  fflush(stdout);
  fflush(stderr);
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    host_check(0, "pipe: %s", strerror(errno));
    return -1;
  }
  const pid_t child = fork();
  if (child < 0) {
    host_check(0, "fork: %s", strerror(errno));
    close(ends[0]);
    close(ends[1]);
    return -1;
  }
  close(ends[child == 0 ? 0 : 1]);
  *report = ends[child == 0 ? 1 : 0];
  return child;
}

int await_child(pid_t child, int report, double seconds, double* took) {
  const double started = now_seconds();
  const double deadline = started + seconds;
  int ended = 0;
  while (!ended) {
    const double left = deadline - now_seconds();
    if (left <= 0) {
      break;
    }
    struct pollfd watched = {report, POLLIN, 0};
    if (poll(&watched, 1, (int)(left * 1000) + 1) > 0) {
      char discarded[256];
      ended = read(report, discarded, sizeof discarded) == 0;
    }
  }
  if (took != NULL) {
    *took = now_seconds() - started;
  }
  close(report);
  if (!ended) {
    kill(child, SIGKILL);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!ended) {
    host_check(0, "child %d still running after %.0f s: killed", (int)child, seconds);
    return -1;
  }
  if (!WIFEXITED(status)) {
    host_check(0, "child %d died of signal %d", (int)child, WTERMSIG(status));
    return -1;
  }
  return WEXITSTATUS(status);
}

int foreign_descriptors(const int* known, int known_count, char* found, size_t room) {
  DIR* listing = opendir("/proc/self/fd");
  if (listing == NULL) {
    host_check(0, "/proc/self/fd: %s", strerror(errno));
    return 0;
  }
  int count = 0;
  size_t used = 0;
  found[0] = '\0';
  for (struct dirent* entry = readdir(listing); entry != NULL; entry = readdir(listing)) {
    const int fd = atoi(entry->d_name);
    int skip = entry->d_name[0] == '.' || fd <= 2 || fd == dirfd(listing);
    for (int i = 0; i < known_count && !skip; ++i) {
      skip = fd == known[i];
    }
    char path[64];
    char target[128];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const ssize_t length = skip ? -1 : readlink(path, target, sizeof target - 1);
    if (length <= 0) {
      continue;
    }
    target[length] = '\0';
    if (strncmp(target, "socket:", 7) == 0 || strcmp(target, "anon_inode:[eventfd]") == 0) {
      ++count;
      if (used < room) {
        used += (size_t)snprintf(found + used, room - used, " %d -> %s", fd, target);
      }
    }
  }
  closedir(listing);
  return count;
}

double stop_and_unload(const wanseer_exports* exports, void* library, const char* path, int server,
                       int round) {
  const double started = now_seconds();
  exports->stop();
  const double took = now_seconds() - started;
  if (server >= 0) {
    close(server);
  }
  host_check(dlclose(library) == 0, "dlclose: %s", dlerror());
  host_check(dlopen(path, RTLD_NOW | RTLD_NOLOAD) == NULL, "round %d: library still loaded", round);
  return took;
}

int count_entries(const char* path) {
  DIR* listing = opendir(path);
  if (listing == NULL) {
    return -1;
  }
  int count = 0;
  const int own = dirfd(listing);
  for (struct dirent* entry = readdir(listing); entry != NULL; entry = readdir(listing)) {
    if (entry->d_name[0] != '.' && atoi(entry->d_name) != own) {
      ++count;
    }
  }
  closedir(listing);
  return count;
}

static int worker_tasks(void) {
  DIR* listing = opendir("/proc/self/task");
  if (listing == NULL) {
    return -1;
  }
  int count = 0;
  for (struct dirent* entry = readdir(listing); entry != NULL; entry = readdir(listing)) {
    if (entry->d_name[0] == '.') {
      continue;
    }
    char path[300];
    char name[32] = "";
    snprintf(path, sizeof path, "/proc/self/task/%s/comm", entry->d_name);
    FILE* comm = fopen(path, "re");
    const int read = comm != NULL && fgets(name, sizeof name, comm) != NULL;
    if (comm != NULL) {
      fclose(comm);
    }
    if (!read || strcmp(name, "wanseer\n") == 0) {
      ++count;
    }
  }
  closedir(listing);
  return count;
}

int threads_without_worker(void) {
  for (const double deadline = now_seconds() + 30.0; worker_tasks() != 0; usleep(1000)) {
    if (now_seconds() >= deadline) {
      host_check(0, "a worker thread is still listed after 30 s");
      return -1;
    }
  }
  return count_entries("/proc/self/task");
}

double cpu_seconds(void) {
  struct rusage used;
  getrusage(RUSAGE_SELF, &used);
  return (double)(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
         (double)(used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6;
}

static int mount_text_over(const char* text, const char* target) {
  char path[] = "/tmp/wanseer-host-XXXXXX";
  const int fd = mkstemp(path);
  const int written = fd >= 0 && write(fd, text, strlen(text)) == (ssize_t)strlen(text);
  if (fd >= 0) {
    close(fd);
  }
  const int mounted = written && mount(path, target, NULL, MS_BIND, NULL) == 0;
  unlink(path);
  return mounted;
}

int enter_private_network(const char* resolv_conf, const char* hosts) {
  struct ifreq loopback;
  memset(&loopback, 0, sizeof loopback);
  strcpy(loopback.ifr_name, "lo");
  loopback.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
  const int fd = unshare(CLONE_NEWNET | CLONE_NEWNS) == 0 ? socket(AF_INET, SOCK_DGRAM, 0) : -1;
  const int ready = fd >= 0 && ioctl(fd, SIOCSIFFLAGS, &loopback) == 0 &&
                    mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) == 0 &&
                    mount_text_over(resolv_conf, "/etc/resolv.conf") &&
                    (hosts == NULL || mount_text_over(hosts, "/etc/hosts"));
  if (fd >= 0) {
    close(fd);
  }
  if (!ready) {
    printf("SKIPPED: no private network and mount namespace: %s\n", strerror(errno));
  }
  return ready;
}

struct name_service {
  int fd;
  unsigned char answer[4];
  int answers;
  int* queries;
};

static void* answer_names(void* argument) {
  struct name_service* service = argument;
  unsigned char packet[512];
  for (;;) {
    struct sockaddr_in asker;
    socklen_t length = sizeof asker;
    const ssize_t got =
        recvfrom(service->fd, packet, sizeof packet - 16, 0, (struct sockaddr*)&asker, &length);
    __atomic_add_fetch(service->queries, 1, __ATOMIC_SEQ_CST);
    if (got < 17 || !service->answers) {
      continue;
    }
    /* The question as asked, one answer: a pointer to its name, A, IN, a
       TTL of 60 s and the address. */
    static const unsigned char record[] = {0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
    packet[2] = 0x81;
    packet[3] = 0x80;
    packet[7] = 1;
    memcpy(packet + got, record, sizeof record);
    memcpy(packet + got + sizeof record, service->answer, 4);
    sendto(service->fd, packet, (size_t)got + sizeof record + 4, 0, (struct sockaddr*)&asker,
           length);
  }
  return NULL;
}

void serve_names(const char* address, const unsigned char* answer, int* queries) {
  static struct name_service services[4];
  static int used = 0;
  struct name_service* service = &services[used++ % 4];
  struct sockaddr_in bound;
  memset(&bound, 0, sizeof bound);
  bound.sin_family = AF_INET;
  bound.sin_port = htons(53);
  inet_pton(AF_INET, address, &bound.sin_addr);
  service->fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  service->answers = answer != NULL;
  memcpy(service->answer, answer != NULL ? answer : (const unsigned char*)"\0\0\0\0", 4);
  service->queries = queries;
  pthread_t thread;
  host_check(bind(service->fd, (struct sockaddr*)&bound, sizeof bound) == 0 &&
                 pthread_create(&thread, NULL, answer_names, service) == 0,
             "no name server on %s: %s", address, strerror(errno));
}
