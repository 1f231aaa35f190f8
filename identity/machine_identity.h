#pragma once
// The machine identity digest: SHA-256 over normalised values from the
// registry, the SMBIOS tables and the system volume.

// Collects the sources afresh and writes guard.machineIdentityDigest. On
// failure one message in the last-error text and the digest left as it was
// (zero during start-up).
bool BuildMachineIdentity();
