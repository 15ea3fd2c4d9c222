// The intake checks over a record in a byte buffer, names and restart rules.
#include "reporter/capture/capture_rules.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/protocol/bug_info.h"

namespace kelvor {
namespace {

// A crashed process's memory: a record at some address inside a larger mapped range.
class FakeProcess {
 public:
  static constexpr uint32_t kBase = 0x00400000;
  static constexpr uint32_t kAt = kBase + 0x100;
  FakeProcess() : memory(0x100 + protocol::kBugInfoSize + 64, 0xCC) {
    protocol::BugInfoBlock b;
    std::memset(&b, 0, sizeof(b));
    b.headerLength = protocol::kBugInfoHeaderLength;
    b.magic = protocol::kBugInfoMagic;
    b.totalSize = protocol::kBugInfoSize;
    b.fullDumpMode = 2;
    protocol::SetSlotText(b.appName, L"Orv.exe");
    Put(b);
  }
  void Put(const protocol::BugInfoBlock& b) { std::memcpy(&memory[0x100], &b, sizeof(b)); }
  protocol::BugInfoBlock& Block() { return *reinterpret_cast<protocol::BugInfoBlock*>(&memory[0x100]); }
  ReadMemoryFn Reader() {
    return [this](uint32_t address, void* buffer, uint32_t size) {
      reads.push_back(size);
      if (address < kBase || address - kBase + uint64_t(size) > memory.size()) return false;
      std::memcpy(buffer, &memory[address - kBase], size);
      return true;
    };
  }
  std::vector<uint8_t> memory;
  std::vector<uint32_t> reads;
};

TEST(ReadBugInfoBlock, AcceptsTheProductsRecordInThreeReads) {
  FakeProcess p;
  std::vector<uint8_t> block;
  ASSERT_EQ(ReadBugInfoBlock(p.Reader(), FakeProcess::kAt, block), IntakeError::None);
  ASSERT_EQ(block.size(), protocol::kBugInfoSize);
  EXPECT_EQ(p.reads, (std::vector<uint32_t>{4, 12, protocol::kBugInfoSize}));
  const protocol::BugInfoBlock* b = reinterpret_cast<const protocol::BugInfoBlock*>(block.data());
  EXPECT_EQ(b->fullDumpMode, 2u);
  EXPECT_EQ(protocol::SlotText(b->appName), L"Orv.exe");
}

TEST(ReadBugInfoBlock, HeaderLengthLimits) {
  for (uint32_t length : {8u, 12u, 32u}) {
    FakeProcess p;
    p.Block().headerLength = length;
    std::vector<uint8_t> block;
    EXPECT_EQ(ReadBugInfoBlock(p.Reader(), FakeProcess::kAt, block), IntakeError::None) << length;
  }
  for (uint32_t length : {33u, 0xFFFFFFFFu}) {
    FakeProcess p;
    p.Block().headerLength = length;
    std::vector<uint8_t> block;
    EXPECT_EQ(ReadBugInfoBlock(p.Reader(), FakeProcess::kAt, block), IntakeError::HeaderTooLong) << length;
    EXPECT_TRUE(block.empty());
    EXPECT_EQ(p.reads.size(), 1u);  // nothing read past the length
  }
  for (uint32_t length : {0u, 4u, 7u}) {  // magic or size would lie outside the header read
    FakeProcess p;
    p.Block().headerLength = length;
    std::vector<uint8_t> block;
    EXPECT_EQ(ReadBugInfoBlock(p.Reader(), FakeProcess::kAt, block), IntakeError::HeaderTooShort) << length;
  }
}

TEST(ReadBugInfoBlock, RefusesWrongSizeOrMagicWithoutReadingTheWhole) {
  for (uint32_t size : {4703u, 4705u, 0u, 0x7FFFFFFFu}) {
    FakeProcess p;
    p.Block().totalSize = size;
    std::vector<uint8_t> block;
    EXPECT_EQ(ReadBugInfoBlock(p.Reader(), FakeProcess::kAt, block), IntakeError::BadSize) << size;
    EXPECT_EQ(p.reads.size(), 2u);  // a forged size never decides how much is read
  }
  FakeProcess p;
  p.Block().magic = 0x90909091u;
  std::vector<uint8_t> block;
  EXPECT_EQ(ReadBugInfoBlock(p.Reader(), FakeProcess::kAt, block), IntakeError::BadMagic);
}

TEST(ReadBugInfoBlock, UnreadableOrShortMemoryIsRefused) {
  FakeProcess p;
  std::vector<uint8_t> block;
  EXPECT_EQ(ReadBugInfoBlock(p.Reader(), 0x10, block), IntakeError::Unreadable);
  // The record's tail runs past the mapped range: the third read comes back short.
  uint32_t nearEnd = FakeProcess::kBase + static_cast<uint32_t>(p.memory.size()) - 100;
  std::memcpy(&p.memory[nearEnd - FakeProcess::kBase], &p.Block(), 16);
  EXPECT_EQ(ReadBugInfoBlock(p.Reader(), nearEnd, block), IntakeError::Unreadable);
  EXPECT_TRUE(block.empty());
}

TEST(SlotText, StopsAtTheSlotEndWhenTheNulIsMissing) {
  protocol::BugInfoBlock b;
  std::memset(&b, 0, sizeof(b));
  for (auto& c : b.productVersion) c = u'7';
  b.showWindow = 'X';  // the byte after the slot must not join the text
  EXPECT_EQ(protocol::SlotText(b.productVersion), std::wstring(30, L'7'));
  protocol::SetSlotText(b.appName, std::wstring(300, L'a'));
  EXPECT_EQ(protocol::SlotText(b.appName).size(), 260u);  // cut to leave room for the NUL
  EXPECT_EQ(b.appName[260], 0);
}

TEST(Names, DumpReportAndFullDumpForms) {
  LocalTime t{2013, 7, 4, 9, 5, 30};
  EXPECT_EQ(DumpFileNameAt(L"App", t), L"App_[2013-7-4_9_5_30].dmp");
  EXPECT_EQ(DumpFileNameAt(L"App", LocalTime{2014, 1, 1, 0, 0, 5}), L"App_[2014-1-1_0_0_5].dmp");
  EXPECT_EQ(DumpFileNameAt(L"", t), L"_[2013-7-4_9_5_30].dmp");
  EXPECT_EQ(ReportNameFor(L"App_[2013-7-4_9_5_30]_1.dmp"), L"App_[2013-7-4_9_5_30]_1.txt");
  EXPECT_EQ(FullDumpNameFor(L"App_[2013-7-4_9_5_30]_1.dmp"), L"App_[2013-7-4_9_5_30]_1_FULL.dmp");
  // Every ".dmp" is replaced, not only the extension.
  EXPECT_EQ(ReportNameFor(L"a.dmp.dmp"), L"a.txt.txt");
}

TEST(Names, ClashVariantsAndDumpFolder) {
  EXPECT_EQ(ClashVariant(L"C:\\d\\A_[1].dmp", 1), L"C:\\d\\A_[1]_1.dmp");
  EXPECT_EQ(ClashVariant(L"C:\\d\\A_[1]_FULL.dmp", 98), L"C:\\d\\A_[1]_FULL_98.dmp");
  EXPECT_EQ(DumpFolderUnder(L"C:\\Vemko"), L"C:\\Vemko\\dump\\");
  EXPECT_EQ(DumpFolderUnder(L"C:\\Vemko\\"), L"C:\\Vemko\\dump\\");
  EXPECT_EQ(DumpFolderUnder(L""), L"");
}

TEST(Names, OlderFullDumpsToDelete) {
  const std::wstring keep = L"App_[2013-7-4_9_5_30]_FULL.dmp";
  EXPECT_TRUE(IsOlderFullDump(L"App_[2013-7-3_8_0_1]_FULL.dmp", keep));
  EXPECT_TRUE(IsOlderFullDump(L"App_[2013-7-3_8_0_1]_full.DMP", keep));
  EXPECT_FALSE(IsOlderFullDump(keep, keep));
  EXPECT_FALSE(IsOlderFullDump(L"app_[2013-7-4_9_5_30]_full.dmp", keep));
  EXPECT_FALSE(IsOlderFullDump(L"App_[2013-7-3_8_0_1]_FULL_1.dmp", keep));
  EXPECT_FALSE(IsOlderFullDump(L"App_[2013-7-3_8_0_1].dmp", keep));
}

TEST(Names, FullDumpsWrittenSinceTheCrashStay) {
  const std::wstring keep = L"App_[2013-7-4_9_5_30]_FULL.dmp";
  const uint64_t crash = 130000000000000000ull;
  EXPECT_TRUE(MayDeleteFullDump(L"App_[2013-7-3_8_0_1]_FULL.dmp", keep, crash - 1, crash));
  // Another crash of the same moment finished or is still writing its full dump: it stays.
  EXPECT_FALSE(MayDeleteFullDump(L"App_[2013-7-4_9_5_30]_1_FULL.dmp", keep, crash, crash));
  EXPECT_FALSE(MayDeleteFullDump(L"App_[2013-7-4_9_5_30]_2_FULL.dmp", keep, crash + 5000000, crash));
  EXPECT_FALSE(MayDeleteFullDump(keep, keep, 0, crash));
  EXPECT_FALSE(MayDeleteFullDump(L"App_[2013-7-3_8_0_1].dmp", keep, 0, crash));
}

TEST(Names, StemIsSafeForFileNamesAndTheUploaderCommandLine) {
  EXPECT_EQ(SafeNameStem(L"Orv", 100), L"Orv");
  EXPECT_EQ(SafeNameStem(L"", 100), L"");
  EXPECT_EQ(SafeNameStem(L"..\\Escape", 100), L"___Escape");
  EXPECT_EQ(SafeNameStem(L"../../x", 100), L"______x");
  EXPECT_EQ(SafeNameStem(L"a/b", 100), L"a_b");
  EXPECT_EQ(SafeNameStem(L"My App", 100), L"My_App");
  EXPECT_EQ(SafeNameStem(L"C:<>\"|?*", 100), L"C_______");
  EXPECT_EQ(SafeNameStem(std::wstring{L'a', L'\t', L'b', wchar_t(1), L'c', wchar_t(0x7F)}, 100), L"a_b_c_");
  // A single dot is an ordinary character; only runs of dots are replaced.
  EXPECT_EQ(SafeNameStem(L"v1.2...3.", 100), L"v1.2___3.");
  EXPECT_EQ(SafeNameStem(L"Ω-Stem", 100), L"Ω-Stem");
  EXPECT_EQ(SafeNameStem(std::wstring(300, L'x'), 200), std::wstring(200, L'x'));
  std::wstring pair = L"ab";
  pair += static_cast<wchar_t>(0xD83D);
  pair += static_cast<wchar_t>(0xDE00);
  EXPECT_EQ(SafeNameStem(pair, 3), L"ab") << "half a surrogate pair is dropped";
  for (const wchar_t* stem : {L"..\\Escape", L"a/b", L"My App", L"x..y"}) {
    std::wstring safe = SafeNameStem(stem, 100);
    EXPECT_EQ(safe.find_first_of(L"\\/ "), std::wstring::npos);
    EXPECT_EQ(safe.find(L".."), std::wstring::npos);
  }
}

TEST(Names, StemBudgetKeepsTheLongestNameWithinMaxPath) {
  const std::wstring folder = L"C:\\Program Files (x86)\\Vemko Antivirus\\dump\\";
  size_t budget = NameStemBudget(folder.size());
  std::wstring stem(budget, L'x');
  LocalTime t{2013, 12, 31, 23, 59, 59};
  std::wstring longest = folder + FullDumpNameFor(ClashVariant(DumpFileNameAt(stem, t), 98));
  longest = ClashVariant(longest, 98);
  EXPECT_EQ(longest.size(), 259u) << "the longest path of a crash's files fills MAX_PATH exactly";
  EXPECT_EQ(NameStemBudget(259 - kLongestNameTail), 0u);
  EXPECT_EQ(NameStemBudget(400), 0u);
}

TEST(Restart, ProductNamesAndThePathDecision) {
  for (const wchar_t* name : {L"OrvSvc.exe", L"QuarnSvc.exe", L"Orv.exe", L"orvtray.exe", L"ORV.EXE"})
    EXPECT_TRUE(IsProductProcessName(name)) << name;
  for (const wchar_t* name : {L"", L"Orv", L"Orv.exe ", L"MyOrv.exe", L"C:\\Orv.exe"})
    EXPECT_FALSE(IsProductProcessName(name));

  // (window shown, restart byte, restart box, product)
  EXPECT_TRUE(TakesRestartPath(false, true, true, false));
  EXPECT_TRUE(TakesRestartPath(false, false, true, true));  // waits, then restarts nothing
  EXPECT_TRUE(TakesRestartPath(true, true, true, true));
  EXPECT_FALSE(TakesRestartPath(true, true, false, true));  // the user cleared the box
  EXPECT_FALSE(TakesRestartPath(true, true, true, false));
  EXPECT_FALSE(TakesRestartPath(false, false, true, false));
}

TEST(Restart, ActionChoice) {
  EXPECT_EQ(ChooseRestartAction(false, true, L"OrvSvc"), RestartAction::Nothing);
  EXPECT_EQ(ChooseRestartAction(true, true, L"OrvSvc"), RestartAction::StartService);
  EXPECT_EQ(ChooseRestartAction(true, true, L""), RestartAction::RunCommandLine);
  EXPECT_EQ(ChooseRestartAction(true, false, L"OrvSvc"), RestartAction::RunCommandLine);
}

}  // namespace
}  // namespace kelvor
