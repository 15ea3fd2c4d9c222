// Kelvor's report window: which application crashed, whether to restart it, and an optional
// contact e-mail and description, drawn by the skin library over two rich-edit boxes.
#pragma once
#include <windows.h>

#include <string>

#include "reporter/dialog/window_frame_win.h"

namespace kelvor {

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
