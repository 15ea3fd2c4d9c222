// Skindle.dll, the product's skin library: loads text resources from folders, draws a subclassed
// window from a named layout (caption strip, labels, check boxes, buttons, frames of edit areas),
// keeps check states and visibility, and tells the window about clicks with one message.
// Everything runs on the thread that owns the windows; a missing or broken resource only leaves
// out what it would have added.
#define SKINDLE_BUILD
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/protocol/skindle_api_win.h"
#include "common/scoped_handle_win.h"
#include "product/skin/skin_format.h"

namespace skindle {
namespace {

struct ControlState {
  SkinControl control;
  bool visible = true;
  bool checked = false;
  std::map<std::wstring, std::wstring> attributes;
};

struct WindowSkin {
  WNDPROC previous = nullptr;
  std::vector<ControlState> controls;
  int pressed = -1;
  std::wstring focused;  // the control that has the keyboard focus, "" for none
};

StringItems g_items;
FontSpec g_fontSpec;
Layouts g_layouts;
HFONT g_font = nullptr, g_boldFont = nullptr;
std::map<HWND, std::unique_ptr<WindowSkin>> g_windows;
std::wstring g_journal;
std::wstring g_emptyItem;

const DWORD kMaxResourceBytes = 1 << 20;  // a resource file larger than this is not ours
const COLORREF kBackground = RGB(250, 250, 250), kBand = RGB(31, 78, 140), kText = RGB(40, 40, 40),
               kNoteText = RGB(96, 96, 96), kFrame = RGB(160, 160, 160), kButton = RGB(31, 110, 200),
               kCheckMark = RGB(31, 110, 200);
const int kBoxSize = 13;

void Journal(const std::wstring& line) { g_journal += line + L"\n"; }

// Relative folders hang off the folder of the program that loaded us, not the current folder.
std::wstring ResolveFolder(const std::wstring& folder) {
  if (folder.size() > 1 && (folder[1] == L':' || (folder[0] == L'\\' && folder[1] == L'\\'))) return folder;
  wchar_t program[MAX_PATH] = {};
  DWORD n = GetModuleFileNameW(nullptr, program, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return folder;
  std::wstring base = program;
  return base.substr(0, base.rfind(L'\\') + 1) + folder;
}

bool ReadFileBytes(const std::wstring& path, std::string& bytes) {
  suite::ScopedFile file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return false;
  DWORD size = GetFileSize(file.get(), nullptr);
  bool ok = size != INVALID_FILE_SIZE && size <= kMaxResourceBytes;
  if (ok) {
    bytes.assign(size, '\0');
    DWORD read = 0;
    ok = size == 0 || (ReadFile(file.get(), &bytes[0], size, &read, nullptr) && read == size);
  }
  return ok;
}

void MakeFonts() {
  if (g_font) DeleteObject(g_font);
  if (g_boldFont) DeleteObject(g_boldFont);
  const FontSpec& f = g_fontSpec;
  g_font =
      CreateFontW(-f.height, 0, 0, 0, FW_NORMAL, 0, 0, 0, static_cast<DWORD>(f.charset), OUT_DEFAULT_PRECIS,
                  CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH, f.face.c_str());
  g_boldFont =
      CreateFontW(-f.height, 0, 0, 0, FW_BOLD, 0, 0, 0, static_cast<DWORD>(f.charset), OUT_DEFAULT_PRECIS,
                  CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH, f.face.c_str());
}

WindowSkin* SkinOf(HWND window) {
  auto found = g_windows.find(window);
  return found == g_windows.end() ? nullptr : found->second.get();
}

ControlState* FindControl(HWND window, const wchar_t* name) {
  WindowSkin* skin = SkinOf(window);
  if (!skin || !name) return nullptr;
  for (ControlState& c : skin->controls)
    if (c.control.name == name) return &c;
  return nullptr;
}

// Sets one of a control's flags (shown, checked) and repaints the window; an unknown control is ignored.
void SetControlFlag(HWND window, const wchar_t* control, bool ControlState::*flag, bool value) {
  ControlState* c = FindControl(window, control);
  if (!c) return;
  c->*flag = value;
  InvalidateRect(window, nullptr, FALSE);
}

RECT ControlRect(HWND window, const SkinControl& c) {
  RECT client = {};
  GetClientRect(window, &client);
  return {c.left.Resolve(client.right), c.top.Resolve(client.bottom), c.right.Resolve(client.right),
          c.bottom.Resolve(client.bottom)};
}

std::wstring TextOf(const ControlState& c) {
  std::wstring text = c.control.text;
  if (!text.empty() && text[0] == L'@') {
    auto item = g_items.find(text.substr(1));
    text = item == g_items.end() ? L"" : item->second;
  }
  auto attribute = c.attributes.find(L"text");
  return ShownText(text, attribute == c.attributes.end() ? nullptr : &attribute->second);
}

void FillRectColour(HDC dc, const RECT& r, COLORREF colour) {
  HBRUSH brush = CreateSolidBrush(colour);
  FillRect(dc, &r, brush);
  DeleteObject(brush);
}

void FrameRectColour(HDC dc, const RECT& r, COLORREF colour) {
  HBRUSH brush = CreateSolidBrush(colour);
  FrameRect(dc, &r, brush);
  DeleteObject(brush);
}

void DrawTextIn(HDC dc, const std::wstring& text, RECT r, COLORREF colour, HFONT font, UINT align) {
  SetTextColor(dc, colour);
  SelectObject(dc, font);
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r,
            align | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
}

void DrawCheckBox(HDC dc, const ControlState& c, RECT r) {
  int top = (r.top + r.bottom - kBoxSize) / 2;
  RECT box = {r.left, top, r.left + kBoxSize, top + kBoxSize};
  FillRectColour(dc, box, RGB(255, 255, 255));
  FrameRectColour(dc, box, kFrame);
  if (c.checked) {
    HPEN pen = CreatePen(PS_SOLID, 2, kCheckMark);
    HGDIOBJ old = SelectObject(dc, pen);
    MoveToEx(dc, box.left + 3, box.top + 6, nullptr);
    LineTo(dc, box.left + 5, box.top + 9);
    LineTo(dc, box.left + 10, box.top + 3);
    SelectObject(dc, old);
    DeleteObject(pen);
  }
  r.left += kBoxSize + 7;
  DrawTextIn(dc, TextOf(c), r, kText, g_font, DT_LEFT);
}

void DrawControl(HDC dc, HWND window, const ControlState& c) {
  RECT r = ControlRect(window, c.control);
  switch (c.control.kind) {
    case ControlKind::Caption:
      FillRectColour(dc, r, kBand);
      r.left += 12;
      DrawTextIn(dc, TextOf(c), r, RGB(255, 255, 255), g_boldFont, DT_LEFT);
      break;
    case ControlKind::Label:
      DrawTextIn(dc, TextOf(c), r, kText, g_font, DT_LEFT);
      break;
    case ControlKind::Note:
      DrawTextIn(dc, TextOf(c), r, kNoteText, g_font, DT_LEFT);
      break;
    case ControlKind::CheckBox:
      DrawCheckBox(dc, c, r);
      break;
    case ControlKind::Button:
      FillRectColour(dc, r, kButton);
      DrawTextIn(dc, TextOf(c), r, RGB(255, 255, 255), g_boldFont, DT_CENTER);
      break;
    case ControlKind::Edit:
      FillRectColour(dc, r, RGB(255, 255, 255));
      FrameRectColour(dc, r, kFrame);
      break;
  }
}

// A dotted frame just outside the focused control, as Windows marks keyboard focus.
void DrawFocus(HDC dc, HWND window, const WindowSkin* skin) {
  for (const ControlState& c : skin->controls) {
    if (!c.visible || c.control.name != skin->focused) continue;
    RECT r = ControlRect(window, c.control);
    InflateRect(&r, 2, 1);
    SetTextColor(dc, RGB(0, 0, 0));
    SetBkColor(dc, kBackground);
    DrawFocusRect(dc, &r);
  }
}

// Drawn into a bitmap first, so toggling a box never flickers.
void Paint(HWND window, WindowSkin* skin) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  RECT client = {};
  GetClientRect(window, &client);
  HDC memory = CreateCompatibleDC(dc);
  HBITMAP bitmap = CreateCompatibleBitmap(dc, client.right, client.bottom);
  HGDIOBJ oldBitmap = SelectObject(memory, bitmap);
  HGDIOBJ oldFont = SelectObject(memory, GetStockObject(DEFAULT_GUI_FONT));
  SetBkMode(memory, TRANSPARENT);
  FillRectColour(memory, client, kBackground);
  for (const ControlState& c : skin->controls)
    if (c.visible) DrawControl(memory, window, c);
  DrawFocus(memory, window, skin);
  BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
  SelectObject(memory, oldFont);
  SelectObject(memory, oldBitmap);
  DeleteObject(bitmap);
  DeleteDC(memory);
  EndPaint(window, &ps);
}

int HitTest(HWND window, WindowSkin* skin, POINT p) {
  for (size_t i = 0; i < skin->controls.size(); ++i) {
    const ControlState& c = skin->controls[i];
    if (!c.visible || (c.control.kind != ControlKind::CheckBox && c.control.kind != ControlKind::Button))
      continue;
    RECT r = ControlRect(window, c.control);
    if (PtInRect(&r, p)) return static_cast<int>(i);
  }
  return -1;
}

bool InCaption(HWND window, WindowSkin* skin, POINT screen) {
  ScreenToClient(window, &screen);
  for (const ControlState& c : skin->controls) {
    RECT r = ControlRect(window, c.control);
    if (c.visible && c.control.kind == ControlKind::Caption && PtInRect(&r, screen)) return true;
  }
  return false;
}

bool HasCaption(const WindowSkin& skin) {
  for (const ControlState& c : skin.controls)
    if (c.control.kind == ControlKind::Caption) return true;
  return false;
}

LRESULT CALLBACK SkinWindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  WindowSkin* skin = SkinOf(window);
  if (!skin) return DefWindowProcW(window, message, w, l);
  WNDPROC previous = skin->previous;
  switch (message) {
    case WM_ERASEBKGND:
      return 1;  // the paint covers the whole client area
    case WM_PAINT:
      Paint(window, skin);
      return 0;
    case WM_NCHITTEST: {
      LRESULT hit = CallWindowProcW(previous, window, message, w, l);
      POINT p = {static_cast<short>(LOWORD(l)), static_cast<short>(HIWORD(l))};
      return hit == HTCLIENT && InCaption(window, skin, p) ? HTCAPTION : hit;
    }
    case WM_LBUTTONDOWN: {
      POINT p = {static_cast<short>(LOWORD(l)), static_cast<short>(HIWORD(l))};
      skin->pressed = HitTest(window, skin, p);
      if (skin->pressed >= 0) SetCapture(window);
      return 0;
    }
    case WM_LBUTTONUP: {
      POINT p = {static_cast<short>(LOWORD(l)), static_cast<short>(HIWORD(l))};
      int pressed = skin->pressed;
      skin->pressed = -1;
      if (GetCapture() == window) ReleaseCapture();
      if (pressed < 0 || HitTest(window, skin, p) != pressed) return 0;
      ControlState& c = skin->controls[static_cast<size_t>(pressed)];
      if (c.control.kind == ControlKind::CheckBox) {
        c.checked = !c.checked;
        InvalidateRect(window, nullptr, FALSE);
      }
      // The window may destroy itself (and this state) while it handles the notification.
      std::wstring name = c.control.name;
      SendMessageW(window, kSkinNotifyMessage, reinterpret_cast<WPARAM>(name.c_str()), 0);
      return 0;
    }
    case WM_SIZE:
      InvalidateRect(window, nullptr, FALSE);  // edges counted from the bottom move
      break;
    case WM_NCDESTROY:
      SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
      g_windows.erase(window);
      return CallWindowProcW(previous, window, message, w, l);
  }
  return CallWindowProcW(previous, window, message, w, l);
}

}  // namespace
}  // namespace skindle

