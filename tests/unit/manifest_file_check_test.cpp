// One client file against its manifest row, on real files in a temporary
// client directory; the open retries, the reparse branch and the final path
// through the system call table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "integrity/manifest_verification.h"
#include "test_support.h"

namespace {
// SHA-256("abc"), the standard test vector.
const uint8_t kAbcDigest[32] = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                                0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                                0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
const wchar_t kFileName[] = L"Client.bin";
const wchar_t kUntouchedText[] = L"ZarnelGuard initialization failed.";

GuardManifestEntry AbcEntry(const wchar_t* name = kFileName) {
  GuardManifestEntry entry = {name, 3, {}};
  std::memcpy(entry.expectedSha256, kAbcDigest, sizeof(kAbcDigest));
  return entry;
}

std::wstring Message(const wchar_t* format, const wchar_t* name, DWORD error = 0) {
  wchar_t text[1024];
  swprintf(text, 1024, format, name, error);
  return text;
}

// Whether another open may write the file now: false while someone holds it
// without write sharing.
bool CanOpenForWriting(const std::wstring& path, DWORD* error = nullptr) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (error) *error = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

// The open attempts and sleeps that a check makes, whatever the test injects.
struct OpenRecord {
  int attempts = 0;
  std::vector<DWORD> sleeps;
  DWORD access = 0, share = 0, disposition = 0, flags = 0;
  std::vector<DWORD> injectedErrors;  // one per attempt; the real open after them
} record;

HANDLE WINAPI RecordingCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                  DWORD disposition, DWORD flags, HANDLE tmpl) {
  size_t attempt = record.attempts++;
  record.access = access;
  record.share = share;
  record.disposition = disposition;
  record.flags = flags;
  if (attempt < record.injectedErrors.size()) {
    SetLastError(record.injectedErrors[attempt]);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(path, access, share, security, disposition, flags, tmpl);
}
void WINAPI RecordingSleep(DWORD ms) { record.sleeps.push_back(ms); }

class ManifestFileCheck : public testing::Test {
 protected:
  void SetUp() override {
    record = OpenRecord{};
    win32Calls.CreateFileW = RecordingCreateFile;
    win32Calls.Sleep = RecordingSleep;
  }
  std::wstring Write(const std::string& content) { return dir.WriteFile(kFileName, content); }
  bool Verify(const GuardManifestEntry& entry, HANDLE* slot = nullptr) {
    return VerifyManifestFile(dir.Path().c_str(), entry, slot);
  }
  std::wstring LastText() const { return guard.lastErrorText; }

  TempDirectory dir;
};

const std::vector<DWORD> kAllRetrySleeps = {50, 100, 200, 400, 400, 400, 400};
}  // namespace

