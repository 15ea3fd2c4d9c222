// Product version lookup in "version.xml".
#include "kerneldump/version_xml.h"

namespace kerneldump {

const char kProgramVersionMarker[] = "</ProgramVersion>";

VersionLine ProgramVersionFromLine(const std::string& line, std::string& version) {
  const size_t marker = line.rfind(kProgramVersionMarker);
  if (marker == std::string::npos) return VersionLine::NoMarker;
  const size_t open = line.rfind('>', marker == 0 ? std::string::npos : marker - 1);
  if (marker == 0 || open == std::string::npos) return VersionLine::NoVersion;
  version = line.substr(open + 1, marker - open - 1);
  return VersionLine::Found;
}

bool ProgramVersionFromStream(std::istream& in, std::string& version) {
  std::string line;
  while (std::getline(in, line)) {
    std::string found;
    VersionLine kind = ProgramVersionFromLine(line, found);
    if (kind == VersionLine::NoMarker) continue;
    if (kind == VersionLine::NoVersion) return false;
    version = found.substr(0, kVersionCapacity - 1);
    return true;
  }
  return false;
}

}  // namespace kerneldump
