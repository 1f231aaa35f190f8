/*
 * A Visual Studio client of the guard, as small as one can be: compiled by
 * clang-cl for i686-pc-windows-msvc as C (through the import library's
 * thunks) and as C++ (through __declspec(dllimport)), linked by lld-link
 * with /safeseh against the installed ZarnelGuard.lib and kernel32 only,
 * without a C runtime. It calls the exports that need no client directory
 * and prints what they answer.
 */
#include "ZarnelGuard.h"

#ifdef __cplusplus
extern "C" {
#endif
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);
#ifdef __cplusplus
}
#endif

static void Print(const char* text) {
  unsigned long length = 0, written = 0;
  while (text[length]) ++length;
  WriteFile(GetStdHandle((unsigned long)-11), text, length, &written, 0);
}

static void PrintNumber(unsigned long value) {
  char digits[12];
  int at = 11;
  digits[at] = 0;
  do {
    digits[--at] = (char)('0' + value % 10);
    value /= 10;
  } while (value);
  Print(digits + at);
}

/* The guard's message, as ASCII (its texts are). */
static void PrintWide(const wchar_t* text) {
  char line[256];
  int i = 0;
  for (; text[i] && i < 255; ++i) line[i] = text[i] < 128 ? (char)text[i] : '?';
  line[i] = 0;
  Print(line);
}

#ifdef __cplusplus
extern "C"
#endif
void ConsumerMain(void) {
  uint8_t report[ZARNELGUARD_HARD_CHEAT_REPORT_SIZE];
  uint8_t reportId[ZARNELGUARD_REPORT_ID_SIZE] = {0};
  uint32_t reportSize = 99;
  unsigned int failures = 0;
  /* Every export bound at load time: a name that the import library got
   * wrong stops the program before its first line. */
  const void* volatile exports[9] = {
      (const void*)&ZarnelGuardInitialize, (const void*)&ZarnelGuardShutdown,
      (const void*)&ZarnelGuardGetLastError, (const void*)&ZarnelGuardGetClientBuild,
      (const void*)&ZarnelGuardCreateLoginProof, (const void*)&ZarnelGuardSetHardCheatChallenge,
      (const void*)&ZarnelGuardTakeHardCheatReport, (const void*)&ZarnelGuardAcknowledgeHardCheatReport,
      (const void*)&ZarnelGuardClearHardCheatChallenge};
  unsigned long bound = 0;
  int i;
  for (i = 0; i < 9; ++i)
    if (exports[i]) ++bound;
  Print("exports bound ");
  PrintNumber(bound);
  Print("\r\n");
  if (bound != 9) ++failures;

  int32_t build = ZarnelGuardGetClientBuild();
  Print("client build ");
  PrintNumber((unsigned long)build);
  Print("\r\n");
  if (build != ZARNELGUARD_CLIENT_BUILD) ++failures;

  /* Safe before any start. */
  ZarnelGuardShutdown();
  ZarnelGuardClearHardCheatChallenge();
  if (ZarnelGuardTakeHardCheatReport(report, sizeof(report), &reportSize) != 0 || reportSize != 0) {
    Print("a report came out before any challenge\r\n");
    ++failures;
  }
  if (ZarnelGuardAcknowledgeHardCheatReport(reportId, 1) != 0) {
    Print("an acknowledgement matched no report\r\n");
    ++failures;
  }
  Print("last error: ");
  PrintWide(ZarnelGuardGetLastError());
  Print("\r\n");
  Print(failures ? "consumer failed\r\n" : "consumer ok\r\n");
  ExitProcess(failures);
}
