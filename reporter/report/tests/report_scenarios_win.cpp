// Crashes of the installed demo product, checked on the report Kelvor writes and on the command
// line the uploader receives (a recording stand-in installed as Ulvane.exe). Run by
// report_scenarios.py after the install step; it also installs Plain.exe, a copy of the demo whose
// library import is renamed, so that no module on its crash stack is one of ours.
#include <windows.h>
// windows.h first: the other Windows headers build on its types.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/protocol/uploader_switches.h"
#include "common/testing/demo_scenario_win.h"
#include "common/wformat.h"
#include "reporter/report/crash_id.h"

namespace {

using namespace scenario;

bool KelvorRuns() { return CountProcesses({L"Kelvor.exe", L"Ulvane.exe"}) > 0; }

// What one crash left: the report text (UTF-16LE file, BOM kept) and the uploader's command line.
struct CrashResult {
  std::string reportBytes;
  std::wstring report;
  std::wstring reportName;
  std::wstring received;
  DWORD kelvorGone = 0;
};

class ReportScenarios : public ::testing::Test {
 protected:
  void SetUp() override {
    const InstalledProduct product = PrepareInstalled();
    ASSERT_FALSE(product.folder.empty());
    install_ = product.folder;
    dump_ = product.dump;
  }

  CrashResult Crash(const std::wstring& program, const std::wstring& arguments, bool clearDumps = true) {
    CrashResult result;
    if (clearDumps) DeleteFiles(dump_);
    if (RunAndWait(L"\"" + install_ + program + L"\" " + arguments) == kNotStarted) return result;
    // Kelvor starts the uploader after the release and then ends; both must be done.
    result.kelvorGone = WaitUntil([] { return !KelvorRuns(); }, 120000, 100) ? 1 : 0;
    std::vector<std::wstring> reports = ListFiles(dump_, L"*.txt");
    if (reports.size() == 1) {
      result.reportName = reports[0];
      result.reportBytes = ReadFileBytes(dump_ + reports[0]);
      result.report = ReadUtf16File(dump_ + reports[0]);
    }
    result.received = TakeReceived(install_);
    return result;
  }

