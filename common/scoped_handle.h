// Scope-bound owner of a Windows handle. Which value counts as "no handle" depends on the API that
// made it: null for processes, threads and events, INVALID_HANDLE_VALUE for files.
#pragma once
#include <windows.h>

namespace suite {

class ScopedHandle {
 public:
  enum class Invalid { Null, InvalidValue };

  explicit ScopedHandle(Invalid kind = Invalid::Null, HANDLE h = nullptr)
      : invalid_(kind == Invalid::Null ? nullptr : INVALID_HANDLE_VALUE), handle_(h) {
    if (!h) handle_ = invalid_;
  }
  static ScopedHandle ForFile(HANDLE h) { return ScopedHandle(Invalid::InvalidValue, h); }
  static ScopedHandle ForObject(HANDLE h) { return ScopedHandle(Invalid::Null, h); }

  ScopedHandle(ScopedHandle&& other) noexcept : invalid_(other.invalid_), handle_(other.handle_) {
    other.handle_ = other.invalid_;
  }
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) {
      Close();
      invalid_ = other.invalid_;
      handle_ = other.handle_;
      other.handle_ = other.invalid_;
    }
    return *this;
  }
  ~ScopedHandle() { Close(); }

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != invalid_ && handle_ != nullptr; }
  explicit operator bool() const { return valid(); }

  void reset(HANDLE h = nullptr) {
    Close();
    handle_ = h ? h : invalid_;
    if (invalid_ == INVALID_HANDLE_VALUE && !h) handle_ = invalid_;
  }
  HANDLE release() {
    HANDLE h = handle_;
    handle_ = invalid_;
    return h;
  }
  void Close() {
    if (handle_ != invalid_ && handle_ != nullptr) CloseHandle(handle_);
    handle_ = invalid_;
  }

 private:
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE invalid_;
  HANDLE handle_;
};

}  // namespace suite
