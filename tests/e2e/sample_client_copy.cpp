#include "sample_client_copy.h"

#include <fstream>

#include "process_runner.h"

namespace {
std::wstring WindowsPath(const char* text) {
  std::wstring path(text, text + strlen(text));
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

void RemoveTree(const std::wstring& directory) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((directory + L"*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(directory + name + L"\\");
      else DeleteFileW((directory + name).c_str());
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  RemoveDirectoryW(directory.c_str());
}
}  // namespace

#ifdef ZG_SAMPLE_CLIENT_DIR
bool HaveSampleClient() { return true; }
std::wstring SampleClientDirectory() { return WindowsPath(ZG_SAMPLE_CLIENT_DIR); }
std::wstring SampleClientLinkDirectory() { return WindowsPath(ZG_SAMPLE_CLIENT_LINK_DIR); }
std::vector<std::wstring> SampleClientFileNames() {
  std::vector<std::wstring> names;
  std::ifstream list(WindowsPath(ZG_SAMPLE_CLIENT_LIST).c_str());
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
    if (!CopyFileW((source + data.cFileName).c_str(), (path_ + data.cFileName).c_str(), FALSE)) complete_ = false;
  } while (FindNextFileW(find, &data));
  FindClose(find);
  for (const std::wstring& program : extraPrograms)
    if (!CopyFileW((ProgramDirectory() + program).c_str(), (path_ + program).c_str(), FALSE)) complete_ = false;
}

SampleClientCopy::~SampleClientCopy() { RemoveTree(path_); }
