// The diagnostic log's line format (platform-free; the Windows side writes what this formats).
#include "common/diag_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/wformat.h"

namespace suite {

namespace {

const char* KindWord(DiagKind kind) {
  switch (kind) {
    case DiagKind::Begin:
      return "begin";
    case DiagKind::End:
      return "end";
    case DiagKind::Failure:
      return "fail";
  }
  return "begin";
}

// Reads one unsigned decimal number and the single space or line end after it.
bool Number(const char*& p, uint64_t& value) {
  if (*p < '0' || *p > '9') return false;
  value = 0;
  while (*p >= '0' && *p <= '9') value = value * 10 + static_cast<uint64_t>(*p++ - '0');
  return true;
}

bool Space(const char*& p) {
  if (*p != ' ') return false;
  ++p;
  return true;
}

}  // namespace

std::string FormatDiagLine(const DiagRecord& r) {
  std::string name = r.name.empty() ? std::string("-") : r.name;
  for (char& c : name)
    if (c == ' ' || c == '\r' || c == '\n') c = '_';
  char head[64];
  snprintf(head, sizeof head, "%llu %lu %s ", static_cast<unsigned long long>(r.timeUs),
           static_cast<unsigned long>(r.threadId), KindWord(r.kind));
  std::string line = head + name;
  if (r.kind != DiagKind::Begin) line += " " + std::to_string(static_cast<unsigned long long>(r.value));
  return line + "\r\n";
}

bool ParseDiagLine(const std::string& line, DiagRecord& r) {
  const char* p = line.c_str();
  uint64_t thread = 0;
  if (!Number(p, r.timeUs) || !Space(p) || !Number(p, thread) || !Space(p)) return false;
  r.threadId = static_cast<uint32_t>(thread);
  const char* kinds[] = {"begin ", "end ", "fail "};
  const DiagKind values[] = {DiagKind::Begin, DiagKind::End, DiagKind::Failure};
  int k = 0;
  while (k < 3 && strncmp(p, kinds[k], strlen(kinds[k])) != 0) ++k;
  if (k == 3) return false;
  r.kind = values[k];
  p += strlen(kinds[k]);
  const char* nameEnd = p;
  while (*nameEnd && *nameEnd != ' ' && *nameEnd != '\r' && *nameEnd != '\n') ++nameEnd;
  if (nameEnd == p) return false;
  r.name.assign(p, nameEnd);
  p = nameEnd;
  r.value = 0;
  if (r.kind != DiagKind::Begin && (!Space(p) || !Number(p, r.value))) return false;
  return *p == 0 || *p == '\r' || *p == '\n';
}

std::wstring DiagLogFileName(const std::wstring& program, uint32_t processId) {
  return WFormat(L"%s.%u.log", program.empty() ? std::wstring(L"program") : program, processId);
}

uint64_t DiagTicksToUs(uint64_t ticks, uint64_t perSecond) {
  if (perSecond == 0) return 0;
  // Whole seconds and the remainder apart: ticks * 1e6 alone overflows after some days of uptime.
  return ticks / perSecond * 1000000ull + ticks % perSecond * 1000000ull / perSecond;
}

}  // namespace suite
