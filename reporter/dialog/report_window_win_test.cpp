// The real report window with the real Skindle.dll, in this process (Wine's null display driver):
// a second thread plays the user through messages while the main thread runs the window's loop.
#include <windows.h>
// windows.h first: the other Windows headers build on its types.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/protocol/skindle_api_win.h"
#include "common/scoped_handle_win.h"
#include "reporter/dialog/report_window_win.h"

namespace kelvor {
namespace {

const wchar_t kFrameClass[] = L"Kelvor:Frame";
// A bound for a window to go after it was told to, not a pace.
const DWORD kWaitMs = 60000;
DWORD g_windowThread = 0;

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder = path;
  return folder.substr(0, folder.rfind(L'\\') + 1);
}

// config.ini beside the program: a language number, a file without the key, or no file.
enum class Ini { Number, NoKey, NoFile };
void WriteConfig(Ini kind, int language = 0) {
  std::wstring path = ProgramFolder() + L"config.ini";
  DeleteFileW(path.c_str());
  if (kind == Ini::NoFile) return;
  std::string text = "[network]\r\nBugURL=http://127.0.0.1/\r\n";
  if (kind == Ini::Number) text += "[vkconfig]\r\nnLanguage=" + std::to_string(language) + "\r\n";
  suite::ScopedFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

BOOL CALLBACK AddRichEdit(HWND child, LPARAM list) {
  wchar_t cls[64] = {};
  GetClassNameW(child, cls, 64);
  if (lstrcmpW(cls, L"RichEdit20W") == 0) reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
  return TRUE;
}

// The e-mail box first: the window creates it first.
std::vector<HWND> RichEdits(HWND frame) {
  std::vector<HWND> found;
  EnumChildWindows(frame, AddRichEdit, reinterpret_cast<LPARAM>(&found));
  return found;
}

SIZE WindowSize(HWND window) {
  RECT r = {};
  GetWindowRect(window, &r);
  return {r.right - r.left, r.bottom - r.top};
}

// A click as the mouse gives it: down and up in the middle of the skin control.
void Click(HWND frame, const wchar_t* control) {
  RECT r = {};
  ASSERT_TRUE(Skindle_GetControlRect(frame, control, &r)) << "no control in the skin";
  LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
  SendMessageW(frame, WM_LBUTTONDOWN, MK_LBUTTON, at);
  SendMessageW(frame, WM_LBUTTONUP, 0, at);
}

void Type(HWND edit, const std::wstring& text) {
  SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

// Keys go through the loop's pre-translation, so they are posted, as the keyboard does.
void PressKey(HWND target, WPARAM key) { PostMessageW(target, WM_KEYDOWN, key, 1); }

// The frame among `thread`'s windows (with `ready`: once shown and made topmost, the last steps
// before its loop runs). Only the test's own thread counts: another program on the same desktop may
// show a frame of the same class, or close every frame it finds.
struct FrameSearch {
  bool ready;
  HWND found;
};

BOOL CALLBACK MatchFrame(HWND window, LPARAM param) {
  FrameSearch* search = reinterpret_cast<FrameSearch*>(param);
  wchar_t cls[64] = {};
  GetClassNameW(window, cls, 64);
  if (lstrcmpW(cls, kFrameClass) != 0) return TRUE;
  if (search->ready && !(IsWindowVisible(window) && (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST)))
    return TRUE;
  search->found = window;
  return FALSE;
}

HWND ThreadFrame(DWORD thread, bool ready) {
  FrameSearch search = {ready, nullptr};
  EnumThreadWindows(thread, MatchFrame, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

bool WaitGone(HWND window) {
  for (DWORD waited = 0; IsWindow(window); waited += 10) {
    if (waited > kWaitMs) return false;
    Sleep(10);
  }
  return true;
}

class ReportWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { LoadLibraryW(L"RICHED20.DLL"); }

  void SetUp() override {
    WriteConfig(Ini::Number, 1033);
    g_ContactEmail.clear();
    g_UserContext.clear();
    g_RestartChecked = TRUE;
    g_SendChecked = TRUE;
    g_SessionEnding = FALSE;
    lstrcpyW(g_CrashedAppName, L"Orv.exe");
  }

  // Runs the window on this thread; `user` acts on it from another thread, and the window is
  // closed for it if it is still there afterwards.
  int RunWith(std::function<void(HWND)> user, const std::function<void()>& sessionEnds = {}) {
    user_ = std::move(user);
    userSawWindow_ = false;
    g_windowThread = windowThread_ = GetCurrentThreadId();
    windowEnded_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    suite::ScopedKernelObject thread(CreateThread(nullptr, 0, &ReportWindow::UserThread, this, 0, nullptr));
    int result = RunReportWindow(L"", SW_SHOW, sessionEnds);
    SetEvent(windowEnded_.get());
    WaitForSingleObject(thread.get(), INFINITE);
    EXPECT_TRUE(userSawWindow_) << "the window ended before it was shown";
    EXPECT_NE(result, 0) << "the window was never made";
    return result;
  }

  // Waits for this thread's window to be ready (shown and made topmost, the last steps before its
  // loop runs) or for RunReportWindow to have returned, whichever comes first; how long a window
  // takes to appear depends on the machine, so no clock ends the wait.
  static DWORD WINAPI UserThread(void* self) {
    ReportWindow* test = static_cast<ReportWindow*>(self);
    HWND frame = nullptr;
    while (!frame) {
      frame = ThreadFrame(test->windowThread_, true);
      if (!frame && WaitForSingleObject(test->windowEnded_.get(), 10) == WAIT_OBJECT_0) return 1;
    }
    test->userSawWindow_ = true;
    test->user_(frame);
    if (IsWindow(frame)) PostMessageW(frame, WM_CLOSE, 0, 0);
    return 0;
  }

  std::function<void(HWND)> user_;
  DWORD windowThread_ = 0;
  suite::ScopedKernelObject windowEnded_;
  bool userSawWindow_ = false;
};

BOOL CALLBACK AddChildByText(HWND child, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
  return TRUE;
}

// The frame's child whose text begins with `text`, null when none.
HWND ChildWithText(HWND frame, const std::wstring& text) {
  std::vector<HWND> children;
  EnumChildWindows(frame, AddChildByText, reinterpret_cast<LPARAM>(&children));
  for (HWND child : children) {
    wchar_t found[256] = {};
    GetWindowTextW(child, found, 256);
    if (std::wstring(found).compare(0, text.size(), text) == 0) return child;
  }
  return nullptr;
}

// Without the skin folder the window is no empty box: plain controls say what happened and work,
// under the system's own caption. First in the file: the library keeps a layout once loaded, so
// this must run before any window of this process loaded one.
TEST_F(ReportWindow, AMissingSkinLeavesAPlainWindowThatSaysWhatHappenedAndWorks) {
  std::wstring skin = ProgramFolder() + L"skin", away = ProgramFolder() + L"skin.away";
  ASSERT_TRUE(MoveFileW(skin.c_str(), away.c_str()));
  int result = RunWith([](HWND frame) {
    EXPECT_EQ(GetWindowLongW(frame, GWL_STYLE) & WS_CAPTION, WS_CAPTION);
    EXPECT_NE(ChildWithText(frame, L"Orv.exe stopped working"), nullptr);
    HWND contact = ChildWithText(frame, L"I want to leave my e-mail");
    HWND help = ChildWithText(frame, L"Help improve");
    HWND send = ChildWithText(frame, L"Send");
    ASSERT_TRUE(contact && help && send);
    EXPECT_EQ(SendMessageW(help, BM_GETCHECK, 0, 0), BST_CHECKED);
    SendMessageW(help, BM_CLICK, 0, 0);
    SendMessageW(contact, BM_CLICK, 0, 0);
    EXPECT_EQ(WindowSize(frame).cy, 315);
    std::vector<HWND> edits = RichEdits(frame);
    ASSERT_EQ(edits.size(), 2u);
    EXPECT_TRUE(IsWindowVisible(edits[0]));
    Type(edits[0], L"plain@example.org");
    SendMessageW(send, BM_CLICK, 0, 0);
    EXPECT_TRUE(WaitGone(frame));
  });
  MoveFileW(away.c_str(), skin.c_str());
  EXPECT_EQ(result, 1);
  EXPECT_EQ(g_ContactEmail, L"plain@example.org");
  EXPECT_EQ(g_SendChecked, FALSE);
}

TEST_F(ReportWindow, OpensTopmostCentredAndContactTwiceReturnsToPlain) {
  RunWith([](HWND frame) {
    RECT work = {}, r = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    GetWindowRect(frame, &r);
    EXPECT_EQ(r.right - r.left, 500);
    EXPECT_EQ(r.bottom - r.top, 285);
    EXPECT_NEAR((r.left + r.right) / 2, (work.left + work.right) / 2, 1);
    EXPECT_NEAR((r.top + r.bottom) / 2, (work.top + work.bottom) / 2, 1);
    // Made with the system caption; the skin draws its own title strip in its place, over the
    // whole window.
    const DWORD style = static_cast<DWORD>(GetWindowLongW(frame, GWL_STYLE));
    EXPECT_EQ(style & 0x120A0000u, 0x120A0000u);
    EXPECT_EQ(style & WS_CAPTION, 0u);
    RECT client = {};
    GetClientRect(frame, &client);
    EXPECT_EQ(client.right, 500);
    EXPECT_EQ(client.bottom, 285);
    EXPECT_NE(GetClassLongPtrW(frame, GCLP_HICON), 0u);  // the program's icon 128
    EXPECT_NE(GetClassLongPtrW(frame, GCLP_HICONSM), 0u);

    wchar_t title[128] = {};
    GetWindowTextW(frame, title, 128);
    EXPECT_STREQ(title, Skindle_GetStringItem(L"BugReport_Vemko"));
    EXPECT_STRNE(title, L"Vemko Antivirus");

    std::vector<HWND> edits = RichEdits(frame);
    ASSERT_EQ(edits.size(), 2u);
    EXPECT_FALSE(IsWindowVisible(edits[0]));
    EXPECT_FALSE(IsWindowVisible(edits[1]));
    // The boxes lie inside the skin's edit areas, shrunk as the window places them.
    RECT area = {}, box = {};
    Skindle_GetControlRect(frame, L"edit.line", &area);
    GetWindowRect(edits[1], &box);
    MapWindowPoints(nullptr, frame, reinterpret_cast<POINT*>(&box), 2);
    EXPECT_EQ(box.left, area.left + 1);
    EXPECT_EQ(box.top, area.top + 5);
    EXPECT_EQ(box.bottom, area.bottom - 1);

    Click(frame, L"btn.checkbox.Contact");
    EXPECT_EQ(WindowSize(frame).cy, 315);
    EXPECT_EQ(WindowSize(frame).cx, 500);
    EXPECT_TRUE(IsWindowVisible(edits[0]));
    EXPECT_TRUE(IsWindowVisible(edits[1]));
    Click(frame, L"btn.checkbox.Contact");
    EXPECT_EQ(WindowSize(frame).cy, 285);
    EXPECT_FALSE(IsWindowVisible(edits[0]));
    EXPECT_FALSE(IsWindowVisible(edits[1]));
  });
}

TEST_F(ReportWindow, EnterInTheDescriptionSendsWithoutALineBreak) {
  int result = RunWith([](HWND frame) {
    Click(frame, L"btn.checkbox.Contact");
    std::vector<HWND> edits = RichEdits(frame);
    ASSERT_EQ(edits.size(), 2u);
    Type(edits[0], L"user@example.org");
    Type(edits[1], L"scan froze");
    PressKey(edits[1], VK_RETURN);
    EXPECT_TRUE(WaitGone(frame));
  });
  EXPECT_EQ(result, 1);  // the frame's quit code
  EXPECT_EQ(g_ContactEmail, L"user@example.org");
  EXPECT_EQ(g_UserContext, L"scan froze");
  EXPECT_EQ(g_RestartChecked, TRUE);
}

TEST_F(ReportWindow, EscStoresEntriesAndRestartChoiceAsSendDoes) {
  // The same entries, closed once with Esc and once with the send button.
  for (bool withEsc : {true, false}) {
    SCOPED_TRACE(withEsc ? "Esc" : "send");
    g_ContactEmail.clear();
    g_UserContext.clear();
    g_RestartChecked = TRUE;
    RunWith([withEsc](HWND frame) {
      Click(frame, L"btn.checkbox.Contact");
      Click(frame, L"btn.checkbox.Restart");
      std::vector<HWND> edits = RichEdits(frame);
      ASSERT_EQ(edits.size(), 2u);
      Type(edits[0], L"esc@example.org");
      Type(edits[1], std::wstring(300, L'd'));
      if (withEsc)
        PressKey(edits[0], VK_ESCAPE);
      else
        Click(frame, L"btn.send");
      EXPECT_TRUE(WaitGone(frame));
    });
    EXPECT_EQ(g_ContactEmail, L"esc@example.org");
    EXPECT_EQ(g_UserContext, std::wstring(259, L'd'));  // a long description is cut
    EXPECT_EQ(g_RestartChecked, FALSE);
  }
}

TEST_F(ReportWindow, AnAddressTypedBeforeTheContactBoxWasClearedIsNotStored) {
  RunWith([](HWND frame) {
    Click(frame, L"btn.checkbox.Contact");
    std::vector<HWND> edits = RichEdits(frame);
    ASSERT_EQ(edits.size(), 2u);
    Type(edits[0], L"typed@example.org");
    Type(edits[1], L"typed");
    Click(frame, L"btn.checkbox.Contact");
    Click(frame, L"btn.send");
    EXPECT_TRUE(WaitGone(frame));
  });
  EXPECT_EQ(g_ContactEmail, L"");
  EXPECT_EQ(g_UserContext, L"");
  EXPECT_EQ(g_RestartChecked, TRUE);
}

TEST_F(ReportWindow, ANameInAnotherCaseDoesNothing) {
  RunWith([](HWND frame) {
    EXPECT_EQ(SendMessageW(frame, kSkinNotifyMessage, reinterpret_cast<WPARAM>(L"Btn.Send"), 0), 0);
    EXPECT_EQ(SendMessageW(frame, kSkinNotifyMessage, reinterpret_cast<WPARAM>(L"btn.checkbox.contact"), 0),
              0);
    EXPECT_TRUE(IsWindow(frame));
    EXPECT_EQ(WindowSize(frame).cy, 285);
    EXPECT_EQ(RichEdits(frame).size(), 2u);  // nothing collected: the boxes are still there
    SendMessageW(frame, kSkinNotifyMessage, reinterpret_cast<WPARAM>(L"btn.send"), 0);
    EXPECT_FALSE(IsWindow(frame));
  });
}

HWND FocusedWindow() {
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(g_windowThread, &info) ? info.hwndFocus : nullptr;
}

bool WaitUntil(const std::function<bool()>& done) {
  for (DWORD waited = 0; !done(); waited += 10) {
    if (waited > kWaitMs) return false;
    Sleep(10);
  }
  return true;
}

std::wstring TextOf(HWND edit) {
  wchar_t text[512] = {};
  SendMessageW(edit, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
  return text;
}

// Keys as the keyboard gives them, to the window that has the focus; Tab from the send button
// walks Restart, Help, Contact, the e-mail box, the description box.
TEST_F(ReportWindow, KeyboardWalksTheWindowAndTypesNoTabs) {
  RunWith([](HWND frame) {
    EXPECT_EQ(FocusedWindow(), frame);  // the send button's focus, drawn by the skin
    PressKey(frame, VK_TAB);
    PressKey(frame, VK_SPACE);  // Restart cleared
    PressKey(frame, VK_TAB);
    PressKey(frame, VK_SPACE);  // Help cleared
    PressKey(frame, VK_TAB);
    PressKey(frame, VK_SPACE);  // Contact: the boxes show
    ASSERT_TRUE(WaitUntil([&] { return WindowSize(frame).cy == 315; }));
    EXPECT_EQ(Skindle_Button_GetCheck(frame, L"btn.checkbox.Restart"), 0);
    EXPECT_EQ(Skindle_Button_GetCheck(frame, L"btn.checkbox.Help"), 0);
    std::vector<HWND> edits = RichEdits(frame);
    ASSERT_EQ(edits.size(), 2u);
    PressKey(frame, VK_TAB);
    ASSERT_TRUE(WaitUntil([&] { return FocusedWindow() == edits[0]; }));
    Type(edits[0], L"abc");
    PressKey(edits[0], VK_TAB);
    ASSERT_TRUE(WaitUntil([&] { return FocusedWindow() == edits[1]; }));
    // A TAB the key made would be queued before this character.
    PostMessageW(edits[0], WM_CHAR, L'z', 1);
    ASSERT_TRUE(WaitUntil([&] { return TextOf(edits[0]).find(L'z') != std::wstring::npos; }));
    EXPECT_EQ(TextOf(edits[0]).find(L'\t'), std::wstring::npos) << "a TAB reached the box";

    // Each box takes what is kept and no more: a long paste is refused past it.
    const std::wstring longText(12000, L'p');
    SendMessageW(edits[1], EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(longText.c_str()));
    EXPECT_EQ(GetWindowTextLengthW(edits[1]), 259);
    Type(edits[0], L"");
    SendMessageW(edits[0], EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(std::wstring(41, L'm').c_str()));
    EXPECT_EQ(GetWindowTextLengthW(edits[0]), 40);

    // An address the uploader would cut at its space is refused: the window stays, the box has
    // the focus; corrected, it is sent.
    Type(edits[0], L"john smith@example.org");
    PressKey(edits[1], VK_RETURN);
    ASSERT_TRUE(WaitUntil([&] { return FocusedWindow() == edits[0]; }));
    EXPECT_TRUE(IsWindow(frame));
    Type(edits[0], L"john@example.org");
    PressKey(edits[0], VK_RETURN);
    EXPECT_TRUE(WaitGone(frame));
  });
  EXPECT_EQ(g_ContactEmail, L"john@example.org");
  EXPECT_EQ(g_UserContext, std::wstring(259, L'p'));
  EXPECT_EQ(g_RestartChecked, FALSE);
  EXPECT_EQ(g_SendChecked, FALSE);
}

// Windows ends the process soon after the window has answered the session's end: by then what was
// typed is stored and handed over, even an address that cannot be sent (kept as none).
TEST_F(ReportWindow, TheSessionsEndStoresTheEntriesAndHandsOverBeforeItAnswers) {
  std::wstring emailAtHandOver;
  bool handedOver = false;
  RunWith(
      [&handedOver](HWND frame) {
        Click(frame, L"btn.checkbox.Contact");
        std::vector<HWND> edits = RichEdits(frame);
        ASSERT_EQ(edits.size(), 2u);
        Type(edits[0], L"typed@example.org");
        Type(edits[1], L"the session ended");
        EXPECT_EQ(SendMessageW(frame, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
        EXPECT_FALSE(handedOver);  // only asked: nothing handed over yet
        SendMessageW(frame, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
        EXPECT_TRUE(handedOver);
        EXPECT_FALSE(IsWindow(frame));
      },
      [&] {
        handedOver = true;
        emailAtHandOver = g_ContactEmail;
      });
  EXPECT_EQ(emailAtHandOver, L"typed@example.org");
  EXPECT_EQ(g_UserContext, L"the session ended");
  EXPECT_EQ(g_SessionEnding, TRUE);
}

HHOOK g_vetoHook = nullptr;
LRESULT CALLBACK VetoFrameCreation(int code, WPARAM w, LPARAM l) {
  if (code == HCBT_CREATEWND) {
    const CREATESTRUCTW* cs = reinterpret_cast<CBT_CREATEWNDW*>(l)->lpcs;
    if (!IS_INTRESOURCE(cs->lpszClass) && lstrcmpW(cs->lpszClass, kFrameClass) == 0) return 1;
  }
  return CallNextHookEx(g_vetoHook, code, w, l);
}

TEST_F(ReportWindow, CreationRefusedLeavesTheRestartChoiceAtItsStart) {
  g_vetoHook = SetWindowsHookExW(WH_CBT, VetoFrameCreation, nullptr, GetCurrentThreadId());
  ASSERT_NE(g_vetoHook, nullptr);
  int result = RunReportWindow(L"", SW_SHOW);
  UnhookWindowsHookEx(g_vetoHook);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(g_RestartChecked, TRUE);
  EXPECT_EQ(ThreadFrame(GetCurrentThreadId(), false), nullptr);
}

bool HasCharIn(const std::wstring& text, wchar_t first, wchar_t last) {
  for (wchar_t c : text)
    if (c >= first && c <= last) return true;
  return false;
}

// The order of what the library was handed, from any current folder.
TEST_F(ReportWindow, LanguageFromConfigIniPicksTheFoldersInOrder) {
  struct Case {
    Ini ini;
    int number;
    const wchar_t* folder;
    bool folderMissing;
  } cases[] = {{Ini::Number, 2052, L"2052", false}, {Ini::Number, 1054, L"1054", false},
               {Ini::Number, 1041, L"1033", false}, {Ini::Number, 0, L"1033", false},
               {Ini::NoKey, 0, L"1033", false},     {Ini::NoFile, 0, L"1033", false},
               {Ini::Number, 2052, L"1033", true}};  // its folder gone: English, not blank
  wchar_t saved[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, saved);
  SetCurrentDirectoryW(L"C:\\");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number);
    WriteConfig(c.ini, c.number);
    const std::wstring chosen = ProgramFolder() + L"I18N\\" + std::to_wstring(c.number);
    if (c.folderMissing) {
      ASSERT_TRUE(MoveFileW(chosen.c_str(), (chosen + L".away").c_str()));
    }
    size_t before = std::wstring(Skindle_GetCallJournal()).size();
    std::wstring title;
    RunWith([&title](HWND frame) {
      wchar_t text[128] = {};
      GetWindowTextW(frame, text, 128);
      title = text;
    });
    if (c.folderMissing) MoveFileW((chosen + L".away").c_str(), chosen.c_str());
    std::wstring calls = std::wstring(Skindle_GetCallJournal()).substr(before);
    std::wstring f = c.folder;
    EXPECT_EQ(calls, L"load I18N\\" + f + L"\\BugReporter\nload I18N\\" + f +
                         L"\\Font\nupdate\nload skin\\skin_crashreporter\nsubclass crashreporter\n");
    if (f == L"1054") {
      EXPECT_TRUE(HasCharIn(title, 0x0E00, 0x0E7F));
    } else if (f == L"2052") {
      EXPECT_TRUE(HasCharIn(title, 0x4E00, 0x9FFF));
    } else {
      EXPECT_EQ(title, L"Vemko Antivirus \u2013 Problem Report");
    }
  }
  SetCurrentDirectoryW(saved);
  WriteConfig(Ini::Number, 1033);
}

}  // namespace
}  // namespace kelvor
