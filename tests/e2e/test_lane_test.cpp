// The lane this program runs in is the one it was registered for: in the
// 64-bit prefix the client side is a WOW64 process and the tool programs
// that the other tests start (blocked and everyday programs, the debugger,
// the program that opens the client) are 64-bit processes, as on players'
// machines; in the 32-bit prefix everything is 32-bit. The 64-bit check
// build runs everything as 64-bit programs in a 64-bit prefix.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "contained_process.h"
#include "process_runner.h"

namespace {
bool InSixtyFourBitLane() {
  wchar_t value[8] = {};
  return GetEnvironmentVariableW(L"ZARNELGUARD_TOOL_SUBDIR", value, 8) != 0;
}

BOOL IsWow64(HANDLE process) {
  BOOL wow64 = FALSE;
  EXPECT_TRUE(IsWow64Process(process, &wow64)) << GetLastError();
  return wow64;
}

TEST(TestLane, TheClientSideAndTheToolProgramsHaveTheLanesArchitecture) {
#ifdef _WIN64
  const bool clientIsWow64 = false;
  const bool sixtyFour = true;
#else
  const bool sixtyFour = InSixtyFourBitLane();
  const bool clientIsWow64 = sixtyFour;
#endif
  EXPECT_EQ(IsWow64(GetCurrentProcess()), clientIsWow64 ? TRUE : FALSE);

  const wchar_t* tools[] = {L"idle_program.exe", L"versioned_tool.exe", L"debugger_attacher.exe"};
  for (const wchar_t* tool : tools) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(tool)));
    const std::wstring path = ProgramFile(tool);
    EXPECT_EQ(path, ToolDirectory() + tool);
    // Started without arguments, each tool ends at once; suspended, it can
    // be asked what it is before it does.
    ContainedProcess started;
    ASSERT_TRUE(started.Start(path, L"\"" + path + L"\"", L"", {}, CREATE_SUSPENDED)) << GetLastError();
    // A 64-bit process on 64-bit Windows is not a WOW64 process; in the
    // 32-bit prefix there is no WOW64 at all.
    EXPECT_FALSE(IsWow64(started.Process()));
    DWORD binaryType = 0;
    EXPECT_TRUE(GetBinaryTypeW(path.c_str(), &binaryType));
    EXPECT_EQ(binaryType, sixtyFour ? static_cast<DWORD>(SCS_64BIT_BINARY) : static_cast<DWORD>(SCS_32BIT_BINARY));
  }
}
}  // namespace
