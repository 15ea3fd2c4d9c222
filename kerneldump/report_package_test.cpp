#include "kerneldump/report_package.h"

#include <gtest/gtest.h>

namespace kerneldump {
namespace {

TEST(ReportPackage, Names) {
  EXPECT_EQ(ArchivePathFor(L"C:\\Prog\\", L"C:\\Windows\\Minidump\\Mini010114-01.dmp"),
            L"C:\\Prog\\dump\\Mini010114-01.dmp.zip");
  EXPECT_EQ(InfoFilePathFor(L"C:\\Users\\u\\AppData\\LocalLow\\Vemko\\Ossary"),
            L"C:\\Users\\u\\AppData\\LocalLow\\Vemko\\Ossary\\info.ini");
  std::wstring folder;
  EXPECT_TRUE(ModuleFolderFromPath(L"C:\\Prog\\Drummet.exe", folder));
  EXPECT_EQ(folder, L"C:\\Prog\\");
  EXPECT_FALSE(ModuleFolderFromPath(L"Drummet.exe", folder));
}

}  // namespace
}  // namespace kerneldump
