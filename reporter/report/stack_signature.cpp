// Frame lines, the frame signature and the fault module, from what the walk found per frame.
#include "reporter/report/stack_signature.h"

#include "common/path.h"
#include "common/protocol/uploader_command_line.h"
#include "common/wformat.h"

namespace kelvor {

// Our own programs and libraries, the product's modules (its four processes among them), and the
// system's two web-client libraries, whose frames say that a crash happened in our traffic.
const wchar_t* const SuiteModuleNames[kSuiteModuleCount] = {
    // The crash-reporting suite and the libraries it ships with.
    L"Kelvor.exe", L"Ulvane.exe", L"Drummet.exe", L"Skindle.dll", L"Communication.dll",
    // The demo product and its library.
    L"OrvCore.dll",
    // The product's processes.
    L"OrvSvc.exe", L"QuarnSvc.exe", L"Orv.exe", L"OrvTray.exe",
    // The product's other programs.
    L"OrvUpdate.exe", L"OrvScan.exe", L"OrvSetup.exe", L"OrvUninst.exe", L"OrvQuarantine.exe",
    L"OrvHelper.exe", L"OrvNotify.exe",
    // The product's engine, protection and user-interface libraries.
    L"OrvEngine.dll", L"OrvScanner.dll", L"OrvSignature.dll", L"OrvUpdate.dll", L"OrvConfig.dll",
    L"OrvLang.dll", L"OrvUI.dll", L"OrvTrayUI.dll", L"OrvShellExt.dll", L"OrvMailScan.dll",
    L"OrvWebShield.dll", L"OrvFirewall.dll", L"OrvHook.dll", L"OrvLog.dll", L"OrvCrypt.dll", L"OrvUnpack.dll",
    L"OrvHeur.dll", L"OrvCloud.dll", L"OrvLicense.dll", L"OrvIpc.dll", L"OrvQuarantine.dll", L"QuarnCore.dll",
    L"QuarnStore.dll", L"CrashHandler.dll",
    // The system's web clients, through which the product talks to its servers.
    L"wininet.dll", L"winhttp.dll"};

bool IsSuiteModule(const std::wstring& fileName, bool& isNtdll) {
  if (fileName.empty()) return false;
  isNtdll = suite::EqualsNoCase(fileName, L"ntdll.dll");
  for (const wchar_t* name : SuiteModuleNames)
    if (suite::EqualsNoCase(fileName, name)) return true;
  return false;
}

std::wstring FormatFrameLine(uint64_t pc, uint64_t offsetOrPc, const std::wstring& moduleName) {
  return suite::WFormat(L"0x%llp  0x%llp  %s\r\n", static_cast<unsigned long long>(pc),
                        static_cast<unsigned long long>(offsetOrPc), moduleName);
}

OneShotFlags& ProcessOneShotFlags() {
  static OneShotFlags flags;
  return flags;
}

void CStackSignature::Begin() {
  stackText = L"\r\nStack:\r\n";
  allInNtdll = true;
  isNtdll_ = true;
  frames = 0;
  firstOffset = 0;
}

void CStackSignature::AddFrame(uint64_t pc, const FrameModule& module) {
  uint64_t offset = kNoOffset;
  if (module.found) {
    offset = pc - module.base;
    std::wstring fileName = suite::FileNamePart(module.imagePath).substr(0, 260);
    if (IsSuiteModule(fileName, isNtdll_)) {
      signature += suite::WFormat(L"%x ", static_cast<unsigned>(offset & 0xFFFFFFFFu));
      if (flags_.faultModulePending && !fileName.empty()) {
        faultModule_ = fileName;
        flags_.faultModulePending = false;
      }
    }
  }
  if (flags_.firstOffsetPending && !module.imagePath.empty() && offset != kNoOffset) {
    firstOffset = static_cast<long long>(offset);
    flags_.firstOffsetPending = false;
  }
  stackText += FormatFrameLine(pc, module.found ? offset : pc, module.found ? module.moduleName : L"");
  allInNtdll = allInNtdll && isNtdll_;
  ++frames;
}

void CStackSignature::Finish() {
  size_t begin = signature.find_first_not_of(L' ');
  if (begin == std::wstring::npos) {
    signature.clear();
  } else {
    size_t end = signature.find_last_not_of(L' ');
    signature = signature.substr(begin, end - begin + 1);
  }
  if (signature.empty() && !allInNtdll && frames > 0 && firstOffset != 0)
    signature = suite::WFormat(L"%lld", firstOffset);
  if (faultModule_.empty()) faultModule_ = protocol::kUnknownModule;
}

bool WalkMadeProgress(const WalkPosition& previous, const WalkPosition& next) {
  return next.stack > previous.stack || next.frame > previous.frame;
}

}  // namespace kelvor