  std::wstring install_, dump_;
};

// The signature as the report's stack shows it: the offsets of the frames in our modules, whose
// short names the symbol handler reports without the extension.
std::wstring SignatureOf(const std::vector<StackLine>& lines, const std::vector<std::wstring>& ours) {
  std::wstring signature;
  for (const StackLine& s : lines)
    for (const std::wstring& name : ours)
      if (lstrcmpiW(s.module.c_str(), name.c_str()) == 0)
        signature +=
            (signature.empty() ? L"" : L" ") + suite::WFormat(L"%x", static_cast<unsigned>(s.offset));
  return signature;
}

std::wstring ExpectedCommandLine(const std::wstring& dumpName, const std::wstring& module,
                                 const std::wstring& app, const std::wstring& id) {
  return L"/Start:report /Path:" + dumpName + L" /Version:1.0.0.1 /Module:" + module + L" /App:" + app +
         L" /ID:" + id + L" /Email:";
}

// The report names `module` and the ID made of `signature`, and the uploader was handed both with
// the name of the report's dump; the ID.
std::wstring ExpectHandedOver(const CrashResult& r, const std::wstring& module, const std::wstring& app,
                              const std::wstring& signature) {
  const std::wstring hash = Field(r.report, L"\r\nHashCode:", L"\r\n");
  EXPECT_EQ(Field(r.report, L"\r\nModule:", L"   Data:"), module);
  EXPECT_EQ(hash, kelvor::MakeCrashId(signature)) << "signature from the stack: " << suite::ToUtf8(signature);
  const std::wstring dumpName = r.reportName.substr(0, r.reportName.size() - 4) + L".dmp";
  EXPECT_EQ(r.received, ExpectedCommandLine(dumpName, module, app, hash));
  return hash;
}

TEST_F(ReportScenarios, FaultInsideOurLibraryGroupsAcrossRuns) {
  CrashResult first = Crash(L"Orv.exe", L"--stem DllFault crash dll");
  ASSERT_FALSE(first.report.empty()) << "no report in " << suite::ToUtf8(dump_);
  EXPECT_EQ(first.reportBytes.substr(0, 2), std::string("\xFF\xFE"));
  EXPECT_EQ(first.reportBytes.size() % 2, 0u);
  EXPECT_EQ(first.kelvorGone, 1u);

  std::vector<StackLine> lines = ReportStack(first.report);
  ASSERT_GE(lines.size(), 3u) << suite::ToUtf8(first.report.substr(0, 1500));
  // The first frame is the faulting write inside OrvCoreFault.
  HMODULE core = LoadLibraryW((install_ + L"OrvCore.dll").c_str());
  ASSERT_NE(core, nullptr);
  unsigned long long faultFunction =
      reinterpret_cast<DWORD_PTR>(GetProcAddress(core, "OrvCoreFault")) - reinterpret_cast<DWORD_PTR>(core);
  EXPECT_EQ(lstrcmpiW(lines[0].module.c_str(), L"OrvCore"), 0) << suite::ToUtf8(lines[0].module);
  EXPECT_GE(lines[0].offset, faultFunction);
  EXPECT_LT(lines[0].offset, faultFunction + 0x40);

  const std::wstring hash =
      ExpectHandedOver(first, L"OrvCore.dll", L"Orv.exe", SignatureOf(lines, {L"OrvCore", L"Orv"}));
  EXPECT_NE(hash, protocol::kFixedCrashId);

  // The same crash again, in a new process: the same ID.
  CrashResult second = Crash(L"Orv.exe", L"--stem DllFault crash dll");
  EXPECT_EQ(Field(second.report, L"\r\nHashCode:", L"\r\n"), hash);
  EXPECT_NE(second.received.find(L" /ID:" + hash + L" /Email:"), std::wstring::npos)
      << suite::ToUtf8(second.received);
}

TEST_F(ReportScenarios, DeepRecursionGivesExactlyFiftyFrames) {
  CrashResult r = Crash(L"Orv.exe", L"--stem Deep crash recursion");
  ASSERT_FALSE(r.report.empty());
  std::vector<StackLine> lines = ReportStack(r.report);
  EXPECT_EQ(lines.size(), 50u);
  ExpectHandedOver(r, L"Orv.exe", L"Orv.exe", SignatureOf(lines, {L"OrvCore", L"Orv"}));
}

TEST_F(ReportScenarios, NoModuleOfOursGivesUnknownAndTheFirstOffset) {
  // Plain.exe is the demo with its library import renamed to OrvXore.dll: nothing on its stack
  // is one of our modules.
  CrashResult r = Crash(L"Plain.exe", L"--stem Plain crash null");
  ASSERT_FALSE(r.report.empty());
  std::vector<StackLine> lines = ReportStack(r.report);
  ASSERT_GE(lines.size(), 2u);
  // The signature is the first frame's offset, in decimal.
  ExpectHandedOver(r, L"UnKnown", L"Plain.exe",
                   suite::WFormat(L"%lld", static_cast<long long>(lines[0].offset)));
}

TEST_F(ReportScenarios, ChildWindowsProcessesAndMemoryOfALiveCrash) {
  CrashResult r = Crash(L"Orv.exe", L"--stem Win crash window");
  ASSERT_FALSE(r.report.empty());
  // The demo's main window holds a "Scan" button and an edit showing "C:\"; the top-level window
  // itself gets no entry.
  std::wstring windows = Field(r.report, L"\r\n\r\nWindow Info:\r\n", L"\r\n\r\nSystem Memory:\r\n");
  EXPECT_EQ(windows.substr(0, 5), L"hwnd:") << suite::ToUtf8(windows);
  EXPECT_NE(windows.find(L"  Window Text:Scan\r\n"), std::wstring::npos) << suite::ToUtf8(windows);
  size_t entries = 0;
  for (size_t at = windows.find(L"hwnd:"); at != std::wstring::npos; at = windows.find(L"hwnd:", at + 1))
    ++entries;
  EXPECT_EQ(entries, 2u);
  EXPECT_EQ(windows.find(L"Window Text:C:"), std::wstring::npos);
  EXPECT_EQ(windows.find(L"Orv demo"), std::wstring::npos);
  EXPECT_NE(r.report.find(L"\r\nSystem Process:\r\n"), std::wstring::npos);
  EXPECT_NE(r.report.find(L"Orv.exe Pid:"), std::wstring::npos);
  EXPECT_NE(r.report.find(L"\r\nCommand:\r\n\"" + install_ +
                          L"Orv.exe\" --stem Win crash window\r\n\r\nWindow Info:"),
            std::wstring::npos);
  EXPECT_NE(r.report.find(L"\r\nProcess Memory:\r\nWorkingSetSize:"), std::wstring::npos);
  EXPECT_EQ(r.report.substr(r.report.size() - 16), L"\r\nUserContext:\r\n");
}

TEST_F(ReportScenarios, DumpUnderTheClashNameIsTheOneSent) {
  // Names for the next two minutes are taken, so the dump goes to the "_1" variant.
  SYSTEMTIME now;
  GetLocalTime(&now);
  FILETIME ft;
  SystemTimeToFileTime(&now, &ft);
  DeleteFiles(dump_);
  for (int s = 0; s < 120; ++s) {
    ULARGE_INTEGER t;
    t.LowPart = ft.dwLowDateTime;
    t.HighPart = ft.dwHighDateTime;
    t.QuadPart += static_cast<ULONGLONG>(s) * 10000000ULL;
    FILETIME f = {t.LowPart, t.HighPart};
    SYSTEMTIME st;
    FileTimeToSystemTime(&f, &st);
    std::wstring name = suite::WFormat(L"Clash_[%d-%d-%d_%d_%d_%d].dmp", st.wYear, st.wMonth, st.wDay,
                                       st.wHour, st.wMinute, st.wSecond);
    suite::ScopedFile created(
        CreateFileW((dump_ + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  }
  CrashResult r = Crash(L"Orv.exe", L"--stem Clash crash dll", false);
  ASSERT_FALSE(r.report.empty());
  EXPECT_EQ(r.reportName.substr(r.reportName.size() - 6), L"_1.txt");
  std::wstring path = Field(r.received, L"/Path:", L" /Version:");
  EXPECT_EQ(path.substr(path.size() - 6), L"_1.dmp") << suite::ToUtf8(r.received);
  EXPECT_EQ(path, r.reportName.substr(0, r.reportName.size() - 4) + L".dmp");
}

// ---- What the crashed process hands over is not trusted; a crash never touches another's ----

// The uploader's value rule: from the switch to the first space.
std::wstring UploaderValue(const std::wstring& line, const std::wstring& name) {
  size_t at = line.find(name);
  if (at == std::wstring::npos) return L"<missing>";
  at += name.size();
  return line.substr(at, line.find(L' ', at) - at);
}

TEST_F(ReportScenarios, StemsFromTheCrashedProcessAreMadeSafe) {
  struct Case {
    std::wstring program, options, stem;
  } cases[] = {
      {L"Orv.exe", L"--stem ..\\Escape", L"___Escape"},
      {L"Orv.exe", L"--stem a/b", L"a_b"},
      {L"Orv.exe", L"--stem \"My Stem\"", L"My_Stem"},
      {L"My Orv.exe", L"", L"My_Orv"},  // the default stem, from the program's name
      {L"Orv.exe", L"--stem " + std::wstring(250, L'L'), L""},
  };
  ASSERT_TRUE(CopyFileW((install_ + L"Orv.exe").c_str(), (install_ + L"My Orv.exe").c_str(), FALSE));
  for (const Case& c : cases) {
    SCOPED_TRACE(suite::ToUtf8(c.options.substr(0, 40)));
    CrashResult r = Crash(c.program, c.options + L" crash null");
    ASSERT_FALSE(r.reportName.empty()) << "a report in the dump folder";
    const std::wstring base = r.reportName.substr(0, r.reportName.size() - 4);
    if (!c.stem.empty()) {
      EXPECT_EQ(base.substr(0, c.stem.size() + 2), c.stem + L"_[");
    } else {
      // Cut so that every file of the crash, clash and full-dump forms included, fits MAX_PATH.
      EXPECT_EQ(base.substr(0, 10), std::wstring(10, L'L'));
      EXPECT_LE((dump_ + base + L"_98_FULL_98.dmp").size(), 259u);
    }
    WIN32_FILE_ATTRIBUTE_DATA dumpData = {};
    ASSERT_TRUE(GetFileAttributesExW((dump_ + base + L".dmp").c_str(), GetFileExInfoStandard, &dumpData));
    EXPECT_GT(dumpData.nFileSizeLow, 0u);
    EXPECT_EQ(Mark(base + L".dmp"), 0);
    // Every value reaches the uploader whole: the dump's name as written, a 32-character ID.
    EXPECT_EQ(UploaderValue(r.received, L"/Path:"), base + L".dmp") << suite::ToUtf8(r.received);
    EXPECT_EQ(UploaderValue(r.received, L"/ID:").size(), 32u);
    const std::wstring module = UploaderValue(r.received, L"/Module:");
    EXPECT_TRUE(module == L"Orv.exe" || module == L"OrvCore.dll") << suite::ToUtf8(module);
  }
  EXPECT_TRUE(ListFiles(install_, L"*Escape*").empty()) << "nothing outside the dump folder";
  EXPECT_TRUE(ListFiles(install_, L"*.dmp").empty());
  DeleteFileW((install_ + L"My Orv.exe").c_str());
  DeleteMarks(kVersion);
}

TEST_F(ReportScenarios, AFailedDumpNeverTouchesAnotherCrashAndLeavesNoEmptyDump) {
  // An earlier crash owns every name of this stem for the next minute: dump, report and mark 1.
  DeleteFiles(dump_);
  DeleteMarks(kVersion);
  const std::vector<std::wstring> earlier = CrashNamesAround(L"Earlier", -1, 59);
  for (const auto& base : earlier) {
    WriteFileBytes(dump_ + base + L".dmp", "earlier dump");
    WriteFileBytes(dump_ + base + L".txt", "earlier report");
    SetMark(base + L".dmp", 1);
  }
  // An older full dump: a full dump that fails must not make it go (full-dump mode 1).
  const std::wstring olderFull = L"Earlier_[2000-1-1_0_0_1]_FULL.dmp";
  WriteFileBytes(dump_ + olderFull, "older full dump");
  // DbgHelp beside Kelvor cuts the dump off and cannot walk a stack.
  // Wine prefers its own DbgHelp unless told to take the copy beside the program, as Windows does.
  ASSERT_TRUE(CopyFileW(HostPath(FAILING_DBGHELP_DLL).c_str(), (install_ + L"DbgHelp.dll").c_str(), FALSE));
  const wchar_t kOverrides[] = L"Software\\Wine\\AppDefaults\\Kelvor.exe\\DllOverrides";
  WriteRegistryString(HKEY_CURRENT_USER, kOverrides, L"dbghelp", L"native,builtin");
  CrashResult r = Crash(L"Orv.exe", L"--stem Earlier --full-dump 1 crash null", false);
  RegDeleteKeyW(HKEY_CURRENT_USER, kOverrides);
  DeleteFileW((install_ + L"DbgHelp.dll").c_str());

  for (const auto& base : earlier) {
    EXPECT_EQ(ReadFileBytes(dump_ + base + L".dmp"), "earlier dump");
    EXPECT_EQ(ReadFileBytes(dump_ + base + L".txt"), "earlier report");
    EXPECT_EQ(Mark(base + L".dmp"), 1) << "the earlier crash's mark";
  }
  // The new crash took the first name free of both dump and report, kept its report, left no
  // dump at all, and marked and handed over that name.
  std::vector<std::wstring> mine = ListFiles(dump_, L"*_1.*");
  ASSERT_EQ(mine.size(), 1u) << suite::ToUtf8(mine.empty() ? L"" : mine[0] + L" " + mine.back());
  const std::wstring base = mine[0].substr(0, mine[0].size() - 6);
  EXPECT_EQ(mine[0], base + L"_1.txt");
  std::string report = ReadFileBytes(dump_ + mine[0]);
  EXPECT_EQ(report.substr(0, 2), std::string("\xFF\xFE"));
  for (const auto& name : ListFiles(dump_)) EXPECT_GT(FileSize(dump_ + name), 0u) << suite::ToUtf8(name);
  EXPECT_EQ(Mark(base + L"_1.dmp"), 0);
  EXPECT_EQ(ReadFileBytes(dump_ + olderFull), "older full dump");
  EXPECT_TRUE(ListFiles(dump_, L"*_1_FULL*").empty()) << "the failed full dump left nothing";
  // The walk could not start: the uploader still gets a module it accepts.
  EXPECT_EQ(r.received,
            ExpectedCommandLine(base + L"_1.dmp", L"UnKnown", L"Orv.exe", protocol::kFixedCrashId));
  DeleteMarks(kVersion);
}

TEST_F(ReportScenarios, WithoutInstallDirDumpsAndUploaderAreBesideKelvor) {
  // The uninstall key stays, its "InstallDir" goes: Kelvor's own folder takes the dump folder's
  // place, and the uploader that starts is the one there, not one in the current folder.
  CrashResult r;
  {
    InstallDirScope restore;
    ASSERT_TRUE(InstallDirScope::Set(nullptr));
    r = Crash(L"Orv.exe", L"--stem NoDir crash null");
  }
  std::vector<std::wstring> dumps = ListFiles(install_, L"NoDir_*.dmp");
  std::vector<std::wstring> reports = ListFiles(install_, L"NoDir_*.txt");
  ASSERT_EQ(dumps.size(), 1u);
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_EQ(UploaderValue(r.received, L"/Path:"), dumps[0]) << suite::ToUtf8(r.received);
  DeleteFiles(install_, L"NoDir_*");
  DeleteMarks(kVersion);
}

}  // namespace
