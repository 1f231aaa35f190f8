// The device key as this machine's own key storage gives it, with no store
// or behaviour chosen by the test: the platform provider (kind 1; on
// Windows, a machine with a TPM) or the software provider (kind 2). Under
// Wine that is the stand-in in the prefix's system directory; on Windows it
// is the real providers, which is why the QA bundle's run-tests.cmd reports
// the kind from this case's properties. The key is the one the client uses
// on this machine for this user, so it is opened or created, never removed.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>

#include "process_runner.h"

namespace {
std::map<std::string, std::string> RunProbe() {
  // A fresh process each time: what one process created, the next must
  // find in the provider's store.
  ProcessResult run = RunProcess(ProgramDirectory() + L"device_key_probe.exe", L"", ProgramDirectory());
  EXPECT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  return ParseKeyValues(run.output);
}

TEST(DeviceKeyOfThisMachine, OpensAndASecondProcessOpensTheSameKey) {
  auto first = RunProbe();
  ASSERT_EQ(first["acquired"], "1") << "no provider of this machine gave the device key";
  const std::string kind = first["kind"];
  ASSERT_TRUE(kind == "1" || kind == "2") << "kind " << kind;
  RecordProperty("device_key_kind", kind);
  RecordProperty("device_key_provider", kind == "1" ? "platform" : "software");
  RecordProperty("device_key_stand_in", first["standin"]);
  EXPECT_EQ(first["signature_valid"], "1");
  EXPECT_EQ(first["public_key"].size(), 144u) << "the 72-byte ECCPUBLIC blob of a P-256 key";

  auto second = RunProbe();
  EXPECT_EQ(second["acquired"], "1");
  EXPECT_EQ(second["kind"], kind) << "the second process got its key from another provider";
  EXPECT_EQ(second["public_key"], first["public_key"]) << "the second process did not open the same key";
  EXPECT_EQ(second["signature_valid"], "1");
}
}  // namespace
