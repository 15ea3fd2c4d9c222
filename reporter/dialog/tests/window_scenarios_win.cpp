// The installed Kelvor with its report window, driven from outside through window messages (Wine's
// null display driver): the crashed process is let go before the window, the full dump is written
// while it is open, and what the user enters reaches the rewritten report and the uploader's
// command line (a recording stand-in installed as Ulvane.exe), by the keyboard too, and when the
// session ends with the window open; a declined report is kept but not sent. Run by
// window_scenarios.py.
#include <windows.h>
// windows.h first: the other Windows headers build on its types.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/testing/demo_scenario_win.h"
#include "common/wformat.h"
#include "product/skin/skin_format.h"

namespace {

const wchar_t kFrameClass[] = L"Kelvor:Frame";
using namespace suite::testing;

bool Runs(const wchar_t* exe) { return CountProcesses({exe}) > 0; }

template <class Condition>
bool WaitFor(Condition done, DWORD timeoutMs = 120000) {
  return WaitUntil(done, timeoutMs);
}

BOOL CALLBACK AddChild(HWND child, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
  return TRUE;
}

class WindowScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    const scenario::InstalledProduct product = scenario::PrepareInstalled();
    ASSERT_FALSE(product.folder.empty());
    install_ = product.folder;
    dump_ = product.dump;
    DeleteFiles(dump_);
    note_ = L"C:\\window_scenario_note.txt";
    DeleteFileW(note_.c_str());
    skindle::Layouts layouts;
    skindle::ParseLayouts(ReadFileBytes(install_ + L"skin\\skin_crashreporter\\layout.txt"), layouts);
    layout_ = layouts[L"crashreporter"];
    ASSERT_FALSE(layout_.empty());
  }

  // Starts the demo's crash; returns Kelvor's window once it is there.
  HWND CrashAndFindWindow(const std::wstring& options) {
    std::wstring line = L"\"" + install_ + L"Orv.exe\" --observe " + note_ + L" --show-window " + options;
    if (!StartProcess(line)) return nullptr;
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
    std::vector<std::wstring> reports = ListFiles(dump_, L"*.txt");
    return reports.size() == 1 ? ReadUtf16File(dump_ + reports[0]) : L"";
  }

  std::wstring DumpName() {
    std::vector<std::wstring> dumps = ListFiles(dump_, L"*.dmp");
    return dumps.size() == 1 ? dumps[0] : L"";
  }

  // Keys as the keyboard gives them: a key press to `target`, or the characters it types.
  void Press(HWND target, WPARAM key) { PostMessageW(target, WM_KEYDOWN, key, 1); }
  void TypeChars(HWND target, const std::wstring& text) {
    for (wchar_t c : text) PostMessageW(target, WM_CHAR, c, 1);
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
  EXPECT_NE(ReadFileBytes(note_).find("_FULL.dmp"), std::string::npos) << ReadFileBytes(note_);
  EXPECT_TRUE(IsWindow(window));
  EXPECT_FALSE(Exists(install_ + kReceivedFile)) << "the uploader must wait for the window";

  Click(window, L"btn.checkbox.Contact");
  std::vector<HWND> edits;
  ASSERT_TRUE(WaitFor([&] { return (edits = RichEdits(window)).size() == 2 && IsWindowVisible(edits[0]); }));
  const std::wstring email = L"tester@example.org", description = L"it crashed while scanning";
  SendMessageW(edits[0], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(email.c_str()));
  SendMessageW(edits[1], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(description.c_str()));
  PostMessageW(edits[1], WM_KEYDOWN, VK_RETURN, 1);
  ASSERT_TRUE(WaitFor([&] { return AllEnded() && Exists(install_ + kReceivedFile); }));

  std::wstring report = Report();
  EXPECT_NE(report.find(L"\r\nEmail:" + email + L"\r\nHashCode:"), std::wstring::npos)
      << suite::ToUtf8(report);
  EXPECT_EQ(report.substr(report.size() - 16 - description.size()), L"\r\nUserContext:\r\n" + description);
  std::string received = ReadFileBytes(install_ + kReceivedFile);
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
  ASSERT_TRUE(WaitFor([&] { return AllEnded() && Exists(install_ + kReceivedFile); }));
  Sleep(500);
  EXPECT_FALSE(Exists(marker));
  std::string received = ReadFileBytes(install_ + kReceivedFile);
  EXPECT_EQ(received.substr(received.size() - 8), " /Email:") << received;  // nothing entered
  EXPECT_NE(Report().find(L"\r\nEmail:\r\nHashCode:"), std::wstring::npos);
}

