// ZarnelUpdateHelper.exe, the reference error helper. The guard starts it as
//   "<client dir>ZarnelUpdateHelper.exe" --guard-error <code> <handle>
// with one inherited handle to the client process. It checks what it was
// given, writes its findings to "ZarnelUpdateHelper.record-<pid>.txt" beside
// itself (a finished file is renamed into place, so a reader never sees half
// of one), then waits for the client process to end.
#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// Native structures of the handle table query, declared here because the
// SDK headers do not carry them.
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr ULONG kObjectBasicInformation = 0;
constexpr ULONG kObjectTypeInformation = 2;
constexpr ULONG kObjectNameInformation = 1;

struct HandleEntryEx {
  PVOID object;
  ULONG_PTR processId;
  ULONG_PTR handleValue;
  ULONG grantedAccess;
  USHORT creatorBackTraceIndex;
  USHORT objectTypeIndex;
  ULONG handleAttributes;
  ULONG reserved;
};
static_assert(sizeof(HandleEntryEx) == 3 * sizeof(void*) + 16, "SYSTEM_HANDLE_TABLE_ENTRY_INFO_EX");

struct HandleInformationEx {
  ULONG_PTR numberOfHandles;
  ULONG_PTR reserved;
  HandleEntryEx handles[1];
};

struct ObjectBasicInformationRecord {
  ULONG attributes;
  ACCESS_MASK grantedAccess;
  ULONG handleCount;
  ULONG pointerCount;
  ULONG reserved[10];
};
static_assert(sizeof(ObjectBasicInformationRecord) == 56, "32-bit layout");

using NtQueryObjectFn = NTSTATUS(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
using NtQuerySystemInformationFn = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
using CompareObjectHandlesFn = BOOL(WINAPI*)(HANDLE, HANDLE);

NtQueryObjectFn QueryObject() {
  return reinterpret_cast<NtQueryObjectFn>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject"));
}

std::wstring ObjectTypeName(HANDLE handle) {
  alignas(8) unsigned char buffer[1024] = {};
  ULONG length = 0;
  if (QueryObject()(handle, kObjectTypeInformation, buffer, sizeof(buffer) - 2, &length) < 0) return L"?";
  auto* name = reinterpret_cast<UNICODE_STRING*>(buffer);
  return std::wstring(name->Buffer, name->Length / sizeof(wchar_t));
}

std::wstring ObjectName(HANDLE handle) {
  alignas(8) unsigned char buffer[2048] = {};
  ULONG length = 0;
  if (QueryObject()(handle, kObjectNameInformation, buffer, sizeof(buffer) - 2, &length) < 0) return L"";
  auto* name = reinterpret_cast<UNICODE_STRING*>(buffer);
  if (!name->Buffer) return L"";
  return std::wstring(name->Buffer, name->Length / sizeof(wchar_t));
}

// Every handle this process holds: value and type name.
std::vector<std::pair<HANDLE, std::wstring>> OwnHandles() {
  std::vector<std::pair<HANDLE, std::wstring>> result;
  auto query = reinterpret_cast<NtQuerySystemInformationFn>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation"));
  std::vector<unsigned char> buffer(1 << 16);
  NTSTATUS status = 0;
  for (int attempt = 0; attempt < 8; ++attempt) {
    ULONG needed = 0;
    status = query(kSystemExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status != static_cast<NTSTATUS>(0xC0000004L)) break;  // STATUS_INFO_LENGTH_MISMATCH
    buffer.resize(needed > buffer.size() ? needed + 4096 : buffer.size() * 2);
  }
  if (status < 0) return result;
  auto* info = reinterpret_cast<HandleInformationEx*>(buffer.data());
  DWORD self = GetCurrentProcessId();
  for (ULONG_PTR i = 0; i < info->numberOfHandles; ++i) {
    const HandleEntryEx& entry = info->handles[i];
    if (entry.processId != self) continue;
    HANDLE h = reinterpret_cast<HANDLE>(entry.handleValue);
    result.emplace_back(h, ObjectTypeName(h));
  }
  return result;
}

DWORD ParentProcessId() {
  PROCESS_BASIC_INFORMATION info = {};
  ULONG length = 0;
  if (NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation, &info, sizeof(info), &length) < 0)
    return 0;
  return static_cast<DWORD>(info.InheritedFromUniqueProcessId);
}

