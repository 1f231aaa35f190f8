#pragma once
// The client's files checked against the manifest compiled into the guard,
// and held open with read sharing only while the guard runs.

// The 8 core files, in manifest order. On failure: one message in the
// last-error text, nothing left open.
bool VerifyCoreClientFiles();
// The 17 archives, in manifest order. The same contract.
bool VerifyClientArchives();
