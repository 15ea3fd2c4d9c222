// Uploader command line and the e-mail length rule.
#include "reporter/capture/uploader_command.h"

#include "common/protocol/uploader_switches.h"

namespace kelvor {

const wchar_t kUnknownModule[] = L"UnKnown";

bool ApplyContactEmailLimit(std::wstring& email) {
  if (email.size() <= kMaxContactEmailChars) return false;
  email.clear();
  return true;
}

std::wstring FormatUploaderCommandLine(const UploaderLaunchFacts& f) {
  using namespace protocol;
  const std::wstring& module = f.faultModule.empty() ? std::wstring(kUnknownModule) : f.faultModule;
  return std::wstring(kSwitchStart) + kStartReport + L" " + kSwitchPath + f.dumpFileName + L" " +
         kSwitchVersion + f.productVersion + L" " + kSwitchModule + module + L" " + kSwitchApp + f.appName +
         L" " + kSwitchId + f.crashId + L" " + kSwitchEmail + f.email;
}

}  // namespace kelvor
