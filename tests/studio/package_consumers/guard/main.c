/* Links the guard through its package and asks it for its client build. */
#include <stdio.h>

#include <ZarnelGuard.h>

int main(void) {
  int32_t build = ZarnelGuardGetClientBuild();
  printf("client build %d\n", (int)build);
  return build == ZARNELGUARD_CLIENT_BUILD ? 0 : 1;
}
