// The request record that Ulvane hands to Communication.dll, and the library's binding: the
// factory, the function-table positions of its two objects and the completion callback. Both sides
// build from this header; every offset is checked at compile time so neither can drift.
//
// Ownership: the caller builds the record, submits it and keeps it unchanged until the library's
// completion callback for it has run; then the caller destroys it. The library only reads the
// record, apart from `response`, which it fills with GlobalAlloc memory before calling back. All
// other memory of the record comes from the process heap, so either module could free it.
#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/protocol/net_status.h"

namespace protocol {

constexpr uint32_t kInfoTaskId = 1;
constexpr uint32_t kFileTaskId = 2;
constexpr uint32_t kKindFields = 18;  // a form post: fields, no body
constexpr uint32_t kKindBody = 24;    // a body post: the bytes as they are, no fields
constexpr uint32_t kFieldKindText = 6;

// One form field; the fields form a singly linked list in the order added.
struct NetFormField {
  NetFormField* next;
  wchar_t* name;
  wchar_t* value;
  uint32_t fieldKind;
};

struct CNetRequest {
  uint32_t id;
  uint32_t kind;
  uint32_t copyBody;  // 1: `body` is the record's own GlobalAlloc copy, freed with the record
  uint32_t reserved12;
  uint32_t reserved16;
  char* response;       // written by the library: NUL-terminated answer text in GlobalAlloc memory
  uint32_t limitValue;  // the whole request's time limit in seconds
  uint32_t reserved28;
  void* body;
  uint32_t bodyLength;
  wchar_t* url;
  wchar_t* reservedText;
  NetFormField* fields;

  CNetRequest(uint32_t taskId, uint32_t requestKind, uint32_t limitSeconds) {
    std::memset(this, 0, sizeof *this);
    id = taskId;
    kind = requestKind;
    copyBody = 1;
    limitValue = limitSeconds;
  }
  ~CNetRequest() {
    if (copyBody && body) GlobalFree(body);
    if (response) GlobalFree(response);
    FreeText(url);
    FreeText(reservedText);
    while (fields) {
      NetFormField* next = fields->next;
      FreeText(fields->name);
      FreeText(fields->value);
      HeapFree(GetProcessHeap(), 0, fields);
      fields = next;
    }
  }

  bool SetUrl(const wchar_t* text) {
    FreeText(url);
    url = CopyText(text);
    return url != nullptr;
  }
  // Appends a field at the end of the list.
  bool AddField(const wchar_t* name, const wchar_t* value, uint32_t fieldKind = kFieldKindText) {
    auto* field =
        static_cast<NetFormField*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(NetFormField)));
    if (!field) return false;
    field->name = CopyText(name);
    field->value = CopyText(value);
    field->fieldKind = fieldKind;
    NetFormField** tail = &fields;
    while (*tail) tail = &(*tail)->next;
    *tail = field;
    if (field->name && field->value) return true;
    return false;
  }
  // Attached only when both the address and the length are non-zero; copied when copyBody is 1.
  bool SetBody(const void* bytes, uint32_t length) {
    if (!bytes || !length) return false;
    if (!copyBody) {
      body = const_cast<void*>(bytes);
      bodyLength = length;
      return true;
    }
    void* copy = GlobalAlloc(GPTR, length);
    if (!copy) return false;
    std::memcpy(copy, bytes, length);
    body = copy;
    bodyLength = length;
    return true;
  }

  static wchar_t* CopyText(const wchar_t* text) {
    if (!text) text = L"";
    size_t bytes = (lstrlenW(text) + 1) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, bytes));
    if (copy) std::memcpy(copy, text, bytes);
    return copy;
  }
  static void FreeText(wchar_t*& text) {
    if (text) HeapFree(GetProcessHeap(), 0, text);
    text = nullptr;
  }

 private:
  CNetRequest(const CNetRequest&) = delete;
  CNetRequest& operator=(const CNetRequest&) = delete;
};

#if !defined(_WIN64)
// The record is shared with a separately built 32-bit library: its layout is fixed.
static_assert(offsetof(CNetRequest, id) == 0, "id");
static_assert(offsetof(CNetRequest, kind) == 4, "kind");
static_assert(offsetof(CNetRequest, copyBody) == 8, "copyBody");
static_assert(offsetof(CNetRequest, reserved12) == 12, "reserved12");
static_assert(offsetof(CNetRequest, reserved16) == 16, "reserved16");
static_assert(offsetof(CNetRequest, response) == 20, "response");
static_assert(offsetof(CNetRequest, limitValue) == 24, "limitValue");
static_assert(offsetof(CNetRequest, reserved28) == 28, "reserved28");
static_assert(offsetof(CNetRequest, body) == 32, "body");
static_assert(offsetof(CNetRequest, bodyLength) == 36, "bodyLength");
static_assert(offsetof(CNetRequest, url) == 40, "url");
static_assert(offsetof(CNetRequest, reservedText) == 44, "reservedText");
static_assert(offsetof(CNetRequest, fields) == 48, "fields");
static_assert(sizeof(CNetRequest) == 52, "CNetRequest size");
static_assert(offsetof(NetFormField, next) == 0 && offsetof(NetFormField, name) == 4 &&
                  offsetof(NetFormField, value) == 8 && offsetof(NetFormField, fieldKind) == 12 &&
                  sizeof(NetFormField) == 16,
              "NetFormField layout");
#endif

// ---- Binding -------------------------------------------------------------------------------------
// The text handed to the transport's SetText operation: a counted UTF-16 text (NUL-terminated too).
struct NetText {
  const wchar_t* chars;
  uint32_t length;
};
#if !defined(_WIN64)
static_assert(sizeof(NetText) == 8, "NetText size");
#endif

// The completion callback: once per accepted request, on a thread of the library. Returns 0.
typedef uint32_t(__stdcall* NetDoneCallback)(CNetRequest* request, uint32_t status);

// extern "C" __cdecl export "CreateObject": the request sink is returned, the transport object
// written through `transport`; both null unless `interfaceName` is kInterfaceName.
constexpr char kCreateObjectExport[] = "CreateObject";
constexpr wchar_t kInterfaceName[] = L"ICommunication";
typedef void*(__cdecl* CreateObjectFn)(const wchar_t* interfaceName, void** transport, uint32_t reserved);

// Positions in the objects' function tables (counted from 0). Every operation is __stdcall with the
// object as its first argument.
constexpr unsigned kTransportSetTextSlot = 3;   // (self, const NetText* text) -> status
constexpr unsigned kTransportRegisterSlot = 7;  // (self, responseCap, NetDoneCallback, tag) -> status
constexpr unsigned kSinkSubmitSlot = 5;         // (self, CNetRequest*) -> status
constexpr unsigned kTransportSlots = 8;
constexpr unsigned kSinkSlots = 6;
typedef uint32_t(__stdcall* TransportSetTextFn)(void* self, const NetText* text);
typedef uint32_t(__stdcall* TransportRegisterFn)(void* self, uint32_t responseCap, NetDoneCallback done,
                                                 uint32_t tag);
typedef uint32_t(__stdcall* SinkSubmitFn)(void* self, CNetRequest* request);

// The operation at `slot` of a library object's function table.
template <typename Fn>
Fn TableEntry(void* object, unsigned slot) {
  void** table = *static_cast<void***>(object);
  return reinterpret_cast<Fn>(table[slot]);
}

// What Ulvane registers: the answer text is kept up to this many bytes; the tag is not read.
constexpr uint32_t kResponseCapBytes = 4096;
constexpr uint32_t kRegisterTag = 123;

}  // namespace protocol
