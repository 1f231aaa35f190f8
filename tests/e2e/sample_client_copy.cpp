#include "sample_client_copy.h"

#include <tlhelp32.h>

#include <fstream>

#include "directory_tree.h"
#include "process_runner.h"

namespace {
std::wstring WindowsPath(const char* text) {
  std::wstring path(text, text + strlen(text));
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

}  // namespace

#ifdef ZG_SAMPLE_CLIENT_DIR
namespace {
// The build's path, unless the environment names another: the QA bundle
// (tests/qa_bundle) carries the sample client to machines that have no Z:
// drive onto the build machine, and its runner says where it lies.
std::wstring PathFromEnvironment(const wchar_t* variable, const char* buildPath) {
  wchar_t value[MAX_PATH] = {};
  DWORD length = GetEnvironmentVariableW(variable, value, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::wstring(value, length) : WindowsPath(buildPath);
}
}  // namespace

bool HaveSampleClient() { return true; }
std::wstring SampleClientDirectory() {
  std::wstring directory = PathFromEnvironment(L"ZARNELGUARD_SAMPLE_CLIENT_DIR", ZG_SAMPLE_CLIENT_DIR);
  if (directory.back() != L'\\') directory += L'\\';
  return directory;
}
std::wstring SampleClientLinkDirectory() { return WindowsPath(ZG_SAMPLE_CLIENT_LINK_DIR); }
std::vector<std::wstring> SampleClientFileNames() {
  std::vector<std::wstring> names;
  std::ifstream list(PathFromEnvironment(L"ZARNELGUARD_SAMPLE_CLIENT_LIST", ZG_SAMPLE_CLIENT_LIST).c_str());
  std::string line;
  while (std::getline(list, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    names.emplace_back(line.begin(), line.end());
  }
  return names;
}
#else
bool HaveSampleClient() { return false; }
std::wstring SampleClientDirectory() { return {}; }
std::wstring SampleClientLinkDirectory() { return {}; }
std::vector<std::wstring> SampleClientFileNames() { return {}; }
#endif

SampleClientCopy::SampleClientCopy(const std::vector<std::wstring>& extraPrograms) {
  wchar_t base[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, base);
  static LONG counter = 0;
  wchar_t name[64];
  swprintf(name, 64, L"zg-sample-%lu-%ld\\", GetCurrentProcessId(), InterlockedIncrement(&counter));
  path_ = std::wstring(base) + name;
  complete_ = HaveSampleClient() && CreateDirectoryW(path_.c_str(), nullptr);
  if (!complete_) return;
  std::wstring source = SampleClientDirectory();
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((source + L"*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    complete_ = false;
    return;
  }
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    // What an error helper recorded in the sample client (the demo's
    // blocked-program run) belongs to that run, not to this copy's.
    if (_wcsnicmp(data.cFileName, L"ZarnelUpdateHelper.record-", 26) == 0) continue;
    if (!CopyFileW((source + data.cFileName).c_str(), (path_ + data.cFileName).c_str(), FALSE)) complete_ = false;
  } while (FindNextFileW(find, &data));
  FindClose(find);
  for (const std::wstring& program : extraPrograms)
    if (!CopyFileW(ProgramFile(program).c_str(), (path_ + program).c_str(), FALSE)) complete_ = false;
}

namespace {
// A case that fails half-way can leave a program it started from the copy
// running (a blocked program copy sleeps for minutes): it would be found by
// every later scan on this machine, so end it with the copy.
void EndProgramsStartedFrom(const std::wstring& directory) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId()) continue;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                 entry.th32ProcessID);
    if (!process) continue;
    wchar_t image[MAX_PATH * 2] = {};
    DWORD length = MAX_PATH * 2;
    if (QueryFullProcessImageNameW(process, 0, image, &length) && length >= directory.size() &&
        _wcsnicmp(image, directory.c_str(), directory.size()) == 0) {
      TerminateProcess(process, 99);
      WaitForSingleObject(process, 5000);
    }
    CloseHandle(process);
  }
  CloseHandle(snapshot);
}
}  // namespace

SampleClientCopy::~SampleClientCopy() {
  EndProgramsStartedFrom(path_);
  RemoveDirectoryTree(path_);
}
