// Test helper for the upload scenarios (console): starts and times a program, can ask it to end as
// Windows does at log-off, waits for processes by name, sizes an archive as Ulvane builds it, and
// drives Communication.dll directly. One line of "key=value" results per command.
//   run [--query-end-after MS] [--kill-after MS] EXE COMMANDLINE
//   wait-exit NAME TIMEOUT_MS
//   zip-size ARCHIVE FILE...
//   post-fields DLL URL LIMIT | post-body DLL URL LIMIT FILE | post-bad DLL
#include <windows.h>
// windows.h first: the other Windows headers build on its types.
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/path.h"
#include "common/proc_address_win.h"
#include "common/protocol/net_request_win.h"
#include "common/scoped_handle_win.h"
#include "common/testing/test_support_win.h"
#include "common/zip/zip_writer.h"

namespace {

using protocol::CNetRequest;

unsigned long long Ms(const FILETIME& t) {
  return ((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000;
}

struct WindowSearch {
  DWORD pid;
  HWND found;
};
BOOL CALLBACK FindUlvaneWindow(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<WindowSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  if (pid == search->pid && lstrcmpW(name, L"ULVANE") == 0) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

int Run(std::vector<std::wstring> args) {
  DWORD queryEndAfter = INFINITE, killAfter = 120000;
  while (args.size() > 2 && args[0].rfind(L"--", 0) == 0) {
    DWORD value = wcstoul(args[1].c_str(), nullptr, 10);
    if (args[0] == L"--query-end-after") queryEndAfter = value;
    if (args[0] == L"--kill-after") killAfter = value;
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.size() != 2) return 2;
  const DWORD start = GetTickCount();
  DWORD processId = 0;
  suite::ScopedKernelObject process = suite::testing::StartProcess(args[1], &processId, args[0].c_str());
  if (!process) {
    printf("started=0 error=%lu\n", GetLastError());
    return 1;
  }
  int answered = -1;
  if (queryEndAfter != INFINITE && WaitForSingleObject(process.get(), queryEndAfter) == WAIT_TIMEOUT) {
    WindowSearch search = {processId, nullptr};
    EnumWindows(FindUlvaneWindow, reinterpret_cast<LPARAM>(&search));
    DWORD_PTR result = 0;
    answered = search.found && SendMessageTimeoutW(search.found, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF,
                                                   SMTO_NORMAL, 5000, &result)
                   ? static_cast<int>(result)
                   : -2;
  }
  const bool ended = WaitForSingleObject(process.get(), killAfter) == WAIT_OBJECT_0;
  if (!ended) TerminateProcess(process.get(), 99);
  const DWORD wall = GetTickCount() - start;
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  FILETIME created, exited, kernel, user;
  GetProcessTimes(process.get(), &created, &exited, &kernel, &user);
  printf("started=1 ended=%d exit=%lu wall_ms=%lu cpu_ms=%llu answered=%d\n", ended ? 1 : 0, code, wall,
         Ms(kernel) + Ms(user), answered);
  return 0;
}

int WaitExit(const std::wstring& name, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    std::vector<suite::ScopedKernelObject> running;
    suite::ScopedKernelObject snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W e = {};
    e.dwSize = sizeof e;
    for (BOOL ok = Process32FirstW(snap.get(), &e); ok; ok = Process32NextW(snap.get(), &e))
      if (lstrcmpiW(e.szExeFile, name.c_str()) == 0)
        if (HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, e.th32ProcessID)) running.emplace_back(h);
    if (running.empty()) {
      printf("gone=1 waited_ms=%lu\n", GetTickCount() - start);
      return 0;
    }
    const DWORD left = timeoutMs - std::min(timeoutMs, GetTickCount() - start);
    WaitForSingleObject(running[0].get(), std::min<DWORD>(left, 200));
    if (left == 0) {
      printf("gone=0 waited_ms=%lu\n", GetTickCount() - start);
      return 0;
    }
  }
}

int ZipSize(const std::vector<std::wstring>& args) {
  using namespace zip::variant_u;
  zip::ZipWriterHandle zip =
      ZipWriterCreate(const_cast<wchar_t*>(args[0].c_str()), 0, zip::ZIP_FILENAME, nullptr);
  for (size_t i = 1; i < args.size(); ++i) {
    const std::wstring name = suite::FileNamePart(args[i]);
    ZipWriterAdd(zip, name.c_str(), const_cast<wchar_t*>(args[i].c_str()), 0, zip::ZIP_FILENAME);
  }
  ZipWriterClose(zip);
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  GetFileAttributesExW(args[0].c_str(), GetFileExInfoStandard, &data);
  printf("size=%lu\n", data.nFileSizeLow);
  return 0;
}

// ---- Communication.dll driven directly. ----
volatile LONG g_callbacks = 0;
volatile LONG g_lastStatus = 0;
volatile DWORD g_callbackAt = 0;
std::string g_response;

uint32_t __stdcall CountingDone(CNetRequest* request, uint32_t status) {
  g_response = request->response ? request->response : "";
  g_lastStatus = static_cast<LONG>(status);
  g_callbackAt = GetTickCount();
  InterlockedIncrement(&g_callbacks);
  return 0;
}

void* Bind(const std::wstring& dll, void*& transport) {
  using namespace protocol;
  HMODULE module = LoadLibraryW(dll.c_str());
  auto create = suite::ProcAddress<CreateObjectFn>(module, kCreateObjectExport);
  if (!create) return nullptr;
  void* sink = create(kInterfaceName, &transport, 0);
  if (!sink || !transport) return nullptr;
  NetText text = {L"", 0};
  TableEntry<TransportSetTextFn>(transport, kTransportSetTextSlot)(transport, &text);
  TableEntry<TransportRegisterFn>(transport, kTransportRegisterSlot)(transport, kResponseCapBytes,
                                                                     CountingDone, kRegisterTag);
  return sink;
}

// Submits, waits for the callback (and a while longer, to see that no second one comes).
int Post(void* sink, CNetRequest& request) {
  const DWORD start = GetTickCount();
  const uint32_t submitted =
      protocol::TableEntry<protocol::SinkSubmitFn>(sink, protocol::kSinkSubmitSlot)(sink, &request);
  if (!protocol::NetFailed(submitted))
    while (InterlockedCompareExchange(&g_callbacks, 0, 0) == 0 && GetTickCount() - start < 600000) Sleep(5);
  const DWORD elapsed = g_callbackAt ? g_callbackAt - start : GetTickCount() - start;
  Sleep(1500);
  std::string hex;
  for (unsigned char c : g_response) {
    char pair[3];
    snprintf(pair, sizeof pair, "%02x", c);
    hex += pair;
  }
  printf("submit=0x%08x callbacks=%ld status=0x%08lx elapsed_ms=%lu response=%s\n", submitted, g_callbacks,
         static_cast<unsigned long>(g_lastStatus), elapsed, hex.c_str());
  return 0;
}

// Fields that need every part of the encoding: UTF-8, reserved characters, spaces, an empty value.
const wchar_t* const kRoundTripFields[][2] = {{L"product", L"Orv"},
                                              {L"name with space", L"a&b=c+d%e/f?g"},
                                              {L"utf8", L"\x00e9t\x00e9 \x4e2d\x6587 \xd83d\xde00"},
                                              {L"empty", L""},
                                              {L"product", L"second"}};

int PostCommand(const std::vector<std::wstring>& args) {
  void* transport = nullptr;
  void* sink = Bind(args[0], transport);
  if (!sink) {
    printf("bound=0\n");
    return 1;
  }
  const std::wstring& mode = args[1];
  if (mode == L"bad") {
    CNetRequest noUrl(1, protocol::kKindFields, 20);
    CNetRequest wrongKind(1, 7, 20);
    wrongKind.SetUrl(L"http://127.0.0.1:1/");
    CNetRequest noBody(2, protocol::kKindBody, 20);
    noBody.SetUrl(L"http://127.0.0.1:1/");
    CNetRequest noLimit(1, protocol::kKindFields, 0);
    noLimit.SetUrl(L"http://127.0.0.1:1/");
    for (CNetRequest* r : {&noUrl, &wrongKind, &noBody, &noLimit})
      printf("submit=0x%08x\n",
             protocol::TableEntry<protocol::SinkSubmitFn>(sink, protocol::kSinkSubmitSlot)(sink, r));
    Sleep(1500);
    printf("callbacks=%ld\n", g_callbacks);
    return 0;
  }
  const uint32_t limit = wcstoul(args[3].c_str(), nullptr, 10);
  if (mode == L"fields") {
    CNetRequest request(protocol::kInfoTaskId, protocol::kKindFields, limit);
    request.SetUrl(args[2].c_str());
    for (const auto& f : kRoundTripFields) request.AddField(f[0], f[1]);
    return Post(sink, request);
  }
  CNetRequest request(protocol::kFileTaskId, protocol::kKindBody, limit);
  request.SetUrl(args[2].c_str());
  suite::ScopedFile file(
      CreateFileW(args[4].c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  DWORD size = GetFileSize(file.get(), nullptr), read = 0;
  std::string bytes(size, '\0');
  if (!ReadFile(file.get(), &bytes[0], size, &read, nullptr) || read != size) return 1;
  request.SetBody(bytes.data(), size);
  return Post(sink, request);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> args(argv + 1, argv + argc);
  if (args.empty()) return 2;
  const std::wstring command = args[0];
  args.erase(args.begin());
  if (command == L"run") return Run(args);
  if (command == L"wait-exit" && args.size() == 2)
    return WaitExit(args[0], wcstoul(args[1].c_str(), nullptr, 10));
  if (command == L"zip-size" && args.size() >= 2) return ZipSize(args);
  if (command == L"post-fields" && args.size() == 3)
    return PostCommand({args[0], L"fields", args[1], args[2]});
  if (command == L"post-body" && args.size() == 4)
    return PostCommand({args[0], L"body", args[1], args[2], args[3]});
  if (command == L"post-bad" && args.size() == 1) return PostCommand({args[0], L"bad"});
  return 2;
}
