/* Builds against an installed wanseer.
 *
 *   consumer                 asks once: nothing is stored yet, so the answer
 *                            must be -2.
 *   consumer HOST:PORT A.B.C.D
 *                            starts the worker against that probe server and
 *                            waits up to 30 s for the address A.B.C.D. */
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <wanseer.h>

static int learn_address(const char* server, const char* expected) {
  unsigned char address[WANSEER_ADDRESS_LENGTH];
  int32_t status = -2;
  char text[16] = "";
  const struct timespec pause = {0, 20 * 1000 * 1000};
  wanseer_startup(server);
  for (int tries = 0; tries < 1500 && status == -2; ++tries) {
    int32_t length = sizeof address;
    status = wanseer_get(address, &length);
    if (status == -2) {
      nanosleep(&pause, NULL);
    }
  }
  wanseer_stop();
  if (status != 0) {
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
  return status == -2 ? 0 : 1;
}
