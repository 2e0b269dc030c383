/*
 * A host in which the worker thread cannot be created: the address space is
 * capped just above what the process maps before the start, so there is no
 * room for a thread stack.  This runs in a fresh process because a process
 * that has run threads before keeps their stacks cached for reuse.
 *
 * wanseer_startup must report the failure in errno and keep nothing: the
 * following wanseer_stop returns at once and a later start works.
 *
 * usage: spawn_failure_host PATH-TO-libwanseer.so.1
 * exit: 0 pass, 1 fail, 77 skipped (sanitizer builds map beyond any cap)
 */
#include <dlfcn.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SANITIZED 1
#else
#define SANITIZED 0
#endif

static rlim_t mapped_bytes(void) {
  FILE* status = fopen("/proc/self/status", "r");
  char line[256];
  unsigned long long kib = 0;
  while (status != NULL && fgets(line, sizeof line, status) != NULL) {
    if (sscanf(line, "VmSize: %llu kB", &kib) == 1) {
      break;
    }
  }
  if (status != NULL) {
    fclose(status);
  }
  return (rlim_t)kib * 1024;
}

int main(int argc, char** argv) {
  if (SANITIZED || getenv("WANSEER_SANITIZED") != NULL) {
    printf("SKIPPED: sanitizer builds reserve address space beyond any cap\n");
    return 77;
  }
  if (argc < 2) {
    fprintf(stderr, "usage: %s PATH-TO-libwanseer.so.1\n", argv[0]);
    return 2;
  }
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == NULL) {
    fprintf(stderr, "dlopen: %s\n", dlerror());
    return 1;
  }
  void (*startup)(const char*) = (void (*)(const char*))dlsym(library, "wanseer_startup");
  void (*stop)(void) = (void (*)(void))dlsym(library, "wanseer_stop");

  struct rlimit saved;
  getrlimit(RLIMIT_AS, &saved);
  struct rlimit tight = saved;
  tight.rlim_cur = mapped_bytes() + 2 * 1024 * 1024; /* a stack needs 8 MiB */
  setrlimit(RLIMIT_AS, &tight);
  errno = 0;
  startup("127.0.0.1:9");
  int error = errno;
  setrlimit(RLIMIT_AS, &saved);

  int failures = 0;
  if (error == 0) {
    fprintf(stderr, "spawn_failure_host: the failed start left errno 0\n");
    ++failures;
  }
  stop(); /* nothing was kept: returns at once */
  errno = 0;
  startup("127.0.0.1:9");
  if (errno != 0) {
    fprintf(stderr, "spawn_failure_host: start after the failure: %s\n", strerror(errno));
    ++failures;
  }
  stop();
  dlclose(library);
  printf("spawn_failure_host: failed start reported as \"%s\"; %d failures\n", strerror(error),
         failures);
  return failures == 0 ? 0 : 1;
}
