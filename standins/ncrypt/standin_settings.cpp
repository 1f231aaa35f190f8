#include "standin_settings.h"

#include <vector>

const BehaviourName kBehaviourNames[] = {
    {L"normal", Behaviour::kNormal},
    {L"unavailable", Behaviour::kUnavailable},
    {L"not-creatable", Behaviour::kNotCreatable},
    {L"algorithm-other", Behaviour::kAlgorithmOther},
    {L"algorithm-case", Behaviour::kAlgorithmCase},
    {L"policy-nonzero", Behaviour::kPolicyNonzero},
    {L"policy-short", Behaviour::kPolicyShort},
    {L"policy-long", Behaviour::kPolicyLong},
    {L"blob-size", Behaviour::kBlobSize},
    {L"blob-magic", Behaviour::kBlobMagic},
    {L"blob-key-length", Behaviour::kBlobKeyLength},
    {L"blob-short-write", Behaviour::kBlobShortWrite},
    {L"signature-short", Behaviour::kSignatureShort},
    {L"signature-zero", Behaviour::kSignatureZero},
};
const size_t kBehaviourNameCount = sizeof(kBehaviourNames) / sizeof(kBehaviourNames[0]);

namespace {
std::wstring ReadEnvironment(const wchar_t* name) {
  DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return {};
  std::vector<wchar_t> text(size);
  DWORD length = GetEnvironmentVariableW(name, text.data(), size);
  if (length == 0 || length >= size) return {};
  return std::wstring(text.data(), length);
}

bool ParseBehaviour(const std::wstring& text, Behaviour& behaviour) {
  for (size_t i = 0; i < kBehaviourNameCount; ++i)
    if (text == kBehaviourNames[i].name) {
      behaviour = kBehaviourNames[i].behaviour;
      return true;
    }
  return false;
}

std::wstring DefaultStoreRoot() {
  std::wstring base = ReadEnvironment(L"LOCALAPPDATA");
  if (base.empty()) {
    base = ReadEnvironment(L"USERPROFILE");
    if (base.empty()) return {};
    base += L"\\AppData\\Local";
  }
  return base + L"\\ZarnelGuardStandInKsp";
}
}  // namespace

StandInSettings ReadStandInSettings() {
  StandInSettings settings;
  std::wstring text = ReadEnvironment(L"ZARNELGUARD_STANDIN_KSP");
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(L';', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring item = text.substr(start, end - start);
    start = end + 1;
    if (item.empty()) continue;
    size_t equals = item.find(L'=');
    if (equals == std::wstring::npos) {
      settings.valid = false;
      continue;
    }
    std::wstring name = item.substr(0, equals), value = item.substr(equals + 1);
    if (name == L"store" && !value.empty()) {
      while (!value.empty() && (value.back() == L'\\' || value.back() == L'/')) value.pop_back();
      settings.storeRoot = value;
    } else if (name == L"platform") {
      settings.valid &= ParseBehaviour(value, settings.behaviours[static_cast<int>(ProviderId::kPlatform)]);
    } else if (name == L"software") {
      settings.valid &= ParseBehaviour(value, settings.behaviours[static_cast<int>(ProviderId::kSoftware)]);
    } else {
      settings.valid = false;
    }
  }
  if (settings.storeRoot.empty()) settings.storeRoot = DefaultStoreRoot();
  if (settings.storeRoot.empty()) settings.valid = false;
  return settings;
}

std::wstring ProviderStoreDirectory(const StandInSettings& settings, ProviderId provider) {
  return settings.storeRoot + (provider == ProviderId::kPlatform ? L"\\platform" : L"\\software");
}
