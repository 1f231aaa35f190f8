// A 32-bit host that makes hostile calls to all nine exports of
// ZarnelGuard.dll, in every lifecycle state of one process: before the
// start-up, while running, after a shutdown and after a second one. For each
// call it prints "<phase>.<case>.<field>=<value>" lines:
//   result    the export's result ("-" for exports without one)
//   text      the last-error text after the call
//   changed   1 when the call changed the last-error text
//   outputs   "untouched", "zero" or "set": what the call left in its
//             caller-owned output buffers (pre-filled with 0xEE)
//   size      the report size output of Take, when it had one
//   marker    "held" or "free": the single-client marker after the call
//   handles   the process's handle count after the call
// The test (export_hostile_calls_test.cpp) holds the expectations.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "ZarnelGuard.h"
#include "process_handle_count.h"

namespace {
HMODULE guardModule;

template <typename T>
T Export(const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(guardModule, name)));
}

decltype(&ZarnelGuardInitialize) initialize;
decltype(&ZarnelGuardShutdown) shutdown;
decltype(&ZarnelGuardGetLastError) lastError;
decltype(&ZarnelGuardGetClientBuild) clientBuild;
decltype(&ZarnelGuardCreateLoginProof) createLoginProof;
decltype(&ZarnelGuardSetHardCheatChallenge) setChallenge;
decltype(&ZarnelGuardTakeHardCheatReport) takeReport;
decltype(&ZarnelGuardAcknowledgeHardCheatReport) acknowledge;
decltype(&ZarnelGuardClearHardCheatChallenge) clearChallenge;

const char* phase = "";

bool MarkerHeld() {
  HANDLE marker = OpenMutexW(SYNCHRONIZE, FALSE,
                             L"Global\\ZarnelGuard-v95-single-client-74249B15-AC70-48D2-AE27-3678C60128DA");
  if (!marker) return false;
  CloseHandle(marker);
  return true;
}

// The caller-owned buffers of one call, filled with 0xEE so that what the
// guard wrote can be told from what it left alone.
struct Outputs {
  uint32_t build;
  uint8_t kind;
  uint8_t digest[32];
  uint8_t publicKey[72];
  uint8_t signature[64];
  uint8_t report[300];
  uint32_t size;
  Outputs() { std::memset(this, 0xEE, sizeof(*this)); }
  static bool All(const uint8_t* bytes, size_t length, uint8_t value) {
    for (size_t i = 0; i < length; ++i)
      if (bytes[i] != value) return false;
    return true;
  }
  const char* ProofState() const {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(this);
    size_t proofBytes = offsetof(Outputs, report);
    if (All(bytes, proofBytes, 0xEE)) return "untouched";
    if (build == 0 && kind == 0 && All(digest, 32, 0) && All(publicKey, 72, 0) && All(signature, 64, 0)) return "zero";
    return "set";
  }
  const char* ReportState() const { return All(report, sizeof(report), 0xEE) ? "untouched" : "set"; }
};

void Report(const char* name, const std::string& result, const std::wstring& textBefore, const char* outputs,
            const uint32_t* size) {
  const wchar_t* text = lastError();
  std::printf("%s.%s.result=%s\n", phase, name, result.c_str());
  std::printf("%s.%s.text=%ls\n", phase, name, text);
  std::printf("%s.%s.changed=%d\n", phase, name, textBefore != text);
  if (outputs) std::printf("%s.%s.outputs=%s\n", phase, name, outputs);
  if (size) std::printf("%s.%s.size=%lu\n", phase, name, static_cast<unsigned long>(*size));
  std::printf("%s.%s.marker=%s\n", phase, name, MarkerHeld() ? "held" : "free");
  std::printf("%s.%s.handles=%lu\n", phase, name, static_cast<unsigned long>(CountOwnHandles()));
  std::fflush(stdout);
}

// ---- the calls ----
struct LoginArgs {
  uint16_t version = 2;
  uint32_t build = 62;
  uint8_t idBytes[16];
  uint8_t nonceBytes[32];
  uint8_t nameBytes[32] = {};
  const uint8_t* id = idBytes;
  const uint8_t* nonce = nonceBytes;
  const uint8_t* name = nameBytes;
  uint8_t nameLength = 6;
  int nullOutput = -1;  // 0..4: that output pointer is null
  LoginArgs() {
    for (int i = 0; i < 16; ++i) idBytes[i] = static_cast<uint8_t>(i + 1);
    for (int i = 0; i < 32; ++i) nonceBytes[i] = static_cast<uint8_t>(0x40 + i);
    std::memcpy(nameBytes, "player", 6);
  }
};

