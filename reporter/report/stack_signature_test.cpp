#include "reporter/report/stack_signature.h"

#include <gtest/gtest.h>

#include <set>

namespace {
using namespace kelvor;

FrameModule Module(uint64_t base, const std::wstring& path, const std::wstring& shortName = L"") {
  FrameModule m;
  m.found = true;
  m.base = base;
  m.imagePath = path;
  m.moduleName = shortName;
  return m;
}

struct Walk {
  OneShotFlags flags;
  std::wstring faultModule;
  CStackSignature sig{flags, faultModule};
  Walk() { sig.Begin(); }
};

TEST(SuiteModules, FortyThreeDistinctNamesMatchedWhole) {
  std::set<std::wstring> lower;
  for (const wchar_t* name : SuiteModuleNames) {
    std::wstring n = name;
    for (wchar_t& c : n) c = static_cast<wchar_t>(towlower(c));
    lower.insert(n);
  }
  EXPECT_EQ(lower.size(), 43u);
  for (const wchar_t* required :
       {L"kelvor.exe", L"ulvane.exe", L"drummet.exe", L"skindle.dll", L"communication.dll", L"orvcore.dll",
        L"orvsvc.exe", L"quarnsvc.exe", L"orv.exe", L"orvtray.exe", L"wininet.dll", L"winhttp.dll"})
    EXPECT_EQ(lower.count(required), 1u) << required;

  bool ntdll = false;
  EXPECT_TRUE(IsSuiteModule(L"ORVCORE.DLL", ntdll));
  EXPECT_FALSE(ntdll);
  EXPECT_FALSE(IsSuiteModule(L"OrvCore.dl", ntdll));
  EXPECT_FALSE(IsSuiteModule(L"xOrv.exe", ntdll));
  EXPECT_FALSE(IsSuiteModule(L"NTDLL.dll", ntdll));
  EXPECT_TRUE(ntdll);
  // An empty name leaves the flag as it was.
  EXPECT_FALSE(IsSuiteModule(L"", ntdll));
  EXPECT_TRUE(ntdll);
}

TEST(StackSignature, FrameLinePrintsEightUpperCaseDigits) {
  EXPECT_EQ(FormatFrameLine(0x6a281234, 0x1234, L"OrvCore"), L"0x6A281234  0x00001234  OrvCore\r\n");
  EXPECT_EQ(FormatFrameLine(0x7b00ff, 0x7b00ff, L""), L"0x007B00FF  0x007B00FF  \r\n");
}

TEST(StackSignature, SuiteFramesGiveHexOffsetsInOrderWithRepeats) {
  Walk w;
  w.sig.AddFrame(0x1000 + 26, Module(0x1000, L"C:\\Orv\\OrvCore.dll", L"OrvCore"));
  w.sig.AddFrame(0x7b000010, Module(0x7b000000, L"C:\\windows\\system32\\kernel32.dll", L"kernel32"));
  w.sig.AddFrame(0x400000 + 64, Module(0x400000, L"C:\\Orv\\Orv.exe"));
  w.sig.AddFrame(0x1000 + 26, Module(0x1000, L"C:\\Orv\\OrvCore.dll", L"OrvCore"));
  w.sig.Finish();
  EXPECT_EQ(w.sig.signature, L"1a 40 1a");
  EXPECT_EQ(w.faultModule, L"OrvCore.dll");
  EXPECT_FALSE(w.sig.allInNtdll);
  EXPECT_EQ(w.sig.frames, 4u);
  EXPECT_EQ(w.sig.stackText,
            L"\r\nStack:\r\n0x0000101A  0x0000001A  OrvCore\r\n0x7B000010  0x00000010  kernel32\r\n"
            L"0x00400040  0x00000040  \r\n0x0000101A  0x0000001A  OrvCore\r\n");
}

TEST(StackSignature, OnlySystemFramesGiveTheDecimalFirstOffset) {
  Walk w;
  w.sig.AddFrame(0x50000000, FrameModule());  // no module: program counter twice
  w.sig.AddFrame(0x7b012345, Module(0x7b000000, L"C:\\windows\\system32\\kernel32.dll", L"kernel32"));
  w.sig.AddFrame(0x7b012399, Module(0x7b000000, L"C:\\windows\\system32\\kernel32.dll", L"kernel32"));
  w.sig.Finish();
  EXPECT_EQ(w.sig.signature, L"74565");
  EXPECT_EQ(w.faultModule, L"UnKnown");
  EXPECT_EQ(w.sig.stackText.substr(10, 26), L"0x50000000  0x50000000  \r\n");
}

TEST(StackSignature, OnlyNtdllFramesGiveNoSignature) {
  Walk w;
  w.sig.AddFrame(0x7bc12345, Module(0x7bc00000, L"C:\\windows\\system32\\ntdll.dll", L"ntdll"));
  w.sig.AddFrame(0x7bc00010, Module(0x7bc00000, L"C:\\windows\\system32\\ntdll.dll", L"ntdll"));
  w.sig.Finish();
  EXPECT_TRUE(w.sig.allInNtdll);
  EXPECT_EQ(w.sig.signature, L"");
  EXPECT_EQ(w.faultModule, L"UnKnown");

  // One frame elsewhere ends the ntdll-only rule.
  Walk mixed;
  mixed.sig.AddFrame(0x7bc12345, Module(0x7bc00000, L"C:\\windows\\system32\\ntdll.dll", L"ntdll"));
  mixed.sig.AddFrame(0x7b000020, Module(0x7b000000, L"C:\\windows\\system32\\kernel32.dll"));
  mixed.sig.Finish();
  EXPECT_FALSE(mixed.sig.allInNtdll);
  EXPECT_EQ(mixed.sig.signature, L"74565");
}

TEST(StackSignature, NoFramesOrNoFoundModuleGiveNoSignature) {
  Walk none;
  none.sig.Finish();
  EXPECT_EQ(none.sig.signature, L"");
  EXPECT_EQ(none.sig.stackText, L"\r\nStack:\r\n");
  Walk unknown;
  unknown.sig.AddFrame(0x50000000, FrameModule());
  unknown.sig.Finish();
  EXPECT_EQ(unknown.sig.signature, L"");  // a module without an image path gives no first offset
}

TEST(StackSignature, OneShotFlagsKeepTheFirstWalksFindings) {
  OneShotFlags flags;
  std::wstring fault;
  CStackSignature first(flags, fault);
  first.Begin();
  first.AddFrame(0x7b000100, Module(0x7b000000, L"C:\\windows\\system32\\kernel32.dll"));
  first.AddFrame(0x1010, Module(0x1000, L"C:\\Orv\\Orv.exe"));
  first.AddFrame(0x2020, Module(0x2000, L"C:\\Orv\\OrvCore.dll"));
  first.Finish();
  EXPECT_EQ(first.signature, L"10 20");
  EXPECT_EQ(fault, L"Orv.exe");
  EXPECT_FALSE(flags.faultModulePending);
  EXPECT_FALSE(flags.firstOffsetPending);

  CStackSignature second(flags, fault);
  second.Begin();
  second.AddFrame(0x7b000200, Module(0x7b000000, L"C:\\windows\\system32\\kernel32.dll"));
  second.AddFrame(0x2030, Module(0x2000, L"C:\\Orv\\OrvCore.dll"));
  second.Finish();
  EXPECT_EQ(second.signature, L"30");
  EXPECT_EQ(fault, L"Orv.exe");
  // The first offset was taken by the first walk: a system-only second walk has none.
  CStackSignature third(flags, fault);
  third.Begin();
  third.AddFrame(0x7b000300, Module(0x7b000000, L"C:\\windows\\system32\\kernel32.dll"));
  third.Finish();
  EXPECT_EQ(third.signature, L"");
}

TEST(StackSignature, LongImagePathsAndBareNames) {
  Walk w;
  w.sig.AddFrame(0x1004, Module(0x1000, L"Kelvor.exe"));  // a path without a backslash is the name
  w.sig.Finish();
  EXPECT_EQ(w.sig.signature, L"4");
  EXPECT_EQ(w.faultModule, L"Kelvor.exe");
}

TEST(StackSignature, AWalkThatStandsStillMakesNoProgress) {
  const WalkPosition at = {0x401000, 0x12ff00, 0x12fe00};
  EXPECT_FALSE(WalkMadeProgress(at, at));
  EXPECT_FALSE(WalkMadeProgress(at, {0x402000, 0x12ff00, 0x12fe00})) << "another pc on the same frame";
  EXPECT_FALSE(WalkMadeProgress(at, {0x401000, 0x12fe00, 0x12fd00})) << "downwards";
  EXPECT_TRUE(WalkMadeProgress(at, {0x401000, 0x12ff40, 0x12ff08}));
  EXPECT_TRUE(WalkMadeProgress(at, {0x7c900000, 0, 0x12ff08})) << "the last frame of a chain";
}

}  // namespace
