/* Builds against an installed wanseer and asks it once: nothing is stored
 * yet, so the answer must be -2. */
#include <stdio.h>
#include <wanseer.h>

int main(void) {
  unsigned char address[WANSEER_ADDRESS_LENGTH];
  int32_t length = sizeof address;
  int32_t status = wanseer_get(address, &length);
  printf("wanseer_get: %d\n", (int)status);
  return status == -2 ? 0 : 1;
}
