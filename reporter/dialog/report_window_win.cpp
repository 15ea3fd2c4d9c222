// The report window: creation in its order, the skin's notifications, Esc and Enter, and what is
// stored in Kelvor's process-wide values when it closes.
#include "reporter/dialog/report_window_win.h"

#include <richedit.h>

#include <new>
#include <vector>

#include "common/diag_failure_win.h"
#include "common/protocol/skindle_api_win.h"
#include "common/protocol/uploader_command_line.h"
#include "common/utf16_cut.h"
#include "reporter/dialog/dialog_rules.h"

namespace kelvor {

namespace {

static_assert(sizeof(CHARFORMAT2W) == 116, "the rich edit's character format record");
static_assert(sizeof(PARAFORMAT2) == 188, "the rich edit's paragraph format record");

const DWORD kRichEditStyle = 0x50100000;  // WS_CHILD | WS_VISIBLE | WS_HSCROLL
const DWORD kRichEditExStyle = 0x80;      // WS_EX_TOOLWINDOW
const DWORD kReportWindowStyle = 0x12CA0000;
const UINT kResizeFlags = SWP_NOMOVE | SWP_NOZORDER | SWP_NOCOPYBITS;
const wchar_t* const kContactControls[] = {L"text.email", L"edit.email", L"text.line", L"edit.line"};
// The skin's note that asks for an address the report and the upload can carry.
const wchar_t kEmailHint[] = L"text.email.hint";

// Centred on the work area of the monitor nearest to the window: it is not visible yet.
void CenterOnWorkArea(HWND window) {
  RECT r = {};
  GetWindowRect(window, &r);
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof monitor;
  if (!GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor)) {
    suite::DiagFailed("GetMonitorInfoW");
    return;
  }
  const RECT& work = monitor.rcWork;
  int width = r.right - r.left, height = r.bottom - r.top;
  SetWindowPos(window, nullptr, work.left + (work.right - work.left - width) / 2,
               work.top + (work.bottom - work.top - height) / 2, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void SetDefaultFormats(HWND edit) {
  SendMessageW(edit, EM_SHOWSCROLLBAR, SB_HORZ, FALSE);
  CHARFORMAT2W character = {};
  character.cbSize = sizeof character;
  character.dwMask = CFM_BOLD | CFM_ITALIC | CFM_UNDERLINE | CFM_COLOR | CFM_SIZE | CFM_LINK | CFM_FACE;
  character.dwEffects = 0;
  character.crTextColor = RGB(0x66, 0x66, 0x66);
  character.yHeight = 170;  // twips: 8.5 points
  lstrcpynW(character.szFaceName, L"Tahoma", LF_FACESIZE);
  SendMessageW(edit, EM_SETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&character));

  PARAFORMAT2 paragraph = {};
  paragraph.cbSize = sizeof paragraph;
  paragraph.dwMask = PFM_OFFSETINDENT | PFM_ALIGNMENT;
  paragraph.dxStartIndent = 80;  // added to the current indent
  paragraph.wAlignment = PFA_LEFT;
  SendMessageW(edit, EM_SETPARAFORMAT, 0, reinterpret_cast<LPARAM>(&paragraph));
  PARAFORMAT2 right = {};
  right.cbSize = sizeof right;
  right.dwMask = PFM_RIGHTINDENT;
  right.dxRightIndent = 80;
  SendMessageW(edit, EM_SETPARAFORMAT, 0, reinterpret_cast<LPARAM>(&right));
}

}  // namespace

HWND CMyRichEdit::Create(HWND parent, const RECT& r) {
  m_hWnd = CreateWindowExW(kRichEditExStyle, L"RichEdit20W", nullptr, kRichEditStyle, r.left, r.top,
                           r.right - r.left, r.bottom - r.top, parent, nullptr, GetModuleHandleW(nullptr),
                           nullptr);
  return m_hWnd;
}

CMainFrame::~CMainFrame() {
  DestroyRichEdit(m_emailEdit);
  DestroyRichEdit(m_lineEdit);
}

// The message map, in its order; the rest goes to the frame's default handling.
BOOL CMainFrame::ProcessWindowMessage(HWND, UINT message, WPARAM w, LPARAM l, LRESULT& result) {
  switch (message) {
    case WM_CREATE:
      result = OnCreate();
      return TRUE;
    case WM_DESTROY:
      OnDestroy();
      return FALSE;  // the frame quits the loop
    case WM_CLOSE:
      OnClose();
      return FALSE;  // the default handling destroys the window
    case WM_QUERYENDSESSION:
      result = TRUE;  // nothing is lost: the entries are kept when the session ends
      return TRUE;
    case WM_ENDSESSION:
      if (w) OnEndSession();
      result = 0;
      return TRUE;
    case WM_COMMAND:
      if (HIWORD(w) == EN_CHANGE) {
        KeepWithinLimit(reinterpret_cast<HWND>(l));
      } else if (HIWORD(w) == BN_CLICKED && plain_.Made()) {
        // A plain control's click, told as the skin tells its own.
        const std::wstring name = plain_.NameOf(reinterpret_cast<HWND>(l));
        if (name.empty()) return FALSE;
        OnSkinNotify(name.c_str());
      } else {
        return FALSE;
      }
      result = 0;
      return TRUE;
    case kSkinNotifyMessage:
      result = OnSkinNotify(reinterpret_cast<const wchar_t*>(w));
      return TRUE;
  }
  return FALSE;
}

LRESULT CMainFrame::OnCreate() {
  if (CMessageLoop* loop = window_module::GetMessageLoop()) {
    loop->AddMessageFilter(this);
    loop->AddIdleHandler(this);
  }
  CenterOnWorkArea(m_hWnd);

  const std::wstring language = InstalledLanguageFolder(ReadLanguageNumber());
  LoadLanguageResources(language, true);
  Skindle_LoadSkinResourceFromFolder(kReportSkinFolder);
  Skindle_SubclassWindow(m_hWnd, kReportLayoutName, 1);

  // An empty item (no language resources at all) would leave a window without a name: keep ours.
  const wchar_t* title = Skindle_GetStringItem(kReportTitleItem);
  if (title && *title) SetWindowTextW(m_hWnd, title);
  Skindle_AutoText_SetControlText(m_hWnd, L"text.location", L"text", g_CrashedAppName, 1);
  // A skin without its send button (folder missing, layout broken) would leave an empty box that
  // says nothing: plain controls take its place.
  RECT send = {};
  if (!Skindle_GetControlRect(m_hWnd, kSendButton, &send))
    plain_.Create(m_hWnd, g_CrashedAppName, CharsetForLanguageFolder(language));
  SetCheck(L"btn.checkbox.Restart", 1);
  SetCheck(L"btn.checkbox.Help", 1);

  CreateRichEdit(m_emailEdit, kEmailArea);
  CreateRichEdit(m_lineEdit, kLineArea);
  ShowContactControls(FALSE);
  return 0;
}

// Without the skin's edit area there is nowhere to put the box: the slot stays empty and the
// window works without it.
void CMainFrame::CreateRichEdit(CMyRichEdit*& slot, const wchar_t* skinArea) {
  RECT area = {};
  if (!ControlRect(skinArea, &area)) return;
  EditRect shrunk = RichEditRectFor({area.left, area.top, area.right, area.bottom});
  slot = new (std::nothrow) CMyRichEdit;
  if (!slot) return;
  RECT r = {shrunk.left, shrunk.top, shrunk.right, shrunk.bottom};
  if (!slot->Create(m_hWnd, r)) {
    suite::DiagFailed("CreateWindowExW RichEdit20W");
    DestroyRichEdit(slot);
    return;
  }
  SetDefaultFormats(slot->m_hWnd);
  // No more than is kept: the rest would be cut silently, and a long paste makes the box crawl.
  SendMessageW(slot->m_hWnd, EM_EXLIMITTEXT, 0, static_cast<LPARAM>(TextLimit(slot->m_hWnd)));
  // Not every rich edit holds a paste to that limit: the change is checked as well.
  SendMessageW(slot->m_hWnd, EM_SETEVENTMASK, 0, ENM_CHANGE);
}

// The address box holds what the uploader's command line carries; the description what is kept.
size_t CMainFrame::TextLimit(HWND edit) const {
  return m_emailEdit && edit == m_emailEdit->m_hWnd ? protocol::kMaxContactEmailChars : kRichEditTextLimit;
}

void CMainFrame::KeepWithinLimit(HWND edit) {
  const size_t limit = TextLimit(edit);
  const int length = GetWindowTextLengthW(edit);
  if (length < 0 || static_cast<size_t>(length) <= limit) return;
  std::vector<wchar_t> text(static_cast<size_t>(length) + 1, 0);
  GetWindowTextW(edit, text.data(), length + 1);
  const size_t kept = suite::CutWithoutSplittingPairs(text.data(), limit).size();
  SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(kept), -1);
  SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
}

