// The upload worker and the library's completion callback.
#include "uploader/upload_worker_win.h"

#include <string>

#include "common/diag_log.h"
#include "common/path.h"
#include "common/protocol/registry_names.h"
#include "common/scoped_handle_win.h"
#include "common/zip/zip_writer.h"
#include "uploader/crash_logic_win.h"
#include "uploader/machine_identity_win.h"

namespace ulvane {

using protocol::CNetRequest;

namespace {

// Between polls the worker waits this long on the stop event instead of spinning: a request
// takes tens of milliseconds at best, and a stalled server must not cost a whole processor.
constexpr DWORD kPollPauseMs = 5;

bool IsDone(NetTaskContext& context) { return InterlockedCompareExchange(&context.done, 1, 1) == 1; }

void PrepareContext(NetTaskContext& context, LONG declined, const std::wstring& version,
                    const std::wstring& dumpFileName) {
  context.done = 0;
  context.declined = declined;
  context.succeeded = 0;
  lstrcpynW(context.version, version.c_str(), ARRAYSIZE(context.version));
  lstrcpynW(context.dumpFileName, dumpFileName.c_str(), ARRAYSIZE(context.dumpFileName));
}

uint32_t Submit(CCrashLogic& logic, CNetRequest& request) {
  using namespace protocol;
  return TableEntry<SinkSubmitFn>(logic.requestSink, kSinkSubmitSlot)(logic.requestSink, &request);
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void BuildArchive(const std::wstring& archivePath, const std::wstring& dumpPath,
                  const std::wstring& reportPath) {
  using namespace zip::variant_u;
  zip::ZipWriterHandle zip =
      ZipWriterCreate(const_cast<wchar_t*>(archivePath.c_str()), 0, zip::ZIP_FILENAME, nullptr);
  // A missing member is simply absent from the archive.
  const std::wstring dumpName = suite::FileNamePart(dumpPath), reportName = suite::FileNamePart(reportPath);
  ZipWriterAdd(zip, dumpName.c_str(), const_cast<wchar_t*>(dumpPath.c_str()), 0, zip::ZIP_FILENAME);
  ZipWriterAdd(zip, reportName.c_str(), const_cast<wchar_t*>(reportPath.c_str()), 0, zip::ZIP_FILENAME);
  ZipWriterClose(zip);
}

// The information post; true when the server accepted it and wants the archive.
bool PostInformation(CCrashLogic& logic, NetTaskContext& context) {
  std::wstring guid;
  {
    suite::DiagPhase phase("identity");
    GetMachineGuid(guid);
  }
  suite::DiagPhase phase("info_post");
  PrepareContext(context, 1, logic.args.productVersion.substr(0, kVersionChars),
                 logic.args.dumpFileName.substr(0, kDumpNameChars));
  CNetTaskMgr::Instance()->AddTask(protocol::kInfoTaskId, &context);

  CNetRequest request(protocol::kInfoTaskId, protocol::kKindFields, 20);
  request.SetUrl((logic.infoServerUrl + L"cgi-bin-py/security_dump.cgi").c_str());
  for (const auto& field : InfoPostFields(logic.args, guid))
    request.AddField(field.first.c_str(), field.second.c_str());
  const uint32_t submitted = Submit(logic, request);
  if (protocol::NetFailed(submitted)) {
    suite::DiagFailure("SubmitRequest", submitted);
    return false;
  }
  if (!WaitForRequest(logic.stopEvent.get(), context)) return false;
  if (!context.succeeded) return false;
  if (context.declined) {
    DWORD mark = 0;
    if (UpdateReportMark(context.version, context.dumpFileName, kMarkRead, &mark) && mark == 1)
      UpdateReportMark(context.version, context.dumpFileName, kMarkDelete, nullptr);
    return false;
  }
  return true;
}

void PostArchive(CCrashLogic& logic, const NetTaskContext& info) {
  const std::wstring reportPath = ReportPathFor(logic.dumpPath), archivePath = ArchivePathFor(logic.dumpPath);
  if (!FileExists(logic.dumpPath) && !FileExists(reportPath)) return;
  {
    suite::DiagPhase phase("archive");
    BuildArchive(archivePath, logic.dumpPath, reportPath);
  }

  suite::ScopedFile file(CreateFileW(archivePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    suite::DiagFailure("CreateFileW", GetLastError());
    return;
  }
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart >= kArchiveLimitBytes) return;
  if (logic.PollStop()) return;
  const DWORD length = static_cast<DWORD>(size.QuadPart);
  void* buffer = HeapAlloc(GetProcessHeap(), 0, length ? length : 1);
  if (!buffer) return;
  DWORD read = 0;
  if (!ReadFile(file.get(), buffer, length, &read, nullptr) || read == 0 || read >= kArchiveLimitBytes) {
    suite::DiagFailure("ReadFile", GetLastError());
    HeapFree(GetProcessHeap(), 0, buffer);
    return;
  }

  NetTaskContext context;
  PrepareContext(context, 0, info.version, info.dumpFileName);
  CNetTaskMgr::Instance()->AddTask(protocol::kFileTaskId, &context);
  {
    CNetRequest request(protocol::kFileTaskId, protocol::kKindBody, 50);
    request.SetUrl((logic.reportServerUrl + L"cgi-bin/bug_report_orv.cgi").c_str());
    request.SetBody(buffer, read);
    suite::DiagPhase phase("archive_post");
    // A refused submission gets no callback: waiting for one would never end.
    const uint32_t submitted = Submit(logic, request);
    if (protocol::NetFailed(submitted))
      suite::DiagFailure("SubmitRequest", submitted);
    else
      WaitForRequest(logic.stopEvent.get(), context);
  }
  HeapFree(GetProcessHeap(), 0, buffer);
}

}  // namespace

bool CNetTaskMgr::AddTask(uint32_t taskId, NetTaskContext* context) {
  suite::CAutoLockWrap hold(lock_);
  return tasks_.emplace(taskId, context).second;
}

NetTaskContext* CNetTaskMgr::FindTask(uint32_t taskId) {
  suite::CAutoLockWrap hold(lock_);
  auto it = tasks_.find(taskId);
  return it == tasks_.end() ? nullptr : it->second;
}

bool UpdateReportMark(const wchar_t* version, const wchar_t* dumpFileName, ReportMarkMode mode,
                      DWORD* result) {
  const std::wstring keyPath = std::wstring(protocol::kBugMarkKey) + L"\\" + version;
  suite::ScopedRegKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, keyPath.c_str(), 0, KEY_READ | KEY_SET_VALUE, key.receive()) !=
      ERROR_SUCCESS)
    return false;
  DWORD value = 0, bytes = sizeof value;
  if (RegQueryValueExW(key.get(), dumpFileName, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &bytes) ==
      ERROR_SUCCESS) {
    if (mode == kMarkSet) {
      const DWORD one = 1;
      RegSetValueExW(key.get(), dumpFileName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
    } else if (mode == kMarkDelete) {
      RegDeleteValueW(key.get(), dumpFileName);
    } else if (result) {
      *result = value;
    }
  }
  return true;
}

uint32_t __stdcall OnRequestDone(CNetRequest* request, uint32_t status) {
  if (!request) return 0;
  const bool ok = !protocol::NetFailed(status);
  if (!ok) suite::DiagFailure(request->id == protocol::kInfoTaskId ? "InfoPost" : "ArchivePost", status);
  if (request->id == protocol::kInfoTaskId) {
    NetTaskContext* context = CNetTaskMgr::Instance()->FindTask(protocol::kInfoTaskId);
    if (!context) return 0;
    context->succeeded = ok ? 1 : 0;
    if (ok) {
      UpdateReportMark(context->version, context->dumpFileName, kMarkSet, nullptr);
      context->declined = AnswerWantsArchive(request->response) ? 0 : 1;
    }
    InterlockedExchange(&context->done, 1);
  } else if (request->id == protocol::kFileTaskId) {
    NetTaskContext* context = CNetTaskMgr::Instance()->FindTask(protocol::kFileTaskId);
    if (!context) return 0;
    if (ok) {
      UpdateReportMark(context->version, context->dumpFileName, kMarkDelete, nullptr);
      context->declined = 1;
    }
    InterlockedExchange(&context->done, 1);
  }
  return 0;
}

bool WaitForRequest(HANDLE stopEvent, NetTaskContext& context) {
  for (;;) {
    if (WaitForSingleObject(stopEvent, kPollPauseMs) == WAIT_OBJECT_0) {
      // The callback still writes into the context: it must come before the worker may leave.
      while (!IsDone(context)) {
        SwitchToThread();
        Sleep(kPollPauseMs);
      }
      return false;
    }
    if (IsDone(context)) return true;
    SwitchToThread();
  }
}

DWORD WINAPI WorkerProc(LPVOID param) {
  CCrashLogic& logic = *static_cast<CCrashLogic*>(param);
  if (!logic.PollStop()) {
    NetTaskContext info;
    if (PostInformation(logic, info)) PostArchive(logic, info);
  }
  PostMessageW(g_MainWindow, WM_DESTROY, 0, 0);
  return 0;
}

}  // namespace ulvane
