/* Builds against an installed wanseer.
 *
 *   consumer                 asks once: nothing is stored yet, so the answer
 *                            must be WANSEER_NOT_FOUND.  Prints the version of
 *                            the installed headers for the check to compare
 *                            with the library's SONAME.
 *   consumer HOST:PORT A.B.C.D
 *                            starts the worker against that probe server and
 *                            waits up to 30 s for the address A.B.C.D. */
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <wanseer.h>

static int learn_address(const char* server, const char* expected) {
  unsigned char address[WANSEER_ADDRESS_LENGTH];
  int32_t status = WANSEER_NOT_FOUND;
  char text[16] = "";
  const struct timespec pause = {0, 20 * 1000 * 1000};
  wanseer_startup(server);
  for (int tries = 0; tries < 1500 && status == WANSEER_NOT_FOUND; ++tries) {
    int32_t length = sizeof address;
    status = wanseer_get(address, &length);
    if (status == WANSEER_NOT_FOUND) {
      nanosleep(&pause, NULL);
    }
  }
  wanseer_stop();
  if (status != WANSEER_OK) {
    printf("wanseer_get: %d, no address from %s\n", (int)status, server);
    return 1;
  }
  snprintf(text, sizeof text, "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
  printf("wanseer_get: %s from %s\n", text, server);
  return strcmp(text, expected) == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc == 3) {
    return learn_address(argv[1], argv[2]);
  }
  unsigned char address[WANSEER_ADDRESS_LENGTH];
  int32_t length = sizeof address;
  int32_t status = wanseer_get(address, &length);
  printf("wanseer_get: %d\n", (int)status);
  printf("version %d.%d.%d\n", WANSEER_VERSION_MAJOR, WANSEER_VERSION_MINOR, WANSEER_VERSION_PATCH);
  return status == WANSEER_NOT_FOUND ? 0 : 1;
}