using namespace skindle;

SKINDLE_API void Skindle_LoadSkinResourceFromFolder(const wchar_t* folder) {
  if (!folder) return;
  Journal(std::wstring(L"load ") + folder);
  std::wstring base = ResolveFolder(folder);
  if (!base.empty() && base.back() != L'\\') base += L'\\';
  std::string bytes;
  if (ReadFileBytes(base + L"strings.txt", bytes)) ParseStringItems(bytes, g_items);
  if (ReadFileBytes(base + L"font.txt", bytes)) ParseFontSpec(bytes, g_fontSpec);
  if (ReadFileBytes(base + L"layout.txt", bytes)) ParseLayouts(bytes, g_layouts);
}

SKINDLE_API void Skindle_UpdateSkin(int, int, int) {
  Journal(L"update");
  MakeFonts();
  for (auto& w : g_windows) InvalidateRect(w.first, nullptr, FALSE);
}

SKINDLE_API void Skindle_SubclassWindow(HWND window, const wchar_t* layoutName, int enable) {
  if (!IsWindow(window) || !layoutName || !enable || SkinOf(window)) return;
  Journal(std::wstring(L"subclass ") + layoutName);
  if (!g_font) MakeFonts();
  std::unique_ptr<WindowSkin> skin(new WindowSkin);
  auto layout = g_layouts.find(layoutName);
  if (layout != g_layouts.end())
    for (const SkinControl& c : layout->second) {
      ControlState state;
      state.control = c;
      skin->controls.push_back(state);
    }
  const bool drawsCaption = HasCaption(*skin);
  skin->previous = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(window, GWLP_WNDPROC));
  g_windows[window] = std::move(skin);
  SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SkinWindowProc));
  // A layout with its own title strip draws the whole window: no system caption or frame above or
  // around it. The outer size stays; the client area grows to it. Without one the system frame
  // stays, so the window can still be moved and shows its title.
  if (drawsCaption) {
    SetWindowLongW(window, GWL_STYLE, GetWindowLongW(window, GWL_STYLE) & ~WS_CAPTION);
    SetWindowPos(window, nullptr, 0, 0, 0, 0,
                 SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  InvalidateRect(window, nullptr, FALSE);
}

SKINDLE_API const wchar_t* Skindle_GetStringItem(const wchar_t* itemName) {
  if (!itemName) return g_emptyItem.c_str();
  auto item = g_items.find(itemName);
  return item == g_items.end() ? g_emptyItem.c_str() : item->second.c_str();
}

SKINDLE_API void Skindle_AutoText_SetControlText(HWND window, const wchar_t* control,
                                                 const wchar_t* attribute, const wchar_t* value, int redraw) {
  ControlState* c = FindControl(window, control);
  if (!c || !attribute) return;
  c->attributes[attribute] = value ? value : L"";
  if (redraw) InvalidateRect(window, nullptr, FALSE);
}

SKINDLE_API void Skindle_Button_SetCheck(HWND window, const wchar_t* control, int checked) {
  SetControlFlag(window, control, &ControlState::checked, checked != 0);
}

SKINDLE_API int Skindle_Button_GetCheck(HWND window, const wchar_t* control) {
  ControlState* c = FindControl(window, control);
  return c && c->checked ? 1 : 0;
}

SKINDLE_API BOOL Skindle_GetControlRect(HWND window, const wchar_t* control, RECT* rect) {
  ControlState* c = FindControl(window, control);
  if (!c || !rect) return FALSE;
  *rect = ControlRect(window, c->control);
  return TRUE;
}

SKINDLE_API void Skindle_ShowControl(HWND window, const wchar_t* control, int show) {
  SetControlFlag(window, control, &ControlState::visible, show != 0);
}

SKINDLE_API void Skindle_SetFocusControl(HWND window, const wchar_t* control) {
  WindowSkin* skin = SkinOf(window);
  if (!skin) return;
  skin->focused = control ? control : L"";
  InvalidateRect(window, nullptr, FALSE);
}

SKINDLE_API const wchar_t* Skindle_GetCallJournal() { return g_journal.c_str(); }
