// The installed Kelvor with its report window, driven from outside through window messages (Wine's
// null display driver): the crashed process is let go before the window, the full dump is written
// while it is open, and what the user enters reaches the rewritten report and the uploader's
// command line (a recording stand-in installed as Ulvane.exe). Run by window_scenarios.py.
#include <windows.h>
// windows.h first: the other Windows headers build on its types.
#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/wformat.h"
#include "product/skin/skin_format.h"

namespace {

const wchar_t kFrameClass[] = L"Kelvor:Frame";
const wchar_t kUninstall[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vemko Antivirus";

std::wstring InstallFolder() {
  wchar_t folder[MAX_PATH] = {};
  DWORD bytes = sizeof folder;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kUninstall, L"InstallDir", RRF_RT_REG_SZ, nullptr, folder, &bytes))
    return L"";
  return folder[0] ? std::wstring(folder) + L"\\" : L"";
}

std::string ReadBytes(const std::wstring& path) {
  std::ifstream in(suite::ToUtf8(path), std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::wstring> Files(const std::wstring& folder, const wchar_t* pattern) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW e;
  HANDLE f = FindFirstFileW((folder + pattern).c_str(), &e);
  if (f == INVALID_HANDLE_VALUE) return names;
  do names.push_back(e.cFileName);
  while (FindNextFileW(f, &e));
  FindClose(f);
  return names;
}

bool Runs(const wchar_t* exe) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W e = {};
  e.dwSize = sizeof e;
  bool found = false;
  for (BOOL ok = Process32FirstW(snap, &e); ok && !found; ok = Process32NextW(snap, &e))
    found = lstrcmpiW(e.szExeFile, exe) == 0;
  CloseHandle(snap);
  return found;
}

template <class Condition>
bool WaitFor(Condition done, DWORD timeoutMs = 120000) {
  for (DWORD waited = 0; !done(); waited += 50) {
    if (waited > timeoutMs) return false;
    Sleep(50);
  }
  return true;
}

BOOL CALLBACK AddChild(HWND child, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
  return TRUE;
}

class WindowScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    install_ = InstallFolder();
    ASSERT_FALSE(install_.empty());
    dump_ = install_ + L"dump\\";
    for (const auto& name : Files(dump_, L"*.*")) DeleteFileW((dump_ + name).c_str());
    DeleteFileW((install_ + L"Ulvane.received.txt").c_str());
    note_ = L"C:\\window_scenario_note.txt";
    DeleteFileW(note_.c_str());
    skindle::Layouts layouts;
    skindle::ParseLayouts(ReadBytes(install_ + L"skin\\skin_crashreporter\\layout.txt"), layouts);
    layout_ = layouts[L"crashreporter"];
    ASSERT_FALSE(layout_.empty());
  }

  // Starts the demo's crash; returns Kelvor's window once it is there.
  HWND CrashAndFindWindow(const std::wstring& options) {
    std::wstring line = L"\"" + install_ + L"Orv.exe\" --observe " + note_ + L" --show-window " + options;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
      return nullptr;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    HWND window = nullptr;
    WaitFor(
        [&] { return (window = FindWindowW(kFrameClass, nullptr)) != nullptr && IsWindowVisible(window); });
    return window;
  }

  // A click where the skin draws the control, through the window's own message queue.
  void Click(HWND window, const wchar_t* name) {
    RECT client = {};
    GetClientRect(window, &client);
    for (const skindle::SkinControl& c : layout_)
      if (c.name == name) {
        LPARAM at = MAKELPARAM((c.left.Resolve(client.right) + c.right.Resolve(client.right)) / 2,
                               (c.top.Resolve(client.bottom) + c.bottom.Resolve(client.bottom)) / 2);
        PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, at);
        PostMessageW(window, WM_LBUTTONUP, 0, at);
        return;
      }
    ADD_FAILURE() << "no control " << suite::ToUtf8(name);
  }

  std::vector<HWND> RichEdits(HWND window) {
    std::vector<HWND> children;
    EnumChildWindows(window, AddChild, reinterpret_cast<LPARAM>(&children));
    return children;
  }

  std::wstring Report() {
    std::vector<std::wstring> reports = Files(dump_, L"*.txt");
    if (reports.size() != 1) return L"";
    std::string bytes = ReadBytes(dump_ + reports[0]);
    std::u16string units(bytes.size() / 2, u'\0');
    if (!units.empty()) memcpy(&units[0], bytes.data(), units.size() * 2);
    return suite::FromUtf16(units);
  }

  bool AllEnded() { return !Runs(L"Kelvor.exe") && !Runs(L"Orv.exe") && !Runs(L"Ulvane.exe"); }

  std::wstring install_, dump_, note_;
  std::vector<skindle::SkinControl> layout_;
};

