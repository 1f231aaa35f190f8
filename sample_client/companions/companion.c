/* One of the sample client's five companion libraries. Each is built from
 * this file under its own name (ZARNEL_COMPANION) and exports one function,
 * so that Zarnel.exe imports, and the loader really maps, all five. */

#define ZC_JOIN3(a, b, c) a##b##c
#define ZC_EXPORT_NAME(part) ZC_JOIN3(Zarnel, part, Describe)
#define ZC_TEXT2(x) #x
#define ZC_TEXT(x) ZC_TEXT2(x)

__declspec(dllexport) const char* ZC_EXPORT_NAME(ZARNEL_COMPANION)(void) {
  return "Zarnel" ZC_TEXT(ZARNEL_COMPANION);
}
