/*
 * ZarnelGuard.h - the interface of ZarnelGuard.dll, the anti-cheat guard of
 * the 32-bit game client Zarnel.exe.
 *
 * Every export is __stdcall and exported under its undecorated name, so a
 * host may link the import library or use GetProcAddress("ZarnelGuard...").
 * Usable from C and C++. Failures are reported only by a result of 0 and the
 * text returned by ZarnelGuardGetLastError().
 *
 * With Visual Studio (and clang-cl) the functions are declared
 * __declspec(dllimport), so calls go straight through the import table;
 * define ZARNELGUARD_NO_DLLIMPORT to call through the import library's
 * thunks instead. Only <stddef.h> and <stdint.h> are needed, both of which
 * every compiler carries, with or without a C runtime.
 *
 * Calls that may END THE PROCESS (exit code 13, after starting
 * ZarnelUpdateHelper.exe from the client directory) are marked below: the
 * guard does that when it finds a forbidden environment.
 *
 * THREADS: the first of ZarnelGuardInitialize, ZarnelGuardCreateLoginProof
 * and ZarnelGuardSetHardCheatChallenge runs the guarded start on the
 * caller's thread (the client's files are hashed there, from a read block
 * on the heap, so a thread with a small stack will do).
 */
#ifndef ZARNELGUARD_H
#define ZARNELGUARD_H

#include <stddef.h> /* wchar_t in C */
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && !defined(ZARNELGUARD_API)
#define ZARNELGUARD_API __stdcall
#elif !defined(ZARNELGUARD_API)
#define ZARNELGUARD_API
#endif

#if !defined(ZARNELGUARD_IMPORT)
#if defined(_MSC_VER) && !defined(ZARNELGUARD_NO_DLLIMPORT)
#define ZARNELGUARD_IMPORT __declspec(dllimport)
#else
#define ZARNELGUARD_IMPORT
#endif
#endif

/* Sizes of the fixed buffers that the exports read and write. */
#define ZARNELGUARD_CHALLENGE_ID_SIZE 16
#define ZARNELGUARD_CHALLENGE_NONCE_SIZE 32
#define ZARNELGUARD_LOGIN_NAME_SIZE 32
#define ZARNELGUARD_MACHINE_DIGEST_SIZE 32
#define ZARNELGUARD_PUBLIC_KEY_SIZE 72
#define ZARNELGUARD_SIGNATURE_SIZE 64
#define ZARNELGUARD_HARD_CHEAT_REPORT_SIZE 241
#define ZARNELGUARD_REPORT_ID_SIZE 16
#define ZARNELGUARD_CLIENT_BUILD 62

/*
 * Runs the guarded start once per process: verifies the client files, runs
 * the detection checks, claims the single-client marker, derives the machine
 * identity, opens the device key and starts the monitor thread.
 * Returns nonzero when the start has succeeded (now or earlier; it never
 * runs again after a success, not even after ZarnelGuardShutdown), 0 when it
 * failed: the reason is in ZarnelGuardGetLastError() and the next call tries
 * again from the beginning. Threads calling it together wait for one start.
 * MAY END THE PROCESS when a forbidden environment is found.
 */
ZARNELGUARD_IMPORT int32_t ZARNELGUARD_API ZarnelGuardInitialize(void);

/*
 * Stops the monitor thread and releases everything the guard holds (device
 * key, held client files, single-client marker). Call it once, when the
 * client is about to end and no other call into the guard is running.
 * Safe before any start and when called twice.
 */
ZARNELGUARD_IMPORT void ZARNELGUARD_API ZarnelGuardShutdown(void);

/*
 * The last message any call of the guard wrote (at most 767 characters,
 * zero-terminated UTF-16). The text belongs to the guard and is never null:
 * read it right after a call returned 0, copy it if you need it later, and
 * never write or free it.
 */
ZARNELGUARD_IMPORT const wchar_t* ZARNELGUARD_API ZarnelGuardGetLastError(void);

/* The client build this guard was made for: 62. Never fails. */
ZARNELGUARD_IMPORT int32_t ZARNELGUARD_API ZarnelGuardGetClientBuild(void);

/*
 * Signs the server's login challenge. In: proofVersion 2, challengeBuild 1 to
 * 62, the 16-byte challenge id and 32-byte nonce, the login name (32-byte
 * field, loginNameLength 1 to 32 bytes used). Out (caller-owned buffers of
 * the sizes above): client build, device key kind (1 platform provider,
 * 2 software provider), machine identity digest, device public key and the
 * 64-byte signature. Returns 1 on success; 0 on failure with every reachable
 * output zeroed. Starts the guard if it has not started.
 * MAY END THE PROCESS when the pre-login checks find a forbidden environment.
 */
ZARNELGUARD_IMPORT uint32_t ZARNELGUARD_API ZarnelGuardCreateLoginProof(
    uint16_t proofVersion, uint32_t challengeBuild,
    const uint8_t* challengeId, const uint8_t* challengeNonce,
    const uint8_t* loginName, uint8_t loginNameLength,
    uint32_t* clientBuildOut, uint8_t* keyKindOut,
    uint8_t* machineDigestOut, uint8_t* publicKeyOut, uint8_t* signatureOut);

/*
 * Hands the guard the server's hard-cheat challenge (challengeVersion 1,
 * challengeBuild 1 to 62, 16-byte id, 32-byte nonce; the guard copies them).
 * Returns 1 when the challenge is held (and, with a detection recorded, the
 * report signed), 0 otherwise. Starts the guard if it has not started.
 */
ZARNELGUARD_IMPORT uint32_t ZARNELGUARD_API ZarnelGuardSetHardCheatChallenge(
    uint16_t challengeVersion, uint32_t challengeBuild,
    const uint8_t* challengeId, const uint8_t* challengeNonce);

/*
 * Copies the signed 241-byte hard-cheat report, when one is ready, into the
 * caller's buffer of reportCapacity bytes. Returns 1 with *reportSizeOut 241,
 * or 0 with *reportSizeOut 0 (when reportSizeOut is not null).
 */
ZARNELGUARD_IMPORT uint32_t ZARNELGUARD_API ZarnelGuardTakeHardCheatReport(
    uint8_t* reportOut, uint32_t reportCapacity, uint32_t* reportSizeOut);

/*
 * The server's answer to a report: its 16-byte report id and accepted
 * (1 accepted, 0 rejected). When the id matches the report handed out, the
 * guard ENDS THE PROCESS; otherwise it returns 0.
 */
ZARNELGUARD_IMPORT uint32_t ZARNELGUARD_API ZarnelGuardAcknowledgeHardCheatReport(
    const uint8_t* reportId, uint8_t accepted);

/* Forgets a held hard-cheat challenge that has not led to a report yet. */
ZARNELGUARD_IMPORT void ZARNELGUARD_API ZarnelGuardClearHardCheatChallenge(void);

#ifdef __cplusplus
}
#endif

#endif /* ZARNELGUARD_H */