TEST_F(WindowScenario, EntriesReachTheRewrittenReportAndTheUploader) {
  HWND window = CrashAndFindWindow(L"--full-dump 1 crash null");
  ASSERT_NE(window, nullptr);
  // While nobody touches the window: the full dump is written and the crashed process let go.
  EXPECT_TRUE(WaitFor([&] { return Exists(note_) && !Runs(L"Orv.exe"); }));
  EXPECT_NE(ReadBytes(note_).find("_FULL.dmp"), std::string::npos) << ReadBytes(note_);
  EXPECT_TRUE(IsWindow(window));
  EXPECT_FALSE(Exists(install_ + L"Ulvane.received.txt")) << "the uploader must wait for the window";

  Click(window, L"btn.checkbox.Contact");
  std::vector<HWND> edits;
  ASSERT_TRUE(WaitFor([&] { return (edits = RichEdits(window)).size() == 2 && IsWindowVisible(edits[0]); }));
  const std::wstring email = L"tester@example.org", description = L"it crashed while scanning";
  SendMessageW(edits[0], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(email.c_str()));
  SendMessageW(edits[1], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(description.c_str()));
  PostMessageW(edits[1], WM_KEYDOWN, VK_RETURN, 1);
  ASSERT_TRUE(WaitFor([&] { return AllEnded() && Exists(install_ + L"Ulvane.received.txt"); }));

  std::wstring report = Report();
  EXPECT_NE(report.find(L"\r\nEmail:" + email + L"\r\nHashCode:"), std::wstring::npos)
      << suite::ToUtf8(report);
  EXPECT_EQ(report.substr(report.size() - 16 - description.size()), L"\r\nUserContext:\r\n" + description);
  std::string received = ReadBytes(install_ + L"Ulvane.received.txt");
  EXPECT_EQ(received.substr(received.size() - 26), " /Email:tester@example.org") << received;
}

TEST_F(WindowScenario, ReleasedBeforeTheWindowAndRestartBoxClearedMeansNoRestart) {
  std::wstring marker = L"C:\\window_scenario_restarted.txt";
  DeleteFileW(marker.c_str());
  HWND window = CrashAndFindWindow(L"--restart --restart-cmd \"\\\"" + install_ + L"Orv.exe\\\" mark " +
                                   marker + L"\" crash divzero");
  ASSERT_NE(window, nullptr);
  // No full dump asked: the release came before the window was made.
  EXPECT_TRUE(Exists(note_));
  Click(window, L"btn.checkbox.Restart");
  PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 1);
  ASSERT_TRUE(WaitFor([&] { return AllEnded() && Exists(install_ + L"Ulvane.received.txt"); }));
  Sleep(500);
  EXPECT_FALSE(Exists(marker));
  std::string received = ReadBytes(install_ + L"Ulvane.received.txt");
  EXPECT_EQ(received.substr(received.size() - 8), " /Email:") << received;  // nothing entered
  EXPECT_NE(Report().find(L"\r\nEmail:\r\nHashCode:"), std::wstring::npos);
}

}  // namespace
