#include "common/diag_log.h"

#include <gtest/gtest.h>

namespace {
using namespace suite;

TEST(DiagLog, LinesReadBackAsWritten) {
  DiagRecord begin;
  begin.kind = DiagKind::Begin;
  begin.timeUs = 1234567890123ull;
  begin.threadId = 4242;
  begin.name = "stack_walk";
  EXPECT_EQ(FormatDiagLine(begin), "1234567890123 4242 begin stack_walk\r\n");

  DiagRecord end = begin;
  end.kind = DiagKind::End;
  end.value = 815;
  DiagRecord failure = begin;
  failure.kind = DiagKind::Failure;
  failure.name = "CreateFileW";
  failure.value = 80;
  EXPECT_EQ(FormatDiagLine(failure), "1234567890123 4242 fail CreateFileW 80\r\n");

  for (const DiagRecord& r : {begin, end, failure}) {
    DiagRecord back;
    ASSERT_TRUE(ParseDiagLine(FormatDiagLine(r), back)) << FormatDiagLine(r);
    EXPECT_EQ(back.kind, r.kind);
    EXPECT_EQ(back.timeUs, r.timeUs);
    EXPECT_EQ(back.threadId, r.threadId);
    EXPECT_EQ(back.name, r.name);
    EXPECT_EQ(back.value, r.value);
  }
}

TEST(DiagLog, NamesStayOneWordAndOtherLinesAreRefused) {
  DiagRecord r;
  r.kind = DiagKind::Failure;
  r.name = "Open Process\r\n";
  r.value = 5;
  EXPECT_EQ(FormatDiagLine(r), "0 0 fail Open_Process__ 5\r\n");
  r.name.clear();
  EXPECT_EQ(FormatDiagLine(r), "0 0 fail - 5\r\n");
  DiagRecord back;
  for (const char* bad : {"", "x 1 begin a", "1 2 start a", "1 2 end a", "1 2 fail a b", "1 2 begin ",
                          "1 2 begin a extra", "-1 2 begin a"})
    EXPECT_FALSE(ParseDiagLine(bad, back)) << bad;
  EXPECT_TRUE(ParseDiagLine("1 2 begin a", back));
}

TEST(DiagLog, FileNamesAndClock) {
  EXPECT_EQ(DiagLogFileName(L"Kelvor", 1234), L"Kelvor.1234.log");
  EXPECT_EQ(DiagLogFileName(L"", 7), L"program.7.log");
  EXPECT_EQ(DiagTicksToUs(10000000, 10000000), 1000000u);
  EXPECT_EQ(DiagTicksToUs(3, 0), 0u);
  // A counter of 10 MHz after a year of uptime: ticks * 1e6 would not fit in 64 bits.
  const uint64_t year = 365ull * 24 * 3600 * 10000000ull;
  EXPECT_EQ(DiagTicksToUs(year + 15, 10000000), 365ull * 24 * 3600 * 1000000ull + 1);
}

}  // namespace
