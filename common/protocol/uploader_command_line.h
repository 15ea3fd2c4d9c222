// The command line with which Kelvor hands a crash to the uploader Ulvane. Pure functions over the
// facts given; the launch itself is CCrashCapture::LaunchUploader.
#pragma once
#include <string>

#include "common/protocol/file_names.h"

namespace kelvor {

using protocol::kUploaderFileName;
constexpr size_t kMaxContactEmailChars = 40;

struct UploaderLaunchFacts {
  std::wstring dumpFileName;  // the normal dump's file name, no folder
  std::wstring productVersion;
  std::wstring faultModule;
  std::wstring appName;
  std::wstring crashId;
  std::wstring email;
};

// Clears an e-mail longer than 40 characters (the stored value itself, so the report window and
// the uploader agree); returns true when it did.
bool ApplyContactEmailLimit(std::wstring& email);

// "/Start:report /Path:%s /Version:%s /Module:%s /App:%s /ID:%s /Email:%s", each value through
// protocol::SafeSwitchValue (so "My App.exe" goes as "My_App.exe"), and an empty fault module (the stack walk
// could not start): the uploader refuses an empty
// "/Module:", so it is sent as "UnKnown", the report's word for no module of ours.
extern const wchar_t kUnknownModule[];
std::wstring FormatUploaderCommandLine(const UploaderLaunchFacts& facts);

}  // namespace kelvor
