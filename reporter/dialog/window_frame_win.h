// The smallest window frame the report window needs: a message loop with pre-translation filters
// and idle handlers, a per-thread registry of loops, and a frame-window base that hands messages to
// a message map and falls back to the default handling (a top-level frame quits its loop when it
// is destroyed). Virtual slots of the window base, in order: ProcessWindowMessage, destructor,
// GetWindowProc, OnFinalMessage.
//
// Ownership: a loop borrows its filters and idle handlers (their owners remove them before they go),
// the per-thread registry borrows the loops, and a frame owns its window until the window is
// destroyed. Create returns null when the window cannot be made.
#pragma once
#include <windows.h>

#include <vector>

namespace kelvor {

class CMessageFilter {
 public:
  virtual BOOL PreTranslateMessage(MSG* message) = 0;
};

class CIdleHandler {
 public:
  virtual BOOL OnIdle() = 0;
};

class CMessageLoop {
 public:
  void AddMessageFilter(CMessageFilter* filter) { filters_.push_back(filter); }
  void RemoveMessageFilter(CMessageFilter* filter) { Remove(filters_, filter); }
  void AddIdleHandler(CIdleHandler* handler) { idleHandlers_.push_back(handler); }
  void RemoveIdleHandler(CIdleHandler* handler) { Remove(idleHandlers_, handler); }
  // Until WM_QUIT; returns its exit code.
  int Run();
  // The filters in reverse order of registration; the first that takes the message wins.
  BOOL PreTranslateMessage(MSG* message);
  BOOL OnIdle();

 private:
  template <class T>
  static void Remove(std::vector<T*>& list, T* item) {
    for (size_t i = 0; i < list.size(); ++i)
      if (list[i] == item) {
        list.erase(list.begin() + static_cast<long>(i));
        return;
      }
  }
  std::vector<CMessageFilter*> filters_;
  std::vector<CIdleHandler*> idleHandlers_;
};

// The loops of the process by thread, so a window finds the loop of the thread it lives on.
namespace window_module {
void AddMessageLoop(CMessageLoop* loop);
void RemoveMessageLoop();
CMessageLoop* GetMessageLoop();
}  // namespace window_module

class CFrameWindowBase {
 public:
  virtual BOOL ProcessWindowMessage(HWND window, UINT message, WPARAM w, LPARAM l, LRESULT& result) = 0;
  virtual ~CFrameWindowBase() {}
  virtual WNDPROC GetWindowProc() { return &StartWindowProc; }
  virtual void OnFinalMessage(HWND) {}

  // styles of 0 take the class's defaults (traits style / extended style).
  HWND Create(const wchar_t* windowName, const RECT& rect, DWORD style, DWORD exStyle);
  BOOL PreTranslateMessage(MSG*) { return FALSE; }  // no accelerator table
  HWND m_hWnd = nullptr;

 protected:
  CFrameWindowBase(DWORD traitsStyle, DWORD traitsExStyle)
      : traitsStyle_(traitsStyle), traitsExStyle_(traitsExStyle) {}
  // The default handling of everything the map leaves: a top-level frame quits with 1 on destroy.
  LRESULT DefaultHandling(UINT message, WPARAM w, LPARAM l);

 private:
  static LRESULT CALLBACK StartWindowProc(HWND window, UINT message, WPARAM w, LPARAM l);
  static const wchar_t* ClassName();
  DWORD traitsStyle_, traitsExStyle_;
};

}  // namespace kelvor
