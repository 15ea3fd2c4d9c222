// The upload worker and the library's completion callback.
#include "uploader/upload_worker_win.h"

#include <string>

#include "common/diag_failure_win.h"
#include "common/diag_log.h"
#include "common/path.h"
#include "common/protocol/endpoints.h"
#include "common/protocol/registry_names.h"
#include "common/scoped_handle_win.h"
#include "common/zip/zip_writer.h"
#include "uploader/crash_logic_win.h"
#include "uploader/machine_identity_win.h"
#include "uploader/upload_run.h"

namespace ulvane {

using protocol::CNetRequest;

namespace {

// Between polls the worker waits this long on the stop event instead of spinning: a request
// takes tens of milliseconds at best, and a stalled server must not cost a whole processor.
constexpr DWORD kPollPauseMs = 5;
// One Ulvane per crash: the mutex of a crash is named by its dump file name (upper case, since
// Ulvane finds files without regard to case). Per session, as the marks are per user.
constexpr wchar_t kCrashMutexPrefix[] = L"Local\\UlvaneCrash_";
constexpr size_t kMutexNameChars = 200;  // well inside the system's limit for object names
// The report's header is at its start; more than this is never read back.
constexpr DWORD kReportHeadBytes = 16384;

bool IsDone(NetTaskContext& context) { return InterlockedCompareExchange(&context.done, 1, 1) == 1; }

void PrepareContext(NetTaskContext& context, LONG declined) {
  context.done = 0;
  context.declined = declined;
  context.succeeded = 0;
}

uint64_t Ticks(const FILETIME& t) {
  return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

class WindowsUpload : public UploadPlatform {
 public:
  explicit WindowsUpload(CCrashLogic& logic) : logic_(logic) {}

  bool StopRequested() override { return logic_.PollStop(); }

  bool HoldCrash(const std::wstring& dumpFileName) override {
    const std::wstring name = kCrashMutexPrefix + UpperCaseAscii(dumpFileName).substr(0, kMutexNameChars);
    crashMutex_.reset(CreateMutexW(nullptr, FALSE, name.c_str()));
    if (!crashMutex_) {
      suite::DiagFailure("CreateMutexW", GetLastError());
      return true;  // no guard to be had: a second post of the crash beats none
    }
    const DWORD waited = WaitForSingleObject(crashMutex_.get(), 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return true;
    crashMutex_.Close();
    return false;
  }
  void ReleaseCrash() override {
    if (crashMutex_) ReleaseMutex(crashMutex_.get());
    crashMutex_.Close();
  }

  std::wstring MachineGuid() override {
    suite::DiagPhase phase("identity");
    std::wstring guid;
    GetMachineGuid(guid);
    return guid;
  }

  PostResult PostInformation(const CrashArgs& args, const std::wstring& guid) override {
    suite::DiagPhase phase("info_post");
    auto* request = new CNetRequest(protocol::kInfoTaskId, protocol::kKindFields, 20);
    request->SetUrl((logic_.infoServerUrl + protocol::kInfoPath).c_str());
    for (const auto& field : InfoPostFields(args, guid))
      request->AddField(field.first.c_str(), field.second.c_str());
    return Post(request, 1);
  }

  void BuildArchive(const std::wstring& archivePath, const std::wstring& dumpPath,
                    const std::wstring& reportPath) override {
    suite::DiagPhase phase("archive");
    using namespace zip::variant_u;
    zip::ZipWriterHandle zip =
        ZipWriterCreate(const_cast<wchar_t*>(archivePath.c_str()), 0, zip::ZIP_FILENAME, nullptr);
    // A missing member is simply absent from the archive.
    const std::wstring dumpName = suite::FileNamePart(dumpPath), reportName = suite::FileNamePart(reportPath);
    ZipWriterAdd(zip, dumpName.c_str(), const_cast<wchar_t*>(dumpPath.c_str()), 0, zip::ZIP_FILENAME);
    ZipWriterAdd(zip, reportName.c_str(), const_cast<wchar_t*>(reportPath.c_str()), 0, zip::ZIP_FILENAME);
    ZipWriterClose(zip);
  }

  bool ArchiveSize(const std::wstring& archivePath, uint64_t& size) override {
    archive_.reset(CreateFileW(archivePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!archive_) return suite::DiagFailed("CreateFileW");
    LARGE_INTEGER bytes = {};
    if (!GetFileSizeEx(archive_.get(), &bytes)) return false;
    size = archiveBytes_ = static_cast<uint64_t>(bytes.QuadPart);
    return true;
  }

  // Sends the archive as ArchiveSize opened and measured it: shared for reading only, it cannot have
  // grown since, and UploadCrash has held that size to the limit.
  PostResult PostArchive(const std::wstring&) override {
    suite::ScopedFile file(archive_.release());
    if (!file) return PostResult();
    // The record keeps its own copy of the body, so the read buffer goes as soon as it is handed over.
    std::string bytes(static_cast<size_t>(archiveBytes_), '\0');
    DWORD read = 0;
    if (bytes.empty() || !ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) ||
        read == 0) {
      suite::DiagFailure("ReadFile", GetLastError());
      return PostResult();
    }
    auto* request = new CNetRequest(protocol::kFileTaskId, protocol::kKindBody, 50);
    request->SetUrl((logic_.reportServerUrl + protocol::kArchivePath).c_str());
    request->SetBody(bytes.data(), read);
    suite::DiagPhase phase("archive_post");
    return Post(request, 0);
  }

  bool FileExists(const std::wstring& path) override {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  bool ReadMark(const std::wstring& version, const std::wstring& name, uint32_t& value) override {
    DWORD read = kNoMark;
    if (!UpdateReportMark(version.c_str(), name.c_str(), kMarkRead, &read) || read == kNoMark) return false;
    value = read;
    return true;
  }
  void SetMarkDelivering(const std::wstring& version, const std::wstring& name) override {
    UpdateReportMark(version.c_str(), name.c_str(), kMarkSet, nullptr);
  }
  void RemoveMark(const std::wstring& version, const std::wstring& name) override {
    UpdateReportMark(version.c_str(), name.c_str(), kMarkDelete, nullptr);
  }
  std::vector<MarkEntry> ListMarks() override { return ListReportMarks(); }

  bool ReadReport(const std::wstring& path, std::wstring& text) override {
    suite::ScopedFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    std::wstring head(kReportHeadBytes / sizeof(wchar_t), L'\0');
    DWORD read = 0;
    if (!ReadFile(file.get(), &head[0], kReportHeadBytes, &read, nullptr)) return false;
    head.resize(read / sizeof(wchar_t));
    text.swap(head);
    return true;
  }

  bool FileTime(const std::wstring& path, uint64_t& ticks) override {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
    ticks = Ticks(data.ftLastWriteTime);
    return true;
  }
  uint64_t Now() override {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return Ticks(now);
  }

 private:
  static constexpr DWORD kNoMark = 0xFFFFFFFF;

  // Submits `request` under its task id and waits for its callback; frees both unless the session
  // ended meanwhile (then the library may still write into them).
  PostResult Post(CNetRequest* request, LONG declinedAtStart) {
    auto* context = new NetTaskContext;
    PrepareContext(*context, declinedAtStart);
    const uint32_t taskId = request->id;
    CNetTaskMgr::Instance()->AddTask(taskId, context);
    PostResult result;
    // A refused submission gets no callback: waiting for one would never end.
    const uint32_t submitted = protocol::TableEntry<protocol::SinkSubmitFn>(
        logic_.requestSink, protocol::kSinkSubmitSlot)(logic_.requestSink, request);
    if (protocol::NetFailed(submitted)) {
      suite::DiagFailure("SubmitRequest", submitted);
    } else if (!WaitForRequest(logic_.stopEvent.get(), *context)) {
      result.stopped = true;
      return result;  // abandoned with the process
    } else {
      result.accepted = context->succeeded != 0;
      result.wantsArchive = taskId == protocol::kInfoTaskId && !context->declined;
    }
    CNetTaskMgr::Instance()->RemoveTask(taskId);
    delete request;
    delete context;
    return result;
  }

  CCrashLogic& logic_;
  suite::ScopedKernelObject crashMutex_;
  suite::ScopedFile archive_;  // opened by ArchiveSize, sent by PostArchive
  uint64_t archiveBytes_ = 0;
};

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

void CNetTaskMgr::RemoveTask(uint32_t taskId) {
  suite::CAutoLockWrap hold(lock_);
  tasks_.erase(taskId);
}

std::vector<MarkEntry> ListReportMarks() {
  std::vector<MarkEntry> marks;
  suite::ScopedRegKey bug;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, protocol::kBugMarkKey, 0, KEY_READ, bug.receive()) != ERROR_SUCCESS)
    return marks;
  wchar_t version[256], name[MAX_PATH + 1];
  for (DWORD i = 0;; ++i) {
    DWORD versionChars = ARRAYSIZE(version);
    if (RegEnumKeyExW(bug.get(), i, version, &versionChars, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    suite::ScopedRegKey key;
    if (RegOpenKeyExW(bug.get(), version, 0, KEY_QUERY_VALUE, key.receive()) != ERROR_SUCCESS) continue;
    for (DWORD j = 0;; ++j) {
      DWORD nameChars = ARRAYSIZE(name), type = 0;
      const LONG rc = RegEnumValueW(key.get(), j, name, &nameChars, nullptr, &type, nullptr, nullptr);
      if (rc == ERROR_MORE_DATA) continue;  // a name longer than any dump's
      if (rc != ERROR_SUCCESS) break;
      if (type == REG_DWORD) marks.push_back({version, name});
    }
  }
  return marks;
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
  // The worker keeps the marks: the callback only reports, so a post abandoned at the end of the
  // session changes nothing on disk.
  if (request->id == protocol::kInfoTaskId) {
    NetTaskContext* context = CNetTaskMgr::Instance()->FindTask(protocol::kInfoTaskId);
    if (!context) return 0;
    context->succeeded = ok ? 1 : 0;
    if (ok) context->declined = AnswerWantsArchive(request->response) ? 0 : 1;
    InterlockedExchange(&context->done, 1);
  } else if (request->id == protocol::kFileTaskId) {
    NetTaskContext* context = CNetTaskMgr::Instance()->FindTask(protocol::kFileTaskId);
    if (!context) return 0;
    context->succeeded = ok ? 1 : 0;
    if (ok) context->declined = 1;
    InterlockedExchange(&context->done, 1);
  }
  return 0;
}

bool WaitForRequest(HANDLE stopEvent, NetTaskContext& context) {
  for (;;) {
    // The session is ending: the request is given up at once and the crash stays pending.
    if (WaitForSingleObject(stopEvent, kPollPauseMs) == WAIT_OBJECT_0) return false;
    if (IsDone(context)) return true;
    SwitchToThread();
  }
}

void RunUploads(CCrashLogic& logic) {
  WindowsUpload platform(logic);
  if (!logic.pendingOnly) {
    // A server in trouble for this crash is in trouble for the older ones too.
    if (ServerInTrouble(UploadCrash(platform, logic.args, logic.dumpPath, false))) return;
  }
  suite::DiagPhase phase("pending");
  DeliverPending(platform, logic.dumpFolder, PendingRules());
}

DWORD WINAPI WorkerProc(LPVOID param) {
  RunUploads(*static_cast<CCrashLogic*>(param));
  PostMessageW(g_MainWindow, WM_DESTROY, 0, 0);
  return 0;
}

}  // namespace ulvane
