// The "/BugInfo:" switch: Kelvor's parser on what a product may hand over, and the crash handler's
// formatter read back by that parser.
#include "common/protocol/bug_info_switch.h"

#include <gtest/gtest.h>

#include <vector>

namespace protocol {
namespace {

// The four numbers of a parsed switch, in their order on the command line.
std::vector<uint32_t> FieldsOf(const BugInfoSwitch& s) {
  return {s.blockAddress, s.processId, s.threadId, s.eventHandle};
}

TEST(ParseBugInfoSwitch, ReadsTheFourFieldsAnywhereInAnyCase) {
  BugInfoSwitch s = ParseBugInfoSwitch(L"\"C:\\x\\Kelvor.exe\" -q /bugINFO:0012F5A0,2468,3140,412 tail");
  EXPECT_TRUE(s.found);
  EXPECT_EQ(FieldsOf(s), std::vector<uint32_t>({0x0012F5A0u, 2468u, 3140u, 412u}));
  // The first occurrence counts.
  EXPECT_EQ(ParseBugInfoSwitch(L"/BugInfo:10,1,2,3 /BugInfo:20,4,5,6").blockAddress, 0x10u);
}

TEST(ParseBugInfoSwitch, RefusesAMissingSwitchOrNothingAfterIt) {
  EXPECT_FALSE(ParseBugInfoSwitch(L"").found);
  EXPECT_FALSE(ParseBugInfoSwitch(L"/BugInf:1,2,3,4").found);
  EXPECT_FALSE(ParseBugInfoSwitch(L"Kelvor.exe /BugInfo:").found);
}

TEST(ParseBugInfoSwitch, StopsAtTheFirstFieldThatDoesNotParse) {
  BugInfoSwitch s = ParseBugInfoSwitch(L"/BugInfo:ABC,12,x,9");
  EXPECT_TRUE(s.found);
  // After a failed field nothing more is read.
  EXPECT_EQ(FieldsOf(s), std::vector<uint32_t>({0xABCu, 12u, 0u, 0u}));

  s = ParseBugInfoSwitch(L"/BugInfo: zz,1,2,3");
  EXPECT_TRUE(s.found);
  EXPECT_EQ(s.blockAddress, 0u);
  EXPECT_EQ(s.processId, 0u);

  s = ParseBugInfoSwitch(L"/BugInfo:1;2,3,4");  // wrong separator
  EXPECT_EQ(s.blockAddress, 1u);
  EXPECT_EQ(s.processId, 0u);
}

TEST(ParseBugInfoSwitch, KeepsTheLowHalfOfAWideAddressAndScannerDetails) {
  EXPECT_EQ(ParseBugInfoSwitch(L"/BugInfo:000000010012f5a0,1,2,3").blockAddress, 0x0012F5A0u);
  // Blanks before a number are skipped; "%d" of -1 keeps its bit pattern.
  EXPECT_EQ(FieldsOf(ParseBugInfoSwitch(L"/BugInfo:0x1000, 7,-1,+5")),
            std::vector<uint32_t>({0x1000u, 7u, 0xFFFFFFFFu, 5u}));
}

BugInfoSwitch Fields(uint32_t address, uint32_t processId, uint32_t threadId, uint32_t eventHandle) {
  return BugInfoSwitch{false, address, processId, threadId, eventHandle};
}

TEST(BugInfoSwitchRoundTrip, WhatTheHandlerWritesKelvorReadsBack) {
  const BugInfoSwitch cases[] = {Fields(0x0012F5A0, 2468, 3140, 412), Fields(0, 0, 0, 0),
                                 Fields(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF),
                                 Fields(0x7FFE0000, 4, 8, 0x80000000)};
  for (const BugInfoSwitch& sent : cases) {
    wchar_t text[kBugInfoSwitchCapacity];
    const size_t length = FormatBugInfoSwitch(sent, text, kBugInfoSwitchCapacity);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(std::wstring(text).size(), length);
    // As the handler starts Kelvor: the quoted program path first.
    const BugInfoSwitch got =
        ParseBugInfoSwitch(L"\"C:\\Program Files\\Orv\\Kelvor.exe\" " + std::wstring(text));
    EXPECT_TRUE(got.found) << text;
    EXPECT_EQ(FieldsOf(got), FieldsOf(sent)) << text;
  }
}

TEST(BugInfoSwitchRoundTrip, TheLongestSwitchFitsAndAShortBufferGetsNoCutSwitch) {
  const BugInfoSwitch widest = Fields(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF);
  wchar_t text[kBugInfoSwitchCapacity];
  EXPECT_EQ(FormatBugInfoSwitch(widest, text, kBugInfoSwitchCapacity), kBugInfoSwitchCapacity - 1);
  // One character short: nothing rather than a switch whose last field reads as another number.
  EXPECT_EQ(FormatBugInfoSwitch(widest, text, kBugInfoSwitchCapacity - 1), 0u);
  EXPECT_EQ(text[0], L'\0');
  EXPECT_EQ(FormatBugInfoSwitch(widest, text, 0), 0u);
  EXPECT_EQ(FormatBugInfoSwitch(widest, nullptr, kBugInfoSwitchCapacity), 0u);
  // The address always has eight digits: the command line stays as products have always written it.
  ASSERT_GT(FormatBugInfoSwitch(Fields(0x1A, 1, 2, 3), text, kBugInfoSwitchCapacity), 0u);
  EXPECT_EQ(std::wstring(text), std::wstring(kBugInfoSwitch) + L"0000001A,1,2,3");
}

}  // namespace
}  // namespace protocol
