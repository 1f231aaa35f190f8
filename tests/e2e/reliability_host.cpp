// A 32-bit host for the load and machine identity tests; loads
// ZarnelGuard.dll from its own directory and prints "key=value" lines.
//   reliability_host failed-startups <count> <archive>
//       moves <archive> away, calls ZarnelGuardInitialize <count> times
//       (each must fail), puts it back, starts for real and shuts down;
//       prints the handle counts after the first and the last failure and
//       after the shutdown.
//   reliability_host threads <seconds> <threads> <proof-file>
//       starts the guard, then <threads> threads call the login proof and
//       the hard-cheat exports for <seconds> while the monitor runs, then
//       shuts down. Each proof goes to <proof-file> as one line:
//       "<id> <nonce> <name> <client build> <kind> <digest> <key> <signature>".
//   reliability_host digest
//       starts the guard and prints the machine identity digest that a
//       login proof carries.
#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "ZarnelGuard.h"
#include "process_handle_count.h"

namespace {
HMODULE guardModule;
decltype(&ZarnelGuardInitialize) initialize;
decltype(&ZarnelGuardShutdown) shutdown;
decltype(&ZarnelGuardGetLastError) lastError;
decltype(&ZarnelGuardCreateLoginProof) createLoginProof;
decltype(&ZarnelGuardSetHardCheatChallenge) setChallenge;
decltype(&ZarnelGuardTakeHardCheatReport) takeReport;
decltype(&ZarnelGuardAcknowledgeHardCheatReport) acknowledge;
decltype(&ZarnelGuardClearHardCheatChallenge) clearChallenge;

template <typename T>
T Export(const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(guardModule, name)));
}

