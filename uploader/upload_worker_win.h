// The upload worker on Windows: the steps of upload_run.h carried out through the networking
// library, the registry marks, the zip writer and a mutex per crash; the task table through which
// the library's completion callback finds the worker's state.
//
// Ownership: the worker owns each NetTaskContext and request record on the heap; CNetTaskMgr only
// points at the context. Normally the worker waits for the completion callback, then frees both.
// When the session ends mid-post it abandons them (never freed: the callback may still come while
// the process ends) and leaves at once. A false UpdateReportMark means the version's key could not
// be opened (nothing was changed).
#pragma once
#include <windows.h>

#include <cstdint>
#include <map>
#include <vector>

#include "common/cs_wrap_win.h"
#include "common/protocol/net_request_win.h"
#include "common/safe_singleton.h"
#include "uploader/upload_run.h"

namespace ulvane {

class CCrashLogic;

// The worker's state for one outstanding request; the callback writes it, then sets `done`.
struct NetTaskContext {
  volatile LONG done = 0;
  LONG declined = 0;
  LONG succeeded = 0;
};

class CNetTaskMgr : public suite::CSafeSingleton<CNetTaskMgr> {
 public:
  // False (and nothing changes) when the id is already present.
  bool AddTask(uint32_t taskId, NetTaskContext* context);
  NetTaskContext* FindTask(uint32_t taskId);
  // Once the callback has come, so the id can serve the next crash's post.
  void RemoveTask(uint32_t taskId);

 private:
  std::map<uint32_t, NetTaskContext*> tasks_;
  suite::CCSWrap lock_;
};

enum ReportMarkMode { kMarkSet = 0, kMarkDelete = 1, kMarkRead = 2 };

// Set writes 1, Delete removes, Read stores the value into `result`; each only when the value
// exists. True when the version's key could be opened. The key is never created.
bool UpdateReportMark(const wchar_t* version, const wchar_t* dumpFileName, ReportMarkMode mode,
                      DWORD* result);

// Every REG_DWORD mark under the marks' key, with the version key it lies under.
std::vector<MarkEntry> ListReportMarks();

uint32_t __stdcall OnRequestDone(protocol::CNetRequest* request, uint32_t status);

// The worker's wait for a request's callback. True when it came; false when the stop event was
// seen first: the request is then abandoned, and its context and record must outlive the process.
bool WaitForRequest(HANDLE stopEvent, NetTaskContext& context);

// The order of upload_run.h over this process's CCrashLogic: its own crash (unless started with
// "/Pending" only), then the user's pending crashes.
void RunUploads(CCrashLogic& logic);

}  // namespace ulvane
