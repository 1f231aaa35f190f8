#include "integrity/sha256_digest.h"

#include <wincrypt.h>

#include "platform/byte_buffer.h"
#include "platform/handle_owner.h"
#include "platform/win32_calls.h"

namespace {
// The provider context and hash object of one digest, released on every
// path (the hash first: it is declared after the context).
struct Sha256Session {
  CryptContextOwner provider;
  CryptHashOwner hash;

  bool Open() {
    return provider.KeepIf(win32Calls.CryptAcquireContextW(provider.Receive(), nullptr, nullptr, PROV_RSA_AES,
                                                           CRYPT_VERIFYCONTEXT) != FALSE) &&
           hash.KeepIf(win32Calls.CryptCreateHash(provider.Get(), CALG_SHA_256, 0, 0, hash.Receive()) != FALSE);
  }

  bool Finish(uint8_t digest[kSha256Size]) {
    DWORD length = kSha256Size;
    return win32Calls.CryptGetHashParam(hash.Get(), HP_HASHVAL, digest, &length, 0) && length == kSha256Size;
  }
};
}  // namespace

bool HashBufferSha256(const void* data, uint32_t length, uint8_t digest[kSha256Size]) {
  if (!data) return false;
  Sha256Session session;
  if (!session.Open()) return false;
  if (!win32Calls.CryptHashData(session.hash.Get(), static_cast<const BYTE*>(data), length, 0)) return false;
  return session.Finish(digest);
}

bool HashFileSha256(HANDLE file, uint64_t* size, uint8_t digest[kSha256Size]) {
  LARGE_INTEGER fileSize;
  if (!win32Calls.GetFileSizeEx(file, &fileSize) || fileSize.QuadPart < 0) return false;
  LARGE_INTEGER start;
  start.QuadPart = 0;
  if (!win32Calls.SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
  *size = static_cast<uint64_t>(fileSize.QuadPart);

  Sha256Session session;
  if (!session.Open()) return false;
  // Owned by the call, from the heap: a block this size on the stack would
  // overflow a game thread made with a small stack (or the monitor's
  // default one) before the guard could say why.
  ByteBuffer<BufferWipe::kOnRelease> block;
  if (!block.Allocate(kFileHashBlockSize)) return false;
  for (;;) {
    DWORD read = 0;
    if (!win32Calls.ReadFile(file, block.Data(), kFileHashBlockSize, &read, nullptr)) return false;
    if (read == 0) return session.Finish(digest);
    if (!win32Calls.CryptHashData(session.hash.Get(), block.Data(), read, 0)) return false;
  }
}
