// Crashes of the installed demo product under Wine, checked on what they leave behind: files in
// <install>\dump\, the registry mark, the moment of release (the demo's release note lists what
// existed when its wait returned), Kelvor's exit, restarts of programs and of a service. Run by
// capture_scenarios.py after the install step; it also opens the kept dumps with lldb.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "common/scoped_handle_win.h"
#include "common/testing/demo_scenario_win.h"
#include "common/wformat.h"

namespace {

const wchar_t kWork[] = L"C:\\capture_scenarios\\";
using namespace scenario;

const std::regex kDumpName(R"(^([A-Za-z]+)_\[\d{4}-\d{1,2}-\d{1,2}_\d{1,2}_\d{1,2}_\d{1,2}\](_\d+)?\.dmp$)");

class CaptureScenario : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { CreateDirectoryW(kWork, nullptr); }

  void SetUp() override {
    install = InstallFolder();
    ASSERT_FALSE(install.empty()) << "run the install step first";
    dump = install + L"dump\\";
    ASSERT_TRUE(Exists(install + L"Kelvor.exe"));
    ASSERT_TRUE(WaitUntilAllEnded());
    DeleteFiles(dump);
    DeleteMarks(L"1.0.0.1");
  }

  // Crashes the demo with the given options and waits until it, Kelvor and anything restarted
  // have ended. Returns the demo's release note.
  Note Crash(const std::wstring& options, const std::wstring& kind, DWORD* exitCode = nullptr) {
    std::wstring notePath = std::wstring(kWork) + L"note.txt";
    DeleteFileW(notePath.c_str());
    DWORD code =
        RunAndWait(L"\"" + install + L"Orv.exe\" --observe " + notePath + L" " + options + L" crash " + kind);
    if (exitCode) *exitCode = code;
    EXPECT_TRUE(WaitUntilAllEnded());
    return ParseNote(ReadFileBytes(notePath));
  }

  // Keeps a dump for the host side, which opens it with lldb and looks for this code and thread.
  void KeepForReader(const std::wstring& dumpName, const Note& note) {
    std::wstring kept = std::wstring(kWork) + L"kept_" + dumpName;
    ASSERT_TRUE(CopyFileW((dump + dumpName).c_str(), kept.c_str(), FALSE));
    std::string command = note.Get("reporter_command");
    std::string fields = command.substr(command.find(':', command.find("/BugInfo")) + 1);
    unsigned long address = 0, pid = 0, tid = 0, event = 0;
    sscanf(fields.c_str(), "%lx,%lu,%lu,%lu", &address, &pid, &tid, &event);
    std::string line = suite::ToUtf8(L"kept_" + dumpName) + "|" + note.Get("exception_code") + "|" +
                       std::to_string(tid) + "\n";
    AppendFileBytes(std::wstring(kWork) + L"reader_checks.txt", line);
  }

  std::wstring install, dump;
};

// ---- Normal crash, names, mark, release with full-dump mode 0 --------------------------------

TEST_F(CaptureScenario, ModeZeroReleasesAfterReportAndMarkWithNoFullDump) {
  DeleteFileW((std::wstring(kWork) + L"reader_checks.txt").c_str());
  DWORD exitCode = 0;
  Note note = Crash(L"--app-name Scenario.exe --wait-kelvor", L"null", &exitCode);
  ASSERT_EQ(note.Get("released"), "1");
  EXPECT_EQ(note.Get("reporter_exit"), "0");
  EXPECT_EQ(exitCode, std::stoul(note.Get("exception_code"), nullptr, 16));  // the demo ended by its crash

  std::string dumpName, reportName;
  for (auto& f : note.files) {
    std::smatch m;
    if (std::regex_match(f.first, m, kDumpName)) dumpName = f.first;
  }
  ASSERT_FALSE(dumpName.empty()) << note.Get("files");
  EXPECT_EQ(dumpName.substr(0, 4), "Orv_");
  reportName = dumpName.substr(0, dumpName.size() - 4) + ".txt";
  EXPECT_GT(note.files[dumpName], 0u);
  EXPECT_GT(note.files[reportName], 0u) << "the report exists at the release";
  EXPECT_EQ(note.files.size(), 2u) << "no full dump in mode 0: " << note.Get("files");
  EXPECT_EQ(note.marks[dumpName], "4:0") << "REG_DWORD 0 at the release";
  std::wstring wideDump(dumpName.begin(), dumpName.end());
  DWORD data = 1, type = 0;
  EXPECT_TRUE(MarkExists(L"1.0.0.1", wideDump, &data, &type));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(data, 0u);
  KeepForReader(wideDump, note);
}

