#include <gtest/gtest.h>

#include "test_support.h"

namespace {
// Every case starts from a freshly loaded guard with the real system calls,
// whatever the case before it injected.
class FreshGuardListener : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo&) override { ResetGuardForTest(); }
  void OnTestEnd(const testing::TestInfo&) override { RestoreWin32Calls(); }
};
}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  guard.moduleHandle = GetModuleHandleW(nullptr);
  testing::UnitTest::GetInstance()->listeners().Append(new FreshGuardListener);
  return RUN_ALL_TESTS();
}
