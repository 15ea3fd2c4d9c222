// Critical-section lock with virtual lock/unlock, and a scoped holder.
//
// Ownership: a CCSWrap owns its critical section for its whole life (it is neither copied nor moved);
// a CAutoLockWrap borrows a lock for its scope, and the lock must outlive it. A section that Windows
// could not set up (initialized() false, which happens only when memory is short) makes Lock and
// Unlock do nothing: its users then run unlocked rather than stop.
#pragma once
#include <windows.h>

namespace suite {

class CAutoLockTrait {
 public:
  virtual ~CAutoLockTrait() {}
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
};

class CCSWrap : public CAutoLockTrait {
 public:
  // The high bit asks Windows to allocate the section's event now, so that a later lock under low
  // memory cannot fail.
  static constexpr DWORD kSpinCount = 0x80000000u | 1024u;

  CCSWrap() : initialized_(InitializeCriticalSectionAndSpinCount(&cs_, kSpinCount) != FALSE) {}
  ~CCSWrap() override {
    if (initialized_) DeleteCriticalSection(&cs_);
  }
  // Both do nothing when the section could not be initialised.
  void Lock() override {
    if (initialized_) EnterCriticalSection(&cs_);
  }
  void Unlock() override {
    if (initialized_) LeaveCriticalSection(&cs_);
  }
  bool initialized() const { return initialized_; }

 private:
  CCSWrap(const CCSWrap&) = delete;
  CCSWrap& operator=(const CCSWrap&) = delete;
  CRITICAL_SECTION cs_;
  bool initialized_;
};

class CAutoLockWrap {
 public:
  explicit CAutoLockWrap(CAutoLockTrait& lock) : lock_(lock) { lock_.Lock(); }
  ~CAutoLockWrap() { lock_.Unlock(); }

 private:
  CAutoLockWrap(const CAutoLockWrap&) = delete;
  CAutoLockWrap& operator=(const CAutoLockWrap&) = delete;
  CAutoLockTrait& lock_;
};

}  // namespace suite