void Login(const char* name, const std::function<void(LoginArgs&)>& edit) {
  LoginArgs args;
  edit(args);
  Outputs out;
  std::wstring before = lastError();
  uint32_t result = createLoginProof(args.version, args.build, args.id, args.nonce, args.name, args.nameLength,
                                     args.nullOutput == 0 ? nullptr : &out.build,
                                     args.nullOutput == 1 ? nullptr : &out.kind,
                                     args.nullOutput == 2 ? nullptr : out.digest,
                                     args.nullOutput == 3 ? nullptr : out.publicKey,
                                     args.nullOutput == 4 ? nullptr : out.signature);
  Report(name, std::to_string(result), before, out.ProofState(), nullptr);
}

struct ChallengeArgs {
  uint16_t version = 1;
  uint32_t build = 62;
  uint8_t idBytes[16];
  uint8_t nonceBytes[32];
  const uint8_t* id = idBytes;
  const uint8_t* nonce = nonceBytes;
  ChallengeArgs() {
    for (int i = 0; i < 16; ++i) idBytes[i] = static_cast<uint8_t>(0x90 + i);
    for (int i = 0; i < 32; ++i) nonceBytes[i] = static_cast<uint8_t>(0xB0 + i);
  }
};

void Set(const char* name, const std::function<void(ChallengeArgs&)>& edit) {
  ChallengeArgs args;
  edit(args);
  std::wstring before = lastError();
  uint32_t result = setChallenge(args.version, args.build, args.id, args.nonce);
  Report(name, std::to_string(result), before, nullptr, nullptr);
}

void Take(const char* name, bool buffer, uint32_t capacity, bool sizeOut) {
  Outputs out;
  std::wstring before = lastError();
  uint32_t result = takeReport(buffer ? out.report : nullptr, capacity, sizeOut ? &out.size : nullptr);
  Report(name, std::to_string(result), before, out.ReportState(), sizeOut ? &out.size : nullptr);
}

void Acknowledge(const char* name, bool id, uint8_t accepted) {
  uint8_t reportId[16];
  for (int i = 0; i < 16; ++i) reportId[i] = static_cast<uint8_t>(0x5A ^ i);
  std::wstring before = lastError();
  uint32_t result = acknowledge(id ? reportId : nullptr, accepted);
  Report(name, std::to_string(result), before, nullptr, nullptr);
}

void Plain(const char* name, const std::function<std::string()> call) {
  std::wstring before = lastError();
  std::string result = call();
  Report(name, result, before, nullptr, nullptr);
}

// Calls that must neither start the guard nor change anything in any state.
void HarmlessCalls() {
  Plain("build", [] { return std::to_string(clientBuild()); });
  Take("take_all_null", false, 0, false);
  Take("take_no_size", true, 300, false);
  Take("take_no_buffer", false, 300, true);
  Take("take_capacity_0", true, 0, true);
  Take("take_capacity_240", true, 240, true);
  Take("take_capacity_max", true, 0xFFFFFFFFu, true);
  Take("take_no_report", true, 300, true);
  Acknowledge("ack_null_id", false, 1);
  Acknowledge("ack_accepted_2", true, 2);
  Acknowledge("ack_accepted_255", true, 255);
  Acknowledge("ack_unknown_id", true, 1);
  Acknowledge("ack_unknown_id_rejected", true, 0);
  Plain("clear", [] {
    clearChallenge();
    return std::string("-");
  });
  for (int i = 0; i < 5; ++i) {
    static const char* const names[] = {"login_null_build_out", "login_null_kind_out", "login_null_digest_out",
                                        "login_null_key_out", "login_null_signature_out"};
    Login(names[i], [i](LoginArgs& a) {
      a.nullOutput = i;
      a.id = nullptr;  // even an invalid challenge: the outputs are looked at first
    });
  }
}

// Every invalid challenge and name, each on its own.
void InvalidLoginCalls() {
  Login("login_version_0", [](LoginArgs& a) { a.version = 0; });
  Login("login_version_1", [](LoginArgs& a) { a.version = 1; });
  Login("login_version_max", [](LoginArgs& a) { a.version = 0xFFFF; });
  Login("login_build_0", [](LoginArgs& a) { a.build = 0; });
  Login("login_build_63", [](LoginArgs& a) { a.build = 63; });
  Login("login_build_max", [](LoginArgs& a) { a.build = 0xFFFFFFFFu; });
  Login("login_null_id", [](LoginArgs& a) { a.id = nullptr; });
  Login("login_null_nonce", [](LoginArgs& a) { a.nonce = nullptr; });
  Login("login_zero_id", [](LoginArgs& a) { std::memset(a.idBytes, 0, 16); });
  Login("login_zero_nonce", [](LoginArgs& a) { std::memset(a.nonceBytes, 0, 32); });
  Login("login_null_name", [](LoginArgs& a) { a.name = nullptr; });
  Login("login_name_length_0", [](LoginArgs& a) { a.nameLength = 0; });
  Login("login_name_length_33", [](LoginArgs& a) { a.nameLength = 33; });
  Login("login_name_length_255", [](LoginArgs& a) { a.nameLength = 255; });
  Login("login_name_upper_case", [](LoginArgs& a) { a.nameBytes[0] = 'P'; });
  Login("login_name_space", [](LoginArgs& a) { a.nameBytes[2] = ' '; });
  Login("login_name_del", [](LoginArgs& a) { a.nameBytes[2] = 0x7F; });
  Login("login_name_high_byte", [](LoginArgs& a) { a.nameBytes[2] = 0xC3; });
  Login("login_name_fill_not_zero", [](LoginArgs& a) { a.nameBytes[31] = 'x'; });
  Login("login_name_zero_inside", [](LoginArgs& a) { a.nameBytes[2] = 0; });
}

