// Discovery and ordering of new kernel minidumps.
#include "kerneldump/dump_collector.h"

#include <cstdint>
#include <limits>

namespace kerneldump {

const wchar_t kDefaultMinidumpDir[] = L"%SystemRoot%\\Minidump";

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

// Closes the uninstall key on every way out of the report walk.
class UninstallKeyCloser {
 public:
  explicit UninstallKeyCloser(DumpPlatform& p) : p_(p) {}
  ~UninstallKeyCloser() { p_.CloseUninstallKey(); }

 private:
  DumpPlatform& p_;
};

}  // namespace

int64_t ParseLastDmpTime(const std::wstring& text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  // Accumulate the magnitude unsigned; the negative limit is one larger than the positive one.
  const uint64_t limit = negative ? uint64_t(std::numeric_limits<int64_t>::max()) + 1
                                  : uint64_t(std::numeric_limits<int64_t>::max());
  uint64_t magnitude = 0;
  bool clamped = false;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    uint64_t digit = uint64_t(text[i] - L'0');
    if (magnitude > (limit - digit) / 10) {
      clamped = true;
      magnitude = limit;
    } else if (!clamped) {
      magnitude = magnitude * 10 + digit;
    }
  }
  if (!negative) return int64_t(magnitude);
  if (magnitude == limit) return std::numeric_limits<int64_t>::min();
  return -int64_t(magnitude);
}

std::wstring FormatLastDmpTime(FileTime time) { return std::to_wstring(static_cast<long long>(time)); }

bool IsNewDump(FileTime time, FileTime floor, FileTime last) { return time > floor && time > last; }

void AddCandidates(CandidateDumpMap& map, const std::wstring& dumpDir,
                   const std::vector<FolderEntry>& entries, FileTime floor, FileTime last) {
  for (const FolderEntry& e : entries) {
    if (e.attributes & kFolderAttribute) continue;
    if (!IsNewDump(e.lastWrite, floor, last)) continue;
    map[e.lastWrite] = dumpDir + L"\\" + e.name;
  }
}

std::wstring MinidumpDirOrDefault(const std::wstring& configured) {
  return configured.empty() ? std::wstring(kDefaultMinidumpDir) : configured;
}

bool HasRootedPathForm(const std::wstring& path) {
  return path.find(L":\\") != std::wstring::npos || path.compare(0, 2, L"\\\\") == 0;
}

UnreadableDump ParseUnreadableDump(const std::wstring& text) {
  uint64_t fields[3] = {};
  size_t at = 0;
  for (uint64_t& field : fields) {
    if (at > 0 && (at >= text.size() || text[at++] != L' ')) return UnreadableDump();
    const size_t start = at;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
      const uint64_t digit = uint64_t(text[at] - L'0');
      if (field > (UINT64_MAX - digit) / 10) return UnreadableDump();
      field = field * 10 + digit;
    }
    if (at == start) return UnreadableDump();
  }
  if (at != text.size() || fields[2] > kUnreadableRunLimit) return UnreadableDump();
  return UnreadableDump{fields[0], fields[1], uint32_t(fields[2])};
}

std::wstring FormatUnreadableDump(const UnreadableDump& r) {
  return std::to_wstring(static_cast<unsigned long long>(r.dump)) + L" " +
         std::to_wstring(static_cast<unsigned long long>(r.since)) + L" " + std::to_wstring(r.runs);
}

UnreadableDump NoteUnreadable(const UnreadableDump& stored, FileTime dump, FileTime now) {
  if (stored.dump != dump || stored.runs == 0) return UnreadableDump{dump, now, 1};
  UnreadableDump r = stored;
  if (r.runs < kUnreadableRunLimit) ++r.runs;
  return r;
}

bool GivesUpOn(const UnreadableDump& r, FileTime now) {
  return r.runs >= kUnreadableRunLimit || (now > r.since && now - r.since >= kUnreadableTimeLimit);
}

void RunDumpCollection(DumpPlatform& p) {
  const FileTime floor = p.LogFolderCreationTime();

  if (!p.OpenCrashControl()) return;
  std::wstring dumpDir;
  // A folder that cannot be expanded within its limit is not searched at all.
  if (!p.ExpandEnvironment(MinidumpDirOrDefault(p.ReadMinidumpDir()), dumpDir)) dumpDir.clear();
  uint32_t enabled = 0;
  p.ReadCrashDumpEnabled(enabled);
  if (enabled == 0) p.WriteCrashDumpEnabled(kSmallMemoryDump);
  p.CloseCrashControl();

  if (!p.OpenUninstallKey()) return;
  UninstallKeyCloser closer(p);
  const FileTime last = static_cast<FileTime>(ParseLastDmpTime(p.ReadLastDmpTime()));

  // Expansion can still come out empty; "\*" would then list the root of the current drive.
  if (dumpDir.empty()) return;
  // A path that names a file is not a folder to search.
  if (p.IsExistingFilePath(dumpDir)) return;

  CandidateDumpMap candidates;
  AddCandidates(candidates, dumpDir, p.ListFolder(dumpDir), floor, last);

  UnreadableDump unreadable = ParseUnreadableDump(p.ReadUnreadableDmp());
  for (const auto& entry : candidates) {
    ReportOutcome result = p.ReportDumpFile(entry.second);
    if (result == ReportOutcome::Unreadable) {
      unreadable = NoteUnreadable(unreadable, entry.first, p.Now());
      if (GivesUpOn(unreadable, p.Now())) {
        result = ReportOutcome::PassedOver;
      } else {
        p.WriteUnreadableDmp(FormatUnreadableDump(unreadable));
      }
    }
    // A report that may still succeed stops the walk: later dumps wait, so "LastDmpTime" never skips one.
    if (result != ReportOutcome::Delivered && result != ReportOutcome::PassedOver) break;
    if (unreadable.runs != 0 && unreadable.dump == entry.first) {
      p.WriteUnreadableDmp(L"");  // the walk is past it
      unreadable = UnreadableDump();
    }
    const std::wstring time = FormatLastDmpTime(entry.first);
    if (result == ReportOutcome::PassedOver) p.WritePassedOverDmpTime(time);
    p.WriteLastDmpTime(time);
  }
}

}  // namespace kerneldump