void CMainFrame::ShowContactControls(BOOL show) {
  contactShown_ = show != FALSE;
  ShowControl(kEmailHint, 0);  // shown again only by a refused send
  if (m_emailEdit) ShowWindow(m_emailEdit->m_hWnd, show ? SW_SHOW : SW_HIDE);
  if (m_lineEdit) ShowWindow(m_lineEdit->m_hWnd, show ? SW_SHOW : SW_HIDE);
  for (const wchar_t* name : kContactControls) ShowControl(name, show);
}

LRESULT CMainFrame::OnSkinNotify(const wchar_t* controlName) {
  switch (CommandForSkinNotify(controlName)) {
    case SkinCommand::Send:
      Send();
      break;
    case SkinCommand::ToggleContact: {
      int checked = GetCheck(L"btn.checkbox.Contact");
      ShowContactControls(checked);
      SetWindowPos(m_hWnd, nullptr, 0, 0, kReportWindowWidth, ReportWindowHeight(checked != 0), kResizeFlags);
      break;
    }
    case SkinCommand::Nothing:
      break;
  }
  return 0;
}

void CMainFrame::Send() {
  if (EmailNeedsCorrection()) return;  // the window stays open and says why
  CollectUserInput();
  DestroyWindow(m_hWnd);
}

// An address the uploader would cut or drop must not be sent as if it were whole: the window asks
// for it to be corrected instead of closing.
bool CMainFrame::EmailNeedsCorrection() {
  if (!m_emailEdit || !GetCheck(L"btn.checkbox.Contact")) return false;
  std::wstring typed, accepted;
  if (AcceptableEmail(GetRichEditText(m_emailEdit, typed), accepted)) return false;
  ShowControl(kEmailHint, 1);
  FocusOn(kEmailArea);
  MessageBeep(MB_ICONWARNING);
  return true;
}

