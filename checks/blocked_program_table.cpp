// Rows name tools by what only they are called: a generic word ("injector",
// "trainer", "monitor") would close the game of a player who runs an
// innocent program of that name, and a false positive costs a paying
// player. Hard-cheat rows are the memory editors and debuggers that attach
// to a running game.
#include "checks/blocked_program_table.h"

#include <cwchar>

#include "platform/path_text.h"

namespace {
constexpr uint8_t kOrdinary = 0;
constexpr const wchar_t* kNone[] = {nullptr};

constexpr const wchar_t* kCheatEngineImages[] = {L"cheatengine.exe", L"cheatengine-i386.exe",
                                                 L"cheatengine-x86_64.exe", L"cheatengine-x86_64-sse4-avx2.exe",
                                                 nullptr};
constexpr const wchar_t* kCheatEngineProducts[] = {L"Cheat Engine", nullptr};
constexpr const wchar_t* kCheatEngineOriginals[] = {L"cheatengine.exe", L"cheatengine-i386.exe",
                                                    L"cheatengine-x86_64.exe", nullptr};

constexpr const wchar_t* kX64dbgImages[] = {L"x64dbg.exe", L"x32dbg.exe", L"x96dbg.exe", nullptr};
constexpr const wchar_t* kX64dbgProducts[] = {L"x64dbg", nullptr};
constexpr const wchar_t* kX64dbgOriginals[] = {L"x64dbg.exe", L"x32dbg.exe", L"x96dbg.exe", nullptr};

constexpr const wchar_t* kOllyDbgImages[] = {L"ollydbg.exe", nullptr};
constexpr const wchar_t* kOllyDbgProducts[] = {L"OllyDbg", nullptr};
constexpr const wchar_t* kOllyDbgOriginals[] = {L"ollydbg.exe", nullptr};

// WinDbg's product name is the operating system's, so only its file names
// identify it.
constexpr const wchar_t* kWinDbgImages[] = {L"windbg.exe", L"dbgx.shell.exe", nullptr};
constexpr const wchar_t* kWinDbgOriginals[] = {L"windbg.exe", L"dbgx.shell.exe", nullptr};

constexpr const wchar_t* kIdaImages[] = {L"ida.exe", L"ida64.exe", L"idaq.exe", L"idaq64.exe", nullptr};

constexpr const wchar_t* kArtMoneyImages[] = {L"artmoney.exe", nullptr};
constexpr const wchar_t* kArtMoneyProducts[] = {L"ArtMoney", nullptr};

constexpr const wchar_t* kReClassImages[] = {L"reclass.net.exe", L"reclass.exe", L"reclass64.exe", nullptr};
constexpr const wchar_t* kReClassProducts[] = {L"ReClass.NET", nullptr};

constexpr const wchar_t* kSqualrImages[] = {L"squalr.exe", nullptr};
constexpr const wchar_t* kSqualrProducts[] = {L"Squalr", nullptr};

constexpr const wchar_t* kExtremeInjectorImages[] = {L"extreme injector v3.exe", L"extreme injector v3.3.exe",
                                                     L"extreme injector v3.7.exe", nullptr};
constexpr const wchar_t* kExtremeInjectorProducts[] = {L"Extreme Injector", nullptr};

constexpr const wchar_t* kXenosImages[] = {L"xenos.exe", L"xenos64.exe", nullptr};

constexpr const wchar_t* kWeModImages[] = {L"wemod.exe", nullptr};
constexpr const wchar_t* kWeModProducts[] = {L"WeMod", nullptr};

bool ListHolds(const wchar_t* const* list, const wchar_t* text, size_t length) {
  for (; *list; ++list) {
    if (PathsEqualFoldingAscii(*list, std::wcslen(*list), text, length)) return true;
  }
  return false;
}

// Version values often carry padding spaces.
void TrimSpaces(const wchar_t*& text, size_t& length) {
  while (length && (*text == L' ' || *text == L'\t')) ++text, --length;
  while (length && (text[length - 1] == L' ' || text[length - 1] == L'\t')) --length;
}
}  // namespace

const BlockRule kBlockedPrograms[] = {
    {1, L"AC-PROC-001", L"Cheat Engine", kCheatEngineImages, kCheatEngineProducts, kCheatEngineOriginals,
     kHardCheatCategory},
    {2, L"AC-PROC-002", L"x64dbg", kX64dbgImages, kX64dbgProducts, kX64dbgOriginals, kHardCheatCategory},
    {3, L"AC-PROC-003", L"OllyDbg", kOllyDbgImages, kOllyDbgProducts, kOllyDbgOriginals, kHardCheatCategory},
    {4, L"AC-PROC-004", L"WinDbg", kWinDbgImages, kNone, kWinDbgOriginals, kHardCheatCategory},
    {5, L"AC-PROC-005", L"IDA Pro", kIdaImages, kNone, kNone, kHardCheatCategory},
    {6, L"AC-PROC-006", L"ArtMoney", kArtMoneyImages, kArtMoneyProducts, kNone, kHardCheatCategory},
    {7, L"AC-PROC-007", L"ReClass.NET", kReClassImages, kReClassProducts, kNone, kHardCheatCategory},
    {8, L"AC-PROC-008", L"Squalr", kSqualrImages, kSqualrProducts, kNone, kHardCheatCategory},
    {20, L"AC-PROC-020", L"Extreme Injector", kExtremeInjectorImages, kExtremeInjectorProducts, kNone, kOrdinary},
    {21, L"AC-PROC-021", L"Xenos injector", kXenosImages, kNone, kNone, kOrdinary},
    {30, L"AC-PROC-030", L"WeMod", kWeModImages, kWeModProducts, kNone, kOrdinary},
};
const size_t kBlockedProgramCount = sizeof(kBlockedPrograms) / sizeof(kBlockedPrograms[0]);

const BlockRule* MatchBlockedProgramName(const wchar_t* fileName, size_t length) {
  if (!fileName || length == 0) return nullptr;
  for (size_t i = 0; i < kBlockedProgramCount; ++i) {
    if (ListHolds(kBlockedPrograms[i].imageNames, fileName, length)) return &kBlockedPrograms[i];
  }
  return nullptr;
}

const BlockRule* MatchBlockedProgramVersion(const wchar_t* productName, const wchar_t* originalFileName) {
  const wchar_t* product = productName ? productName : L"";
  size_t productLength = std::wcslen(product);
  TrimSpaces(product, productLength);
  const wchar_t* original = originalFileName ? originalFileName : L"";
  size_t originalLength = std::wcslen(original);
  TrimSpaces(original, originalLength);
  for (size_t i = 0; i < kBlockedProgramCount; ++i) {
    const BlockRule& rule = kBlockedPrograms[i];
    if (productLength && ListHolds(rule.productNames, product, productLength)) return &rule;
    if (originalLength && ListHolds(rule.originalFileNames, original, originalLength)) return &rule;
  }
  return nullptr;
}
