#pragma once
// The sample client that the build made and hashed into the guard: where it
// lies, which files its manifest lists, and private copies of it that a test
// may damage.
#include <windows.h>

#include <string>
#include <vector>

// True when the build used its own sample client (not a studio's client).
bool HaveSampleClient();
// The sample client directory, and a symbolic link to it made by the build;
// both with a trailing backslash.
std::wstring SampleClientDirectory();
std::wstring SampleClientLinkDirectory();
// The 25 file names of the guard manifest, in manifest order.
std::vector<std::wstring> SampleClientFileNames();

// A fresh directory under %TEMP% holding a copy of everything in the sample
// client directory (the guard included) and the named programs from the test
// program's directory; removed with everything in it at destruction.
class SampleClientCopy {
 public:
  explicit SampleClientCopy(const std::vector<std::wstring>& extraPrograms = {});
  ~SampleClientCopy();
  SampleClientCopy(const SampleClientCopy&) = delete;
  SampleClientCopy& operator=(const SampleClientCopy&) = delete;
  const std::wstring& Path() const { return path_; }  // with a trailing backslash
  bool Complete() const { return complete_; }

 private:
  std::wstring path_;
  bool complete_ = true;
};
