// Kelvor's report window: which application crashed, whether to restart it, and an optional
// contact e-mail and description, drawn by the skin library over two rich-edit boxes. The window
// owns its rich edits and lives inside RunReportWindow; what the user leaves is stored in the
// process-wide values below when it closes.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

#include "reporter/dialog/plain_controls_win.h"
#include "reporter/dialog/window_frame_win.h"

namespace kelvor {

// Process-wide values of the run that the window shows or fills, kept here because the window is
// what needs them: the crashed application's name it shows (set once the intake has read it), and
// what the user leaves in it (the report, its rewrite and the uploader's command line read them).
// Only the main thread touches them.
extern wchar_t g_CrashedAppName[260];
extern std::wstring g_ContactEmail;
extern BOOL g_RestartChecked;  // true until the user clears the window's restart box
extern std::wstring g_UserContext;
extern BOOL g_SendChecked;    // true until the user clears the box that offers to send the report
extern BOOL g_SessionEnding;  // the window closed because the user's session ends
// Takes at most 259 characters of `appName` into g_CrashedAppName.
void SetCrashedAppName(const std::wstring& appName);

// Returns when the window is gone: its loop's exit code, 0 when the window could not be created
// (then nothing is stored and the restart choice keeps its start value). When the session ends
// while it is open, the entries are stored and `sessionEnds` runs before the window answers.
int RunReportWindow(const wchar_t* commandLine, int showCommand,
                    const std::function<void()>& sessionEnds = {});

// Language and skin resources (the settings file beside the program decides the language).
std::wstring& GetConfigIniPath(std::wstring& path);
int ReadLanguageNumber();
// The folder of that language when its resources are installed beside the program, else English.
std::wstring InstalledLanguageFolder(int languageNumber);
void LoadLanguageResources(const std::wstring& folderName, bool update);

class CMyRichEdit {
 public:
  virtual ~CMyRichEdit() {}
  HWND Create(HWND parent, const RECT& rect);
  HWND m_hWnd = nullptr;
};

class CMainFrame : public CFrameWindowBase, public CMessageFilter, public CIdleHandler {
 public:
  static const DWORD kTraitsStyle = 0x06CF0000;
  static const DWORD kTraitsExStyle = 0x00040100;
  explicit CMainFrame(std::function<void()> sessionEnds = {})
      : CFrameWindowBase(kTraitsStyle, kTraitsExStyle), sessionEnds_(std::move(sessionEnds)) {}
  ~CMainFrame() override;
  // Keyboard focus on the send button, once the window is shown.
  void FocusFirst();

  BOOL ProcessWindowMessage(HWND window, UINT message, WPARAM w, LPARAM l, LRESULT& result) override;
  BOOL PreTranslateMessage(MSG* message) override;
  BOOL OnIdle() override { return FALSE; }

  CMyRichEdit* m_emailEdit = nullptr;
  CMyRichEdit* m_lineEdit = nullptr;

 private:
  LRESULT OnCreate();
  void OnDestroy();
  void OnClose();
  void OnEndSession();
  LRESULT OnSkinNotify(const wchar_t* controlName);
  void Send();
  void MoveFocus(bool backwards);
  void FocusOn(const std::wstring& name);
  std::wstring FocusedName();
  void Activate(const std::wstring& name);
  bool EmailNeedsCorrection();
  int GetCheck(const std::wstring& name);
  void SetCheck(const std::wstring& name, int checked);
  void ShowControl(const std::wstring& name, int show);
  bool ControlRect(const std::wstring& name, RECT* rect);
  void CreateRichEdit(CMyRichEdit*& slot, const wchar_t* skinArea);
  size_t TextLimit(HWND edit) const;
  void KeepWithinLimit(HWND edit);
  void ShowContactControls(BOOL show);
  void CollectUserInput();
  std::wstring& GetRichEditText(CMyRichEdit* edit, std::wstring& text);
  void DestroyRichEdit(CMyRichEdit*& slot);

  std::function<void()> sessionEnds_;
  bool contactShown_ = false;
  std::wstring skinFocus_;  // the skin control with the keyboard focus; "" while a box has it
  PlainControls plain_;     // made only when the skin cannot draw the window
};

}  // namespace kelvor
