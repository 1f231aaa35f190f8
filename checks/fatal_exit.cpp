#include "checks/fatal_exit.h"

#include "state/guard_state.h"
#include "platform/byte_buffer.h"
#include "platform/handle_owner.h"
#include "platform/win32_calls.h"
#include "integrity/client_paths.h"

namespace {
constexpr wchar_t kErrorHelperName[] = L"ZarnelUpdateHelper.exe";
// The size of STARTUPINFOEXW the helper's start passes: 72 bytes from the
// 32-bit client (112 in the 64-bit check build of the tests).
#ifdef _WIN64
constexpr DWORD kStartupInfoExSize = 112;
#else
constexpr DWORD kStartupInfoExSize = 72;
#endif
static_assert(sizeof(STARTUPINFOEXW) == kStartupInfoExSize, "STARTUPINFOEXW");

// An initialised process-thread attribute list; its storage is not its to
// free.
struct AttributeListTraits {
  using Value = LPPROC_THREAD_ATTRIBUTE_LIST;
  static constexpr LPPROC_THREAD_ATTRIBUTE_LIST kEmpty = nullptr;
  static void Close(LPPROC_THREAD_ATTRIBUTE_LIST list) { win32Calls.DeleteProcThreadAttributeList(list); }
};

// A process-thread attribute list that holds exactly one inherited handle.
// The list is deleted before its storage is freed (members go in reverse).
struct HandleListAttribute {
  ByteBuffer<BufferWipe::kNone> storage;
  UniqueOwner<AttributeListTraits> list;
  HANDLE handleValue = nullptr;  // UpdateProcThreadAttribute keeps a pointer to it

  bool Prepare(HANDLE inherited) {
    SIZE_T size = 0;
    win32Calls.InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    if (size == 0 || !storage.Allocate(size)) return false;
    auto attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.Data());
    if (!win32Calls.InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return false;
    list.Reset(attributes);
    handleValue = inherited;
    return win32Calls.UpdateProcThreadAttribute(list.Get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &handleValue,
                                                sizeof(handleValue), nullptr, nullptr) != FALSE;
  }
};
}  // namespace

bool IsPassableViolationCode(const wchar_t* violationCode) {
  if (!violationCode || violationCode[0] == L'\0') return false;
  for (const wchar_t* c = violationCode; *c; ++c) {
    if (*c == L' ' || *c == L'"') return false;
  }
  return true;
}

bool BuildErrorHelperCommandLine(const wchar_t* helperPath, const wchar_t* violationCode, HANDLE inheritedProcess,
                                 WideBuffer& commandLine) {
  wchar_t handleDigits[16];
  _snwprintf(handleDigits, 16, L"%lu", static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(inheritedProcess)));
  handleDigits[15] = L'\0';
  commandLine.Clear();
  return commandLine.Append(L"\"") && commandLine.Append(helperPath) && commandLine.Append(L"\" --guard-error ") &&
         commandLine.Append(violationCode) && commandLine.Append(L" ") && commandLine.Append(handleDigits);
}

bool LaunchErrorHelper(const wchar_t* violationCode) {
  if (!IsGuardRunning()) return false;
  if (!IsPassableViolationCode(violationCode)) return false;
  WideBuffer clientDirectory;
  if (!ResolveClientDirectory(clientDirectory)) return false;
  WideBuffer helperPath;
  if (!helperPath.Append(clientDirectory.CStr()) || !helperPath.Append(kErrorHelperName)) return false;

  HANDLE self = GetCurrentProcess();
  HANDLE rawInherited = nullptr;
  if (!win32Calls.DuplicateHandle(self, self, self, &rawInherited, SYNCHRONIZE, TRUE, 0)) return false;
  HandleOwner inherited(rawInherited);

  WideBuffer commandLine;  // writable: CreateProcessW may modify it
  if (!BuildErrorHelperCommandLine(helperPath.CStr(), violationCode, inherited.Get(), commandLine)) return false;
  HandleListAttribute attribute;
  if (!attribute.Prepare(inherited.Get())) return false;

  STARTUPINFOEXW startup = {};
  startup.StartupInfo.cb = kStartupInfoExSize;
  startup.lpAttributeList = attribute.list.Get();
  PROCESS_INFORMATION process = {};
  BOOL created = win32Calls.CreateProcessW(helperPath.CStr(), commandLine.Data(), nullptr, nullptr, TRUE,
                                           EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT, nullptr,
                                           clientDirectory.CStr(), &startup.StartupInfo, &process);
  if (!created) return false;
  win32Calls.CloseHandle(process.hThread);
  win32Calls.CloseHandle(process.hProcess);
  return true;
}

namespace {
// Set once the first fatal exit has finished trying to start the helper.
volatile LONG errorHelperLaunchSettled = 0;
// How long a later fatal exit waits for the first one's helper launch.
constexpr DWORD kLaunchSettleWaitMs = 5000;
}  // namespace

void FatalExit(const wchar_t* violationCode, const wchar_t* message) {
  if (message && message[0] != L'\0' && message != guard.lastErrorText) SetLastErrorText(L"%ls", message);
  if (InterlockedCompareExchange(&guard.fatalExitLatch, 1, 0) == 0) {
    LaunchErrorHelper(violationCode);
    InterlockedExchange(&errorHelperLaunchSettled, 1);
  } else {
    // A concurrent fatal exit that terminated the process at once would
    // kill the first one in the middle of starting the helper, and the
    // player would be told nothing. Give that launch a bounded moment.
    DWORD start = GetTickCount();
    while (InterlockedCompareExchange(&errorHelperLaunchSettled, 1, 1) != 1 &&
           GetTickCount() - start < kLaunchSettleWaitMs)
      Sleep(1);
  }
  win32Calls.TerminateProcess(GetCurrentProcess(), kFatalExitCode);
  ExitProcess(kFatalExitCode);
}
