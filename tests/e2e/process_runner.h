#pragma once
// Starts a Windows program and watches it from outside.
#include <windows.h>

#include <map>
#include <string>
#include <vector>

struct ProcessResult {
  bool started = false;
  bool finished = false;
  DWORD exitCode = 0;
  std::string output;          // stdout and stderr, CR removed
  DWORD totalProcesses = 0;    // every process ever in its job: itself and what it started
};

// Runs `exe args` in `directory` inside a job object, waits up to
// `timeoutMs` for it, and collects its output.
ProcessResult RunProcess(const std::wstring& exe, const std::wstring& args, const std::wstring& directory,
                         DWORD timeoutMs = 30000);

// "key=value" lines of a program's output.
std::map<std::string, std::string> ParseKeyValues(const std::string& text);
// The "key=value" lines of a file (CR removed); empty when it cannot be read.
std::map<std::string, std::string> ReadKeyValues(const std::wstring& path);
// The records the error helper wrote beside the client in `directory`,
// waiting up to 10 s for the first to appear.
std::vector<std::map<std::string, std::string>> HelperRecords(const std::wstring& directory);

// Directory of the running test program, with its trailing backslash.
std::wstring ProgramDirectory();
// Where the tool programs that the tests start as other processes lie (the
// idle program copied under blocked and everyday names, the versioned tool,
// the debugger): ProgramDirectory(), or its x64\ subdirectory in the 64-bit
// prefix, named by ZARNELGUARD_TOOL_SUBDIR.
std::wstring ToolDirectory();
// `file` from ToolDirectory() when it is one of the tool programs there,
// otherwise from ProgramDirectory().
std::wstring ProgramFile(const std::wstring& file);

// A fresh directory under %TEMP% holding copies of the named files from the
// program directory; removed with everything in it at destruction.
class ClientDirectory {
 public:
  explicit ClientDirectory(const std::vector<std::wstring>& files);
  ~ClientDirectory();
  const std::wstring& Path() const { return path_; }
  // Contents of the files whose names start with `prefix`.
  std::vector<std::string> ReadFiles(const std::wstring& prefix) const;

 private:
  std::wstring path_;
};
