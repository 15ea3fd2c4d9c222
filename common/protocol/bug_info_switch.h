// The "/BugInfo:" switch with which a crashed product process starts Kelvor: the address of its
// crash record (common/protocol/bug_info.h), its process id, the crashed thread's id and the value
// of the release event handle that Kelvor inherits. The product's crash handler writes it with
// FormatBugInfoSwitch and Kelvor reads it with ParseBugInfoSwitch; both live here so that the two
// ends cannot drift apart (bug_info_switch_test.cpp runs one against the other).
//
// Ownership: plain values, nothing owned. The formatter writes into the caller's buffer and never
// allocates (it runs inside a crashed process); the parser trusts nothing it is handed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace protocol {

constexpr wchar_t kBugInfoSwitch[] = L"/BugInfo:";

struct BugInfoSwitch {
  bool found = false;         // "/BugInfo:" (any case) is present with at least one character after it
  uint32_t blockAddress = 0;  // low 32 bits of the hexadecimal address
  uint32_t processId = 0;
  uint32_t threadId = 0;
  uint32_t eventHandle = 0;  // handle value of the release event inside this process
};

// "/BugInfo:" + the address as 8 upper-case hexadecimal digits + "," + the three values in
// decimal, comma-separated. Room for the longest switch and its NUL:
constexpr size_t kBugInfoSwitchCapacity = (sizeof(kBugInfoSwitch) / sizeof(wchar_t) - 1) + 8 + 3 * 11 + 1;

// Writes the switch for `fields` (`found` is not read) with its NUL into `out`. Returns the number
// of characters written without the NUL; 0 (and an empty text when there is room for one) when
// `capacity` is too small, so a short buffer never yields a cut switch.
size_t FormatBugInfoSwitch(const BugInfoSwitch& fields, wchar_t* out, size_t capacity);

// Finds the first "/BugInfo:" (case-insensitive) and parses "%llp,%d,%d,%d" after it the way the
// C library's scanner does: fields are read in order and reading stops at the first one that does
// not parse, leaving it and every later field 0. `found` false: no switch, or nothing after it.
BugInfoSwitch ParseBugInfoSwitch(const std::wstring& commandLine);

}  // namespace protocol
