/* Compiles the public header as C and calls the guard through the import
 * library, which must resolve the undecorated __stdcall exports. */
#include <stdio.h>

#include "ZarnelGuard.h"

int main(void) {
  int32_t build = ZarnelGuardGetClientBuild();
  const wchar_t* text = ZarnelGuardGetLastError();
  printf("client build %d\n", (int)build);
  return build == ZARNELGUARD_CLIENT_BUILD && text != NULL && text[0] == L'Z' ? 0 : 1;
}