std::wstring OwnDirectory() {
  wchar_t path[MAX_PATH * 4] = {};
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  std::wstring text(path, length);
  size_t slash = text.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"" : text.substr(0, slash + 1);
}

void WriteRecord(const std::wstring& text) {
  std::wstring dir = OwnDirectory();
  wchar_t name[64];
  swprintf(name, 64, L"ZarnelUpdateHelper.record-%lu.txt", GetCurrentProcessId());
  std::wstring finalPath = dir + name;
  std::wstring partPath = finalPath + L".part";
  std::string utf8;
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  utf8.resize(size);
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), size, nullptr, nullptr);
  HANDLE file = CreateFileW(partPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  CloseHandle(file);
  MoveFileExW(partPath.c_str(), finalPath.c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring record;
  auto line = [&record](const wchar_t* key, const std::wstring& value) {
    record += key;
    record += L"=";
    record += value;
    record += L"\n";
  };
  // Look at the handle table first, before this program opens anything.
  std::vector<std::pair<HANDLE, std::wstring>> handles = OwnHandles();

  line(L"command_line", GetCommandLineW());
  bool argsOk = argc == 4 && std::wcscmp(argv[1], L"--guard-error") == 0;
  line(L"arguments", argsOk ? L"ok" : L"bad");
  line(L"code", argc > 2 ? argv[2] : L"");

  HANDLE client = nullptr;
  bool handleTextOk = false;
  if (argc == 4) {
    wchar_t* end = nullptr;
    unsigned long value = std::wcstoul(argv[3], &end, 10);
    handleTextOk = end && *end == L'\0' && argv[3][0] >= L'0' && argv[3][0] <= L'9' && !(argv[3][0] == L'0' && argv[3][1]);
    client = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value));
  }
  line(L"handle_text", handleTextOk ? L"ok" : L"bad");

  ObjectBasicInformationRecord basic = {};
  ULONG length = 0;
  bool handleValid = client && QueryObject()(client, kObjectBasicInformation, &basic, sizeof(basic), &length) >= 0;
  line(L"handle_valid", handleValid ? L"1" : L"0");
  line(L"handle_type", handleValid ? ObjectTypeName(client) : L"");
  wchar_t access[16];
  swprintf(access, 16, L"0x%08lX", handleValid ? basic.grantedAccess : 0UL);
  line(L"handle_access", access);

  // The handle must be the process that started us. With SYNCHRONIZE alone
  // GetProcessId cannot read it, so compare it with a handle opened by id.
  bool sameProcess = false;
  auto compare = reinterpret_cast<CompareObjectHandlesFn>(
      GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CompareObjectHandles"));
  HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, ParentProcessId());
  if (parent && compare && handleValid) sameProcess = compare(parent, client) != FALSE;
  line(L"handle_is_parent", sameProcess ? L"1" : L"0");

  // Everything else that was in the table at start: an inherited handle the
  // guard did not mean to pass would show here.
  int processHandles = 0;
  std::wstring others;
  for (const auto& [h, type] : handles) {
    if (type == L"Process") {
      ++processHandles;
      continue;
    }
    if (type == L"Event" || type == L"Mutant" || type == L"Semaphore" || type == L"Section") {
      std::wstring name = ObjectName(h);
      if (!name.empty()) others += type + L":" + name + L";";
    } else if (type == L"File") {
      wchar_t path[1024] = {};
      if (GetFileType(h) == FILE_TYPE_DISK && GetFinalPathNameByHandleW(h, path, 1024, 0) > 0)
        others += L"File:" + std::wstring(path) + L";";
    }
  }
  line(L"process_handles", std::to_wstring(processHandles));
  line(L"other_named_handles", others);
  WriteRecord(record);

  if (parent) CloseHandle(parent);
  if (handleValid) WaitForSingleObject(client, 60000);
  return argsOk && handleValid ? 0 : 2;
}
