// Skindle's resource files: parsing, forgiving of broken lines, and the shipped resources complete.
#include "product/skin/skin_format.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace skindle {
namespace {

TEST(SkinFormat, LayoutLinesWithEdgesFromEitherSide) {
  Layouts layouts;
  ParseLayouts(
      "\xEF\xBB\xBF# comment\r\n[crashreporter]\r\n"
      "button btn.send -130,-40,-20,-12 @Send\r\n"
      "label text.location 20,44,-0,66 Crashed: %s now\r\n"
      "edit edit.email 1,2,3,4\r\n"
      "bogus x 1,2,3,4 text\r\n"    // unknown kind
      "label y 1,2,3 text\r\n"      // three edges
      "label z 1,2,3,--4 text\r\n"  // a broken number
      "[other]\nlabel w 0,0,1,1\n",
      layouts);
  ASSERT_EQ(layouts.size(), 2u);
  const auto& c = layouts[L"crashreporter"];
  ASSERT_EQ(c.size(), 3u);
  EXPECT_EQ(c[0].kind, ControlKind::Button);
  EXPECT_EQ(c[0].left.Resolve(494), 364);
  EXPECT_EQ(c[0].bottom.Resolve(256), 244);
  EXPECT_EQ(c[0].text, L"@Send");
  EXPECT_EQ(c[1].right.Resolve(494), 494);
  EXPECT_EQ(c[1].text, L"Crashed: %s now");
  EXPECT_EQ(c[2].text, L"");
  // A layout loaded again replaces its controls.
  ParseLayouts("[crashreporter]\nlabel only 0,0,1,1 x\n", layouts);
  EXPECT_EQ(layouts[L"crashreporter"].size(), 1u);
}

TEST(SkinFormat, StringsAndFontOverrideItemByItem) {
  StringItems items;
  ParseStringItems("A=one\nB=two=three\n=nameless\nnoequals\n", items);
  ParseStringItems("A=\xE0\xB8\xAA\xE0\xB9\x88\xE0\xB8\x87\n", items);  // Thai "send"
  EXPECT_EQ(items.size(), 2u);
  EXPECT_EQ(items[L"A"], L"\u0E2A\u0E48\u0E07");
  EXPECT_EQ(items[L"B"], L"two=three");

  FontSpec font;
  ParseFontSpec("face=Loma\nheight=abc\ncharset=222\nheight=900\n", font);
  EXPECT_EQ(font.face, L"Loma");
  EXPECT_EQ(font.height, 13);
  EXPECT_EQ(font.charset, 222);
}

TEST(SkinFormat, ShownTextFillsTheAttribute) {
  std::wstring app = L"Orv.exe";
  EXPECT_EQ(ShownText(L"%s stopped.", &app), L"Orv.exe stopped.");
  EXPECT_EQ(ShownText(L"%s stopped.", nullptr), L" stopped.");
  EXPECT_EQ(ShownText(L"plain", &app), L"Orv.exe");
  EXPECT_EQ(ShownText(L"plain", nullptr), L"plain");
}

std::string ReadResource(const std::string& relative) {
  const char* source = std::getenv("SUITE_SOURCE");
  std::ifstream in(std::string(source ? source : ".") + "/product/skin/resources/" + relative,
                   std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Every text item the layout names exists in every language, with the location's "%s".
TEST(SkinFormat, ShippedResourcesAreComplete) {
  Layouts layouts;
  ParseLayouts(ReadResource("skin/skin_crashreporter/layout.txt"), layouts);
  const auto& controls = layouts[L"crashreporter"];
  ASSERT_EQ(controls.size(), 12u);
  for (const char* language : {"1033", "1054", "2052"}) {
    SCOPED_TRACE(language);
    StringItems items;
    ParseStringItems(ReadResource(std::string("I18N/") + language + "/BugReporter/strings.txt"), items);
    for (const SkinControl& c : controls) {
      if (c.text.empty() || c.text[0] != L'@') continue;
      EXPECT_FALSE(items[c.text.substr(1)].empty());
    }
    EXPECT_NE(items[L"Location"].find(L"%s"), std::wstring::npos);
    FontSpec font;
    font.face.clear();
    ParseFontSpec(ReadResource(std::string("I18N/") + language + "/Font/font.txt"), font);
    EXPECT_FALSE(font.face.empty());
  }
}

}  // namespace
}  // namespace skindle
