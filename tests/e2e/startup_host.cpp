// A 32-bit client that loads ZarnelGuard.dll from its own directory and
// checks, from inside the process, what only the client can see: its own
// handle count and held files around a start, the login proof's outputs
// byte by byte (verified with bcrypt, not with the guard's signer), and
// many client threads using the exports while the monitor runs. Prints
// "key=value" lines.
//   startup_host once [<go-event>]   (waits for the event first) start once, report
//   startup_host race                two threads start at the same moment
//   startup_host login               the login proof through the DLL
//   startup_host stress <threads> <seconds>   (long enough for monitor passes to overlap)
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
decltype(&ZarnelGuardClearHardCheatChallenge) clearChallenge;

template <typename T>
void Bind(T& function, const char* name) {
  function = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(guardModule, name)));
}

DWORD HandleCount() { return CountOwnHandles(); }

std::wstring OwnDirectory() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring text = path;
  return text.substr(0, text.find_last_of(L'\\') + 1);
}

// True when no file of the client directory is held against writers.
bool ClientFilesWritable() {
  std::wstring directory = OwnDirectory();
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((directory + L"*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  bool writable = true;
  do {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    std::wstring name = data.cFileName;
    // This program and the libraries it loaded are mapped, not held by the guard.
    if (GetModuleHandleW(name.c_str()) || name.rfind(L"startup_host", 0) == 0) continue;
    HANDLE file = CreateFileW((directory + name).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      std::printf("held_file=%ls\n", name.c_str());
      writable = false;
    } else {
      CloseHandle(file);
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return writable;
}

// ---- the login proof as the server checks it ----------------------------
struct Challenge {
  uint16_t version = 2;
  uint32_t build = 62;
  uint8_t id[16];
  uint8_t nonce[32];
  uint8_t name[32] = {};
  uint8_t nameLength = 0;
  explicit Challenge(uint8_t seed = 0x10) {
    for (int i = 0; i < 16; ++i) id[i] = static_cast<uint8_t>(seed + i);
    for (int i = 0; i < 32; ++i) nonce[i] = static_cast<uint8_t>(seed + 0x40 + i);
    SetName("player.one");
  }
  void SetName(const char* text) {
    std::memset(name, 0, sizeof(name));
    size_t length = std::strlen(text);
    std::memcpy(name, text, length > 32 ? 32 : length);
    nameLength = static_cast<uint8_t>(length);
  }
};

struct Outputs {
  uint32_t build;
  uint8_t kind;
  uint8_t digest[32], publicKey[72], signature[64];
  Outputs() { Fill(0xAA); }
  void Fill(uint8_t b) {
    std::memset(&build, b, sizeof(build));
    kind = b;
    std::memset(digest, b, sizeof(digest));
    std::memset(publicKey, b, sizeof(publicKey));
    std::memset(signature, b, sizeof(signature));
  }
  bool AllEqual(uint8_t b) const {
    uint32_t wideB = b * 0x01010101u;
    if (build != wideB || kind != b) return false;
    for (uint8_t x : digest)
      if (x != b) return false;
    for (uint8_t x : publicKey)
      if (x != b) return false;
    for (uint8_t x : signature)
      if (x != b) return false;
    return true;
  }
};

uint32_t Prove(const Challenge& c, Outputs& o) {
  return createLoginProof(c.version, c.build, c.id, c.nonce, c.name, c.nameLength, &o.build, &o.kind, o.digest,
                          o.publicKey, o.signature);
}

std::vector<uint8_t> Record(const Challenge& c, const Outputs& o) {
  std::vector<uint8_t> r;
  const char magic[] = "ZARNEL-GUARD-PROOF-V2";
  r.insert(r.end(), magic, magic + 21);
  r.push_back(0x00);
  r.push_back(0x02);
  for (int shift : {24, 16, 8, 0}) r.push_back(static_cast<uint8_t>(c.build >> shift));
  for (int shift : {24, 16, 8, 0}) r.push_back(static_cast<uint8_t>(o.build >> shift));
  r.insert(r.end(), c.id, c.id + 16);
  r.insert(r.end(), c.nonce, c.nonce + 32);
  r.push_back(o.kind);
  r.push_back(c.nameLength);
  r.insert(r.end(), c.name, c.name + 32);
  r.insert(r.end(), o.digest, o.digest + 32);
  r.insert(r.end(), o.publicKey, o.publicKey + 72);
  return r;
}

bool Verify(const std::vector<uint8_t>& record, const uint8_t* publicKey, const uint8_t* signature) {
  BCRYPT_ALG_HANDLE sha = nullptr, ecdsa = nullptr;
  BCRYPT_KEY_HANDLE key = nullptr;
  uint8_t digest[32];
  bool ok = BCryptOpenAlgorithmProvider(&sha, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
            BCryptHash(sha, nullptr, 0, const_cast<uint8_t*>(record.data()), static_cast<ULONG>(record.size()), digest,
                       32) == 0 &&
            BCryptOpenAlgorithmProvider(&ecdsa, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) == 0 &&
            BCryptImportKeyPair(ecdsa, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, const_cast<uint8_t*>(publicKey), 72, 0) ==
                0 &&
            BCryptVerifySignature(key, nullptr, digest, 32, const_cast<uint8_t*>(signature), 64, 0) == 0;
  if (key) BCryptDestroyKey(key);
  if (ecdsa) BCryptCloseAlgorithmProvider(ecdsa, 0);
  if (sha) BCryptCloseAlgorithmProvider(sha, 0);
  return ok;
}

// A proof that the server would accept for exactly this challenge.
bool ProofVerifies(const Challenge& c, const Outputs& o) {
  if (o.build != 62 || (o.kind != 1 && o.kind != 2)) return false;
  std::vector<uint8_t> record = Record(c, o);
  return record.size() == 217 && Verify(record, o.publicKey, o.signature);
}

void Check(const char* name, bool passed) { std::printf("check_%s=%d\n", name, passed ? 1 : 0); }
bool TextIs(const wchar_t* expected) { return std::wcscmp(lastError(), expected) == 0; }

int Login() {
  const wchar_t kRejected[] = L"ZarnelGuard rejected an invalid login challenge.";
  const wchar_t kNullOutput[] = L"ZarnelGuard received an invalid login-proof output buffer.";

  // A null output pointer: nothing is written, and the guard does not even start.
  for (int missing = 0; missing < 5; ++missing) {
    Challenge c;
    Outputs o;
    uint32_t result = createLoginProof(c.version, c.build, c.id, c.nonce, c.name, c.nameLength,
                                       missing == 0 ? nullptr : &o.build, missing == 1 ? nullptr : &o.kind,
                                       missing == 2 ? nullptr : o.digest, missing == 3 ? nullptr : o.publicKey,
                                       missing == 4 ? nullptr : o.signature);
    char name[48];
    std::snprintf(name, sizeof(name), "null_output_%d_untouched", missing);
    Check(name, result == 0 && o.AllEqual(0xAA) && TextIs(kNullOutput));
  }

  // The challenge rules through the export: every output zero on failure.
  struct Case {
    const char* name;
    void (*mutate)(Challenge&);
    bool valid;
  };
  const Case cases[] = {
      {"version_1", [](Challenge& c) { c.version = 1; }, false},
      {"build_0", [](Challenge& c) { c.build = 0; }, false},
      {"build_62", [](Challenge& c) { c.build = 62; }, true},
      {"build_63", [](Challenge& c) { c.build = 63; }, false},
      {"id_one_nonzero_byte", [](Challenge& c) { std::memset(c.id, 0, 16); c.id[7] = 1; }, true},
      {"nonce_all_zero", [](Challenge& c) { std::memset(c.nonce, 0, 32); }, false},
      {"name_length_0", [](Challenge& c) { c.nameLength = 0; }, false},
      {"name_length_32", [](Challenge& c) { c.SetName("abcdefghijklmnopqrstuvwxyz012345"); }, true},
      {"name_length_33", [](Challenge& c) { c.SetName("abcdefghijklmnopqrstuvwxyz012345"); c.nameLength = 33; }, false},
      {"name_space", [](Challenge& c) { c.SetName("player one"); }, false},
      {"name_del", [](Challenge& c) { c.SetName("player\x7f"); }, false},
      {"name_upper_case", [](Challenge& c) { c.SetName("playerZ"); }, false},
      {"byte_after_name", [](Challenge& c) { c.name[31] = 'x'; }, false},
  };
  for (const Case& k : cases) {
    Challenge c;
    k.mutate(c);
    Outputs o;
    uint32_t result = Prove(c, o);
    char name[64];
    std::snprintf(name, sizeof(name), "challenge_%s", k.name);
    Check(name, k.valid ? result == 1 && ProofVerifies(c, o) : result == 0 && o.AllEqual(0) && TextIs(kRejected));
  }

  // Bytes 21..30 of the record for build 5, and the signature over it.
  Challenge c;
  c.build = 5;
  Outputs o;
  bool made = Prove(c, o) == 1;
  std::vector<uint8_t> record = Record(c, o);
  char hex[32] = {};
  for (int i = 0; i < 10; ++i) std::snprintf(hex + 2 * i, 3, "%02x", record[21 + i]);
  std::printf("record_21_30=%s\nkind=%u\n", hex, o.kind);
  Check("build_5_verifies", made && ProofVerifies(c, o));
  // The signature belongs to this record only.
  Challenge other = c;
  other.nonce[0] ^= 1;
  Check("other_record_does_not_verify", !Verify(Record(other, o), o.publicKey, o.signature));

  shutdown();
  Outputs after;
  Check("after_shutdown_rejected", Prove(c, after) == 0 && after.AllEqual(0) && TextIs(kRejected));
  return 0;
}

// ---- many client threads at once ------------------------------------------
struct StressShared {
  HANDLE go;
  ULONGLONG until;
  volatile LONG rounds, proofs, verified, challengesHeld, reportsTaken;
};

DWORD WINAPI StressThread(LPVOID parameter) {
  StressShared& shared = *static_cast<StressShared*>(parameter);
  WaitForSingleObject(shared.go, INFINITE);
  for (int round = 0; round == 0 || GetTickCount64() < shared.until; ++round) {
    InterlockedIncrement(&shared.rounds);
    Challenge c(static_cast<uint8_t>(0x20 + (GetCurrentThreadId() + round) % 64));
    Outputs o;
    if (Prove(c, o) == 1) {
      InterlockedIncrement(&shared.proofs);
      if (ProofVerifies(c, o)) InterlockedIncrement(&shared.verified);
    }
    Challenge hard(static_cast<uint8_t>(0x30 + round % 64));
    hard.version = 1;
    if (setChallenge(hard.version, hard.build, hard.id, hard.nonce)) InterlockedIncrement(&shared.challengesHeld);
    uint8_t report[241];
    uint32_t size = 1;
    if (takeReport(report, sizeof(report), &size) || size != 0) InterlockedIncrement(&shared.reportsTaken);
    clearChallenge();
  }
  return 0;
}

int Stress(int threadCount, int seconds) {
  // bcrypt's own first use is made before counting: its providers stay
  // loaded for the life of the process, whoever opened them first.
  {
    Challenge warm;
    Outputs o;
    Verify(Record(warm, o), o.publicKey, o.signature);
  }
  DWORD before = HandleCount();
  std::printf("initialize=%d\n", initialize() != 0);
  std::printf("message=%ls\n", lastError());
  StressShared shared = {CreateEventW(nullptr, TRUE, FALSE, nullptr), GetTickCount64() + seconds * 1000ull, 0, 0, 0, 0, 0};
  std::vector<HANDLE> threads;
  for (int i = 0; i < threadCount; ++i) threads.push_back(CreateThread(nullptr, 0, StressThread, &shared, 0, nullptr));
  SetEvent(shared.go);
  // Generous: a deadlock shows as a time-out here, not as a slow run.
  DWORD waited = WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, 300000);
  std::printf("threads_finished=%d\n", waited == WAIT_OBJECT_0 ? 1 : 0);
  std::fflush(stdout);
  if (waited != WAIT_OBJECT_0) return 4;
  for (HANDLE t : threads) CloseHandle(t);
  CloseHandle(shared.go);
  shutdown();
  DWORD after = HandleCount();
  std::printf("rounds=%ld\nproofs=%ld\nverified=%ld\nchallenges_held=%ld\nreports_taken=%ld\n", shared.rounds,
              shared.proofs, shared.verified, shared.challengesHeld, shared.reportsTaken);
  std::printf("handles_before_start=%lu\nhandles_after_shutdown=%lu\n", before, after);
  std::printf("files_writable=%d\n", ClientFilesWritable() ? 1 : 0);
  return 0;
}

// The first export call runs the guarded start on the caller's thread, files
// hashed and all: a game thread made with a small stack must get a proof.
struct SmallStackLogin {
  uint32_t result;
  bool verified;
};

DWORD WINAPI SmallStackLoginThread(LPVOID parameter) {
  auto* login = static_cast<SmallStackLogin*>(parameter);
  Challenge c;
  Outputs o;
  login->result = Prove(c, o);
  login->verified = login->result == 1 && ProofVerifies(c, o);
  return 0;
}

int SmallStack() {
  SmallStackLogin login = {9, false};
  HANDLE thread = CreateThread(nullptr, 64 * 1024, SmallStackLoginThread, &login, STACK_SIZE_PARAM_IS_A_RESERVATION,
                               nullptr);
  if (!thread) return 3;
  bool finished = WaitForSingleObject(thread, 120000) == WAIT_OBJECT_0;
  DWORD threadExit = 9;
  GetExitCodeThread(thread, &threadExit);
  CloseHandle(thread);
  std::printf("finished=%d\nthread_exit=%lu\nproof=%u\nverified=%d\nmessage=%ls\n", finished ? 1 : 0, threadExit,
              login.result, login.verified ? 1 : 0, lastError());
  std::fflush(stdout);
  shutdown();
  return 0;
}

// A game calls the exports from many short-lived threads: whatever the
// guard or its runtime keeps for a thread must go when the thread ends.
DWORD WINAPI ShortLivedThread(LPVOID) {
  Challenge c(static_cast<uint8_t>(0x40 + GetCurrentThreadId() % 64));
  Outputs o;
  if (Prove(c, o) != 1 || !ProofVerifies(c, o)) return 1;
  Challenge hard(0x51);
  hard.version = 1;
  if (!setChallenge(hard.version, hard.build, hard.id, hard.nonce)) return 2;
  clearChallenge();
  return 0;
}

// One round: `count` threads one after another. False when one failed.
bool RunShortLivedThreads(int count) {
  for (int i = 0; i < count; ++i) {
    HANDLE thread = CreateThread(nullptr, 0, ShortLivedThread, nullptr, 0, nullptr);
    if (!thread) return false;
    DWORD result = 9;
    bool ended = WaitForSingleObject(thread, 60000) == WAIT_OBJECT_0 && GetExitCodeThread(thread, &result);
    CloseHandle(thread);
    if (!ended || result != 0) return false;
  }
  return true;
}

int ThreadsFlat() {
  std::printf("initialize=%d\nmessage=%ls\n", initialize() != 0, lastError());
  // The first thread's round pays whatever is paid once per process.
  bool passed = RunShortLivedThreads(1);
  const DWORD baseline = HandleCount();
  std::printf("handles_baseline=%lu\n", baseline);
  for (int count : {1, 10, 30}) {
    passed = RunShortLivedThreads(count) && passed;
    std::printf("handles_after_%d=%lu\n", count, HandleCount());
  }
  std::printf("threads_passed=%d\n", passed ? 1 : 0);
  std::fflush(stdout);
  shutdown();
  return 0;
}

DWORD WINAPI RaceThread(LPVOID parameter) {
  HANDLE go = *static_cast<HANDLE*>(parameter);
  WaitForSingleObject(go, INFINITE);
  return initialize() != 0 ? 1 : 0;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t* scenario = argc > 1 ? argv[1] : L"once";
  // A go event from the test: a debugger may attach before the guard loads.
  if (std::wcscmp(scenario, L"once") == 0 && argc > 2) {
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, argv[2]);
    if (!go || WaitForSingleObject(go, 60000) != WAIT_OBJECT_0) return 3;
    CloseHandle(go);
  }
  // Wine opens the session's named-object directory at the first named
  // object a process creates and keeps that handle for the process's life.
  // It is made here, so that it is not counted as the guard's.
  CloseHandle(CreateEventW(nullptr, TRUE, FALSE, L"Local\\ZarnelStartupHostWarmUp"));
  LoadSystemCryptoLibraries();
  DWORD beforeLoad = HandleCount();
  guardModule = LoadLibraryW(L"ZarnelGuard.dll");
  if (!guardModule) {
    std::printf("load_error=%lu\n", GetLastError());
    return 2;
  }
  Bind(initialize, "ZarnelGuardInitialize");
  Bind(shutdown, "ZarnelGuardShutdown");
  Bind(lastError, "ZarnelGuardGetLastError");
  Bind(createLoginProof, "ZarnelGuardCreateLoginProof");
  Bind(setChallenge, "ZarnelGuardSetHardCheatChallenge");
  Bind(takeReport, "ZarnelGuardTakeHardCheatReport");
  Bind(clearChallenge, "ZarnelGuardClearHardCheatChallenge");
  if (!initialize || !shutdown || !lastError || !createLoginProof || !setChallenge || !takeReport ||
      !clearChallenge) {
    std::printf("missing_export=1\n");
    return 2;
  }

  if (std::wcscmp(scenario, L"once") == 0) {
    DWORD before = HandleCount();
    int32_t result = initialize();
    DWORD after = HandleCount();
    std::printf("initialize=%d\nmessage=%ls\n", result != 0, lastError());
    std::printf("handles_loaded=%lu\nhandles_before=%lu\nhandles_after=%lu\n", beforeLoad, before, after);
    std::printf("files_writable=%d\n", ClientFilesWritable() ? 1 : 0);
    std::fflush(stdout);
    shutdown();
    return 0;
  }
  if (std::wcscmp(scenario, L"race") == 0) {
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE threads[2];
    for (HANDLE& t : threads) t = CreateThread(nullptr, 0, RaceThread, &go, 0, nullptr);
    Sleep(50);  // both threads are waiting at the gate (a late one only makes the race milder)
    SetEvent(go);
    bool finished = WaitForMultipleObjects(2, threads, TRUE, 120000) == WAIT_OBJECT_0;
    DWORD results[2] = {9, 9};
    for (int i = 0; i < 2; ++i) GetExitCodeThread(threads[i], &results[i]);
    std::printf("finished=%d\nfirst=%lu\nsecond=%lu\nmessage=%ls\n", finished ? 1 : 0, results[0], results[1],
                lastError());
    shutdown();
    return 0;
  }
  if (std::wcscmp(scenario, L"login") == 0) return Login();
  if (std::wcscmp(scenario, L"small-stack") == 0) return SmallStack();
  if (std::wcscmp(scenario, L"threads-flat") == 0) return ThreadsFlat();
  if (std::wcscmp(scenario, L"stress") == 0 && argc > 3)
    return Stress(static_cast<int>(std::wcstol(argv[2], nullptr, 10)), static_cast<int>(std::wcstol(argv[3], nullptr, 10)));
  return 2;
}
