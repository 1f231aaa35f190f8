// What a guard would answer to a challenge the kit issued: a login answer
// and a hard-cheat report, laid out and signed by the tests' own code.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "challenge_store.h"
#include "record_layouts.h"

namespace zarnel::serverkit::testing {

LoginAnswer SignLoginAnswer(const TestDeviceKey& device, const Challenge& challenge,
                            const std::string& name = "alice");

// The body of `POST /v1/login-proofs` that sends `answer` for `session`.
nlohmann::json LoginProofBody(const std::string& session, const LoginAnswer& answer);

// The debugger finding of process 700, under `reportId`.
Raw SignHardCheatReport(const TestDeviceKey& device, const Challenge& challenge,
                        const Raw& reportId);

// The evidence text whose digest SignHardCheatReport signs.
EvidenceClaim DebuggerEvidence();

}  // namespace zarnel::serverkit::testing
