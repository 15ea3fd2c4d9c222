// Uploader command line and the e-mail length rule.
#include "reporter/capture/uploader_command.h"

#include "common/wformat.h"

namespace kelvor {

const wchar_t kUploaderFileName[] = L"Ulvane.exe";
const wchar_t kUnknownModule[] = L"UnKnown";

bool ApplyContactEmailLimit(std::wstring& email) {
  if (email.size() <= kMaxContactEmailChars) return false;
  email.clear();
  return true;
}

std::wstring FormatUploaderCommandLine(const UploaderLaunchFacts& f) {
  return suite::WFormat(L"/Start:%s /Path:%s /Version:%s /Module:%s /App:%s /ID:%s /Email:%s", L"report",
                        f.dumpFileName, f.productVersion,
                        f.faultModule.empty() ? kUnknownModule : f.faultModule, f.appName, f.crashId,
                        f.email);
}

}  // namespace kelvor
