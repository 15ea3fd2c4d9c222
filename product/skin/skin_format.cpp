// Parsing of Skindle's text resources; small and forgiving: a broken line is skipped, never fatal.
#include "product/skin/skin_format.h"

#include <cstdlib>
#include <sstream>

#include "common/wformat.h"

namespace skindle {

namespace {

// Lines of a UTF-8 file without BOM, CR and surrounding blanks; "#" starts a comment line.
std::vector<std::wstring> Lines(const std::string& utf8) {
  std::string text = utf8;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  std::vector<std::wstring> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::wstring w = suite::FromUtf8(line);
    size_t b = w.find_first_not_of(L" \t\r");
    size_t e = w.find_last_not_of(L" \t\r");
    if (b == std::wstring::npos || w[b] == L'#') continue;
    lines.push_back(w.substr(b, e - b + 1));
  }
  return lines;
}

bool ParseInt(const std::wstring& text, int& value) {
  if (text.empty() || text.size() > 9) return false;
  wchar_t* end = nullptr;
  long v = std::wcstol(text.c_str(), &end, 10);
  if (*end != 0) return false;
  value = static_cast<int>(v);
  return true;
}

bool ParseEdge(const std::wstring& text, Edge& edge) {
  edge.fromEnd = !text.empty() && text[0] == L'-';
  std::wstring digits = edge.fromEnd ? text.substr(1) : text;
  if (digits.empty() || digits[0] == L'-' || digits[0] == L'+') return false;
  return ParseInt(digits, edge.distance) && edge.distance >= 0;
}

bool ParseKind(const std::wstring& word, ControlKind& kind) {
  static const std::map<std::wstring, ControlKind> kinds = {
      {L"caption", ControlKind::Caption},   {L"label", ControlKind::Label},   {L"note", ControlKind::Note},
      {L"checkbox", ControlKind::CheckBox}, {L"button", ControlKind::Button}, {L"edit", ControlKind::Edit}};
  auto found = kinds.find(word);
  if (found == kinds.end()) return false;
  kind = found->second;
  return true;
}

// "kind name l,t,r,b text..." : three words, then the rest of the line as the text.
bool ParseControl(const std::wstring& line, SkinControl& control) {
  std::wistringstream in(line);
  std::wstring kind, rect;
  if (!(in >> kind >> control.name >> rect) || !ParseKind(kind, control.kind)) return false;
  std::vector<std::wstring> parts;
  std::wstringstream edges(rect);
  std::wstring part;
  while (std::getline(edges, part, L',')) parts.push_back(part);
  if (parts.size() != 4 || !ParseEdge(parts[0], control.left) || !ParseEdge(parts[1], control.top) ||
      !ParseEdge(parts[2], control.right) || !ParseEdge(parts[3], control.bottom))
    return false;
  std::getline(in, control.text);
  size_t b = control.text.find_first_not_of(L" \t");
  control.text = b == std::wstring::npos ? L"" : control.text.substr(b);
  return true;
}

}  // namespace

void ParseStringItems(const std::string& utf8, StringItems& items) {
  for (const std::wstring& line : Lines(utf8)) {
    size_t eq = line.find(L'=');
    if (eq == std::wstring::npos || eq == 0) continue;
    items[line.substr(0, eq)] = line.substr(eq + 1);
  }
}

void ParseFontSpec(const std::string& utf8, FontSpec& font) {
  for (const std::wstring& line : Lines(utf8)) {
    size_t eq = line.find(L'=');
    if (eq == std::wstring::npos) continue;
    std::wstring key = line.substr(0, eq), value = line.substr(eq + 1);
    int number = 0;
    if (key == L"face" && !value.empty() && value.size() < 32)
      font.face = value;
    else if (key == L"height" && ParseInt(value, number) && number > 0 && number < 100)
      font.height = number;
    else if (key == L"charset" && ParseInt(value, number) && number >= 0 && number < 256)
      font.charset = number;
  }
}

void ParseLayouts(const std::string& utf8, Layouts& layouts) {
  std::vector<SkinControl>* current = nullptr;
  for (const std::wstring& line : Lines(utf8)) {
    if (line.front() == L'[') {
      size_t close = line.find(L']');
      current = close == std::wstring::npos ? nullptr : &layouts[line.substr(1, close - 1)];
      if (current) current->clear();  // a layout loaded again replaces the old one
      continue;
    }
    SkinControl control;
    if (current && ParseControl(line, control)) current->push_back(control);
  }
}

std::wstring ShownText(const std::wstring& templateText, const std::wstring* attribute) {
  size_t at = templateText.find(L"%s");
  if (at == std::wstring::npos) return attribute ? *attribute : templateText;
  return templateText.substr(0, at) + (attribute ? *attribute : L"") + templateText.substr(at + 2);
}

}  // namespace skindle