void InvalidChallengeCalls() {
  Set("set_version_0", [](ChallengeArgs& a) { a.version = 0; });
  Set("set_version_2", [](ChallengeArgs& a) { a.version = 2; });
  Set("set_version_max", [](ChallengeArgs& a) { a.version = 0xFFFF; });
  Set("set_build_0", [](ChallengeArgs& a) { a.build = 0; });
  Set("set_build_63", [](ChallengeArgs& a) { a.build = 63; });
  Set("set_build_max", [](ChallengeArgs& a) { a.build = 0xFFFFFFFFu; });
  Set("set_null_id", [](ChallengeArgs& a) { a.id = nullptr; });
  Set("set_null_nonce", [](ChallengeArgs& a) { a.nonce = nullptr; });
  Set("set_zero_id", [](ChallengeArgs& a) { std::memset(a.idBytes, 0, 16); });
  Set("set_zero_nonce", [](ChallengeArgs& a) { std::memset(a.nonceBytes, 0, 32); });
}

void Initialize(const char* name) {
  Plain(name, [] { return std::to_string(initialize() != 0); });
}
void Shutdown(const char* name) {
  Plain(name, [] {
    shutdown();
    return std::string("-");
  });
}
}  // namespace

int wmain() {
  LoadSystemCryptoLibraries();
  guardModule = LoadLibraryW(L"ZarnelGuard.dll");
  if (!guardModule) {
    std::printf("load_error=%lu\n", GetLastError());
    return 2;
  }
  initialize = Export<decltype(initialize)>("ZarnelGuardInitialize");
  shutdown = Export<decltype(shutdown)>("ZarnelGuardShutdown");
  lastError = Export<decltype(lastError)>("ZarnelGuardGetLastError");
  clientBuild = Export<decltype(clientBuild)>("ZarnelGuardGetClientBuild");
  createLoginProof = Export<decltype(createLoginProof)>("ZarnelGuardCreateLoginProof");
  setChallenge = Export<decltype(setChallenge)>("ZarnelGuardSetHardCheatChallenge");
  takeReport = Export<decltype(takeReport)>("ZarnelGuardTakeHardCheatReport");
  acknowledge = Export<decltype(acknowledge)>("ZarnelGuardAcknowledgeHardCheatReport");
  clearChallenge = Export<decltype(clearChallenge)>("ZarnelGuardClearHardCheatChallenge");
  if (!initialize || !shutdown || !lastError || !clientBuild || !createLoginProof || !setChallenge || !takeReport ||
      !acknowledge || !clearChallenge) {
    std::printf("missing_export=1\n");
    return 2;
  }

  // Before any start-up: nothing here may start the guard, until an invalid
  // hard-cheat challenge does (it runs the start-up before it looks).
  phase = "before";
  Plain("last_error", [] { return std::string(lastError() ? "text" : "null"); });
  HarmlessCalls();
  Shutdown("shutdown");
  Shutdown("shutdown_again");
  Set("set_invalid_starts", [](ChallengeArgs& a) { a.version = 0; });

  phase = "running";
  Initialize("initialize");
  Initialize("initialize_again");
  HarmlessCalls();
  InvalidLoginCalls();
  InvalidChallengeCalls();
  Login("login_valid", [](LoginArgs&) {});
  Set("set_valid", [](ChallengeArgs&) {});
  Set("set_valid_again", [](ChallengeArgs&) {});
  Take("take_no_detection", true, 300, true);
  Plain("clear_twice", [] {
    clearChallenge();
    clearChallenge();
    return std::string("-");
  });
  Shutdown("shutdown");

  phase = "after";
  HarmlessCalls();
  Initialize("initialize");
  Login("login_valid", [](LoginArgs&) {});
  InvalidChallengeCalls();
  Set("set_valid", [](ChallengeArgs&) {});
  Take("take_no_detection", true, 300, true);
  Shutdown("shutdown");
  Shutdown("shutdown_again");
  Initialize("initialize_after_shutdowns");
  std::printf("done=1\n");
  std::fflush(stdout);
  return 0;
}
