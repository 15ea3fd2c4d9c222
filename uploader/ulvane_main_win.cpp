// Ulvane.exe: a hidden window whose message loop runs while the worker uploads the crash, and
// which learns of a shutdown or log-off. The program always ends with 0.
#include <windows.h>

#include "common/diag_log.h"
#include "uploader/crash_logic_win.h"
#include "uploader/resource.h"

namespace {

// Once the session ends, the worker has this long to leave its step (an abandoned post leaves at
// once; an archive being written is cut short and made again next time).
constexpr DWORD kSessionEndWaitMs = 2000;
bool g_SessionEnding = false;

// Log-off or shutdown: the post under way is given up, its crash stays pending for a later run.
void EndSession() {
  g_SessionEnding = true;
  ulvane::CCrashLogic::Instance()->SignalStop();
  PostQuitMessage(0);
}

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_QUERYENDSESSION:
      EndSession();
      return 1;
    case WM_ENDSESSION:
      if (wParam) EndSession();
      return 0;
    case WM_DESTROY:
      // Posted by the finished worker; the window itself stays until the process ends.
      ulvane::CCrashLogic::Instance()->SignalStop();
      PostQuitMessage(0);
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(window, &paint);
      EndPaint(window, &paint);
      return 0;
    }
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

HWND CreateHiddenWindow(HINSTANCE instance) {
  wchar_t title[100] = {}, className[100] = {};
  LoadStringW(instance, IDS_APP_TITLE, title, 100);
  LoadStringW(instance, IDC_ULVANE, className, 100);
  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = WndProc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_ULVANE));
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszMenuName = MAKEINTRESOURCEW(IDC_ULVANE);
  wc.lpszClassName = className;
  wc.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_SMALL));
  RegisterClassExW(&wc);
  return CreateWindowExW(0, className, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                         nullptr, nullptr, instance, nullptr);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  suite::DiagInit(L"Ulvane");
  suite::DiagPhase run("run");
  ulvane::g_MainWindow = CreateHiddenWindow(instance);
  if (!ulvane::g_MainWindow) {
    suite::DiagFailure("CreateWindowExW", GetLastError());
    return 0;
  }
  HACCEL keys = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDC_ULVANE));
  ulvane::CCrashLogic* logic = ulvane::CCrashLogic::Instance();
  if (!logic->Init()) return 0;

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!TranslateAcceleratorW(msg.hwnd, keys, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  logic->SignalStop();
  logic->WaitWorker(g_SessionEnding ? kSessionEndWaitMs : INFINITE);
  return 0;
}
