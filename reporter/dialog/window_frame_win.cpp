// The frame of the report window: message loop, loop registry, frame-window base.
#include "reporter/dialog/window_frame_win.h"

#include <map>

#include "common/diag_failure_win.h"

namespace kelvor {

int CMessageLoop::Run() {
  MSG message = {};
  bool idle = true;
  for (;;) {
    while (idle && !PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE))
      if (!OnIdle()) idle = false;
    BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == -1) continue;  // a bad message; the loop goes on
    if (!got) break;
    if (!PreTranslateMessage(&message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    // Input, paint and timer messages end a busy spell: idle handlers run again afterwards.
    if (message.message != WM_MOUSEMOVE && message.message != WM_NCMOUSEMOVE && message.message != WM_PAINT &&
        message.message != 0x0118 /* WM_SYSTIMER */)
      idle = true;
  }
  return static_cast<int>(message.wParam);
}

BOOL CMessageLoop::PreTranslateMessage(MSG* message) {
  // A filter may take itself off the list while it runs (its window closes): walk a copy.
  std::vector<CMessageFilter*> filters = filters_;
  for (size_t i = filters.size(); i-- > 0;)
    if (filters[i]->PreTranslateMessage(message)) return TRUE;
  return FALSE;
}

BOOL CMessageLoop::OnIdle() {
  std::vector<CIdleHandler*> handlers = idleHandlers_;
  BOOL more = FALSE;
  for (CIdleHandler* h : handlers) more |= h->OnIdle();
  return more;
}

namespace window_module {
namespace {
std::map<DWORD, CMessageLoop*>& Loops() {
  static std::map<DWORD, CMessageLoop*> loops;
  return loops;
}
}  // namespace
void AddMessageLoop(CMessageLoop* loop) { Loops()[GetCurrentThreadId()] = loop; }
void RemoveMessageLoop() { Loops().erase(GetCurrentThreadId()); }
CMessageLoop* GetMessageLoop() {
  auto found = Loops().find(GetCurrentThreadId());
  return found == Loops().end() ? nullptr : found->second;
}
}  // namespace window_module

const wchar_t* CFrameWindowBase::ClassName() { return L"Kelvor:Frame"; }

HWND CFrameWindowBase::Create(const wchar_t* windowName, const RECT& rect, DWORD style, DWORD exStyle) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW cls = {};
  cls.cbSize = sizeof cls;
  if (!GetClassInfoExW(instance, ClassName(), &cls)) {
    cls.cbSize = sizeof cls;
    cls.style = 0;
    cls.lpfnWndProc = GetWindowProc();
    cls.hInstance = instance;
    cls.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    cls.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(128));
    cls.hIconSm = cls.hIcon;
    cls.lpszClassName = ClassName();
    if (!RegisterClassExW(&cls)) {
      suite::DiagFailed("RegisterClassExW");
      return nullptr;
    }
  }
  HWND window = CreateWindowExW(exStyle ? exStyle : traitsExStyle_, ClassName(), windowName,
                                style ? style : traitsStyle_, rect.left, rect.top, rect.right - rect.left,
                                rect.bottom - rect.top, nullptr, nullptr, instance, this);
  if (!window) suite::DiagFailed("CreateWindowExW");
  return window;
}

LRESULT CFrameWindowBase::DefaultHandling(UINT message, WPARAM w, LPARAM l) {
  if (message == WM_DESTROY && (GetWindowLongW(m_hWnd, GWL_STYLE) & (WS_CHILD | WS_POPUP)) == 0)
    PostQuitMessage(1);
  return DefWindowProcW(m_hWnd, message, w, l);
}

LRESULT CALLBACK CFrameWindowBase::StartWindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_NCCREATE) {
    CFrameWindowBase* self =
        static_cast<CFrameWindowBase*>(reinterpret_cast<CREATESTRUCTW*>(l)->lpCreateParams);
    self->m_hWnd = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  CFrameWindowBase* self = reinterpret_cast<CFrameWindowBase*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!self) return DefWindowProcW(window, message, w, l);  // before WM_NCCREATE
  LRESULT result = 0;
  if (!self->ProcessWindowMessage(window, message, w, l, result))
    result = self->DefaultHandling(message, w, l);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    self->m_hWnd = nullptr;
    self->OnFinalMessage(window);
  }
  return result;
}

}  // namespace kelvor
