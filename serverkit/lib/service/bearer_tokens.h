// The bearer tokens a backend may send (`Authorization: Bearer TOKEN`),
// read from a file of one token a line. Several tokens may be valid at
// once, so that a new one is rolled out to every backend before the old
// one is removed; the file is read again whenever it changes, without a
// restart. A token is compared in constant time, against every known
// token, so that neither the time nor the order tells which one matched.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "bytes.h"

namespace zarnel::serverkit::service {

// Shorter tokens are refused in the file: a token is a secret a backend
// holds, not a password a person types.
constexpr std::size_t kMinTokenSize = 16;
constexpr std::size_t kMaxTokenSize = 4096;

// What a token file holds: for each token its SHA-256, never the token.
struct TokenSet {
  std::vector<Bytes> digests;
};

// Reads `text` (one token a line; blank lines and lines starting with '#'
// are skipped; a trailing "\r" and surrounding blanks are not part of a
// token). False with `error` naming the line on a token of the wrong size
// or with bytes outside printable ASCII; `error` never quotes a token.
bool ParseTokenText(std::string_view text, TokenSet& tokens, std::string& error);

class BearerTokens {
 public:
  // Reads `path`; false with `error` set when it cannot be read, or holds
  // no token or a bad line.
  bool Load(const std::string& path, std::string& error);

  // Who sent `token`: "token:" and the first 12 hex digits of its SHA-256,
  // which names it in logs without giving it away; empty when it is no
  // known token. Reads the file again first if it changed since the last
  // read; a file that became unreadable or bad keeps the tokens read
  // before, and says so once through `problem`.
  std::string Identify(std::string_view token, std::string& problem);

 private:
  struct FileState {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modifiedNs = 0;
    bool operator==(const FileState& other) const;
  };
  bool Stat(FileState& state, std::string& error) const;
  bool Read(const FileState& state, std::shared_ptr<const TokenSet>& tokens,
            std::string& error) const;

  std::string path_;
  std::mutex mutex_;
  FileState state_;
  std::shared_ptr<const TokenSet> tokens_;
  // The state of a file that failed to load, so that it is reported once.
  std::optional<FileState> failedState_;
};

// The token of an "Authorization" header value "Bearer TOKEN" (the scheme
// in any letter case); empty when the header is not of that form.
std::string_view BearerTokenOf(std::string_view authorization);

}  // namespace zarnel::serverkit::service
