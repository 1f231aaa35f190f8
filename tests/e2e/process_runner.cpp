#include "process_runner.h"

#include <fstream>
#include <sstream>

#include "contained_process.h"
#include "directory_tree.h"

namespace {
std::string ReadAll(HANDLE pipe) {
  std::string text;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) && read > 0) text.append(buffer, read);
  std::string clean;
  for (char c : text)
    if (c != '\r') clean += c;
  return clean;
}

std::string ReadWholeFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string text = ReadAll(file);
  CloseHandle(file);
  return text;
}
}  // namespace

ProcessResult RunProcess(const std::wstring& exe, const std::wstring& args, const std::wstring& directory,
                         DWORD timeoutMs) {
  ProcessResult result;
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return result;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  startup.hStdInput = nullptr;
  // Only the pipe's write end is inherited; the job counts every process
  // the program starts, and ends them all should this test process die.
  ContainedProcess process;
  const bool created = process.Start(exe, L"\"" + exe + L"\" " + args, directory, {writeEnd}, 0, startup);
  CloseHandle(writeEnd);
  if (!created) {
    CloseHandle(readEnd);
    return result;
  }
  result.started = true;
  result.output = ReadAll(readEnd);
  CloseHandle(readEnd);
  result.finished = WaitForSingleObject(process.Process(), timeoutMs) == WAIT_OBJECT_0;
  if (!result.finished) TerminateProcess(process.Process(), 99);
  GetExitCodeProcess(process.Process(), &result.exitCode);
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
  if (QueryInformationJobObject(process.Job(), JobObjectBasicAccountingInformation, &accounting, sizeof(accounting),
                                nullptr))
    result.totalProcesses = accounting.TotalProcesses;
  // What the program started (an error helper writing its record) runs on.
  process.LetDescendantsRun();
  return result;
}

std::map<std::string, std::string> ParseKeyValues(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

std::wstring ProgramDirectory() {
  wchar_t path[MAX_PATH * 2] = {};
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
  std::wstring text(path, length);
  return text.substr(0, text.find_last_of(L"\\/") + 1);
}

std::wstring ToolDirectory() {
  wchar_t subdirectory[64] = {};
  DWORD length = GetEnvironmentVariableW(L"ZARNELGUARD_TOOL_SUBDIR", subdirectory, 64);
  if (length == 0 || length >= 64) return ProgramDirectory();
  std::wstring path = ProgramDirectory() + subdirectory;
  if (path.back() != L'\\') path += L'\\';
  return path;
}

std::wstring ProgramFile(const std::wstring& file) {
  const std::wstring tool = ToolDirectory() + file;
  return GetFileAttributesW(tool.c_str()) != INVALID_FILE_ATTRIBUTES ? tool : ProgramDirectory() + file;
}

ClientDirectory::ClientDirectory(const std::vector<std::wstring>& files) {
  wchar_t base[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, base);
  static LONG counter = 0;
  wchar_t name[64];
  swprintf(name, 64, L"zg-client-%lu-%ld\\", GetCurrentProcessId(), InterlockedIncrement(&counter));
  path_ = std::wstring(base) + name;
  CreateDirectoryW(path_.c_str(), nullptr);
  for (const std::wstring& file : files) CopyFileW(ProgramFile(file).c_str(), (path_ + file).c_str(), FALSE);
}

ClientDirectory::~ClientDirectory() { RemoveDirectoryTree(path_); }

std::vector<std::string> ClientDirectory::ReadFiles(const std::wstring& prefix) const {
  std::vector<std::string> contents;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((path_ + prefix + L"*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return contents;
  do {
    std::wstring name = data.cFileName;
    if (name.size() > 5 && name.compare(name.size() - 5, 5, L".part") == 0) continue;
    contents.push_back(ReadWholeFile(path_ + name));
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return contents;
}

std::map<std::string, std::string> ReadKeyValues(const std::wstring& path) {
  std::ifstream file(path.c_str());
  std::stringstream text;
  text << file.rdbuf();
  std::string clean;
  for (char c : text.str())
    if (c != '\r') clean += c;
  return ParseKeyValues(clean);
}

std::vector<std::map<std::string, std::string>> HelperRecords(const std::wstring& directory) {
  std::vector<std::map<std::string, std::string>> records;
  for (int i = 0; i < 200 && records.empty(); ++i, Sleep(50)) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((directory + L"ZarnelUpdateHelper.record-*.txt").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) continue;
    FindClose(find);
    auto record = ReadKeyValues(directory + data.cFileName);
    if (!record.empty()) records.push_back(record);
  }
  return records;
}