// ---- Full dumps: release order and the clean-up of older ones --------------------------------

TEST_F(CaptureScenario, ModeOneReleasesAfterTheFullDumpAndTheCleanUp) {
  Touch(dump + L"Orv_[2000-1-1_0_0_1]_FULL.dmp", 10);
  Touch(dump + L"Old_[2000-1-1_0_0_2]_full.DMP", 10);
  Touch(dump + L"Orv_[2000-1-1_0_0_3]_FULL_1.dmp", 10);
  Touch(dump + L"Orv_[2000-1-1_0_0_4].dmp", 10);
  Note note = Crash(L"--full-dump 1 --app-name Scenario.exe --wait-kelvor", L"divzero");
  ASSERT_EQ(note.Get("released"), "1");
  std::string full;
  for (auto& f : note.files)
    if (f.first.size() > 9 && f.first.compare(f.first.size() - 9, 9, "_FULL.dmp") == 0 &&
        f.first.find("2000") == std::string::npos)
      full = f.first;
  ASSERT_FALSE(full.empty()) << "the full dump exists at the release: " << note.Get("files");
  EXPECT_GT(note.files[full], 1000000u);
  EXPECT_EQ(note.files[full], note.filesAtEnd[full]) << "complete at the release";
  EXPECT_EQ(note.files.count("Orv_[2000-1-1_0_0_1]_FULL.dmp"), 0u) << "older full dumps gone at the release";
  EXPECT_EQ(note.files.count("Old_[2000-1-1_0_0_2]_full.DMP"), 0u);
  EXPECT_EQ(note.files.count("Orv_[2000-1-1_0_0_3]_FULL_1.dmp"), 1u) << "not of the _FULL.dmp form";
  EXPECT_EQ(note.files.count("Orv_[2000-1-1_0_0_4].dmp"), 1u);
  // Kelvor ended only after its worker: it had released the demo and the full dump was whole.
  EXPECT_EQ(note.Get("reporter_ended"), "1");
  EXPECT_EQ(note.Get("reporter_exit"), "0");
  EXPECT_EQ(note.filesAtEnd.count(full), 1u);
}

TEST_F(CaptureScenario, ModeTwoKeepsOlderFullDumps) {
  Touch(dump + L"Orv_[2000-1-1_0_0_1]_FULL.dmp", 10);
  Note note = Crash(L"--full-dump 2 --app-name Scenario.exe --wait-kelvor", L"dll");
  ASSERT_EQ(note.Get("released"), "1");
  int fullDumps = 0;
  for (auto& f : note.files)
    if (f.first.find("_FULL.dmp") != std::string::npos) ++fullDumps;
  EXPECT_EQ(fullDumps, 2) << note.Get("files");
  EXPECT_EQ(note.files.count("Orv_[2000-1-1_0_0_1]_FULL.dmp"), 1u);
  EXPECT_EQ(note.Get("reporter_exit"), "0");
}

// ---- Many crashes at once -------------------------------------------------------------------

