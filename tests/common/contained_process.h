#pragma once
// A process that a test starts, tied to the test. It inherits only the
// handles named for it, never whatever else the test process holds as
// inheritable (CTest's output pipe, another case's handles): a copy that
// kept CTest's pipe open made CTest wait minutes after the test had died.
// And it runs in a job that ends it, with everything it started, when the
// job's handle closes, which happens when the test process ends however it
// ends. A test that wants what it started to run on after it is done with
// it (an error helper still writing its record) lets them go first.
#include <windows.h>

#include <string>
#include <vector>

class ContainedProcess {
 public:
  ContainedProcess() = default;
  ContainedProcess(const ContainedProcess&) = delete;
  ContainedProcess& operator=(const ContainedProcess&) = delete;
  ~ContainedProcess() { End(); }

  // Starts `exe` with the whole `commandLine` in `directory` (empty: this
  // process's). Only `inherited` (each an inheritable handle; `startup`'s
  // standard handles must be among them) reaches the new process. With
  // CREATE_SUSPENDED in `flags` it stays suspended.
  bool Start(const std::wstring& exe, std::wstring commandLine, const std::wstring& directory,
             const std::vector<HANDLE>& inherited, DWORD flags, STARTUPINFOW startup = {}) {
    End();
    job_ = CreateJobObjectW(nullptr, nullptr);
    if (!job_) return false;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) return Fail();

    STARTUPINFOEXW extended = {};
    extended.StartupInfo = startup;
    extended.StartupInfo.cb = sizeof(extended);
    std::vector<unsigned char> attributeBytes;
    LPPROC_THREAD_ATTRIBUTE_LIST attributes = nullptr;
    if (!inherited.empty()) {
      SIZE_T size = 0;
      InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
      attributeBytes.resize(size);
      attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBytes.data());
      if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return Fail();
      if (!UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                     const_cast<HANDLE*>(inherited.data()), inherited.size() * sizeof(HANDLE), nullptr,
                                     nullptr)) {
        DeleteProcThreadAttributeList(attributes);
        return Fail();
      }
      extended.lpAttributeList = attributes;
    }
    // Suspended until it is in the job, so that nothing it starts escapes.
    const BOOL created =
        CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, inherited.empty() ? FALSE : TRUE,
                       flags | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                       directory.empty() ? nullptr : directory.c_str(), &extended.StartupInfo, &info_);
    if (attributes) DeleteProcThreadAttributeList(attributes);
    if (!created) return Fail();
    started_ = true;
    if (!AssignProcessToJobObject(job_, info_.hProcess)) {
      End();
      return false;
    }
    if (!(flags & CREATE_SUSPENDED)) ResumeThread(info_.hThread);
    return true;
  }

  // What the process started may run on once this owner lets the job go.
  void LetDescendantsRun() {
    if (!job_) return;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
  }

  // Ends the process if it still runs (and, unless let go, all it started),
  // and closes every handle of this owner.
  void End() {
    if (started_) {
      if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(info_.hProcess, 99);
        WaitForSingleObject(info_.hProcess, 10000);
      }
      CloseHandle(info_.hThread);
      CloseHandle(info_.hProcess);
      info_ = {};
      started_ = false;
    }
    if (job_) CloseHandle(job_);
    job_ = nullptr;
  }

  bool Started() const { return started_; }
  HANDLE Process() const { return info_.hProcess; }
  HANDLE Thread() const { return info_.hThread; }
  DWORD Id() const { return info_.dwProcessId; }
  HANDLE Job() const { return job_; }

 private:
  bool Fail() {
    End();
    return false;
  }

  HANDLE job_ = nullptr;
  PROCESS_INFORMATION info_ = {};
  bool started_ = false;
};
