/* Built against an installed tree with pkg-config: the public headers must
   compile as C and the libraries must link. */
#include <stdio.h>

#include <kxenv/kxenv.h>
#include <kxwin/kxwin.h>
#include <zrnapi/zrnapi.h>

int main(void) {
  if (KXsetenv("INSTALL_CHECK", "installed") != 0) return 1;
  const char *value = KXgetenv("install_check");
  printf("kxenv %d linked; INSTALL_CHECK=%s\n", KXgetversion(),
         value ? value : "(null)");
  return value ? 0 : 1;
}
