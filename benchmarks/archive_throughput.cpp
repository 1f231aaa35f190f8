// Archive verification against raw CryptoAPI SHA-256 over the same files:
// the guard's own VerifyClientArchives (open, checks, hash, compare, hold),
// then a plain loop of ReadFile and CryptHashData with the same block size,
// alternating so that neither always runs second.
//   archive_throughput CLIENT_DIR [ROUNDS] [both|guard|raw]
// CLIENT_DIR must hold the client whose manifest this program was built with.
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "state/guard_state.h"
#include "platform/win32_calls.h"
#include "integrity/guard_manifest.h"
#include "integrity/held_client_files.h"
#include "integrity/manifest_verification.h"

namespace {
std::wstring clientDirectory;

// The guard finds its client directory through its module name.
DWORD WINAPI ModuleInClientDirectory(HMODULE, LPWSTR buffer, DWORD size) {
  std::wstring path = clientDirectory + L"ZarnelGuard.dll";
  if (path.size() >= size) return size;
  wcscpy(buffer, path.c_str());
  return static_cast<DWORD>(path.size());
}

double Seconds(LARGE_INTEGER begin, LARGE_INTEGER end) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(end.QuadPart - begin.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool RunGuard(double& seconds) {
  LARGE_INTEGER begin, end;
  QueryPerformanceCounter(&begin);
  bool ok = VerifyClientArchives();
  QueryPerformanceCounter(&end);
  ReleaseClientArchiveHandles();
  seconds = Seconds(begin, end);
  if (!ok) std::printf("guard verification failed: %ls\n", guard.lastErrorText);
  return ok;
}

// Aligned like the guard's own read buffer, so that the comparison is of the
// two code paths and not of where the bytes land.
alignas(64) BYTE rawBlock[kFileHashBlockSize];

bool HashRaw(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  bool ok = CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
            CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash);
  for (DWORD read = 0; ok;) {
    ok = ReadFile(file, rawBlock, sizeof(rawBlock), &read, nullptr);
    if (!ok || read == 0) break;
    ok = CryptHashData(hash, rawBlock, read, 0);
  }
  BYTE digest[32];
  DWORD length = sizeof(digest);
  ok = ok && CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0);
  if (hash) CryptDestroyHash(hash);
  if (provider) CryptReleaseContext(provider, 0);
  CloseHandle(file);
  return ok;
}

bool RunRaw(double& seconds) {
  LARGE_INTEGER begin, end;
  QueryPerformanceCounter(&begin);
  bool ok = true;
  for (uint32_t i = kFirstClientArchiveEntry; i < kGuardManifestEntryCount && ok; ++i)
    ok = HashRaw(clientDirectory + kGuardManifest[i].relativePath);
  QueryPerformanceCounter(&end);
  seconds = Seconds(begin, end);
  if (!ok) std::printf("raw hashing failed (Windows error %lu)\n", GetLastError());
  return ok;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::printf("usage: archive_throughput CLIENT_DIR [ROUNDS] [both|guard|raw]\n");
    return 2;
  }
  clientDirectory = argv[1];
  if (clientDirectory.back() != L'\\' && clientDirectory.back() != L'/') clientDirectory += L'\\';
  int rounds = argc > 2 ? _wtoi(argv[2]) : 3;
  std::wstring mode = argc > 3 ? argv[3] : L"both";
  if (rounds < 1) rounds = 1;
  guard.moduleHandle = GetModuleHandleW(nullptr);
  win32Calls.GetModuleFileNameW = ModuleInClientDirectory;

  uint64_t bytes = 0;
  for (uint32_t i = kFirstClientArchiveEntry; i < kGuardManifestEntryCount; ++i) bytes += kGuardManifest[i].expectedSize;
  const double megabytes = static_cast<double>(bytes) / 1e6;
  std::printf("archives: %u files, %.1f MB\n", kClientArchiveCount, megabytes);

  std::vector<double> guardTimes, rawTimes;
  for (int round = 0; round < rounds; ++round) {
    // Alternate the order so that neither side always finds a warmer cache.
    for (int side = 0; side < 2; ++side) {
      bool guardFirst = round % 2 == 0;
      bool runGuard = (side == 0) == guardFirst;
      if (runGuard && mode == L"raw") continue;
      if (!runGuard && mode == L"guard") continue;
      double seconds = 0;
      if (!(runGuard ? RunGuard(seconds) : RunRaw(seconds))) return 1;
      (runGuard ? guardTimes : rawTimes).push_back(seconds);
      std::printf("round %d %-5s %7.2f s %8.1f MB/s\n", round + 1, runGuard ? "guard" : "raw", seconds,
                  megabytes / seconds);
      std::fflush(stdout);
    }
  }
  if (!guardTimes.empty() && !rawTimes.empty()) {
    double guardMedian = Median(guardTimes), rawMedian = Median(rawTimes);
    std::printf("median guard %.1f MB/s, raw CryptoAPI %.1f MB/s, ratio guard/raw %.3f\n", megabytes / guardMedian,
                megabytes / rawMedian, rawMedian / guardMedian);
  }
  return 0;
}
