#include <gtest/gtest.h>

#include <utility>

#include "common/cs_wrap_win.h"
#include "common/scoped_handle_win.h"

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
    ScopedKernelObject h(dup);
    EXPECT_TRUE(h.valid());
    ScopedKernelObject moved(std::move(h));  // ownership moves, the handle is closed once
    EXPECT_FALSE(h.valid());
    EXPECT_TRUE(moved.valid());
  }
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(dup, &flags));  // closed by the holder
  EXPECT_TRUE(GetHandleInformation(ev, &flags));
  CloseHandle(ev);

  ScopedFile file(INVALID_HANDLE_VALUE);
  EXPECT_FALSE(file.valid());
  EXPECT_EQ(ScopedFile().get(), INVALID_HANDLE_VALUE);
  ScopedKernelObject none(nullptr);
  EXPECT_FALSE(none.valid());
  ScopedRegKey key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, key.receive()), ERROR_SUCCESS);
  EXPECT_TRUE(key.valid());
}

TEST(ScopedEventSignal, SignalsOnceOnEveryWayOut) {
  ScopedKernelObject event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  { ScopedEventSignal signal(event.get()); }
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  {
    ScopedEventSignal signal(event.get());
    EXPECT_TRUE(signal.Signal());
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);  // auto-reset: consumed here
    EXPECT_FALSE(signal.Signal());                                  // once only
  }
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  {
    ScopedEventSignal signal(event.get());
    signal.HandOver();
  }
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

}  // namespace
