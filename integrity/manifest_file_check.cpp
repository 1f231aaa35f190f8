// One client file against its manifest row. The order of the checks decides
// which message a damaged file gets, so it is fixed: open, kind, hard links,
// final path, digest, size, content.
#include "state/guard_state.h"
#include "platform/handle_owner.h"
#include "platform/record_bytes.h"
#include "platform/win32_calls.h"
#include "integrity/client_paths.h"
#include "integrity/manifest_verification.h"

namespace {
// No write or delete sharing: while the guard holds a file nobody can change,
// rename or delete it. Reparse points are opened, not followed, so a link in
// a file's place is caught by the kind check.
constexpr DWORD kClientFileOpenFlags =
    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN;
constexpr uint32_t kMaxOpenAttempts = 8;
constexpr DWORD kFirstRetryDelayMs = 50;
constexpr DWORD kMaxRetryDelayMs = 400;

// A virus scanner or an updater may hold a file for a moment; these errors
// are worth waiting out, any other is final.
bool IsTransientOpenError(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_BUSY;
}

HANDLE OpenClientFileWithRetries(const wchar_t* fullPath, DWORD& lastError) {
  DWORD delay = kFirstRetryDelayMs;
  for (uint32_t attempt = 1;; ++attempt) {
    HANDLE file = win32Calls.CreateFileW(fullPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         kClientFileOpenFlags, nullptr);
    if (file != INVALID_HANDLE_VALUE) return file;
    lastError = GetLastError();
    if (!IsTransientOpenError(lastError) || attempt == kMaxOpenAttempts) return INVALID_HANDLE_VALUE;
    win32Calls.Sleep(delay);
    delay = delay * 2 > kMaxRetryDelayMs ? kMaxRetryDelayMs : delay * 2;
  }
}

void ReportOpenFailure(const wchar_t* name, DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      SetLastErrorText(L"A required Zarnel client file is missing. It may have been deleted or quarantined: %ls", name);
      break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
      SetLastErrorText(L"A required Zarnel client file stayed locked by another program: %ls (Windows error %lu)",
                       name, error);
      break;
    case ERROR_ACCESS_DENIED:
      SetLastErrorText(L"Access to a required Zarnel client file was denied after retrying: %ls (Windows error %lu)",
                       name, error);
      break;
    default:
      SetLastErrorText(L"A required Zarnel client file could not be opened: %ls (Windows error %lu)", name, error);
      break;
  }
}

// Both sides without the extended-length prefix: a client started through a
// \\?\ path (or from a directory longer than MAX_PATH) has it in its module
// path and so in the path built from it, which opens the file; the final
// path never keeps it.
bool ResolvesToExpectedPath(HANDLE file, const WideBuffer& fullPath) {
  WideBuffer finalPath;
  WideBuffer expected;
  if (!GetFinalFilePath(file, finalPath) || !expected.Assign(fullPath.CStr(), fullPath.Length())) return false;
  StripExtendedPathPrefix(expected);
  return PathsEqualFoldingAscii(finalPath.CStr(), finalPath.Length(), expected.CStr(), expected.Length());
}

// The checks after a successful open: null when the file passed, otherwise
// the message to report (it takes the bare file name).
const wchar_t* CheckOpenClientFile(HANDLE file, const WideBuffer& fullPath, const GuardManifestEntry& entry) {
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!win32Calls.GetFileInformationByHandle(file, &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return L"A Zarnel client file is a reparse point: %ls";
  // A second name for the same bytes lies outside the guard's view: whoever
  // controls it can change the file between two checks.
  if (information.nNumberOfLinks != 1) return L"A Zarnel client file has an unexpected hard-link count: %ls";
  if (!ResolvesToExpectedPath(file, fullPath)) return L"A Zarnel client file resolves outside its expected path: %ls";

  uint64_t size = 0;
  uint8_t digest[kSha256Size] = {};
  const wchar_t* failure = nullptr;
  // The size is compared only once the whole file has been read.
  if (!HashFileSha256(file, &size, digest))
    failure = L"A Zarnel client file could not be hashed: %ls";
  else if (size != entry.expectedSize)
    failure = L"A Zarnel client file has an unexpected size: %ls";
  else if (!BytesEqualConstantTime(digest, entry.expectedSha256, kSha256Size))
    failure = L"A Zarnel client file failed its integrity check: %ls";
  SecureZeroMemory(digest, sizeof(digest));
  return failure;
}
}  // namespace

bool VerifyManifestFile(const wchar_t* clientDirectory, const GuardManifestEntry& entry, HANDLE* heldHandle) {
  WideBuffer fullPath;
  if (!BuildManifestFilePath(clientDirectory, entry.relativePath, fullPath)) {
    SetLastErrorText(L"The guard manifest contains an unsafe path: %ls",
                     entry.relativePath ? entry.relativePath : L"");
    return false;
  }
  DWORD openError = 0;
  FileHandleOwner file(OpenClientFileWithRetries(fullPath.CStr(), openError));
  if (!file.Valid()) {
    ReportOpenFailure(entry.relativePath, openError);
    return false;
  }
  if (const wchar_t* failure = CheckOpenClientFile(file.Get(), fullPath, entry)) {
    // Closed before the message is written: whoever reads it finds the file
    // free again.
    file.Reset();
    SetLastErrorText(failure, entry.relativePath);
    return false;
  }
  if (heldHandle) *heldHandle = file.Release();
  return true;
}
