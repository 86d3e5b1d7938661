/* Built against an installed tree with pkg-config: the public header must
   compile as C and the libraries must link. */
#include <stdio.h>

#include <kxwin/kxwin.h>

int main(void) {
  HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
  if (!event) return 1;
  printf("kxwin linked; SetEvent=%d\n", SetEvent(event));
  return CloseHandle(event) ? 0 : 1;
}