BOOL CMainFrame::PreTranslateMessage(MSG* message) {
  // A key still queued after the window went must not store anything again.
  if (!m_hWnd) return FALSE;
  if (message->hwnd != m_hWnd && !IsChild(m_hWnd, message->hwnd)) return FALSE;
  if (message->message == WM_LBUTTONDOWN && message->hwnd != m_hWnd && !skinFocus_.empty()) {
    skinFocus_.clear();  // a click into a box takes the focus there
    Skindle_SetFocusControl(m_hWnd, nullptr);
  }
  const bool onSkinControl = !skinFocus_.empty() && GetFocus() == m_hWnd;
  const bool shift = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
  const KeyCommand command = CommandForKey(message->message, message->wParam, shift, onSkinControl);
  switch (command) {
    case KeyCommand::Close:
      SendMessageW(m_hWnd, WM_CLOSE, 0, 0);
      break;
    case KeyCommand::Send:
      Send();  // also from the description box: Enter never becomes a line break
      return TRUE;
    case KeyCommand::NextFocus:
    case KeyCommand::PreviousFocus:
      MoveFocus(command == KeyCommand::PreviousFocus);
      return TRUE;
    case KeyCommand::Activate:
      Activate(skinFocus_);
      return TRUE;
    case KeyCommand::Drop:
      return TRUE;
    case KeyCommand::Pass:
      break;
  }
  return CFrameWindowBase::PreTranslateMessage(message);
}

void CMainFrame::FocusFirst() { FocusOn(kSendButton); }

std::wstring CMainFrame::FocusedName() {
  HWND focus = GetFocus();
  if (plain_.Made() && !plain_.NameOf(focus).empty()) return plain_.NameOf(focus);
  if (m_emailEdit && focus == m_emailEdit->m_hWnd) return kEmailArea;
  if (m_lineEdit && focus == m_lineEdit->m_hWnd) return kLineArea;
  return skinFocus_;
}

void CMainFrame::MoveFocus(bool backwards) {
  const bool boxes = contactShown_ && m_emailEdit && m_lineEdit;
  FocusOn(NextInFocusOrder(FocusOrder(boxes), FocusedName(), backwards));
}

// A box takes the focus as a window (its text selected, as a dialog does); a skin control is marked
// by the skin while the frame keeps the keyboard.
void CMainFrame::FocusOn(const std::wstring& name) {
  CMyRichEdit* box = name == kEmailArea ? m_emailEdit : name == kLineArea ? m_lineEdit : nullptr;
  if (box) {
    skinFocus_.clear();
    Skindle_SetFocusControl(m_hWnd, nullptr);
    SetFocus(box->m_hWnd);
    SendMessageW(box->m_hWnd, EM_SETSEL, 0, -1);
    return;
  }
  if (HWND plain = plain_.Find(name)) {
    SetFocus(plain);  // a plain control draws its own focus and takes Space itself
    return;
  }
  skinFocus_ = name;
  SetFocus(m_hWnd);
  Skindle_SetFocusControl(m_hWnd, name.c_str());
}