// Ten demo products, one stem, crashing at the same moment (they wait for one event): each crash
// gets its own dump, report and mark, every product is released and ends, and no full dump of
// any of them is deleted by another's clean-up. An older full dump planted first goes in mode 1.
TEST_F(CaptureScenario, TenCrashesAtOnceInEveryFullDumpMode) {
  const int kCrashes = 10;
  // Mode 2 deletes nothing, so ten of its crashes at once would show nothing that mode 1 (the
  // clean-up racing the other crashes) and ModeTwoKeepsOlderFullDumps do not.
  for (int mode : {0, 1}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    DeleteFiles(dump);
    DeleteMarks(L"1.0.0.1");
    const std::wstring old = L"Orv_[2000-1-1_0_0_1]_FULL.dmp";
    Touch(dump + old, 10);
    const std::wstring eventName = L"CaptureScenarioStart" + std::to_wstring(mode);
    suite::ScopedKernelObject start(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    ASSERT_TRUE(start);
    std::vector<suite::ScopedKernelObject> products;
    for (int i = 0; i < kCrashes; ++i) {
      std::wstring note = std::wstring(kWork) + L"many" + std::to_wstring(i) + L".txt";
      DeleteFileW(note.c_str());
      std::wstring line = L"\"" + install + L"Orv.exe\" --observe " + note + L" --wait-kelvor --full-dump " +
                          std::to_wstring(mode) + L" --app-name Scenario.exe --start-event " + eventName +
                          L" crash null";
      products.push_back(StartProcess(line));
      ASSERT_TRUE(products.back());
    }
    Sleep(3000);  // all of them started and waiting
    SetEvent(start.get());
    for (const auto& p : products) {
      EXPECT_EQ(WaitForSingleObject(p.get(), 240000), WAIT_OBJECT_0) << "every product ends";
      EXPECT_EQ(WaitForExit(p.get(), 0), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION))
          << "ended by its own crash";
    }
    ASSERT_TRUE(WaitUntilAllEnded(120000));

    std::set<std::string> dumps;
    for (int i = 0; i < kCrashes; ++i) {
      Note note = ParseNote(ReadFileBytes(std::wstring(kWork) + L"many" + std::to_wstring(i) + L".txt"));
      EXPECT_EQ(note.Get("released"), "1") << "product " << i;
      EXPECT_EQ(note.Get("reporter_exit"), "0") << "product " << i;
    }
    std::vector<std::wstring> files = ListFiles(dump);
    int reports = 0, fullDumps = 0;
    for (const auto& name : files) {
      std::string n = suite::ToUtf8(name);
      const unsigned long size = FileSize(dump + name);
      EXPECT_GT(size, 0u) << n;
      if (name == old) continue;
      if (n.size() > 9 && n.compare(n.size() - 9, 9, "_FULL.dmp") == 0) {
        ++fullDumps;
        EXPECT_GT(size, 1000000u) << n;
      } else if (n.size() > 4 && n.compare(n.size() - 4, 4, ".txt") == 0) {
        ++reports;
      } else if (n.size() > 4 && n.compare(n.size() - 4, 4, ".dmp") == 0) {
        dumps.insert(n);
        EXPECT_TRUE(MarkExists(L"1.0.0.1", name)) << n;
        std::wstring report = name.substr(0, name.size() - 4) + L".txt";
        EXPECT_GT(ReadFileBytes(dump + report).size(), 100u) << "its own report " << n;
      }
    }
    EXPECT_EQ(dumps.size(), static_cast<size_t>(kCrashes));
    EXPECT_EQ(reports, kCrashes);
    EXPECT_EQ(fullDumps, mode == 0 ? 0 : kCrashes) << "no full dump of these crashes was deleted";
    EXPECT_EQ(Exists(dump + old), mode != 1) << "the older full dump goes in mode 1 only";
  }
  DeleteFiles(dump);
  DeleteMarks(L"1.0.0.1");
}

// ---- Name clashes ----------------------------------------------------------------------------

TEST_F(CaptureScenario, ATakenNameMovesDumpReportAndFullDumpToTheVariant) {
  for (const auto& base : CrashNamesAround(L"Clash", -2, 40)) Touch(dump + base + L".dmp");
  Note note = Crash(L"--stem Clash --full-dump 2 --app-name Scenario.exe --wait-kelvor", L"null");
  ASSERT_EQ(note.Get("released"), "1");
  std::string variant;
  for (auto& f : note.filesAtEnd)
    if (f.first.size() > 6 && f.first.compare(f.first.size() - 6, 6, "_1.dmp") == 0) variant = f.first;
  ASSERT_FALSE(variant.empty()) << note.Get("files_at_end");
  std::string base = variant.substr(0, variant.size() - 6);
  EXPECT_GT(note.filesAtEnd[variant], 0u);
  EXPECT_EQ(note.filesAtEnd.count(base + "_1.txt"), 1u);
  EXPECT_EQ(note.filesAtEnd.count(base + "_1_FULL.dmp"), 1u);
  EXPECT_EQ(note.filesAtEnd.count(base + ".txt"), 0u);
  EXPECT_TRUE(MarkExists(L"1.0.0.1", std::wstring(variant.begin(), variant.end())));
}

