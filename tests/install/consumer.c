/* Builds against an installed wanseer and asks it once: nothing is stored
 * yet, so the answer must be WANSEER_NOT_FOUND.  Prints the version of the
 * installed headers for the check to compare with the library's SONAME. */
#include <stdio.h>
#include <wanseer.h>

int main(void) {
  unsigned char address[WANSEER_ADDRESS_LENGTH];
  int32_t length = sizeof address;
  int32_t status = wanseer_get(address, &length);
  printf("wanseer_get: %d\n", (int)status);
  printf("version %d.%d.%d\n", WANSEER_VERSION_MAJOR, WANSEER_VERSION_MINOR,
         WANSEER_VERSION_PATCH);
  return status == WANSEER_NOT_FOUND ? 0 : 1;
}
