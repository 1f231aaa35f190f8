// The machine identity digest through the shipped DLL, as the login proof
// carries it: the same in two client processes, changed by a new
// MachineGuid in the prefix's registry, and an unterminated 512-byte
// MachineGuid read as its first 255 characters. The firmware cases run in
// machine_identity_firmware_test.sh (they need a private mount namespace).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "process_runner.h"
#include "sample_client_copy.h"

namespace {
constexpr wchar_t kCryptographyKey[] = L"SOFTWARE\\Microsoft\\Cryptography";

// Reads MachineGuid (64-bit view) raw and puts it back when the test ends.
class MachineGuidRestorer {
 public:
  MachineGuidRestorer() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCryptographyKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != 0) return;
    DWORD size = sizeof(original_);
    saved_ = RegQueryValueExW(key, L"MachineGuid", nullptr, &type_, original_, &size) == 0;
    size_ = size;
    RegCloseKey(key);
  }
  ~MachineGuidRestorer() {
    if (saved_) SetRaw(original_, size_, type_);
  }
  bool Saved() const { return saved_; }
  static bool SetRaw(const void* bytes, DWORD size, DWORD type = REG_SZ) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCryptographyKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key) != 0)
      return false;
    bool set = RegSetValueExW(key, L"MachineGuid", 0, type, static_cast<const BYTE*>(bytes), size) == 0;
    RegCloseKey(key);
    return set;
  }
  static bool Set(const std::wstring& text) {
    return SetRaw(text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }

 private:
  BYTE original_[1024] = {};
  DWORD size_ = 0;
  DWORD type_ = 0;
  bool saved_ = false;
};

class MachineIdentityDigest : public testing::Test {
 protected:
  void SetUp() override {
    if (!HaveSampleClient()) GTEST_SKIP() << "built for a studio's client: no sample client to start in";
    ASSERT_TRUE(client_.Complete());
    ASSERT_TRUE(guid_.Saved()) << "no MachineGuid in the prefix";
  }
  // The machine digest of a login proof made by a fresh client process.
  std::string Digest() {
    ProcessResult run = RunProcess(client_.Path() + L"reliability_host.exe", L"digest", client_.Path());
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    std::string digest = ParseKeyValues(run.output)["machine_digest"];
    EXPECT_EQ(digest.size(), 64u) << run.output;
    return digest;
  }
  SampleClientCopy client_{{L"reliability_host.exe"}};
  MachineGuidRestorer guid_;
};

TEST_F(MachineIdentityDigest, IsTheSameInTwoProcessesAndFollowsTheMachineGuid) {
  ASSERT_TRUE(MachineGuidRestorer::Set(L"6f1d1c2e-93b4-4a57-8e21-5b0d7c9a4e11"));
  std::string first = Digest();
  std::string second = Digest();
  EXPECT_EQ(first, second) << "two start-ups on one machine";

  ASSERT_TRUE(MachineGuidRestorer::Set(L"0a3f9b72-1c4d-4e8a-b6f5-27d8e91c3b40"));
  std::string changed = Digest();
  EXPECT_NE(changed, first) << "a new MachineGuid";

  ASSERT_TRUE(MachineGuidRestorer::Set(L"6f1d1c2e-93b4-4a57-8e21-5b0d7c9a4e11"));
  EXPECT_EQ(Digest(), first) << "the old MachineGuid back";
}

// 256 characters without a terminator fill the 512-byte buffer exactly: the
// guard keeps the first 255, so the digest is that of the 255-character text.
TEST_F(MachineIdentityDigest, AnUnterminated512ByteMachineGuidCountsAsItsFirst255Characters) {
  std::wstring full;
  for (int i = 0; i < 256; ++i) full += static_cast<wchar_t>(L'a' + i % 26);
  // The registry counts a terminator that directly follows the data in as
  // part of the value (as Windows does), so the character after the 256 is
  // not zero.
  std::wstring written = full + L"x";
  ASSERT_TRUE(MachineGuidRestorer::SetRaw(written.data(), 512));
  std::string unterminated = Digest();

  ASSERT_TRUE(MachineGuidRestorer::Set(full.substr(0, 255)));
  std::string cut = Digest();
  EXPECT_EQ(unterminated, cut);

  ASSERT_TRUE(MachineGuidRestorer::Set(full.substr(0, 254)));
  EXPECT_NE(Digest(), cut) << "one character fewer is a different identity";
}
}  // namespace