// Every name the crash could take belongs to other crashes: writing the report or the mark under
// one of them would overwrite that crash's report and relabel its dump. Nothing is written, and
// the crashed process is still released.
TEST_F(CaptureScenario, AllNinetyNineNamesTakenTouchNoOtherCrash) {
  // The taken names cover a window of seconds from one second before the planting starts, and the
  // crash follows the planting at once. Creating files gets slower as the folder fills, so where
  // the planting outlasted most of the window (a slow or loaded machine), the folder is cleared and
  // the names planted again for a window that starts once that planting is surely done (half as
  // long again as the first took), and the crash waits for it.
  const int kWindowSeconds = 20, kCrashMarginSeconds = 10;
  std::vector<std::wstring> bases;
  auto plantWindow = [&](int fromSecond) {
    const DWORD begin = GetTickCount();
    for (const auto& base : CrashNamesAround(L"Taken", fromSecond, fromSecond + kWindowSeconds)) {
      Touch(dump + base + L".dmp", 3);
      Touch(dump + base + L".txt", 5);
      for (int i = 1; i <= 98; ++i) Touch(dump + base + L"_" + std::to_wstring(i) + L".dmp", 3);
      SetMark(base + L".dmp", 1);
      bases.push_back(base);
    }
    return GetTickCount() - begin;
  };
  DWORD spentMs = plantWindow(-1);
  printf("planted %u files in %lu ms\n", static_cast<unsigned>(bases.size() * 100), spentMs);
  if (spentMs >= (kWindowSeconds - kCrashMarginSeconds) * 1000u) {
    DeleteFiles(dump);
    DeleteMarks(L"1.0.0.1");
    bases.clear();
    const DWORD leadMs = spentMs * 3 / 2 + 1000, windowStart = GetTickCount() + leadMs;
    spentMs = plantWindow(leadMs / 1000);
    const DWORD now = GetTickCount();
    printf("planted them again in %lu ms for a window %lu ms ahead\n", spentMs, leadMs);
    ASSERT_LT(now, windowStart + (kWindowSeconds - kCrashMarginSeconds) * 1000u)
        << "planting outlasted the window";
    if (now < windowStart + 1000) Sleep(windowStart + 1000 - now);
  }
  size_t planted = ListFiles(dump).size();
  Note note = Crash(L"--stem Taken --app-name Scenario.exe --wait-kelvor", L"null");
  ASSERT_EQ(note.Get("released"), "1");
  EXPECT_EQ(note.Get("reporter_exit"), "0");
  std::vector<std::wstring> now = ListFiles(dump);
  EXPECT_EQ(now.size(), planted) << "nothing new";
  for (const auto& base : bases) {
    EXPECT_EQ(ReadFileBytes(dump + base + L".txt"), "xxxxx") << "the other crash's report";
    DWORD data = 0;
    EXPECT_TRUE(MarkExists(L"1.0.0.1", base + L".dmp", &data));
    EXPECT_EQ(data, 1u) << "the other crash's mark";
  }
  for (const auto& n : now) EXPECT_EQ(n.find(L"_99.dmp"), std::wstring::npos);
}

// ---- Malformed intake ------------------------------------------------------------------------

TEST_F(CaptureScenario, MalformedRecordsWriteNothingButReleaseTheProcess) {
  const wchar_t* cases[] = {L"--header-length 33", L"--total-size 4703", L"--total-size 4705",
                            L"--magic 90909091", L"--address 00000010"};
  for (const wchar_t* options : cases) {
    SCOPED_TRACE(suite::ToUtf8(options));
    Note note = Crash(std::wstring(options) + L" --app-name Scenario.exe --wait-kelvor", L"null");
    EXPECT_EQ(note.Get("released"), "1") << "the parsed event was signalled";
    EXPECT_EQ(note.Get("reporter_exit"), "0");
    EXPECT_TRUE(ListFiles(dump).empty());
    suite::ScopedRegKey key;
    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, (std::wstring(kMarkKey) + L"1.0.0.1").c_str(), 0, KEY_READ,
                            key.receive()),
              ERROR_SUCCESS);
  }
  // The switch with nothing after it, straight from the command line.
  EXPECT_EQ(RunAndWait(L"\"" + install + L"Kelvor.exe\" /BugInfo:"), 0u);
  EXPECT_EQ(RunAndWait(L"\"" + install + L"Kelvor.exe\""), 0u);
  EXPECT_TRUE(ListFiles(dump).empty());
}

