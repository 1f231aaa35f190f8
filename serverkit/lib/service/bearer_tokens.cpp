#include "bearer_tokens.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <openssl/crypto.h>

#include "sha256.h"

namespace zarnel::serverkit::service {

namespace {

std::string_view Trim(std::string_view text) {
  const char* blanks = " \t\r";
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

bool Printable(std::string_view token) {
  for (const char c : token) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  return true;
}

Bytes DigestOf(std::string_view token) {
  Bytes digest;
  Sha256(reinterpret_cast<const std::uint8_t*>(token.data()), token.size(), digest);
  return digest;
}

}  // namespace

bool ParseTokenText(std::string_view text, TokenSet& tokens, std::string& error) {
  tokens.digests.clear();
  std::size_t lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const std::size_t end = text.find('\n');
    const std::string_view token = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (token.empty() || token.front() == '#') continue;
    if (token.size() < kMinTokenSize || token.size() > kMaxTokenSize || !Printable(token)) {
      error = "line " + std::to_string(lineNumber) + " is not a token of " +
              std::to_string(kMinTokenSize) + " to " + std::to_string(kMaxTokenSize) +
              " printable characters without blanks";
      return false;
    }
    Bytes digest = DigestOf(token);
    if (digest.size() != kSha256Size) {
      error = "SHA-256 failed";
      return false;
    }
    tokens.digests.push_back(std::move(digest));
  }
  if (tokens.digests.empty()) {
    error = "it holds no token";
    return false;
  }
  return true;
}

bool BearerTokens::FileState::operator==(const FileState& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         modifiedNs == other.modifiedNs;
}

bool BearerTokens::Stat(FileState& state, std::string& error) const {
  struct stat info {};
  if (::stat(path_.c_str(), &info) != 0) {
    error = "cannot read the token file " + path_ + ": " + std::strerror(errno);
    return false;
  }
  state.device = info.st_dev;
  state.inode = info.st_ino;
  state.size = info.st_size;
  state.modifiedNs = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 +
                     info.st_mtim.tv_nsec;
  return true;
}

bool BearerTokens::Read(const FileState& state, std::shared_ptr<const TokenSet>& tokens,
                        std::string& error) const {
  // A token file is a few lines; anything far larger is not one.
  if (state.size > 1024 * 1024) {
    error = "the token file " + path_ + " is larger than 1 MiB";
    return false;
  }
  // Read straight into the one buffer that is wiped after: no stream
  // keeps a copy of the tokens.
  std::string content(static_cast<std::size_t>(state.size) + 1, '\0');
  std::size_t filled = 0;
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  bool readFailed = fd < 0;
  while (!readFailed && filled < content.size()) {
    const ssize_t got = ::read(fd, content.data() + filled, content.size() - filled);
    if (got == 0) break;
    if (got < 0 && errno == EINTR) continue;
    readFailed = got < 0;
    if (got > 0) filled += static_cast<std::size_t>(got);
  }
  if (fd >= 0) ::close(fd);
  // More than the size seen: the file is being written; the tokens read
  // before stay until it settles.
  if (readFailed || filled == content.size()) {
    OPENSSL_cleanse(content.data(), content.size());
    error = "cannot read the token file " + path_ +
            (readFailed ? std::string(": ") + std::strerror(errno) : " while it changes");
    return false;
  }
  auto parsed = std::make_shared<TokenSet>();
  std::string problem;
  const bool ok = ParseTokenText(std::string_view(content.data(), filled),
                                 *parsed, problem);
  // The file's text is a secret; the copy goes as soon as it is parsed.
  OPENSSL_cleanse(content.data(), content.size());
  if (!ok) {
    error = "the token file " + path_ + " was not used: " + problem;
    return false;
  }
  tokens = std::move(parsed);
  return true;
}

bool BearerTokens::Load(const std::string& path, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  path_ = path;
  return Stat(state_, error) && Read(state_, tokens_, error);
}

std::string BearerTokens::Identify(std::string_view token, std::string& problem) {
  std::shared_ptr<const TokenSet> tokens;
  {
    // A stat per call: cheap beside a signature check, and a rotation
    // takes effect on the next request.
    std::lock_guard<std::mutex> lock(mutex_);
    FileState now;
    std::string error;
    const bool seen = Stat(now, error);
    const bool unchanged = seen && now == state_;
    // A bad file is read again only once it changes, and reported once.
    const bool knownBad = failedState_.has_value() && *failedState_ == now;
    std::shared_ptr<const TokenSet> reread;
    if (!unchanged && !knownBad) {
      if (seen && Read(now, reread, error)) {
        tokens_ = std::move(reread);
        state_ = now;
        failedState_.reset();
        problem = "the token file " + path_ + " was read again";
      } else {
        failedState_ = now;
        problem = error + "; the tokens read before stay valid";
      }
    }
    tokens = tokens_;
  }
  if (!tokens || token.empty() || token.size() > kMaxTokenSize) return {};
  const Bytes digest = DigestOf(token);
  if (digest.size() != kSha256Size) return {};
  // Every known token is compared, whatever matched before.
  std::size_t matched = tokens->digests.size();
  for (std::size_t i = 0; i < tokens->digests.size(); ++i) {
    const bool same = CRYPTO_memcmp(digest.data(), tokens->digests[i].data(), kSha256Size) == 0;
    matched = same ? i : matched;
  }
  if (matched == tokens->digests.size()) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string name = "token:";
  for (std::size_t i = 0; i < 6; ++i) {
    name += kHex[digest[i] >> 4];
    name += kHex[digest[i] & 15];
  }
  return name;
}

std::string_view BearerTokenOf(std::string_view authorization) {
  constexpr std::string_view kScheme = "bearer ";
  if (authorization.size() <= kScheme.size()) return {};
  for (std::size_t i = 0; i < kScheme.size(); ++i) {
    const char c = authorization[i];
    if ((c >= 'A' && c <= 'Z' ? c + 32 : c) != kScheme[i]) return {};
  }
  return Trim(authorization.substr(kScheme.size()));
}

}  // namespace zarnel::serverkit::service
