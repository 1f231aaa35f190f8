// A 32-bit host that runs the hard-cheat exchange through the real
// ZarnelGuard.dll: it starts the guard, brings a grave finding upon itself
// (a debugger that attaches to it, or a blocked program that opens it for
// memory access), then plays the client's half of the exchange: challenge
// in, report out, the server's verdict in. Prints "key=value" lines.
//
//   hard_cheat_host [options]
//     --detect debugger        debugger_attacher.exe (beside this host) attaches after the start
//     --detect debugger-first  ... attaches before the start
//     --detect program <exe> <access-hex>
//                              <exe> (a blocked program's copy) opens this process with that access
//     --login <build> <id> <nonce> <name>
//                              answers a login challenge right after the start (hex id, nonce)
//     --challenge <build> <id> <nonce>
//                              the hard-cheat challenge (default: a fixed one, build 62)
//     --challenge-first        holds the challenge before the finding (default: after it)
//     --answer accept|reject|none
//                              the verdict (none: no acknowledgement ever comes)
//
// Nothing after the acknowledgement is expected to print: the guard ends
// the process with exit code 13. Exit codes 2 to 6 mark a host-side failure.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "ZarnelGuard.h"

namespace {
struct GuardApi {
  decltype(&ZarnelGuardInitialize) initialize;
  decltype(&ZarnelGuardGetLastError) lastError;
  decltype(&ZarnelGuardCreateLoginProof) createLoginProof;
  decltype(&ZarnelGuardSetHardCheatChallenge) setChallenge;
  decltype(&ZarnelGuardTakeHardCheatReport) takeReport;
  decltype(&ZarnelGuardAcknowledgeHardCheatReport) acknowledge;
  decltype(&ZarnelGuardClearHardCheatChallenge) clearChallenge;
};

template <typename T>
bool Resolve(HMODULE module, const char* name, T& out) {
  out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (!out) std::printf("missing_export=%s\n", name);
  return out != nullptr;
}

bool ParseHex(const wchar_t* text, uint8_t* out, size_t size) {
  if (!text || std::wcslen(text) != size * 2) return false;
  for (size_t i = 0; i < size; ++i) {
    unsigned value = 0;
    if (std::swscanf(text + 2 * i, L"%2x", &value) != 1) return false;
    out[i] = static_cast<uint8_t>(value);
  }
  return true;
}

void PrintHex(const char* key, const uint8_t* bytes, size_t size) {
  std::printf("%s=", key);
  for (size_t i = 0; i < size; ++i) std::printf("%02x", bytes[i]);
  std::printf("\n");
}

std::wstring OwnDirectory() {
  wchar_t path[MAX_PATH * 2] = {};
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
  std::wstring text(path, length);
  return text.substr(0, text.find_last_of(L"\\/") + 1);
}

// Starts a helper program without handing it this host's handles (its
// output pipe above all: the test reads until every writer is gone).
HANDLE StartProgram(const std::wstring& exe, const std::wstring& args) {
  std::wstring commandLine = L"\"" + exe + L"\" " + args;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    return nullptr;
  CloseHandle(info.hThread);
  return info.hProcess;
}

// Starts `exe` with "<event> <extra>" and waits until it sets the event.
HANDLE StartAndWait(const std::wstring& exe, const wchar_t* purpose, const std::wstring& extra) {
  wchar_t name[96];
  swprintf(name, 96, L"zg-hard-cheat-host-%ls-%lu", purpose, GetCurrentProcessId());
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, name);
  std::wstring args = std::wstring(name) + (extra.empty() ? L"" : L" " + extra);
  HANDLE process = StartProgram(exe, args);
  HANDLE waits[2] = {event, process};
  // The program ends early only on failure (an attach refused, say).
  bool ready = process && WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
  CloseHandle(event);
  if (!ready) {
    if (process) CloseHandle(process);
    return nullptr;
  }
  return process;
}

// The debugger fixture takes "<pid> <event>"; the idle program "<event> <pid> <access>".
HANDLE AttachDebugger() {
  std::wstring exe = OwnDirectory() + L"debugger_attacher.exe";
  wchar_t name[96];
  swprintf(name, 96, L"zg-hard-cheat-host-attached-%lu", GetCurrentProcessId());
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, name);
  HANDLE process = StartProgram(exe, std::to_wstring(GetCurrentProcessId()) + L" " + name);
  HANDLE waits[2] = {event, process};
  bool attached = process && WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
  CloseHandle(event);
  if (!attached && process) CloseHandle(process);
  return attached ? process : nullptr;
}

