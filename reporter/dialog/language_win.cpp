// The report window's language: "nLanguage" in the "config.ini" beside Kelvor picks the folders of
// resources handed to the skin library.
#include <windows.h>

#include <vector>

#include "common/protocol/file_names.h"
#include "common/protocol/skindle_api_win.h"
#include "reporter/dialog/dialog_rules.h"
#include "reporter/dialog/report_window_win.h"

namespace kelvor {

std::wstring& GetConfigIniPath(std::wstring& path) {
  wchar_t program[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, program, MAX_PATH);
  // The long form: an 8.3 name would still find the file, but the rule is the long path.
  DWORD needed = GetLongPathNameW(program, nullptr, 0);
  std::wstring longPath = program;
  if (needed > 0) {
    std::vector<wchar_t> buffer(needed + 1, 0);
    if (GetLongPathNameW(program, buffer.data(), needed + 1) > 0) longPath = buffer.data();
  }
  path = ConfigIniPathFrom(longPath);
  return path;
}

int ReadLanguageNumber() {
  std::wstring ini;
  return static_cast<int>(GetPrivateProfileIntW(protocol::kSettingsSection, protocol::kLanguageKey, 0,
                                                GetConfigIniPath(ini).c_str()));
}

std::wstring InstalledLanguageFolder(int languageNumber) {
  // The skin library takes relative folders against the program's folder: look there.
  std::wstring ini;
  GetConfigIniPath(ini);
  const std::wstring programFolder = ini.substr(0, ini.rfind(L'\\') + 1);
  return InstalledLanguageFolder(languageNumber, [&programFolder](const std::wstring& name) {
    const std::wstring strings = programFolder + LanguageResourceFolders(name)[0] + L"\\strings.txt";
    return GetFileAttributesW(strings.c_str()) != INVALID_FILE_ATTRIBUTES;
  });
}

void LoadLanguageResources(const std::wstring& folderName, bool update) {
  for (const std::wstring& folder : LanguageResourceFolders(folderName))
    Skindle_LoadSkinResourceFromFolder(folder.c_str());
  if (update) Skindle_UpdateSkin(0, 0, 0);
}

}  // namespace kelvor
