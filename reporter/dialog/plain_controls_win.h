// The report window's controls as plain Windows controls, for a skin that cannot draw them (its
// folder missing, its layout broken): the window still says what happened and works by mouse and
// keyboard. Names are the skin's control names, so the window treats both alike.
//
// Ownership: the controls are children of the frame and go with it.
#pragma once
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace kelvor {

class PlainControls {
 public:
  // Makes every control; texts from the language's string items, English where an item is missing,
  // in the system's dialog font asked for with the language's character set.
  void Create(HWND frame, const std::wstring& appName, int charset);
  ~PlainControls();
  bool Made() const { return !controls_.empty(); }
  HWND Find(const std::wstring& name) const;
  std::wstring NameOf(HWND control) const;
  int GetCheck(const std::wstring& name) const;
  void SetCheck(const std::wstring& name, int checked);
  void Show(const std::wstring& name, int show);
  bool Rect(const std::wstring& name, RECT* rect) const;

 private:
  std::vector<std::pair<std::wstring, HWND>> controls_;
  HFONT font_ = nullptr;
};

}  // namespace kelvor
