// Kelvor's report window: which application crashed, whether to restart it, and an optional
// contact e-mail and description, drawn by the skin library over two rich-edit boxes. The window
// owns its rich edits and lives inside RunReportWindow; what the user leaves is stored in the
// process-wide values below when it closes.
#pragma once
#include <windows.h>

#include <string>

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
// Takes at most 259 characters of `appName` into g_CrashedAppName.
void SetCrashedAppName(const std::wstring& appName);

// Returns when the window is gone: its loop's exit code, 0 when the window could not be created
// (then nothing is stored and the restart choice keeps its start value).
int RunReportWindow(const wchar_t* commandLine, int showCommand);

// Language and skin resources (the settings file beside the program decides the language).
std::wstring& GetConfigIniPath(std::wstring& path);
int ReadLanguageNumber();
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
  CMainFrame() : CFrameWindowBase(kTraitsStyle, kTraitsExStyle) {}
  ~CMainFrame() override;

  BOOL ProcessWindowMessage(HWND window, UINT message, WPARAM w, LPARAM l, LRESULT& result) override;
  BOOL PreTranslateMessage(MSG* message) override;
  BOOL OnIdle() override { return FALSE; }

  CMyRichEdit* m_emailEdit = nullptr;
  CMyRichEdit* m_lineEdit = nullptr;

 private:
  LRESULT OnCreate();
  void OnDestroy();
  void OnClose();
  LRESULT OnSkinNotify(const wchar_t* controlName);
  void Send();
  void CreateRichEdit(CMyRichEdit*& slot, const wchar_t* skinArea);
  void ShowContactControls(BOOL show);
  void CollectUserInput();
  std::wstring& GetRichEditText(CMyRichEdit* edit, std::wstring& text);
  void DestroyRichEdit(CMyRichEdit*& slot);
};

}  // namespace kelvor
