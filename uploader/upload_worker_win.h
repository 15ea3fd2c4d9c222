// The upload worker: information post, archive and archive post, the registry mark per report, and
// the task table through which the library's completion callback finds the worker's state.
//
// Ownership: the worker owns each NetTaskContext on its stack; CNetTaskMgr only points at it, and the
// worker waits for the completion callback before the context goes out of scope. The request record
// is the worker's until the library's callback has run. A false UpdateReportMark means the version's
// key could not be opened (nothing was changed).
#pragma once
#include <windows.h>

#include <cstdint>
#include <map>

#include "common/cs_wrap_win.h"
#include "common/protocol/net_request_win.h"
#include "common/safe_singleton.h"

namespace ulvane {

// The worker's state for one outstanding request; the callback writes it, then sets `done`.
struct NetTaskContext {
  volatile LONG done = 0;
  LONG declined = 0;
  LONG succeeded = 0;
  wchar_t version[31] = {};
  wchar_t dumpFileName[260] = {};
};

class CNetTaskMgr : public suite::CSafeSingleton<CNetTaskMgr> {
 public:
  // False (and nothing changes) when the id is already present. Entries are never removed.
  bool AddTask(uint32_t taskId, NetTaskContext* context);
  NetTaskContext* FindTask(uint32_t taskId);

 private:
  std::map<uint32_t, NetTaskContext*> tasks_;
  suite::CCSWrap lock_;
};

enum ReportMarkMode { kMarkSet = 0, kMarkDelete = 1, kMarkRead = 2 };

// Set writes 1, Delete removes, Read stores the value into `result`; each only when the value
// exists. True when the version's key could be opened. The key is never created.
bool UpdateReportMark(const wchar_t* version, const wchar_t* dumpFileName, ReportMarkMode mode,
                      DWORD* result);

uint32_t __stdcall OnRequestDone(protocol::CNetRequest* request, uint32_t status);

// The worker's wait for a request's callback. True when it came; false when the stop event was
// seen first (the callback has then come too: the context must outlive it).
bool WaitForRequest(HANDLE stopEvent, NetTaskContext& context);

}  // namespace ulvane