TEST_F(ManifestFileCheck, AMatchingFileIsHeldWithReadSharingOnly) {
  std::wstring path = Write("abc");
  HANDLE held = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(Verify(AbcEntry(), &held)) << LastText();
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(LastText(), kUntouchedText) << "success leaves the text alone";
  EXPECT_EQ(record.attempts, 1);
  EXPECT_EQ(record.access, static_cast<DWORD>(GENERIC_READ));
  EXPECT_EQ(record.share, static_cast<DWORD>(FILE_SHARE_READ));
  EXPECT_EQ(record.disposition, static_cast<DWORD>(OPEN_EXISTING));
  EXPECT_EQ(record.flags, 0x08200080u);

  DWORD error = 0;
  EXPECT_FALSE(CanOpenForWriting(path, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE) << "readers that share reading still get in";
  if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
  EXPECT_FALSE(MoveFileW(path.c_str(), (dir.Path() + L"Renamed.bin").c_str()));
  EXPECT_FALSE(DeleteFileW(path.c_str()));

  CloseHandle(held);
  EXPECT_TRUE(CanOpenForWriting(path));
}

TEST_F(ManifestFileCheck, WithoutASlotTheFileIsClosedAgain) {
  std::wstring path = Write("abc");
  ASSERT_TRUE(Verify(AbcEntry())) << LastText();
  EXPECT_TRUE(CanOpenForWriting(path));
}

// ---- unsafe names: refused before any open --------------------------------

struct UnsafeNameCase {
  const char* name;
  const wchar_t* relativePath;
};
const UnsafeNameCase kUnsafeNames[] = {
    {"null", nullptr},
    {"empty", L""},
    {"dot", L"."},
    {"dot_dot", L".."},
    {"subdirectory", L"sub\\Client.bin"},
    {"slash", L"sub/Client.bin"},
    {"parent", L"..\\Client.bin"},
    {"drive_relative", L"C:Client.bin"},
    {"stream", L"Client.bin:hidden"},
};

class UnsafeManifestNames : public ManifestFileCheck, public testing::WithParamInterface<UnsafeNameCase> {};

TEST_P(UnsafeManifestNames, FailBeforeAnyOpen) {
  Write("abc");
  const UnsafeNameCase& c = GetParam();
  EXPECT_FALSE(Verify(AbcEntry(c.relativePath)));
  EXPECT_EQ(LastText(),
            Message(L"The guard manifest contains an unsafe path: %ls", c.relativePath ? c.relativePath : L""));
  EXPECT_EQ(record.attempts, 0);
}

INSTANTIATE_TEST_SUITE_P(Table, UnsafeManifestNames, testing::ValuesIn(kUnsafeNames),
                         [](const testing::TestParamInfo<UnsafeNameCase>& info) { return std::string(info.param.name); });

// ---- the open: which errors are retried, how often, and what is said -------

struct OpenErrorCase {
  const char* name;
  DWORD error;
  int attempts;
  const wchar_t* format;
};
const wchar_t kMissing[] = L"A required Zarnel client file is missing. It may have been deleted or quarantined: %ls";
const wchar_t kLocked[] = L"A required Zarnel client file stayed locked by another program: %ls (Windows error %lu)";
const wchar_t kDenied[] =
    L"Access to a required Zarnel client file was denied after retrying: %ls (Windows error %lu)";
const wchar_t kNotOpened[] = L"A required Zarnel client file could not be opened: %ls (Windows error %lu)";

const OpenErrorCase kOpenErrors[] = {
    {"file_not_found", ERROR_FILE_NOT_FOUND, 1, kMissing},
    {"path_not_found", ERROR_PATH_NOT_FOUND, 1, kMissing},
    {"access_denied", ERROR_ACCESS_DENIED, 8, kDenied},
    {"sharing_violation", ERROR_SHARING_VIOLATION, 8, kLocked},
    {"lock_violation", ERROR_LOCK_VIOLATION, 8, kLocked},
    {"busy", ERROR_BUSY, 8, kLocked},
    {"invalid_name", ERROR_INVALID_NAME, 1, kNotOpened},
    {"not_ready", ERROR_NOT_READY, 1, kNotOpened},
};

class PersistentOpenErrors : public ManifestFileCheck, public testing::WithParamInterface<OpenErrorCase> {};

TEST_P(PersistentOpenErrors, AreRetriedOnlyWhenTransientThenReported) {
  Write("abc");
  const OpenErrorCase& c = GetParam();
  record.injectedErrors.assign(20, c.error);
  EXPECT_FALSE(Verify(AbcEntry()));
  EXPECT_EQ(LastText(), Message(c.format, kFileName, c.error));
  EXPECT_EQ(record.attempts, c.attempts);
  std::vector<DWORD> expectedSleeps(kAllRetrySleeps.begin(), kAllRetrySleeps.begin() + (c.attempts - 1));
  EXPECT_EQ(record.sleeps, expectedSleeps) << "no sleep after the last attempt";
}

INSTANTIATE_TEST_SUITE_P(Table, PersistentOpenErrors, testing::ValuesIn(kOpenErrors),
                         [](const testing::TestParamInfo<OpenErrorCase>& info) { return std::string(info.param.name); });

TEST_F(ManifestFileCheck, ALockThatLiftsInTimeIsWaitedOut) {
  Write("abc");
  record.injectedErrors = {ERROR_SHARING_VIOLATION, ERROR_BUSY, ERROR_ACCESS_DENIED};
  EXPECT_TRUE(Verify(AbcEntry())) << LastText();
  EXPECT_EQ(record.attempts, 4);
  EXPECT_EQ(record.sleeps, (std::vector<DWORD>{50, 100, 200}));
}

TEST_F(ManifestFileCheck, ATransientErrorThenAMissingFileEndsAtOnce) {
  Write("abc");
  record.injectedErrors = {ERROR_SHARING_VIOLATION, ERROR_FILE_NOT_FOUND};
  EXPECT_FALSE(Verify(AbcEntry()));
  EXPECT_EQ(LastText(), Message(kMissing, kFileName));
  EXPECT_EQ(record.attempts, 2);
}

// The same outcomes from the real file system.
TEST_F(ManifestFileCheck, RealMissingFileIsReportedWithoutSleeping) {
  EXPECT_FALSE(Verify(AbcEntry()));
  EXPECT_EQ(LastText(), Message(kMissing, kFileName));
  EXPECT_EQ(record.attempts, 1);
  EXPECT_TRUE(record.sleeps.empty());
}

TEST_F(ManifestFileCheck, RealWriterHoldingTheFileIsTriedEightTimes) {
  std::wstring path = Write("abc");
  HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(Verify(AbcEntry()));
  CloseHandle(writer);
  EXPECT_EQ(LastText(), Message(kLocked, kFileName, ERROR_SHARING_VIOLATION));
  EXPECT_EQ(record.attempts, 8);
  EXPECT_EQ(record.sleeps, kAllRetrySleeps);
}

TEST_F(ManifestFileCheck, RealDirectoryInTheFilesPlaceIsDeniedAfterRetrying) {
  ASSERT_TRUE(CreateDirectoryW((dir.Path() + kFileName).c_str(), nullptr));
  EXPECT_FALSE(Verify(AbcEntry()));
  RemoveDirectoryW((dir.Path() + kFileName).c_str());
  EXPECT_EQ(LastText(), Message(kDenied, kFileName, ERROR_ACCESS_DENIED));
  EXPECT_EQ(record.attempts, 8);
}

// ---- after the open: kind, links, final path -------------------------------

BOOL WINAPI ReparsePointInformation(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  BOOL ok = GetFileInformationByHandle(file, info);
  info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return ok;
}
BOOL WINAPI FailingInformation(HANDLE, LPBY_HANDLE_FILE_INFORMATION) {
  SetLastError(ERROR_INVALID_FUNCTION);
  return FALSE;
}
DWORD WINAPI FinalPathElsewhere(HANDLE, LPWSTR buffer, DWORD size, DWORD) {
  static const wchar_t kElsewhere[] = L"\\\\?\\C:\\elsewhere\\Client.bin";
  DWORD length = static_cast<DWORD>(wcslen(kElsewhere));
  if (!buffer || size <= length) return length + 1;
  wcscpy(buffer, kElsewhere);
  return length;
}
DWORD WINAPI FailingFinalPath(HANDLE, LPWSTR, DWORD, DWORD) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return 0;
}

