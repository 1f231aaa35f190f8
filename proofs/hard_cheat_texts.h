#pragma once
// The texts the player sees when a hard-cheat exchange ends, kept in one
// place for the code that writes them and the tests that compare them
// (hard_cheat_acknowledgement_test pins each one to its exact words). The
// suffixes follow the detection's own message, after one space.

// A detection confirmed without a message of its own.
constexpr wchar_t kDefaultHardCheatMessage[] = L"Zarnel closed after a confirmed hard-cheat detection.";
constexpr wchar_t kReportRejectedSuffix[] = L" The server rejected the security report.";
constexpr wchar_t kAcknowledgementTimedOutSuffix[] = L" The security report acknowledgement timed out.";
