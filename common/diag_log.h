// The opt-in diagnostic log of the three programs: failed system calls with their error codes and
// the start and end of each phase with a high-resolution time. Off unless an administrator turns
// it on (docs/DIAGNOSTICS.md); while off every call returns at once and nothing is written.
//
//   suite::DiagInit(L"Kelvor");                    // once, first thing in the program
//   if (!h) suite::DiagFailure("CreateFileW", GetLastError());
//   { suite::DiagPhase phase("dump_call"); ... }   // begin and end lines around a scope
//
// Ownership: the log file belongs to the process: DiagInit opens it and it stays open until the
// process ends (a second DiagInit, as tests make, closes the first), so threads that still log while
// the process ends never write through a closed handle. A DiagPhase keeps a pointer to its name,
// which must outlive it (a string literal). A false ParseDiagLine means the line is not one of the
// log's; DiagEnabled is false while the log is off.
#pragma once
#include <cstdint>
#include <string>

#include "common/protocol/registry_names.h"

namespace suite {

// ---- Platform-free: the line format ------------------------------------------------------------

enum class DiagKind { Begin, End, Failure };

struct DiagRecord {
  DiagKind kind = DiagKind::Begin;
  uint64_t timeUs = 0;  // performance counter in microseconds (one clock for every process)
  uint32_t threadId = 0;
  std::string name;    // phase or system call; spaces become '_'
  uint64_t value = 0;  // End: the phase's duration in microseconds; Failure: the error code
};

// "<timeUs> <threadId> begin <name>", "... end <name> <durationUs>", "... fail <name> <error>",
// each ending in CR LF.
std::string FormatDiagLine(const DiagRecord& record);
// The reverse, for readers of the log (the crash benchmark); false for any other line.
bool ParseDiagLine(const std::string& line, DiagRecord& record);
// "<program>.<pid>.log": one file per process, so processes never share one.
std::wstring DiagLogFileName(const std::wstring& program, uint32_t processId);
// Counter ticks to microseconds without overflow for any tick count.
uint64_t DiagTicksToUs(uint64_t ticks, uint64_t ticksPerSecond);

// ---- Windows: the log itself (diag_log_win.cpp) ------------------------------------------------

// Reads the setting (protocol::kDiagLogEnvironment, else the value protocol::kDiagLogValue under
// protocol::kDiagLogKey) and opens this process's file when the log is on (a later call starts over).
void DiagInit(const wchar_t* programName);
bool DiagEnabled();
// One failed call; the thread's last-error value is left as it was.
void DiagFailure(const char* call, unsigned long error);
// Now, in the log's microseconds.
uint64_t DiagNowUs();

// A phase from construction to destruction.
class DiagPhase {
 public:
  explicit DiagPhase(const char* name);
  ~DiagPhase();
  DiagPhase(const DiagPhase&) = delete;
  DiagPhase& operator=(const DiagPhase&) = delete;

 private:
  const char* name_;
  uint64_t startUs_;
};

}  // namespace suite