// Wine has no reparse points, so that branch is reached through the call
// table: a real file whose information says it is one.
TEST_F(ManifestFileCheck, AReparsePointOrUnreadableInformationIsRefusedAndClosed) {
  std::wstring path = Write("abc");
  for (auto fake : {ReparsePointInformation, FailingInformation}) {
    win32Calls.GetFileInformationByHandle = fake;
    HANDLE slot = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(Verify(AbcEntry(), &slot));
    EXPECT_EQ(LastText(), Message(L"A Zarnel client file is a reparse point: %ls", kFileName));
    EXPECT_EQ(slot, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CanOpenForWriting(path)) << "the handle is closed on failure";
  }
}

TEST_F(ManifestFileCheck, ASecondHardLinkIsRefused) {
  std::wstring path = Write("abc");
  std::wstring link = dir.Path() + L"SecondName.bin";
  ASSERT_TRUE(CreateHardLinkW(link.c_str(), path.c_str(), nullptr)) << GetLastError();
  EXPECT_FALSE(Verify(AbcEntry()));
  EXPECT_EQ(LastText(), Message(L"A Zarnel client file has an unexpected hard-link count: %ls", kFileName));
  EXPECT_TRUE(CanOpenForWriting(path));
}

TEST_F(ManifestFileCheck, AFinalPathThatDiffersOrCannotBeReadIsRefused) {
  std::wstring path = Write("abc");
  for (auto fake : {FinalPathElsewhere, FailingFinalPath}) {
    win32Calls.GetFinalPathNameByHandleW = fake;
    EXPECT_FALSE(Verify(AbcEntry()));
    EXPECT_EQ(LastText(), Message(L"A Zarnel client file resolves outside its expected path: %ls", kFileName));
    EXPECT_TRUE(CanOpenForWriting(path));
  }
}

