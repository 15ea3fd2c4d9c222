// Communication.dll: carries Ulvane's request records over HTTP(S) with WinINet. Each accepted
// request runs on a thread of its own and ends in exactly one completion callback, within the
// request's time limit plus a second, whatever the server does.
#include <windows.h>

#include <cstddef>
#include <new>
#include <string>
#include <vector>

#include "common/protocol/net_request_win.h"
#include "common/wininet_win.h"
#include "product/communication/form_encoding.h"

using namespace protocol;

namespace {

// ---- The two objects, laid out as their callers index them. ----
typedef uint32_t(__stdcall* UnusedFn)(void* self);

struct TransportTable {
  UnusedFn version;  // 0: the library's interface version
  UnusedFn unused1, unused2;
  TransportSetTextFn setText;  // 3: the agent name; empty = the library's own
  UnusedFn unused4, unused5, unused6;
  TransportRegisterFn registerDone;  // 7: answer cap, completion callback, caller's tag
};
struct SinkTable {
  UnusedFn version;
  UnusedFn unused1, unused2, unused3, unused4;
  SinkSubmitFn submit;  // 5
};
static_assert(offsetof(TransportTable, setText) == kTransportSetTextSlot * sizeof(void*), "slot 3");
static_assert(offsetof(TransportTable, registerDone) == kTransportRegisterSlot * sizeof(void*), "slot 7");
static_assert(sizeof(TransportTable) == kTransportSlots * sizeof(void*), "transport table");
static_assert(offsetof(SinkTable, submit) == kSinkSubmitSlot * sizeof(void*), "slot 5");
static_assert(sizeof(SinkTable) == kSinkSlots * sizeof(void*), "sink table");

constexpr uint32_t kInterfaceVersion = 1;
constexpr DWORD kCallbackGraceMs = 1000;
const wchar_t kDefaultAgent[] = L"Communication/1.0";

struct Transport {
  const TransportTable* table;
  CRITICAL_SECTION lock;
  std::wstring agent;
  NetDoneCallback done;
  uint32_t answerCap;
};
struct Sink {
  const SinkTable* table;
  Transport* transport;
};

// One request's private copy of what goes on the wire, shared by the thread that calls back and
// the thread that talks to the server; the last of the two to finish frees it. The record itself
// is touched only by the calling-back thread, so an exchange that overruns the time limit cannot
// reach a record its owner has already destroyed.
struct Job {
  volatile LONG refs = 1;
  std::wstring agent, url, headers;
  std::string payload;
  DWORD limitMs = 0;
  size_t answerCap = 0;
  NetDoneCallback done = nullptr;
  CNetRequest* record = nullptr;
  // Results, written by the exchange thread before it ends.
  uint32_t status = kNetFailTransport;
  std::string answer;
};

void Release(Job* job) {
  if (InterlockedDecrement(&job->refs) == 0) delete job;
}

uint32_t __stdcall Version(void*) { return kInterfaceVersion; }

uint32_t __stdcall SetText(void* self, const NetText* text) {
  auto* t = static_cast<Transport*>(self);
  EnterCriticalSection(&t->lock);
  t->agent = text && text->chars && text->chars[0] ? std::wstring(text->chars) : std::wstring(kDefaultAgent);
  LeaveCriticalSection(&t->lock);
  return 0;
}

uint32_t __stdcall RegisterDone(void* self, uint32_t answerCap, NetDoneCallback done, uint32_t /*tag*/) {
  auto* t = static_cast<Transport*>(self);
  EnterCriticalSection(&t->lock);
  t->answerCap = answerCap;
  t->done = done;
  LeaveCriticalSection(&t->lock);
  return 0;
}

// ---- The exchange, on its own thread. ----
uint32_t TransportFailure() { return kNetFailTransport | (GetLastError() & 0xFFFFF); }

uint32_t Exchange(Job& job) {
  // Sent as written: no part is decoded.
  suite::CrackedUrl parts;
  if (!parts.Crack(job.url.c_str(), 0)) return kNetFailBadRequest;
  const bool secure = parts.schemeKind == INTERNET_SCHEME_HTTPS;

  // The user's own connection settings, proxy included.
  suite::ScopedInternet root(
      InternetOpenW(job.agent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!root) return TransportFailure();
  // Each phase may use the whole limit; the calling-back thread enforces the total.
  for (DWORD option :
       {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
    InternetSetOptionW(root.get(), option, &job.limitMs, sizeof job.limitMs);
  suite::ScopedInternet connection(
      InternetConnectW(root.get(), parts.host, parts.port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) return TransportFailure();
  const std::wstring object = std::wstring(parts.path[0] ? parts.path : L"/") + parts.extra;
  static const wchar_t* kAccept[] = {L"*/*", nullptr};
  // Certificates are checked as the system checks them: no SECURITY_FLAG_IGNORE_* here.
  const DWORD flags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE |
                      INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_AUTO_REDIRECT |
                      (secure ? INTERNET_FLAG_SECURE : 0);
  suite::ScopedInternet request(
      HttpOpenRequestW(connection.get(), L"POST", object.c_str(), L"HTTP/1.1", nullptr, kAccept, flags, 0));
  if (!request) return TransportFailure();
  if (!HttpSendRequestW(request.get(), job.headers.c_str(), static_cast<DWORD>(job.headers.size()),
                        job.payload.empty() ? nullptr : &job.payload[0],
                        static_cast<DWORD>(job.payload.size())))
    return TransportFailure();

  DWORD httpStatus = 0, size = sizeof httpStatus;
  if (!HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &httpStatus, &size,
                      nullptr))
    return TransportFailure();
  if (!communication::IsSuccessStatus(httpStatus)) return kNetFailHttpStatus | (httpStatus & 0xFFFF);

  // The answer up to the cap; what follows is not read.
  job.answer.resize(job.answerCap);
  size_t have = 0;
  while (have < job.answerCap) {
    DWORD got = 0;
    if (!InternetReadFile(request.get(), &job.answer[have], static_cast<DWORD>(job.answerCap - have), &got)) {
      job.answer.clear();
      return TransportFailure();
    }
    if (got == 0) break;
    have += got;
  }
  job.answer.resize(have);
  return httpStatus;
}

DWORD WINAPI ExchangeThread(LPVOID param) {
  Job* job = static_cast<Job*>(param);
  job->status = Exchange(*job);
  Release(job);
  return 0;
}

char* GlobalText(const std::string& text) {
  if (text.empty()) return nullptr;
  char* copy = static_cast<char*>(GlobalAlloc(GPTR, text.size() + 1));
  if (copy) CopyMemory(copy, text.data(), text.size());
  return copy;
}

// Runs the exchange on a thread of its own and waits for it within the request's limit; the answer
// is taken over only from an exchange that ended.
uint32_t AwaitExchange(Job* job, std::string& answer) {
  InterlockedIncrement(&job->refs);  // the exchange thread's reference
  suite::ScopedKernelObject exchange(CreateThread(nullptr, 0, ExchangeThread, job, 0, nullptr));
  if (!exchange) {
    InterlockedDecrement(&job->refs);
    return kNetFailNoResources;
  }
  if (WaitForSingleObject(exchange.get(), job->limitMs + kCallbackGraceMs) != WAIT_OBJECT_0)
    return kNetFailTimeLimit;  // the exchange is left to end by itself and free its copy
  answer.swap(job->answer);
  return job->status;
}

DWORD WINAPI CallbackThread(LPVOID param) {
  Job* job = static_cast<Job*>(param);
  std::string answer;
  const uint32_t status = AwaitExchange(job, answer);
  CNetRequest* record = job->record;
  NetDoneCallback done = job->done;
  Release(job);
  // From here on the record belongs to its owner again.
  record->response = GlobalText(answer);
  done(record, status);
  return 0;
}

// Copies what goes on the wire; false when the record is not a request this library carries.
bool PrepareJob(const CNetRequest& r, Job& job) {
  if (!r.url || !communication::IsCarriedUrl(r.url)) return false;
  job.url = r.url;
  job.limitMs = communication::TimeLimitMs(r.limitValue);
  if (!job.limitMs) return false;
  const bool hasBody = r.body && r.bodyLength;
  if (r.kind == kKindFields && !hasBody) {
    std::vector<std::pair<std::wstring, std::wstring>> fields;
    for (const NetFormField* f = r.fields; f; f = f->next)
      fields.emplace_back(f->name ? f->name : L"", f->value ? f->value : L"");
    job.payload = communication::EncodeForm(fields);
    job.headers = L"Content-Type: application/x-www-form-urlencoded\r\n";
    return true;
  }
  if (r.kind == kKindBody && hasBody && !r.fields) {
    job.payload.assign(static_cast<const char*>(r.body), r.bodyLength);
    job.headers = L"Content-Type: application/octet-stream\r\n";
    return true;
  }
  return false;
}

uint32_t __stdcall Submit(void* self, CNetRequest* record) {
  Transport* t = static_cast<Sink*>(self)->transport;
  if (!record) return kNetFailBadRequest;
  Job* job = new (std::nothrow) Job;
  if (!job) return kNetFailNoResources;
  EnterCriticalSection(&t->lock);
  job->agent = t->agent;
  job->done = t->done;
  job->answerCap = communication::KeptAnswerBytes(t->answerCap);
  LeaveCriticalSection(&t->lock);
  job->record = record;
  uint32_t refused = 0;
  if (!job->done)
    refused = kNetFailNotReady;
  else if (!PrepareJob(*record, *job))
    refused = kNetFailBadRequest;
  suite::ScopedKernelObject thread(refused ? nullptr
                                           : CreateThread(nullptr, 0, CallbackThread, job, 0, nullptr));
  if (!thread) {
    delete job;
    return refused ? refused : kNetFailNoResources;
  }
  return kNetAccepted;
}

const TransportTable kTransportTable = {Version, Version, Version, SetText,
                                        Version, Version, Version, RegisterDone};
const SinkTable kSinkTable = {Version, Version, Version, Version, Version, Submit};

}  // namespace

// The objects live until the process ends: nobody releases them.
extern "C" __declspec(dllexport) void* __cdecl CreateObject(const wchar_t* interfaceName, void** transport,
                                                            uint32_t /*reserved*/) {
  if (transport) *transport = nullptr;
  if (!interfaceName || !transport || lstrcmpW(interfaceName, kInterfaceName) != 0) return nullptr;
  auto* t = new (std::nothrow) Transport{&kTransportTable, {}, kDefaultAgent, nullptr, kResponseCapBytes};
  auto* s = new (std::nothrow) Sink{&kSinkTable, t};
  if (!t || !s) {
    delete t;
    delete s;
    return nullptr;
  }
  InitializeCriticalSection(&t->lock);
  *transport = t;
  return s;
}
