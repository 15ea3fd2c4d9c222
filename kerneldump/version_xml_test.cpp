#include "kerneldump/version_xml.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kerneldump {
namespace {

TEST(ProgramVersion, LineRules) {
  std::string v;
  EXPECT_EQ(ProgramVersionFromLine("  <ProgramVersion>1.2.3.4</ProgramVersion>", v), VersionLine::Found);
  EXPECT_EQ(v, "1.2.3.4");
  EXPECT_EQ(ProgramVersionFromLine("1.2.3.4</ProgramVersion>", v), VersionLine::NoVersion);
  EXPECT_EQ(ProgramVersionFromLine("</ProgramVersion>", v), VersionLine::NoVersion);
  EXPECT_EQ(ProgramVersionFromLine("<Other>9</Other>", v), VersionLine::NoMarker);
  // The last marker of the line counts, and the last ">" before it.
  EXPECT_EQ(ProgramVersionFromLine("<a>1</ProgramVersion><b>2</ProgramVersion>", v), VersionLine::Found);
  EXPECT_EQ(v, "2");
  EXPECT_EQ(ProgramVersionFromLine("<ProgramVersion></ProgramVersion>", v), VersionLine::Found);
  EXPECT_EQ(v, "");
}

TEST(ProgramVersion, FirstMarkedLineDecides) {
  std::string v;
  std::istringstream ok(
      "<?xml version=\"1.0\"?>\r\n<Product>\r\n<ProgramVersion>10.0.2.7</ProgramVersion>\r\n"
      "<ProgramVersion>9</ProgramVersion>\r\n");
  EXPECT_TRUE(ProgramVersionFromStream(ok, v));
  EXPECT_EQ(v, "10.0.2.7");
  std::istringstream bad("x</ProgramVersion>\n<ProgramVersion>9</ProgramVersion>\n");
  EXPECT_FALSE(ProgramVersionFromStream(bad, v));
  std::istringstream none("<ProgramVersion>\n1.0\n");
  EXPECT_FALSE(ProgramVersionFromStream(none, v));
  std::istringstream longer("<v>" + std::string(100, '7') + "</ProgramVersion>");
  EXPECT_TRUE(ProgramVersionFromStream(longer, v));
  EXPECT_EQ(v, std::string(63, '7'));
}

}  // namespace
}  // namespace kerneldump
