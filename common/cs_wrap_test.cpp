#include "common/cs_wrap.h"

#include <gtest/gtest.h>

#include "common/scoped_handle.h"

namespace {
using namespace suite;

struct Shared {
  CCSWrap lock;
  long counter = 0;
};

DWORD WINAPI Bump(void* p) {
  auto* s = static_cast<Shared*>(p);
  for (int i = 0; i < 20000; ++i) {
    CAutoLockWrap hold(s->lock);
    // A non-atomic read-modify-write: lost updates show up without the lock.
    long v = s->counter;
    if ((i & 255) == 0) Sleep(0);
    s->counter = v + 1;
  }
  return 0;
}

TEST(CCSWrap, SerialisesThreads) {
  Shared s;
  ASSERT_TRUE(s.lock.initialized());
  HANDLE threads[4];
  for (auto& t : threads) t = CreateThread(nullptr, 0, Bump, &s, 0, nullptr);
  WaitForMultipleObjects(4, threads, TRUE, INFINITE);
  for (auto t : threads) CloseHandle(t);
  EXPECT_EQ(s.counter, 4 * 20000);
}

TEST(ScopedHandle, ClosesOnlyRealHandles) {
  HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE dup = nullptr;
  ASSERT_TRUE(
      DuplicateHandle(GetCurrentProcess(), ev, GetCurrentProcess(), &dup, 0, FALSE, DUPLICATE_SAME_ACCESS));
  {
    ScopedHandle h = ScopedHandle::ForObject(dup);
    EXPECT_TRUE(h.valid());
  }
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(dup, &flags));  // closed by the holder
  EXPECT_TRUE(GetHandleInformation(ev, &flags));
  CloseHandle(ev);

  ScopedHandle file = ScopedHandle::ForFile(INVALID_HANDLE_VALUE);
  EXPECT_FALSE(file.valid());
  ScopedHandle none = ScopedHandle::ForObject(nullptr);
  EXPECT_FALSE(none.valid());
}

}  // namespace
