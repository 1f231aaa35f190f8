// SHA-256 of memory and of whole files through CryptoAPI.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "integrity/sha256_digest.h"
#include "test_support.h"

namespace {
struct KnownAnswer {
  const char* name;
  std::string message;
  const char* digest;
};

const KnownAnswer kKnownAnswers[] = {
    {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"million_a", std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

class BufferKnownAnswers : public testing::TestWithParam<KnownAnswer> {};

TEST_P(BufferKnownAnswers, MatchTheStandardVectors) {
  const KnownAnswer& k = GetParam();
  uint8_t digest[32] = {};
  // A valid pointer with length zero is accepted; c_str() is never null.
  ASSERT_TRUE(HashBufferSha256(k.message.c_str(), static_cast<uint32_t>(k.message.size()), digest));
  EXPECT_EQ(ToHex(digest, 32), k.digest);
}

INSTANTIATE_TEST_SUITE_P(Vectors, BufferKnownAnswers, testing::ValuesIn(kKnownAnswers),
                         [](const testing::TestParamInfo<KnownAnswer>& info) { return std::string(info.param.name); });

TEST(HashBufferSha256, NullDataFailsAndLeavesTheOutputUntouched) {
  for (uint32_t length : {0u, 1u, 64u}) {
    uint8_t digest[32];
    std::memset(digest, 0xA5, sizeof(digest));
    EXPECT_FALSE(HashBufferSha256(nullptr, length, digest)) << length;
    for (uint8_t b : digest) ASSERT_EQ(b, 0xA5) << length;
  }
}

// Counts provider contexts and hash objects so that every failure path can be
// checked for leaks.
LONG openContexts, openHashes;
int failAcquire, failCreate, failHashData, failGetParam;

BOOL WINAPI CountingAcquire(HCRYPTPROV* p, LPCWSTR c, LPCWSTR n, DWORD t, DWORD f) {
  if (failAcquire) return SetLastError(NTE_PROV_TYPE_NOT_DEF), FALSE;
  BOOL ok = CryptAcquireContextW(p, c, n, t, f);
  if (ok) ++openContexts;
  return ok;
}
BOOL WINAPI CountingRelease(HCRYPTPROV p, DWORD f) {
  --openContexts;
  return CryptReleaseContext(p, f);
}
BOOL WINAPI CountingCreate(HCRYPTPROV p, ALG_ID a, HCRYPTKEY k, DWORD f, HCRYPTHASH* h) {
  if (failCreate) return SetLastError(NTE_BAD_ALGID), FALSE;
  BOOL ok = CryptCreateHash(p, a, k, f, h);
  if (ok) ++openHashes;
  return ok;
}
BOOL WINAPI CountingDestroy(HCRYPTHASH h) {
  --openHashes;
  return CryptDestroyHash(h);
}
BOOL WINAPI MaybeFailingHashData(HCRYPTHASH h, const BYTE* d, DWORD l, DWORD f) {
  if (failHashData) return SetLastError(NTE_BAD_HASH), FALSE;
  return CryptHashData(h, d, l, f);
}
BOOL WINAPI MaybeFailingGetParam(HCRYPTHASH h, DWORD p, BYTE* d, DWORD* l, DWORD f) {
  if (failGetParam) return SetLastError(NTE_BAD_HASH), FALSE;
  return CryptGetHashParam(h, p, d, l, f);
}

class DigestFaults : public testing::Test {
 protected:
  void SetUp() override {
    openContexts = openHashes = 0;
    failAcquire = failCreate = failHashData = failGetParam = 0;
    win32Calls.CryptAcquireContextW = CountingAcquire;
    win32Calls.CryptReleaseContext = CountingRelease;
    win32Calls.CryptCreateHash = CountingCreate;
    win32Calls.CryptDestroyHash = CountingDestroy;
    win32Calls.CryptHashData = MaybeFailingHashData;
    win32Calls.CryptGetHashParam = MaybeFailingGetParam;
  }
};

TEST_F(DigestFaults, EveryCryptoApiFailureFailsWithoutLeaking) {
  int* switches[] = {&failAcquire, &failCreate, &failHashData, &failGetParam};
  TempDirectory dir;
  std::wstring path = dir.WriteFile(L"data.bin", "some client bytes");
  for (int* failing : switches) {
    *failing = 1;
    uint8_t digest[32];
    EXPECT_FALSE(HashBufferSha256("abc", 3, digest));
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    uint64_t size = 0;
    EXPECT_FALSE(HashFileSha256(file, &size, digest));
    EXPECT_EQ(size, 17u) << "the size is written before hashing starts";
    CloseHandle(file);
    EXPECT_EQ(openContexts, 0);
    EXPECT_EQ(openHashes, 0);
    *failing = 0;
  }
}

// A read that breaks after the first block: the size stays written.
int readsBeforeFailure;
BOOL WINAPI ReadThatBreaks(HANDLE f, LPVOID b, DWORD n, LPDWORD r, LPOVERLAPPED o) {
  if (readsBeforeFailure-- <= 0) return SetLastError(ERROR_READ_FAULT), FALSE;
  return ReadFile(f, b, n, r, o);
}

TEST_F(DigestFaults, AFileWhoseDataCannotBeReadWritesTheSizeAndFails) {
  TempDirectory dir;
  std::string content(kFileHashBlockSize + 1000, 'x');
  std::wstring path = dir.WriteFile(L"big.bin", content);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  readsBeforeFailure = 1;
  win32Calls.ReadFile = ReadThatBreaks;
  uint64_t size = 0;
  uint8_t digest[32];
  EXPECT_FALSE(HashFileSha256(file, &size, digest));
  EXPECT_EQ(size, content.size());
  EXPECT_EQ(openContexts, 0);
  EXPECT_EQ(openHashes, 0);
  CloseHandle(file);
}

TEST(HashFileSha256, DigestsFromOffsetZeroWhereverThePointerStands) {
  TempDirectory dir;
  std::string content;
  for (int i = 0; i < 300000; ++i) content += static_cast<char>('a' + i % 26);
  std::wstring path = dir.WriteFile(L"client.bin", content);
  uint8_t expected[32];
  ASSERT_TRUE(HashBufferSha256(content.data(), static_cast<uint32_t>(content.size()), expected));

  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  LARGE_INTEGER middle;
  middle.QuadPart = 123457;
  ASSERT_TRUE(SetFilePointerEx(file, middle, nullptr, FILE_BEGIN));
  uint64_t size = 0;
  uint8_t digest[32] = {};
  ASSERT_TRUE(HashFileSha256(file, &size, digest));
  EXPECT_EQ(size, content.size());
  EXPECT_EQ(ToHex(digest, 32), ToHex(expected, 32));
  CloseHandle(file);
}

TEST(HashFileSha256, EmptyFileGivesSizeZeroAndTheEmptyDigest) {
  TempDirectory dir;
  std::wstring path = dir.WriteFile(L"empty.bin", "");
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  uint64_t size = 99;
  uint8_t digest[32] = {};
  ASSERT_TRUE(HashFileSha256(file, &size, digest));
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(ToHex(digest, 32), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  CloseHandle(file);
}

TEST(HashFileSha256, AHandleWithoutAFileFailsBeforeWritingTheSize) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  uint64_t size = 77;
  uint8_t digest[32];
  EXPECT_FALSE(HashFileSha256(event, &size, digest));
  EXPECT_EQ(size, 77u);
  CloseHandle(event);
}
}  // namespace

// A game may call the guard from a thread made with a small stack, and the
// monitor runs on the executable's default: the read block must not live on
// the caller's stack, or a 64 KiB thread overflows before the first read.
struct SmallStackHash {
  HANDLE file;
  uint64_t size;
  uint8_t digest[32];
  bool hashed;
};

DWORD WINAPI HashOnThisThread(LPVOID parameter) {
  auto* job = static_cast<SmallStackHash*>(parameter);
  job->hashed = HashFileSha256(job->file, &job->size, job->digest);
  return 0;
}

TEST(HashFileSha256, HashesOnAThreadWithA64KiBStack) {
  TempDirectory dir;
  std::string content;
  for (uint32_t i = 0; i < kFileHashBlockSize + 5000; ++i) content += static_cast<char>('A' + i % 23);
  std::wstring path = dir.WriteFile(L"client.bin", content);
  uint8_t expected[32];
  ASSERT_TRUE(HashBufferSha256(content.data(), static_cast<uint32_t>(content.size()), expected));

  SmallStackHash job = {};
  job.file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(job.file, INVALID_HANDLE_VALUE);
  HANDLE thread = CreateThread(nullptr, 64 * 1024, HashOnThisThread, &job, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  ASSERT_NE(thread, nullptr) << GetLastError();
  ASSERT_EQ(WaitForSingleObject(thread, 60000), WAIT_OBJECT_0);
  DWORD threadExit = 1;
  EXPECT_TRUE(GetExitCodeThread(thread, &threadExit));
  EXPECT_EQ(threadExit, 0u) << "the hashing thread did not return normally";
  CloseHandle(thread);
  CloseHandle(job.file);
  ASSERT_TRUE(job.hashed);
  EXPECT_EQ(job.size, content.size());
  EXPECT_EQ(ToHex(job.digest, 32), ToHex(expected, 32));
}