// The skin's controls or, when the skin cannot draw them, the plain ones, by the same names.
int CMainFrame::GetCheck(const std::wstring& name) {
  return plain_.Made() ? plain_.GetCheck(name) : Skindle_Button_GetCheck(m_hWnd, name.c_str());
}

void CMainFrame::SetCheck(const std::wstring& name, int checked) {
  if (plain_.Made())
    plain_.SetCheck(name, checked);
  else
    Skindle_Button_SetCheck(m_hWnd, name.c_str(), checked);
}

void CMainFrame::ShowControl(const std::wstring& name, int show) {
  if (plain_.Made())
    plain_.Show(name, show);
  else
    Skindle_ShowControl(m_hWnd, name.c_str(), show);
}

bool CMainFrame::ControlRect(const std::wstring& name, RECT* rect) {
  return plain_.Made() ? plain_.Rect(name, rect)
                       : Skindle_GetControlRect(m_hWnd, name.c_str(), rect) != FALSE;
}

// Space on the focused control does what a click does: the send button sends, a check box toggles
// and tells the window as the skin does after a click.
void CMainFrame::Activate(const std::wstring& name) {
  if (name == kSendButton) {
    Send();
    return;
  }
  SetCheck(name, GetCheck(name) ? 0 : 1);
  OnSkinNotify(name.c_str());
}

void CMainFrame::OnClose() { CollectUserInput(); }

// Windows may end the process once this returns: the entries are stored and the crash handed over
// now, and the window goes so that the run does not go on as if the user had closed it.
void CMainFrame::OnEndSession() {
  CollectUserInput();
  g_SessionEnding = TRUE;
  if (sessionEnds_) sessionEnds_();
  DestroyWindow(m_hWnd);
}

void CMainFrame::OnDestroy() {
  if (CMessageLoop* loop = window_module::GetMessageLoop()) {
    loop->RemoveMessageFilter(this);
    loop->RemoveIdleHandler(this);
  }
}

void CMainFrame::CollectUserInput() {
  ClosingFacts facts;
  facts.contactChecked = GetCheck(L"btn.checkbox.Contact") != 0;
  facts.restartChecked = GetCheck(L"btn.checkbox.Restart") != 0;
  facts.sendChecked = GetCheck(L"btn.checkbox.Help") != 0;
  facts.haveEmailBox = m_emailEdit != nullptr;
  facts.haveLineBox = m_lineEdit != nullptr;
  if (m_emailEdit) GetRichEditText(m_emailEdit, facts.emailText);
  if (m_lineEdit) GetRichEditText(m_lineEdit, facts.lineText);
  UserEntries stored = StoreEntriesOnClose(
      {g_ContactEmail, g_UserContext, g_RestartChecked != FALSE, g_SendChecked != FALSE}, facts);
  g_ContactEmail = stored.contactEmail;
  g_UserContext = stored.userContext;
  g_RestartChecked = stored.restartChecked ? TRUE : FALSE;
  g_SendChecked = stored.sendChecked ? TRUE : FALSE;
  DestroyRichEdit(m_emailEdit);
  DestroyRichEdit(m_lineEdit);
}

std::wstring& CMainFrame::GetRichEditText(CMyRichEdit* edit, std::wstring& text) {
  wchar_t buffer[261] = {};
  GetWindowTextW(edit->m_hWnd, buffer, 260);
  text = buffer;
  return text;
}

void CMainFrame::DestroyRichEdit(CMyRichEdit*& slot) {
  if (!slot) return;
  if (slot->m_hWnd && IsWindow(slot->m_hWnd)) DestroyWindow(slot->m_hWnd);
  delete slot;
  slot = nullptr;
}

int RunReportWindow(const wchar_t* /*commandLine*/, int showCommand,
                    const std::function<void()>& sessionEnds) {
  CMessageLoop loop;
  window_module::AddMessageLoop(&loop);
  CMainFrame frame(sessionEnds);
  RECT rect = {0, 0, kReportWindowWidth, ReportWindowHeight(false)};
  if (!frame.Create(L"Vemko Antivirus", rect, kReportWindowStyle, 0)) {
    window_module::RemoveMessageLoop();
    return 0;
  }
  ShowWindow(frame.m_hWnd, showCommand);
  SetWindowPos(frame.m_hWnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE);
  frame.FocusFirst();
  int result = loop.Run();
  window_module::RemoveMessageLoop();
  return result;
}

}  // namespace kelvor
