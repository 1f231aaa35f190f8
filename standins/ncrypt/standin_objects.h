#pragma once
// The objects behind the stand-in's NCrypt handles. A handle is the object's
// address, accepted only while the object is registered, so a stale or
// foreign handle answers NTE_INVALID_HANDLE instead of being dereferenced.
#include <windows.h>
#include <bcrypt.h>
#include <ncrypt.h>

#include <cstdint>
#include <string>

#include "standin_settings.h"

enum class ObjectType : uint32_t { kProvider = 0x56525050, kKey = 0x5945454b };

struct StandInObject {
  ObjectType type;
};

struct ProviderObject : StandInObject {
  ProviderId id;
  StandInSettings settings;
};

struct KeyObject : StandInObject {
  ProviderId id;
  Behaviour behaviour;           // of the provider that opened it
  std::wstring path;             // its key file
  std::wstring name;
  uint32_t curveBits = 0;
  DWORD exportPolicy = 0;        // as this handle sees it
  DWORD storedExportPolicy = 0;  // what finalising persists
  bool overwrite = false;
  bool finalized = false;
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_KEY_HANDLE key = nullptr;
};

// Registers a new object and counts it open.
NCRYPT_HANDLE RegisterObject(StandInObject* object);
ProviderObject* FindProvider(NCRYPT_HANDLE handle);
KeyObject* FindKey(NCRYPT_HANDLE handle);
// Unregisters and destroys; false for a handle that is not open.
bool DestroyObject(NCRYPT_HANDLE handle);

// Counters the tests read through the stand-in's own exports.
void CountCall();
void CountCreatedKey();
LONG OpenObjectCount();
LONG CreatedKeyCount();
LONG CallCount();
