#pragma once
// What the stand-in provider reads from its environment variable
// ZARNELGUARD_STANDIN_KSP: a ';'-separated list of name=value settings.
//   store=<directory>     root of the key stores (default
//                         %LOCALAPPDATA%\ZarnelGuardStandInKsp)
//   platform=<behaviour>  how the platform provider behaves
//   software=<behaviour>  how the software provider behaves
// Behaviours are listed in kBehaviourNames. The variable is read afresh at
// each NCryptOpenStorageProvider, so a test can change it between opens.
#include <windows.h>

#include <string>

enum class ProviderId { kPlatform = 0, kSoftware = 1 };

enum class Behaviour {
  kNormal,
  kUnavailable,       // the provider cannot be opened
  kNotCreatable,      // keys open, but no key can be created
  kAlgorithmOther,    // "Algorithm Name" answers another algorithm
  kAlgorithmCase,     // "Algorithm Name" answers the right name in other letter case
  kPolicyNonzero,     // "Export Policy" answers an exportable key
  kPolicyShort,       // "Export Policy" answers 2 bytes
  kPolicyLong,        // "Export Policy" claims 8 bytes and succeeds
  kBlobSize,          // the public blob is 104 bytes
  kBlobMagic,         // the public blob carries the ECDH magic
  kBlobKeyLength,     // the public blob claims a 48-byte key length
  kBlobShortWrite,    // the export reports 8 bytes fewer than it wrote
  kSignatureShort,    // the signature is reported one byte short
  kSignatureZero,     // the signature is 64 zero bytes
};

struct BehaviourName {
  const wchar_t* name;
  Behaviour behaviour;
};
extern const BehaviourName kBehaviourNames[];
extern const size_t kBehaviourNameCount;

struct StandInSettings {
  bool valid = true;  // false when the variable holds anything unknown
  std::wstring storeRoot;
  Behaviour behaviours[2] = {Behaviour::kNormal, Behaviour::kNormal};
};

StandInSettings ReadStandInSettings();

// <store root>\platform or <store root>\software, without a trailing separator.
std::wstring ProviderStoreDirectory(const StandInSettings& settings, ProviderId provider);