// ---- content: digest, size, and which is reported first --------------------

struct ContentCase {
  const char* name;
  std::string content;
  int flippedDigestByte;  // -1: the manifest row is the true one
  const wchar_t* format;
};
const wchar_t kIntegrity[] = L"A Zarnel client file failed its integrity check: %ls";
const wchar_t kWrongSize[] = L"A Zarnel client file has an unexpected size: %ls";

const ContentCase kContentCases[] = {
    {"one_byte_changed", "abd", -1, kIntegrity},
    {"one_byte_appended", "abcd", -1, kWrongSize},
    {"one_byte_short", "ab", -1, kWrongSize},
    {"row_differs_in_first_byte", "abc", 0, kIntegrity},
    {"row_differs_in_last_byte", "abc", 31, kIntegrity},
};

class ContentChecks : public ManifestFileCheck, public testing::WithParamInterface<ContentCase> {};

// Counts what the digest read, to show that the size is judged only after the
// whole file went through the hash.
LONGLONG bytesRead;
BOOL WINAPI CountingReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) {
  BOOL ok = ReadFile(file, buffer, size, read, overlapped);
  if (ok) bytesRead += *read;
  return ok;
}

TEST_P(ContentChecks, AreReportedAfterTheWholeFileWasHashed) {
  const ContentCase& c = GetParam();
  std::wstring path = Write(c.content);
  GuardManifestEntry entry = AbcEntry();
  if (c.flippedDigestByte >= 0) entry.expectedSha256[c.flippedDigestByte] ^= 0x01;
  bytesRead = 0;
  win32Calls.ReadFile = CountingReadFile;
  HANDLE slot = INVALID_HANDLE_VALUE;
  EXPECT_FALSE(Verify(entry, &slot));
  EXPECT_EQ(LastText(), Message(c.format, kFileName));
  EXPECT_EQ(bytesRead, static_cast<LONGLONG>(c.content.size()));
  EXPECT_EQ(slot, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CanOpenForWriting(path));
}

INSTANTIATE_TEST_SUITE_P(Table, ContentChecks, testing::ValuesIn(kContentCases),
                         [](const testing::TestParamInfo<ContentCase>& info) { return std::string(info.param.name); });

BOOL WINAPI FailingReadFile(HANDLE, LPVOID, DWORD, LPDWORD read, LPOVERLAPPED) {
  *read = 0;
  SetLastError(ERROR_READ_FAULT);
  return FALSE;
}

TEST_F(ManifestFileCheck, AnUnreadableFileIsReportedAsNotHashableEvenWithAWrongSize) {
  std::wstring path = Write("abcdef");
  win32Calls.ReadFile = FailingReadFile;
  EXPECT_FALSE(Verify(AbcEntry()));
  EXPECT_EQ(LastText(), Message(L"A Zarnel client file could not be hashed: %ls", kFileName));
  EXPECT_TRUE(CanOpenForWriting(path));
}

TEST_F(ManifestFileCheck, AnOverlongMessageIsCutToTheLastErrorText) {
  std::wstring longName(900, L'n');
  EXPECT_FALSE(Verify(AbcEntry(longName.c_str())));
  size_t length = wcslen(guard.lastErrorText);
  EXPECT_EQ(length, kLastErrorTextCapacity - 1);
  EXPECT_EQ(std::wstring(guard.lastErrorText).rfind(L"A required Zarnel client file", 0), 0u);
}

// A client started through a \\?\ path has that prefix in its module path, so
// the directory the guard builds its paths from carries it; the final path
// of the opened file never does. (A directory longer than MAX_PATH, reached
// only that way, cannot be tried under Wine 8: its GetFinalPathNameByHandleW
// answers 0 for such a file.)
TEST_F(ManifestFileCheck, AClientDirectoryInExtendedFormStillResolvesToItsExpectedPath) {
  Write("abc");
  const std::wstring extended = L"\\\\?\\" + dir.Path();
  EXPECT_TRUE(VerifyManifestFile(extended.c_str(), AbcEntry(), nullptr)) << LastText();
}
