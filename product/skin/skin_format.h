// Skindle's resource files, parsed without Windows: "strings.txt", "font.txt" and "layout.txt"
// (UTF-8 text; the format is described in README.md beside this file).
//
// Every parser fills the caller's containers and keeps nothing; malformed lines are skipped, not
// reported, so a broken resource file gives fewer items rather than no window.
#pragma once
#include <map>
#include <string>
#include <vector>

namespace skindle {

enum class ControlKind { Caption, Label, Note, CheckBox, Button, Edit };

// One edge of a control: a distance from the left/top edge of the client area, or from the
// right/bottom edge when written with a leading minus ("-0" is the edge itself).
struct Edge {
  int distance = 0;
  bool fromEnd = false;
  int Resolve(int extent) const { return fromEnd ? extent - distance : distance; }
};

struct SkinControl {
  ControlKind kind = ControlKind::Label;
  std::wstring name;
  Edge left, top, right, bottom;
  std::wstring text;  // "@Item" names a string item; anything else is shown as it stands
};

using Layouts = std::map<std::wstring, std::vector<SkinControl>>;
using StringItems = std::map<std::wstring, std::wstring>;

struct FontSpec {
  std::wstring face = L"Tahoma";
  int height = 13;  // pixels
  int charset = 1;  // DEFAULT_CHARSET
};

// "Name=Value" lines; later files override earlier ones item by item.
void ParseStringItems(const std::string& utf8, StringItems& items);
// "face=", "height=", "charset=" lines; unknown keys and bad numbers are skipped.
void ParseFontSpec(const std::string& utf8, FontSpec& font);
// "[layout]" headers and "kind name left,top,right,bottom text" lines; malformed lines are skipped.
void ParseLayouts(const std::string& utf8, Layouts& layouts);

// The text a control shows: its item or literal, with "%s" replaced by its "text" attribute
// (or the attribute alone when the template has no "%s").
std::wstring ShownText(const std::wstring& templateText, const std::wstring* attribute);

}  // namespace skindle
