#pragma once
// The machine identity digest: SHA-256 over normalised values from the
// registry, the SMBIOS tables and the system volume.

// Writes guard.machineIdentityDigest; on failure one message in the
// last-error text and the digest left zero.
bool BuildMachineIdentity();
