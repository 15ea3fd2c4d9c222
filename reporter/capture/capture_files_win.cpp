// CCrashCapture's files: the report text, the normal dump and the report written into files of this
// crash's own, their names, the dump call itself and the report file written again.
#include "common/diag_failure_win.h"
#include "common/diag_log.h"
#include "common/path.h"
#include "reporter/capture/capture_rules.h"
#include "reporter/capture/crash_capture_win.h"
#include "reporter/capture/dbg_helper_win.h"
#include "reporter/capture/path_name_gen_win.h"

namespace kelvor {

namespace {

// Handle data in a dump needs PROCESS_DUP_HANDLE besides the query and read rights; without it
// the dump call refuses the handle and the dump would silently never be written.
const DWORD kDumpProcessAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_DUP_HANDLE;

MINIDUMP_TYPE DumpTypeOf(MiniDumpKind kind) {
  return kind == kMiniDumpFull
             ? MiniDumpWithFullMemory
             : static_cast<MINIDUMP_TYPE>(MiniDumpWithHandleData | MiniDumpWithUnloadedModules |
                                          MiniDumpWithIndirectlyReferencedMemory |
                                          MiniDumpWithProcessThreadData);
}

std::wstring DumpNameItself(const std::wstring& dumpName) { return dumpName; }

bool WriteWhole(HANDLE file, const wchar_t* text, DWORD byteCount) {
  DWORD written = 0;
  if (!WriteFile(file, text, byteCount, &written, nullptr)) return suite::DiagFailed("WriteFile");
  return written == byteCount;
}

}  // namespace

bool CCrashCapture::BuildReport(const std::wstring& contactEmail, const std::wstring& userContext) {
  if (!valid) return false;
  suite::DiagPhase phase("report");
  return report.BuildReportText(bugInfo.get(), processId, contactEmail, userContext);
}

bool CCrashCapture::ClaimFiles() {
  if (!valid) return false;
  folder = CPathNameGen::Instance()->ResolveDumpFolder();
  SweepLeftoverParts(folder);
  // No file of our own can be made there (folder missing or not writable): nothing is written.
  return dumpPart.Open(folder, L"dump") && reportPart.Open(folder, L"report");
}

bool CCrashCapture::WriteDump() {
  if (!valid || !dumpPart.open()) return false;
  dumped = WriteDumpInto(kMiniDumpNormal, dumpPart.get());
  return dumped;
}

bool CCrashCapture::WriteReport() {
  if (!valid || !reportPart.open()) return false;
  suite::DiagPhase phase("report_file");
  const std::wstring& text = report.Text();
  reported = WriteWhole(reportPart.get(), text.c_str(), static_cast<DWORD>(text.size() * sizeof(wchar_t)));
  return reported;
}

bool CCrashCapture::PublishFiles() {
  // Only complete files get names; a failed dump leaves none, yet its name stays free of another
  // crash's dump so that the report alone cannot be taken for that crash's.
  if (valid && (dumped || reported)) {
    published = PublishUnderFreeName(
        folder, dumpFileName,
        {{dumped ? &dumpPart : nullptr, &DumpNameItself}, {reported ? &reportPart : nullptr, &ReportNameFor}},
        dumpFileName);
    if (published) reportFileName = ReportNameFor(dumpFileName);
  }
  // Closed now, named or not: a named file held open would refuse the report's rewrite and the
  // uploader's reads, and an unnamed part goes with its handle.
  dumpPart.Close();
  reportPart.Close();
  return published;
}

bool CCrashCapture::RewriteReport(const std::wstring& text) {
  // Without names of its own this crash wrote nothing; the report name may be another crash's.
  if (!valid || !report.IsBuilt() || !published) return false;
  report.ReplaceText(text);
  return WriteReportFile(folder + reportFileName, text.c_str(),
                         static_cast<DWORD>(text.size() * sizeof(wchar_t)));
}

bool CCrashCapture::WriteMiniDump(MiniDumpKind kind, const std::wstring& path, std::wstring& fileName) {
  if (!valid || !report.IsBuilt()) return false;

  const std::wstring dumpFolder = path.substr(0, path.size() - suite::FileNamePart(path).size());
  PartFile part;
  if (!part.Open(dumpFolder, kind == kMiniDumpFull ? L"full" : L"dump")) return false;
  // An empty or cut-off dump is worth nothing and would be taken for one: it goes with its part.
  if (!WriteDumpInto(kind, part.get())) return false;
  return PublishUnderFreeName(dumpFolder, suite::FileNamePart(path), {{&part, &DumpNameItself}}, fileName);
}

bool CCrashCapture::WriteDumpInto(MiniDumpKind kind, HANDLE file) {
  if (!valid || !report.IsBuilt()) return false;
  CDbgHelper* dbg = CDbgHelper::Instance();
  if (!dbg->MiniDumpWriteDump) return false;

  suite::ScopedKernelObject process(OpenProcess(kDumpProcessAccess, FALSE, processId));
  if (!process) return suite::DiagFailed("OpenProcess");

  MINIDUMP_EXCEPTION_INFORMATION exception;
  exception.ThreadId = threadId;
  exception.ExceptionPointers =
      reinterpret_cast<PEXCEPTION_POINTERS>(static_cast<uintptr_t>(bugInfo->exceptionPointers));
  exception.ClientPointers = TRUE;  // the pointers lie in the crashed process
  // A process handle DbgHelp has not seen makes the dump call set up symbol handling for the whole
  // process first; with deferred loads it only lists the modules instead of reading every module's
  // debug information, which under Wine takes seconds while the crashed process waits.
  if (dbg->SymSetOptions) dbg->SymSetOptions(SYMOPT_DEFERRED_LOADS);
  suite::DiagPhase phase(kind == kMiniDumpFull ? "full_dump_call" : "dump_call");
  if (dbg->MiniDumpWriteDump(process.get(), processId, file, DumpTypeOf(kind), &exception, nullptr, nullptr))
    return true;
  suite::DiagFailed("MiniDumpWriteDump");
  // The DbgHelp that Windows XP ships refuses the richer parts of a normal dump (unloaded modules,
  // indirect memory, process and thread data); a dump with the modules, threads and handles still
  // locates the crash, so it is tried once more with what every DbgHelp writes, from the file's start.
  if (kind == kMiniDumpFull) return false;
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN) || !SetEndOfFile(file))
    return suite::DiagFailed("SetEndOfFile");
  if (!dbg->MiniDumpWriteDump(process.get(), processId, file, MiniDumpWithHandleData, &exception, nullptr,
                              nullptr))
    return suite::DiagFailed("MiniDumpWriteDump");
  return true;
}

bool CCrashCapture::WriteReportFile(const std::wstring& path, const wchar_t* text, DWORD byteCount) {
  if (!valid) return false;
  suite::ScopedFile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return suite::DiagFailed("CreateFileW");
  return WriteWhole(file.get(), text, byteCount);
}

}  // namespace kelvor