// What Windows does at log-off: asks, tells, and ends a process that is still there. By then the
// crash has been handed over with what was typed; nothing is restarted into the ending session.
TEST_F(WindowScenario, TheSessionEndingWithTheWindowOpenHandsTheCrashOverWithTheEntries) {
  HWND window = CrashAndFindWindow(L"--restart crash null");
  ASSERT_NE(window, nullptr);
  Click(window, L"btn.checkbox.Contact");
  std::vector<HWND> edits;
  ASSERT_TRUE(WaitFor([&] { return (edits = RichEdits(window)).size() == 2 && IsWindowVisible(edits[0]); }));
  SendMessageW(edits[0], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"leaving@example.org"));
  SendMessageW(edits[1], WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"logged off"));

  DWORD kelvorId = 0;
  GetWindowThreadProcessId(window, &kelvorId);
  HANDLE kelvor = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, kelvorId);
  ASSERT_NE(kelvor, nullptr);
  DWORD_PTR answer = 0;
  EXPECT_TRUE(
      SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000, &answer));
  EXPECT_EQ(answer, static_cast<DWORD_PTR>(TRUE));
  SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000, &answer);
  TerminateProcess(kelvor, 0);  // no later than Windows would
  WaitForSingleObject(kelvor, 30000);
  CloseHandle(kelvor);

  ASSERT_TRUE(WaitFor([&] { return AllEnded() && Exists(install_ + kReceivedFile); }));
  std::string received = ReadFileBytes(install_ + kReceivedFile);
  EXPECT_EQ(received.substr(received.size() - 27), " /Email:leaving@example.org") << received;
  std::wstring report = Report();
  EXPECT_NE(report.find(L"\r\nEmail:leaving@example.org\r\nHashCode:"), std::wstring::npos);
  EXPECT_EQ(report.substr(report.size() - 26), L"\r\nUserContext:\r\nlogged off");
}

// All by keyboard: Tab from the send button to Help, Space clears it, Tab and Space show the
// contact boxes, Tab into the e-mail box and on to the description (no TAB reaches the text),
// Enter sends. Declined: no uploader, the mark goes, dump and report stay.
TEST_F(WindowScenario, KeyboardOnlyAndSendingDeclined) {
  HWND window = CrashAndFindWindow(L"crash null");
  ASSERT_NE(window, nullptr);
  Press(window, VK_TAB);
  Press(window, VK_TAB);
  Press(window, VK_SPACE);  // Help cleared
  Press(window, VK_TAB);
  Press(window, VK_SPACE);  // Contact
  Press(window, VK_TAB);
  std::vector<HWND> edits;
  ASSERT_TRUE(WaitFor([&] { return (edits = RichEdits(window)).size() == 2 && IsWindowVisible(edits[0]); }));
  TypeChars(edits[0], L"key@example.org");
  Press(edits[0], VK_TAB);
  TypeChars(edits[1], L"typed");
  Press(edits[1], VK_TAB);  // to the send button
  Press(window, VK_SPACE);
  ASSERT_TRUE(WaitFor([&] { return AllEnded(); }));
  Sleep(500);
  EXPECT_FALSE(Exists(install_ + kReceivedFile)) << "declined, yet the uploader started";
  const std::wstring dump = DumpName();
  ASSERT_FALSE(dump.empty());
  EXPECT_EQ(scenario::Mark(dump), -1) << "declined, yet still marked for a later delivery";
  std::wstring report = Report();
  EXPECT_NE(report.find(L"\r\nEmail:key@example.org\r\nHashCode:"), std::wstring::npos)
      << suite::ToUtf8(report);
  EXPECT_EQ(report.substr(report.size() - 21), L"\r\nUserContext:\r\ntyped");
}

}  // namespace