// Once the last-error text turns into a closing message, prints it: the
// guard writes it there just before it starts the helper and ends the
// process, and nothing else outside the process could read it.
DWORD WINAPI WatchClosingMessage(LPVOID parameter) {
  const GuardApi& api = *static_cast<const GuardApi*>(parameter);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  const wchar_t* text = api.lastError();
  for (;;) {
    if (std::wcsncmp(text, L"Zarnel closed", 13) == 0) {
      wchar_t copy[768];
      std::wcsncpy(copy, text, 767);
      copy[767] = L'\0';
      std::printf("closing_message=%ls\n", copy);
      std::fflush(stdout);
      return 0;
    }
    YieldProcessor();
    SwitchToThread();
  }
}

struct Options {
  const wchar_t* detect = nullptr;
  const wchar_t* programExe = nullptr;
  const wchar_t* programAccess = nullptr;
  wchar_t** login = nullptr;
  uint32_t challengeBuild = 62;
  uint8_t challengeId[16];
  uint8_t challengeNonce[32];
  bool challengeFirst = false;
  const wchar_t* answer = L"accept";
};

bool ParseOptions(int argc, wchar_t** argv, Options& o) {
  for (int i = 0; i < 16; ++i) o.challengeId[i] = static_cast<uint8_t>(0xC1 + 5 * i);
  for (int i = 0; i < 32; ++i) o.challengeNonce[i] = static_cast<uint8_t>(0x17 + 3 * i);
  for (int i = 1; i < argc; ++i) {
    std::wstring option = argv[i];
    int left = argc - i - 1;
    if (option == L"--detect" && left >= 1) {
      o.detect = argv[++i];
      if (std::wcscmp(o.detect, L"program") == 0) {
        if (left < 3) return false;
        o.programExe = argv[++i];
        o.programAccess = argv[++i];
      }
    } else if (option == L"--login" && left >= 4) {
      o.login = argv + i + 1;
      i += 4;
    } else if (option == L"--challenge" && left >= 3) {
      o.challengeBuild = static_cast<uint32_t>(std::wcstoul(argv[i + 1], nullptr, 10));
      if (!ParseHex(argv[i + 2], o.challengeId, 16) || !ParseHex(argv[i + 3], o.challengeNonce, 32)) return false;
      i += 3;
    } else if (option == L"--challenge-first") {
      o.challengeFirst = true;
    } else if (option == L"--answer" && left >= 1) {
      o.answer = argv[++i];
    } else {
      return false;
    }
  }
  return o.detect != nullptr;
}

int AnswerLoginChallenge(const GuardApi& api, wchar_t** args) {
  uint32_t build = static_cast<uint32_t>(std::wcstoul(args[0], nullptr, 10));
  uint8_t id[16], nonce[32], name[32] = {};
  size_t nameLength = std::wcslen(args[3]);
  if (!ParseHex(args[1], id, 16) || !ParseHex(args[2], nonce, 32) || nameLength == 0 || nameLength > 32) return 2;
  for (size_t i = 0; i < nameLength; ++i) name[i] = static_cast<uint8_t>(args[3][i]);
  uint32_t clientBuild = 0;
  uint8_t kind = 0, machine[32], publicKey[72], signature[64];
  uint32_t made = api.createLoginProof(2, build, id, nonce, name, static_cast<uint8_t>(nameLength), &clientBuild, &kind,
                                       machine, publicKey, signature);
  std::printf("login_proof=%u\n", made);
  if (!made) {
    std::printf("login_error=%ls\n", api.lastError());
    return 3;
  }
  std::printf("login_client_build=%u\nlogin_key_kind=%u\n", clientBuild, kind);
  PrintHex("login_machine_digest", machine, 32);
  PrintHex("login_public_key", publicKey, 72);
  PrintHex("login_signature", signature, 64);
  return 0;
}

