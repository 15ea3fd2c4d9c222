// The product version out of "version.xml" (platform-free): the text between the last ">" before
// the closing ProgramVersion tag and that tag, on the first line that has the tag.
//
// Reads the caller's stream and keeps nothing; false means no version was found and `version` is left
// alone.
#pragma once
#include <istream>
#include <string>

namespace kerneldump {

extern const char kProgramVersionMarker[];
constexpr size_t kVersionCapacity = 64;  // characters, terminator included

enum class VersionLine { NoMarker, NoVersion, Found };

// Looks at one line; `version` is set only for Found.
VersionLine ProgramVersionFromLine(const std::string& line, std::string& version);

// Reads lines until the first one with the marker; false when none has it or that line has no ">"
// before its marker. The version is cut to 63 characters.
bool ProgramVersionFromStream(std::istream& in, std::string& version);

}  // namespace kerneldump
