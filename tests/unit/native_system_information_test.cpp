// How large the native queries' buffers start, pass after pass, through the
// system-call seam: a table that the system answers at a given size, and a
// record of every size the guard asked with.
#include <gtest/gtest.h>

#include <vector>

#include "platform/native_system_information.h"
#include "test_support.h"

namespace {
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr size_t kInitialBytes = 512u * 1024u;
constexpr size_t kMegabyte = 1024u * 1024u;

struct SizedTable {
  size_t needs = 0;            // the bytes the table takes right now
  bool reportsWritten = true;  // false: a success leaves the returned length 0
  std::vector<size_t> asked;   // the buffer size of every call, in order
} table;

NTSTATUS NTAPI SizedQuery(SYSTEM_INFORMATION_CLASS, PVOID buffer, ULONG size, PULONG needed) {
  table.asked.push_back(size);
  *needed = static_cast<ULONG>(table.needs);
  if (size < table.needs) return kStatusInfoLengthMismatch;
  static_cast<uint8_t*>(buffer)[0] = 1;
  if (!table.reportsWritten) *needed = 0;
  return 0;
}

class QuerySizes : public testing::Test {
 protected:
  void SetUp() override {
    table = SizedTable{};
    win32Calls.NtQuerySystemInformation = SizedQuery;
  }
  // One read of the table at its present size; the sizes it asked with.
  std::vector<size_t> Pass(size_t needs) {
    table.needs = needs;
    table.asked.clear();
    NativeBuffer buffer;
    size_t filled = 0;
    DWORD error = 0;
    EXPECT_TRUE(QuerySystemInformation(kSystemExtendedHandleInformationClass, kInitialBytes, &remembered, buffer,
                                       filled, error));
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(filled, table.reportsWritten ? needs : buffer.Size());
    return table.asked;
  }
  volatile LONG remembered = 0;
};
}  // namespace

TEST_F(QuerySizes, OneSpikeOfTheTableDoesNotPinItsBufferForLaterPasses) {
  std::vector<size_t> spike = Pass(12 * kMegabyte);
  ASSERT_GE(spike.size(), 2u);
  EXPECT_EQ(spike.front(), kInitialBytes);
  // The pass right after the spike still starts large (nothing tells it the
  // table shrank) and needs one call.
  std::vector<size_t> afterSpike = Pass(100 * 1024);
  ASSERT_EQ(afterSpike.size(), 1u);
  EXPECT_GE(afterSpike.front(), 12 * kMegabyte);
  // Every later pass asks for the small size again.
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Pass(100 * 1024), std::vector<size_t>{kInitialBytes});
}

TEST_F(QuerySizes, ATableThatGrowsALittleBetweenPassesIsStillReadInOneCall) {
  ASSERT_GE(Pass(2 * kMegabyte).size(), 2u);
  // A few percent more handles by the next pass.
  std::vector<size_t> grown = Pass(2 * kMegabyte + 2 * kMegabyte / 20);
  ASSERT_EQ(grown.size(), 1u);
  // Remembered from what was filled, not from the last buffer: a table
  // that stays put does not make the start size creep upwards.
  std::vector<size_t> steady = Pass(2 * kMegabyte + 2 * kMegabyte / 20);
  ASSERT_EQ(steady.size(), 1u);
  EXPECT_LE(steady.front(), grown.front());
  EXPECT_EQ(Pass(2 * kMegabyte + 2 * kMegabyte / 20), steady);
}

TEST_F(QuerySizes, ASystemThatDoesNotReportTheBytesWrittenKeepsTheSizeThatHeldTheTable) {
  table.reportsWritten = false;
  std::vector<size_t> first = Pass(600 * 1024);
  ASSERT_GE(first.size(), 2u);
  // Nothing is known beyond the buffer that held it: the size neither
  // grows by the margin at every pass nor falls below what fitted.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Pass(600 * 1024), std::vector<size_t>{first.back()});
}