std::string Hex(const uint8_t* bytes, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

void Random(uint8_t* bytes, ULONG length) {
  do {
    BCryptGenRandom(nullptr, bytes, length, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  } while (bytes[0] == 0);  // never all zero
}

struct Proof {
  uint8_t id[16];
  uint8_t nonce[32];
  uint8_t name[32] = {};
  uint8_t nameLength = 0;
  uint32_t build = 0;
  uint8_t kind = 0;
  uint8_t digest[32];
  uint8_t publicKey[72];
  uint8_t signature[64];

  bool Create(const char* loginName) {
    Random(id, sizeof(id));
    Random(nonce, sizeof(nonce));
    nameLength = static_cast<uint8_t>(std::strlen(loginName));
    std::memcpy(name, loginName, nameLength);
    return createLoginProof(2, 62, id, nonce, name, nameLength, &build, &kind, digest, publicKey, signature) == 1;
  }
  std::string Line() const {
    return Hex(id, 16) + " " + Hex(nonce, 32) + " " + std::string(reinterpret_cast<const char*>(name), nameLength) +
           " " + std::to_string(build) + " " + std::to_string(kind) + " " + Hex(digest, 32) + " " +
           Hex(publicKey, 72) + " " + Hex(signature, 64);
  }
};

int FailedStartups(int count, const wchar_t* archive) {
  std::wstring away = std::wstring(archive) + L".away";
  if (!MoveFileW(archive, away.c_str())) {
    std::printf("move_error=%lu\n", GetLastError());
    return 3;
  }
  int failures = 0;
  DWORD firstHandles = 0, lastHandles = 0;
  std::wstring firstMessage;
  bool sameMessage = true;
  for (int i = 0; i < count; ++i) {
    if (initialize() == 0) ++failures;
    if (i == 0) {
      firstHandles = CountOwnHandles();
      firstMessage = lastError();
    }
    if (firstMessage != lastError()) sameMessage = false;
  }
  lastHandles = CountOwnHandles();
  std::printf("failures=%d\nmessage=%ls\nsame_message=%d\n", failures, firstMessage.c_str(), sameMessage);
  std::printf("handles_after_first=%lu\nhandles_after_last=%lu\n", static_cast<unsigned long>(firstHandles),
              static_cast<unsigned long>(lastHandles));
  MoveFileW(away.c_str(), archive);
  int32_t started = initialize();
  std::printf("started=%d\n", started != 0);
  if (!started) std::printf("start_message=%ls\n", lastError());
  shutdown();
  std::printf("handles_after_shutdown=%lu\n", static_cast<unsigned long>(CountOwnHandles()));
  return 0;
}

struct ThreadWork {
  int index = 0;
  ULONGLONG deadline = 0;
  std::vector<std::string> proofs;
  int failedProofs = 0;
  int challengesHeld = 0;
  int reportsTaken = 0;
  int acknowledgements = 0;
  std::wstring failure;
};

DWORD WINAPI LoadThread(LPVOID parameter) {
  ThreadWork& work = *static_cast<ThreadWork*>(parameter);
  char name[32];
  std::snprintf(name, sizeof(name), "load.thread%d", work.index);
  while (GetTickCount64() < work.deadline) {
    Proof proof;
    if (proof.Create(name)) {
      work.proofs.push_back(proof.Line());
    } else {
      ++work.failedProofs;
      work.failure = lastError();
    }
    uint8_t id[16], nonce[32], report[241];
    Random(id, sizeof(id));
    Random(nonce, sizeof(nonce));
    if (setChallenge(1, 62, id, nonce) == 1) ++work.challengesHeld;
    uint32_t size = 0;
    if (takeReport(report, sizeof(report), &size) == 1) ++work.reportsTaken;
    // No detection is recorded, so no identifier matches: it must return.
    if (acknowledge(id, 1) != 0) ++work.acknowledgements;
    clearChallenge();
  }
  return 0;
}

int Threads(int seconds, int threadCount, const wchar_t* proofFile) {
  if (!initialize()) {
    std::printf("start_message=%ls\n", lastError());
    return 3;
  }
  std::vector<ThreadWork> work(threadCount);
  std::vector<HANDLE> threads;
  ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
  for (int i = 0; i < threadCount; ++i) {
    work[i].index = i;
    work[i].deadline = deadline;
    threads.push_back(CreateThread(nullptr, 0, LoadThread, &work[i], 0, nullptr));
  }
  // Well past the deadline the threads must be done: a lock that never
  // comes free shows up here rather than as a hung test.
  DWORD waited = WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE,
                                        static_cast<DWORD>(seconds) * 1000 + 60000);
  if (waited == WAIT_TIMEOUT) {
    std::printf("deadlock=1\n");
    std::fflush(stdout);
    ExitProcess(4);
  }
  for (HANDLE thread : threads) CloseHandle(thread);
  shutdown();
  std::printf("shutdown=returned\n");

  FILE* out = _wfopen(proofFile, L"wb");
  if (!out) return 5;
  int proofs = 0, failed = 0, held = 0, taken = 0, acknowledged = 0;
  for (const ThreadWork& w : work) {
    for (const std::string& line : w.proofs) std::fprintf(out, "%s\n", line.c_str());
    proofs += static_cast<int>(w.proofs.size());
    failed += w.failedProofs;
    held += w.challengesHeld;
    taken += w.reportsTaken;
    acknowledged += w.acknowledgements;
    if (!w.failure.empty()) std::printf("proof_failure=%ls\n", w.failure.c_str());
  }
  std::fclose(out);
  std::printf("proofs=%d\nfailed_proofs=%d\nchallenges_held=%d\nreports_taken=%d\nacknowledgements=%d\n", proofs,
              failed, held, taken, acknowledged);
  return 0;
}

int Digest() {
  Proof proof;
  if (!proof.Create("identity.check")) {
    std::printf("proof_failure=%ls\n", lastError());
    return 3;
  }
  std::printf("machine_digest=%s\n", Hex(proof.digest, 32).c_str());
  shutdown();
  return 0;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  guardModule = LoadLibraryW(L"ZarnelGuard.dll");
  if (!guardModule) {
    std::printf("load_error=%lu\n", GetLastError());
    return 2;
  }
  initialize = Export<decltype(initialize)>("ZarnelGuardInitialize");
  shutdown = Export<decltype(shutdown)>("ZarnelGuardShutdown");
  lastError = Export<decltype(lastError)>("ZarnelGuardGetLastError");
  createLoginProof = Export<decltype(createLoginProof)>("ZarnelGuardCreateLoginProof");
  setChallenge = Export<decltype(setChallenge)>("ZarnelGuardSetHardCheatChallenge");
  takeReport = Export<decltype(takeReport)>("ZarnelGuardTakeHardCheatReport");
  acknowledge = Export<decltype(acknowledge)>("ZarnelGuardAcknowledgeHardCheatReport");
  clearChallenge = Export<decltype(clearChallenge)>("ZarnelGuardClearHardCheatChallenge");
  if (!initialize || !shutdown || !lastError || !createLoginProof || !setChallenge || !takeReport || !acknowledge ||
      !clearChallenge) {
    std::printf("missing_export=1\n");
    return 2;
  }
  int result = 2;
  if (argc == 4 && std::wcscmp(argv[1], L"failed-startups") == 0)
    result = FailedStartups(_wtoi(argv[2]), argv[3]);
  else if (argc == 5 && std::wcscmp(argv[1], L"threads") == 0)
    result = Threads(_wtoi(argv[2]), _wtoi(argv[3]), argv[4]);
  else if (argc == 2 && std::wcscmp(argv[1], L"digest") == 0)
    result = Digest();
  else
    std::printf("usage=1\n");
  std::fflush(stdout);
  return result;
}
