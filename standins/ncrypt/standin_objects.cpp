#include "standin_objects.h"

#include <set>

namespace {
SRWLOCK registryLock = SRWLOCK_INIT;
std::set<StandInObject*>* registry;  // created on first use, never freed
volatile LONG openObjects;
volatile LONG createdKeys;
volatile LONG calls;

StandInObject* FindObject(NCRYPT_HANDLE handle, ObjectType type) {
  auto object = reinterpret_cast<StandInObject*>(handle);
  AcquireSRWLockShared(&registryLock);
  bool found = registry && registry->count(object) && object->type == type;
  ReleaseSRWLockShared(&registryLock);
  return found ? object : nullptr;
}

void DestroyKey(KeyObject* key) {
  if (key->key) BCryptDestroyKey(key->key);
  if (key->algorithm) BCryptCloseAlgorithmProvider(key->algorithm, 0);
  delete key;
}
}  // namespace

NCRYPT_HANDLE RegisterObject(StandInObject* object) {
  AcquireSRWLockExclusive(&registryLock);
  if (!registry) registry = new std::set<StandInObject*>;
  registry->insert(object);
  ReleaseSRWLockExclusive(&registryLock);
  InterlockedIncrement(&openObjects);
  return reinterpret_cast<NCRYPT_HANDLE>(object);
}

ProviderObject* FindProvider(NCRYPT_HANDLE handle) {
  return static_cast<ProviderObject*>(FindObject(handle, ObjectType::kProvider));
}

KeyObject* FindKey(NCRYPT_HANDLE handle) { return static_cast<KeyObject*>(FindObject(handle, ObjectType::kKey)); }

bool DestroyObject(NCRYPT_HANDLE handle) {
  auto object = reinterpret_cast<StandInObject*>(handle);
  AcquireSRWLockExclusive(&registryLock);
  bool found = registry && registry->erase(object) == 1;
  ReleaseSRWLockExclusive(&registryLock);
  if (!found) return false;
  InterlockedDecrement(&openObjects);
  if (object->type == ObjectType::kKey)
    DestroyKey(static_cast<KeyObject*>(object));
  else
    delete static_cast<ProviderObject*>(object);
  return true;
}

void CountCall() { InterlockedIncrement(&calls); }
void CountCreatedKey() { InterlockedIncrement(&createdKeys); }
LONG OpenObjectCount() { return InterlockedCompareExchange(&openObjects, 0, 0); }
LONG CreatedKeyCount() { return InterlockedCompareExchange(&createdKeys, 0, 0); }
LONG CallCount() { return InterlockedCompareExchange(&calls, 0, 0); }
