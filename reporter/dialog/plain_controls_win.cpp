// Plain Windows controls in place of a skin that cannot draw the report window.
#include "reporter/dialog/plain_controls_win.h"

#include "common/diag_failure_win.h"
#include "common/protocol/skindle_api_win.h"

namespace kelvor {

namespace {

struct PlainControl {
  const wchar_t* name;
  const wchar_t* className;
  DWORD style;
  int left, top, right, bottom;  // client pixels; a negative edge counts from the right or bottom
  const wchar_t* item;           // the language's string item
  const wchar_t* english;        // its text when the item is missing
};

const DWORD kChild = WS_CHILD | WS_VISIBLE;
const PlainControl kControls[] = {
    {L"text.location", L"STATIC", kChild | SS_NOPREFIX, 12, 10, -12, 28, L"Location",
     L"%s stopped working because of a problem."},
    {L"text.info", L"STATIC", kChild | SS_NOPREFIX, 12, 30, -12, 48, L"Info",
     L"A report has been saved and will be sent to Vemko."},
    {L"btn.checkbox.Restart", L"BUTTON", kChild | WS_TABSTOP | BS_AUTOCHECKBOX, 12, 56, -12, 76, L"Restart",
     L"Restart the program"},
    {L"btn.checkbox.Help", L"BUTTON", kChild | WS_TABSTOP | BS_AUTOCHECKBOX, 12, 78, -12, 98, L"Help",
     L"Help improve Vemko Antivirus by sending this report"},
    {L"btn.checkbox.Contact", L"BUTTON", kChild | WS_TABSTOP | BS_AUTOCHECKBOX, 12, 100, -12, 120, L"Contact",
     L"I want to leave my e-mail address and describe what happened"},
    {L"text.email", L"STATIC", kChild | SS_NOPREFIX, 12, 130, 126, 148, L"Email", L"E-mail:"},
    {L"edit.email", L"STATIC", kChild | SS_GRAYFRAME, 130, 124, -12, 148, nullptr, L""},
    {L"text.line", L"STATIC", kChild | SS_NOPREFIX, 12, 160, 126, 178, L"Description", L"What happened:"},
    {L"edit.line", L"STATIC", kChild | SS_GRAYFRAME, 130, 154, -12, 178, nullptr, L""},
    {L"text.email.hint", L"STATIC", kChild | SS_NOPREFIX, 12, -34, -120, -12, L"EmailHint",
     L"Enter an address of up to 40 characters, without spaces."},
    {L"btn.send", L"BUTTON", kChild | WS_TABSTOP | BS_DEFPUSHBUTTON, -104, -36, -12, -10, L"Send", L"Send"},
};

int Edge(int value, int extent) { return value < 0 ? extent + value : value; }

std::wstring TextFor(const PlainControl& c, const std::wstring& appName) {
  const wchar_t* item = c.item ? Skindle_GetStringItem(c.item) : nullptr;
  std::wstring text = item && *item ? item : c.english;
  size_t at = text.find(L"%s");
  if (at != std::wstring::npos) text.replace(at, 2, appName);
  return text;
}

}  // namespace

PlainControls::~PlainControls() {
  if (font_) DeleteObject(font_);
}

void PlainControls::Create(HWND frame, const std::wstring& appName, int charset) {
  RECT client = {};
  GetClientRect(frame, &client);
  LOGFONTW dialogFont = {};
  GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof dialogFont, &dialogFont);
  dialogFont.lfCharSet = static_cast<BYTE>(charset);
  font_ = CreateFontIndirectW(&dialogFont);
  HFONT font = font_ ? font_ : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  for (const PlainControl& c : kControls) {
    const int left = Edge(c.left, client.right), top = Edge(c.top, client.bottom);
    HWND control = CreateWindowExW(0, c.className, TextFor(c, appName).c_str(), c.style, left, top,
                                   Edge(c.right, client.right) - left, Edge(c.bottom, client.bottom) - top,
                                   frame, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!control) {  // the window works without it
      suite::DiagFailed("CreateWindowExW");
      continue;
    }
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    controls_.emplace_back(c.name, control);
  }
}

HWND PlainControls::Find(const std::wstring& name) const {
  for (const auto& c : controls_)
    if (c.first == name) return c.second;
  return nullptr;
}

std::wstring PlainControls::NameOf(HWND control) const {
  for (const auto& c : controls_)
    if (c.second == control) return c.first;
  return L"";
}

int PlainControls::GetCheck(const std::wstring& name) const {
  HWND c = Find(name);
  return c && SendMessageW(c, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
}

void PlainControls::SetCheck(const std::wstring& name, int checked) {
  if (HWND c = Find(name)) SendMessageW(c, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void PlainControls::Show(const std::wstring& name, int show) {
  if (HWND c = Find(name)) ShowWindow(c, show ? SW_SHOW : SW_HIDE);
}

bool PlainControls::Rect(const std::wstring& name, RECT* rect) const {
  HWND c = Find(name);
  if (!c || !rect) return false;
  GetWindowRect(c, rect);
  MapWindowPoints(nullptr, GetParent(c), reinterpret_cast<POINT*>(rect), 2);
  return true;
}

}  // namespace kelvor
