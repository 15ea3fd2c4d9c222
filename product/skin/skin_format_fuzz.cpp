// libFuzzer target: any bytes as Skindle's three resource files, loaded as one file and as two (split
// where the first byte says). What the parsers keep must hold what README.md promises: item names
// without "=", font values in their ranges, controls with a name and edges that are distances, and a
// second file replacing items and layouts of its own names while leaving the rest alone.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/fuzz_support.h"
#include "product/skin/skin_format.h"

namespace {

using suite::FuzzCheck;
using namespace skindle;

const int kMaxDistance = 999999999;  // nine digits at most

template <typename Map>
Map Merged(Map first, const Map& second) {
  for (const auto& entry : second) first[entry.first] = entry.second;
  return first;
}

bool SameControls(const std::vector<SkinControl>& a, const std::vector<SkinControl>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const SkinControl &x = a[i], &y = b[i];
    if (x.kind != y.kind || x.name != y.name || x.text != y.text) return false;
    const Edge* ex[] = {&x.left, &x.top, &x.right, &x.bottom};
    const Edge* ey[] = {&y.left, &y.top, &y.right, &y.bottom};
    for (int k = 0; k < 4; ++k)
      if (ex[k]->distance != ey[k]->distance || ex[k]->fromEnd != ey[k]->fromEnd) return false;
  }
  return true;
}

bool SameLayouts(const Layouts& a, const Layouts& b) {
  if (a.size() != b.size()) return false;
  for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
    if (i->first != j->first || !SameControls(i->second, j->second)) return false;
  return true;
}

void CheckItems(const StringItems& items) {
  for (const auto& item : items) {
    FuzzCheck(!item.first.empty() && item.first.find(L'=') == std::wstring::npos);
    FuzzCheck(item.first.find(L'\n') == std::wstring::npos && item.second.find(L'\n') == std::wstring::npos);
  }
}

void CheckFont(const FontSpec& font) {
  FuzzCheck(!font.face.empty() && font.face.size() < 32);
  FuzzCheck(font.height >= 1 && font.height <= 99);
  FuzzCheck(font.charset >= 0 && font.charset <= 255);
}

void CheckLayouts(const Layouts& layouts) {
  for (const auto& layout : layouts) {
    FuzzCheck(layout.first.find(L']') == std::wstring::npos);
    for (const SkinControl& c : layout.second) {
      FuzzCheck(!c.name.empty() && c.name.find_first_of(L" \t\n") == std::wstring::npos);
      for (const Edge* e : {&c.left, &c.top, &c.right, &c.bottom}) {
        FuzzCheck(e->distance >= 0 && e->distance <= kMaxDistance);
      }
      FuzzCheck(c.text.empty() || (c.text[0] != L' ' && c.text[0] != L'\t'));
      // The attribute takes the place of "%s", or of the whole text without one.
      const std::wstring attribute = L"Orv.exe";
      const std::wstring shown = ShownText(c.text, &attribute);
      const bool hasSlot = c.text.find(L"%s") != std::wstring::npos;
      FuzzCheck(shown.size() == (hasSlot ? c.text.size() - 2 + attribute.size() : attribute.size()));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const size_t split = size ? size_t(data[0]) * size / 256 : 0;
  const std::string first = bytes.substr(0, split), second = bytes.substr(split);

  StringItems items, firstItems, secondItems, bothItems;
  ParseStringItems(bytes, items);
  CheckItems(items);
  ParseStringItems(first, firstItems);
  ParseStringItems(second, secondItems);
  ParseStringItems(first, bothItems);
  ParseStringItems(second, bothItems);
  FuzzCheck(bothItems == Merged(firstItems, secondItems));

  FontSpec font;
  ParseFontSpec(bytes, font);
  CheckFont(font);

  Layouts layouts, firstLayouts, secondLayouts, bothLayouts;
  ParseLayouts(bytes, layouts);
  CheckLayouts(layouts);
  ParseLayouts(first, firstLayouts);
  ParseLayouts(second, secondLayouts);
  ParseLayouts(first, bothLayouts);
  ParseLayouts(second, bothLayouts);
  FuzzCheck(SameLayouts(bothLayouts, Merged(firstLayouts, secondLayouts)));
  return 0;
}
