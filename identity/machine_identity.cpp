// PLACEHOLDER until the machine identity lands.
#include "identity/machine_identity.h"

bool BuildMachineIdentity() { return true; }
