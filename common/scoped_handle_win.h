// One scope-bound owner per kind of Windows handle, and a scoped "signal this event on every way out".
//
// Each kind closes with its own call (CloseHandle, FindClose, RegCloseKey, CloseServiceHandle,
// FreeLibrary), so a handle cannot be closed with the wrong one, and a variable of one kind does not
// take a handle of another. Both "no handle" values of the kernel (null and INVALID_HANDLE_VALUE)
// count as empty for kernel objects and files: which one an API returns on failure differs from call
// to call, and neither may be closed.
//
// Ownership: the holder owns what it holds until release(); moving hands it over. get() lends it.
//
// A false valid() (and operator bool) means the holder is empty: the call that was to make the handle
// failed, or it has been closed or given away.
#pragma once
#include <windows.h>

namespace suite {

template <typename Traits>
class Scoped {
 public:
  using Handle = typename Traits::Handle;

  Scoped() = default;
  explicit Scoped(Handle handle) : handle_(handle) {}
  Scoped(Scoped&& other) noexcept : handle_(other.release()) {}
  Scoped& operator=(Scoped&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~Scoped() { Close(); }

  Handle get() const { return handle_; }
  bool valid() const { return Traits::IsValid(handle_); }
  explicit operator bool() const { return valid(); }

  // Closes what is held and takes `handle` (which may be empty).
  void reset(Handle handle = Traits::Empty()) {
    Close();
    handle_ = handle;
  }
  // Gives up ownership without closing; the caller closes what it gets.
  Handle release() {
    Handle handle = handle_;
    handle_ = Traits::Empty();
    return handle;
  }
  void Close() {
    if (Traits::IsValid(handle_)) Traits::Close(handle_);
    handle_ = Traits::Empty();
  }
  // For calls that hand a new handle out through a pointer: closes what is held first.
  Handle* receive() {
    Close();
    return &handle_;
  }

 private:
  Scoped(const Scoped&) = delete;
  Scoped& operator=(const Scoped&) = delete;
  Handle handle_ = Traits::Empty();
};

namespace handle_traits {
inline bool IsKernelHandle(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

struct KernelObject {
  using Handle = HANDLE;
  static Handle Empty() { return nullptr; }
  static bool IsValid(Handle h) { return IsKernelHandle(h); }
  static void Close(Handle h) { CloseHandle(h); }
};
struct File {
  using Handle = HANDLE;
  static Handle Empty() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Handle h) { return IsKernelHandle(h); }
  static void Close(Handle h) { CloseHandle(h); }
};
struct Find {
  using Handle = HANDLE;
  static Handle Empty() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Handle h) { return IsKernelHandle(h); }
  static void Close(Handle h) { FindClose(h); }
};
struct RegKey {
  using Handle = HKEY;
  static Handle Empty() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { RegCloseKey(h); }
};
struct Service {
  using Handle = SC_HANDLE;
  static Handle Empty() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { CloseServiceHandle(h); }
};
struct Library {
  using Handle = HMODULE;
  static Handle Empty() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { FreeLibrary(h); }
};
}  // namespace handle_traits

// Processes, threads, events, mutexes, tokens, snapshots: closed with CloseHandle.
using ScopedKernelObject = Scoped<handle_traits::KernelObject>;
// Files from CreateFileW (empty is INVALID_HANDLE_VALUE).
using ScopedFile = Scoped<handle_traits::File>;
// Searches from FindFirstFileW, closed with FindClose.
using ScopedFind = Scoped<handle_traits::Find>;
using ScopedRegKey = Scoped<handle_traits::RegKey>;
using ScopedService = Scoped<handle_traits::Service>;
using ScopedLibrary = Scoped<handle_traits::Library>;

// Signals an event once, on every way out of a scope: a waiter on the other side (a crashed process
// waiting for its release) must never wait for a signal that a forgotten path does not send.
// Does not own the event.
class ScopedEventSignal {
 public:
  explicit ScopedEventSignal(HANDLE event = nullptr) : event_(event) {}
  ~ScopedEventSignal() { Signal(); }

  // Sets the event to signal (when none was set yet or it has been signalled already).
  void Arm(HANDLE event) { event_ = event; }
  bool armed() const { return event_ != nullptr; }
  // Signals now rather than at the end of the scope; later calls do nothing. False when there was
  // no event to signal or SetEvent failed.
  bool Signal() {
    HANDLE event = event_;
    event_ = nullptr;
    return event != nullptr && SetEvent(event) != FALSE;
  }
  // The signal is someone else's to send now (a worker that outlives this scope).
  void HandOver() { event_ = nullptr; }

 private:
  ScopedEventSignal(const ScopedEventSignal&) = delete;
  ScopedEventSignal& operator=(const ScopedEventSignal&) = delete;
  HANDLE event_;
};

}  // namespace suite
