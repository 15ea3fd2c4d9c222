// libFuzzer target: any bytes as any of Skindle's three resource files, then a layout resolved.
#include <cstddef>
#include <cstdint>
#include <string>

#include "product/skin/skin_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  skindle::StringItems items;
  skindle::FontSpec font;
  skindle::Layouts layouts;
  skindle::ParseStringItems(bytes, items);
  skindle::ParseFontSpec(bytes, font);
  skindle::ParseLayouts(bytes, layouts);
  for (const auto& layout : layouts)
    for (const skindle::SkinControl& c : layout.second) {
      std::wstring attribute = L"Orv.exe";
      skindle::ShownText(c.text, &attribute);
      (void)(c.left.Resolve(494) + c.bottom.Resolve(260));
    }
  return 0;
}
