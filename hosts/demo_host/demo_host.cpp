// Zarnel.exe for the demo: a stand-in for the game client's use of the guard.
//   Zarnel.exe                                        start the guard, shut it down
//   Zarnel.exe --login <build> <id> <nonce> <name>    also answer a login challenge
//                                                     (id, nonce in hex, name lower case)
// The login proof goes to standard output as "proof.<field>=<value>" lines,
// for the server side to verify.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "ZarnelGuard.h"
#include "companions.h"

namespace {
struct GuardApi {
  decltype(&ZarnelGuardInitialize) initialize;
  decltype(&ZarnelGuardShutdown) shutdown;
  decltype(&ZarnelGuardGetLastError) getLastError;
  decltype(&ZarnelGuardGetClientBuild) getClientBuild;
  decltype(&ZarnelGuardCreateLoginProof) createLoginProof;
};

template <typename T>
bool Resolve(HMODULE module, const char* name, T& out) {
  out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (!out) std::printf("guard export %s is missing\n", name);
  return out != nullptr;
}

bool ParseHex(const wchar_t* text, uint8_t* out, size_t size) {
  if (std::wcslen(text) != size * 2) return false;
  for (size_t i = 0; i < size; ++i) {
    unsigned value = 0;
    if (std::swscanf(text + 2 * i, L"%2x", &value) != 1) return false;
    out[i] = static_cast<uint8_t>(value);
  }
  return true;
}

void PrintHex(const char* key, const uint8_t* bytes, size_t size) {
  std::printf("proof.%s=", key);
  for (size_t i = 0; i < size; ++i) std::printf("%02x", bytes[i]);
  std::printf("\n");
}

int AnswerLoginChallenge(const GuardApi& api, wchar_t** args) {
  uint32_t build = static_cast<uint32_t>(std::wcstoul(args[0], nullptr, 10));
  uint8_t id[16], nonce[32], name[32] = {};
  size_t nameLength = std::wcslen(args[3]);
  if (!ParseHex(args[1], id, 16) || !ParseHex(args[2], nonce, 32) || nameLength == 0 || nameLength > 32) {
    std::printf("Zarnel: malformed login challenge\n");
    return 2;
  }
  for (size_t i = 0; i < nameLength; ++i) name[i] = static_cast<uint8_t>(args[3][i]);
  uint32_t clientBuild = 0;
  uint8_t kind = 0, machine[32], publicKey[72], signature[64];
  if (!api.createLoginProof(2, build, id, nonce, name, static_cast<uint8_t>(nameLength), &clientBuild, &kind, machine,
                            publicKey, signature)) {
    std::printf("Zarnel: no login proof: %ls\n", api.getLastError());
    return 1;
  }
  std::printf("Zarnel: login proof made (device key kind %u: %s provider)\n", kind,
              kind == 1 ? "platform" : "software");
  std::printf("proof.client_build=%u\nproof.key_kind=%u\n", clientBuild, kind);
  PrintHex("machine_digest", machine, 32);
  PrintHex("public_key", publicKey, 72);
  PrintHex("signature", signature, 64);
  return 0;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::printf("Zarnel: companions %s %s %s %s %s\n", ZarnelRenderDescribe(), ZarnelAudioDescribe(), ZarnelNetDescribe(),
              ZarnelInputDescribe(), ZarnelScriptDescribe());
  HMODULE module = LoadLibraryW(L"ZarnelGuard.dll");
  if (!module) {
    std::printf("Zarnel: cannot load ZarnelGuard.dll (Windows error %lu)\n", GetLastError());
    return 2;
  }
  GuardApi api = {};
  if (!Resolve(module, "ZarnelGuardInitialize", api.initialize) ||
      !Resolve(module, "ZarnelGuardShutdown", api.shutdown) ||
      !Resolve(module, "ZarnelGuardGetLastError", api.getLastError) ||
      !Resolve(module, "ZarnelGuardGetClientBuild", api.getClientBuild) ||
      !Resolve(module, "ZarnelGuardCreateLoginProof", api.createLoginProof))
    return 2;

  std::printf("Zarnel: guard loaded, client build %d\n", api.getClientBuild());
  int32_t started = api.initialize();
  if (!started) {
    std::printf("Zarnel: guard refused to start: %ls\n", api.getLastError());
    return 1;
  }
  std::printf("Zarnel: guard started (client files verified and held, checks clean, monitor running)\n");
  std::fflush(stdout);
  int result = 0;
  if (argc == 6 && std::wcscmp(argv[1], L"--login") == 0) result = AnswerLoginChallenge(api, argv + 2);
  api.shutdown();
  std::printf("Zarnel: guard shut down\n");
  return result;
}