// Waits for the report. With the challenge held from the start, the
// monitor signs it the moment it records the finding; otherwise the
// challenge is offered again and again, as a server polling its client
// would, and withdrawn while no report comes back.
bool WaitForReport(const GuardApi& api, const Options& o, uint8_t (&report)[241]) {
  for (int attempt = 0; attempt < 240; ++attempt) {
    if (!o.challengeFirst && !api.setChallenge(1, o.challengeBuild, o.challengeId, o.challengeNonce)) {
      std::printf("set_error=%ls\n", api.lastError());
      return false;
    }
    uint32_t size = 0;
    if (api.takeReport(report, sizeof(report), &size)) {
      std::printf("report_size=%u\nchallenges_offered=%d\n", size, o.challengeFirst ? 1 : attempt + 1);
      return size == sizeof(report);
    }
    if (!o.challengeFirst) api.clearChallenge();
    Sleep(250);
  }
  std::printf("report=none\n");
  return false;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options o;
  if (!ParseOptions(argc, argv, o)) {
    std::printf("usage_error=1\n");
    return 2;
  }
  std::printf("pid=%lu\n", GetCurrentProcessId());
  HMODULE module = LoadLibraryW(L"ZarnelGuard.dll");
  if (!module) {
    std::printf("load_error=%lu\n", GetLastError());
    return 2;
  }
  GuardApi api = {};
  if (!Resolve(module, "ZarnelGuardInitialize", api.initialize) ||
      !Resolve(module, "ZarnelGuardGetLastError", api.lastError) ||
      !Resolve(module, "ZarnelGuardCreateLoginProof", api.createLoginProof) ||
      !Resolve(module, "ZarnelGuardSetHardCheatChallenge", api.setChallenge) ||
      !Resolve(module, "ZarnelGuardTakeHardCheatReport", api.takeReport) ||
      !Resolve(module, "ZarnelGuardAcknowledgeHardCheatReport", api.acknowledge) ||
      !Resolve(module, "ZarnelGuardClearHardCheatChallenge", api.clearChallenge))
    return 2;

  HANDLE finding = nullptr;  // the debugger or the blocked program
  bool debuggerFirst = std::wcscmp(o.detect, L"debugger-first") == 0;
  if (debuggerFirst && !(finding = AttachDebugger())) {
    std::printf("attach_failed=1\n");
    return 4;
  }
  if (debuggerFirst) std::printf("debugger_attached=before-start\n");
  int32_t started = api.initialize();
  std::printf("initialize=%d\n", started != 0);
  if (!started) {
    std::printf("initialize_error=%ls\n", api.lastError());
    return 3;
  }
  std::fflush(stdout);
  if (o.login) {
    int answered = AnswerLoginChallenge(api, o.login);
    if (answered) return answered;
  }
  if (o.challengeFirst) {
    uint32_t held = api.setChallenge(1, o.challengeBuild, o.challengeId, o.challengeNonce);
    std::printf("challenge_held=%u\n", held);
    if (!held) return 3;
  }
  std::fflush(stdout);

  if (std::wcscmp(o.detect, L"debugger") == 0) {
    if (!(finding = AttachDebugger())) {
      std::printf("attach_failed=1\n");
      return 4;
    }
    std::printf("debugger_attached=after-start\n");
  } else if (std::wcscmp(o.detect, L"program") == 0) {
    finding = StartAndWait(o.programExe, L"program",
                           std::to_wstring(GetCurrentProcessId()) + L" " + o.programAccess);
    if (!finding) {
      std::printf("program_failed=1\n");
      return 4;
    }
    std::printf("program_holds_access=%ls\n", o.programAccess);
  } else if (!debuggerFirst) {
    std::printf("usage_error=1\n");
    return 2;
  }
  std::fflush(stdout);

  uint8_t report[241] = {};
  bool taken = WaitForReport(api, o, report);
  // The finding has been recorded: the blocked program has served its
  // purpose and must not outlive the test (a debugger leaves with us).
  if (std::wcscmp(o.detect, L"program") == 0) {
    TerminateProcess(finding, 0);
    WaitForSingleObject(finding, 10000);
  }
  if (finding) CloseHandle(finding);
  if (!taken) return 5;
  PrintHex("report", report, sizeof(report));
  uint8_t reportId[16];
  std::memcpy(reportId, report + 9, 16);
  PrintHex("report_id", reportId, 16);
  std::printf("report_violation=%u\n", report[7] | (report[8] << 8));

  // Answers that must change nothing: another identifier, an undefined verdict.
  uint8_t otherId[16];
  std::memcpy(otherId, reportId, 16);
  otherId[15] ^= 0x01;
  std::printf("ack_other_id=%u\n", api.acknowledge(otherId, 1));
  std::printf("ack_verdict_2=%u\n", api.acknowledge(reportId, 2));
  // An invalid challenge (the login proof's version) changes nothing either;
  // its message also clears a closing message left by the finding, so that
  // the watcher below sees the final one.
  std::printf("invalid_challenge=%u\n", api.setChallenge(2, o.challengeBuild, o.challengeId, o.challengeNonce));
  std::printf("invalid_challenge_error=%ls\n", api.lastError());
  uint8_t again[241] = {};
  uint32_t againSize = 0;
  std::printf("report_unchanged=%d\n", api.takeReport(again, sizeof(again), &againSize) && againSize == 241 &&
                                           std::memcmp(again, report, 241) == 0);
  std::fflush(stdout);

  CreateThread(nullptr, 0, WatchClosingMessage, &api, 0, nullptr);
  if (std::wcscmp(o.answer, L"none") == 0) {
    std::printf("acknowledgement=none\n");
    std::fflush(stdout);
    Sleep(60000);  // the guard's deadline ends the process long before
    std::printf("still_running=1\n");
    return 6;
  }
  uint8_t accepted = std::wcscmp(o.answer, L"reject") == 0 ? 0 : 1;
  std::printf("acknowledgement=%u\n", accepted);
  std::fflush(stdout);
  uint32_t returned = api.acknowledge(reportId, accepted);
  std::printf("ack_returned=%u\n", returned);
  return 6;
}
