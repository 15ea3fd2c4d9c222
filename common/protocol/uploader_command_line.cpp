// Uploader command line and the e-mail length rule.
#include "common/protocol/uploader_command_line.h"

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
  // Every value made safe: one with a space would arrive cut, one with switch text would replace
  // the switch that follows.
  return std::wstring(kSwitchStart) + kStartReport + L" " + kSwitchPath + SafeSwitchValue(f.dumpFileName) +
         L" " + kSwitchVersion + SafeSwitchValue(f.productVersion) + L" " + kSwitchModule +
         SafeSwitchValue(module) + L" " + kSwitchApp + SafeSwitchValue(f.appName) + L" " + kSwitchId +
         SafeSwitchValue(f.crashId) + L" " + kSwitchEmail + SafeSwitchValue(f.email);
}

}  // namespace kelvor
