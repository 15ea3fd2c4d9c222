#include "common/safe_singleton.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

std::atomic<int> g_constructions{0};

class SlowObject : public suite::CSafeSingleton<SlowObject> {
 public:
  SlowObject() {
    ++g_constructions;
    // Long enough that every other thread arrives while the word is 1.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ready = 42;
  }
  int ready = 0;
};

TEST(CSafeSingleton, RacingThreadsShareOneInstanceConstructedOnce) {
  constexpr int kThreads = 16;
  std::atomic<bool> go{false};
  std::vector<SlowObject*> seen(kThreads, nullptr);
  std::vector<int> readyValue(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 1; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      seen[i] = SlowObject::Instance();
      readyValue[i] = seen[i]->ready;  // never a half-built object
    });
  }
  go = true;
  seen[0] = SlowObject::Instance();  // the main thread races too
  readyValue[0] = seen[0]->ready;
  for (auto& t : threads) t.join();
  EXPECT_EQ(g_constructions.load(), 1);
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(seen[i], seen[0]);
    EXPECT_EQ(readyValue[i], 42);
  }
  EXPECT_EQ(SlowObject::Instance(), seen[0]);
  EXPECT_EQ(g_constructions.load(), 1);
}

}  // namespace
