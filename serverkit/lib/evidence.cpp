#include "evidence.h"

#include <cstdio>

#include "internal/crypto_failure.h"
#include "sha256.h"

namespace zarnel::serverkit {

namespace {

constexpr std::size_t kEvidenceTextCapacity = 384;

bool IsKept(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_';
}

char FoldUpper(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool NormaliseEvidenceName(std::string_view name, std::string& normalised) {
  normalised.clear();
  bool separatorPending = false;
  for (char unit : name) {
    if (unit == '\0') break;
    const char c = FoldUpper(unit);
    if (!IsKept(c)) {
      if (!normalised.empty()) separatorPending = true;
      continue;
    }
    if (separatorPending) {
      normalised.push_back('-');
      separatorPending = false;
    }
    normalised.push_back(c);
    if (normalised.size() > kMaxNormalisedNameSize) {
      normalised.clear();
      return false;
    }
  }
  return !normalised.empty();
}

Verdict FormatEvidenceText(const EvidenceClaim& claim, std::string& text) {
  text.clear();
  if (claim.violation < 1 || claim.violation > kMaxViolation) {
    return Reject(Check::kViolationOutOfRange,
                  "violation " + std::to_string(claim.violation) + " is not 1 to 3");
  }
  std::string name;
  if (!NormaliseEvidenceName(claim.name, name)) {
    return Reject(Check::kEvidenceInvalid,
                  "evidence name normalises to nothing or to more than 95 bytes");
  }
  char buffer[kEvidenceTextCapacity];
  const int length = std::snprintf(
      buffer, sizeof buffer,
      "ZARNEL-GUARD-EVIDENCE-V1\nviolation=%u\nname=%s\ntarget-pid=%u\naccess=%08X\n",
      static_cast<unsigned>(claim.violation), name.c_str(),
      static_cast<unsigned>(claim.processId), static_cast<unsigned>(claim.accessMask));
  if (length < 1 || static_cast<std::size_t>(length) >= sizeof buffer) {
    return Reject(Check::kEvidenceInvalid, "evidence text does not fit 383 bytes");
  }
  text.assign(buffer, static_cast<std::size_t>(length));
  return Accept();
}

Verdict ComputeEvidenceDigest(const EvidenceClaim& claim, Bytes& digest) {
  digest.clear();
  std::string text;
  Verdict formatted = FormatEvidenceText(claim, text);
  if (!formatted.ok()) return formatted;
  if (!Sha256(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), digest)) {
    return CryptoFailure("SHA-256 failed");
  }
  return Accept();
}

}  // namespace zarnel::serverkit