TEST_F(CaptureScenario, SwitchInAnyCaseAndSlotsWithoutNulAreRead) {
  const std::wstring version = L"9.8.7.6-UNTERMINATED-VERSION-X";
  DeleteMarks(version);
  Note note = Crash(L"--switch /bugINFO: --unterminated --app-name Scenario.exe --wait-kelvor", L"null");
  ASSERT_EQ(note.Get("released"), "1");
  std::wstring dumpName;
  for (const auto& n : ListFiles(dump))
    if (n.size() > 4 && n.compare(n.size() - 4, 4, L".dmp") == 0) dumpName = n;
  ASSERT_FALSE(dumpName.empty());
  // The version slot is full to its last unit: the key is exactly those 30 characters.
  EXPECT_TRUE(MarkExists(version, dumpName));
  DeleteMarks(version);
}

// ---- Restart ---------------------------------------------------------------------------------

class RestartScenario : public CaptureScenario {
 protected:
  std::wstring Marker(const wchar_t* name) {
    std::wstring path = std::wstring(kWork) + name;
    DeleteFileW(path.c_str());
    return path;
  }
  std::wstring RestartWith(const std::wstring& marker) {
    return L"--restart-cmd \"\\\"" + install + L"Orv.exe\\\" mark " + marker + L"\"";
  }
};

TEST_F(RestartScenario, ProgramRestartFollowsWindowByteAndProductName) {
  struct Case {
    const wchar_t* marker;
    const wchar_t* options;
    const wchar_t* kind;
    bool restarted;
  } cases[] = {
      // Hidden window and the restart byte: restarted, product or not.
      {L"r_product.txt", L"--restart", L"divzero", true},
      {L"r_other.txt", L"--restart --app-name Scenario.exe", L"null", true},
      // Window shown (closed untouched, box checked): only product processes, in any letter case.
      {L"r_tray.txt", L"--restart --show-window --app-name orvtray.exe", L"window", true},
      {L"r_shown_other.txt", L"--restart --show-window --app-name Scenario.exe", L"null", false},
      // A product process without the restart byte: the restart path is taken, nothing restarts.
      {L"r_no_byte.txt", L"", L"null", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(suite::ToUtf8(c.options));
    std::wstring marker = Marker(c.marker);
    Note note = Crash(RestartWith(marker) + L" " + c.options, c.kind);
    EXPECT_EQ(note.Get("released"), "1");
    EXPECT_EQ(Exists(marker), c.restarted);
    DeleteFiles(dump);
  }
}

TEST_F(RestartScenario, ServiceRestartThroughTheServiceManager) {
  const wchar_t kName[] = L"OrvSvcScenario";
  suite::ScopedService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  ASSERT_TRUE(manager);
  suite::ScopedService service(OpenServiceW(manager.get(), kName, SERVICE_ALL_ACCESS));
  if (!service) {
    std::wstring binary = L"\"" + install + L"OrvSvc.exe\"";
    service.reset(CreateServiceW(manager.get(), kName, kName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, binary.c_str(), nullptr, nullptr,
                                 nullptr, nullptr, nullptr));
  }
  ASSERT_TRUE(service);
  SERVICE_STATUS status = {};
  auto stateIs = [&](DWORD state) {
    QueryServiceStatus(service.get(), &status);
    return status.dwCurrentState == state;
  };
  QueryServiceStatus(service.get(), &status);
  ASSERT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));

  std::wstring marker = Marker(L"r_service.txt");
  Note note = Crash(RestartWith(marker) + L" --restart --service --service-name " + kName, L"null");
  EXPECT_EQ(note.Get("released"), "1");
  WaitUntil([&] { return stateIs(SERVICE_RUNNING); }, 10000);
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING)) << "the service was started";
  EXPECT_FALSE(Exists(marker)) << "not the command line";
  ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
  WaitUntil([&] { return stateIs(SERVICE_STOPPED); }, 10000);
  DeleteService(service.get());
  service.Close();
  manager.Close();

  // The service byte with an empty service name falls back to the command line.
  DeleteFiles(dump);
  marker = Marker(L"r_service_fallback.txt");
  note = Crash(RestartWith(marker) + L" --restart --service", L"null");
  EXPECT_EQ(note.Get("released"), "1");
  EXPECT_TRUE(Exists(marker));
}

}  // namespace
