// Lazily created process-wide object with a creation protocol that needs no lock object of its own.
//
// A state word beside the instance: 0 = not created, 1 = being created, anything else = the
// instance's address. The thread that moves the word from 0 to 1 builds the instance once,
// registers its destruction at process exit and publishes the address; every other thread
// yields while the word is 1.
//
// Ownership: the instance lives in static storage owned by the class template; Instance never returns
// null, and the object lives until the process's exit handlers destroy it. What a derived class holds
// is therefore released at exit: anything another thread may still use then (a loaded library, a log
// file) is better left unowned.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <new>

#ifdef _WIN32
#include <windows.h>
#else
#include <sched.h>

#include <atomic>
#endif

namespace suite {

namespace detail {
#ifdef _WIN32
// 32-bit programs: an address fits the 32-bit state word.
using SingletonWord = volatile LONG;
inline intptr_t WordLoad(SingletonWord* w) { return InterlockedCompareExchange(w, 0, 0); }
inline bool WordClaim(SingletonWord* w) { return InterlockedCompareExchange(w, 1, 0) == 0; }
inline void WordPublish(SingletonWord* w, void* p) {
  InterlockedExchange(w, static_cast<LONG>(reinterpret_cast<intptr_t>(p)));
}
inline void YieldNow() { Sleep(0); }
#else
using SingletonWord = std::atomic<intptr_t>;
inline intptr_t WordLoad(SingletonWord* w) { return w->load(std::memory_order_acquire); }
inline bool WordClaim(SingletonWord* w) {
  intptr_t expected = 0;
  return w->compare_exchange_strong(expected, 1, std::memory_order_acq_rel);
}
inline void WordPublish(SingletonWord* w, void* p) {
  w->store(reinterpret_cast<intptr_t>(p), std::memory_order_release);
}
inline void YieldNow() { sched_yield(); }
#endif
}  // namespace detail

template <typename T>
class CSafeSingleton {
 public:
  virtual ~CSafeSingleton() {}

  static T* Instance() {
    detail::SingletonWord* word = StateWord();
    intptr_t value = detail::WordLoad(word);
    if (value != 0 && value != 1) return reinterpret_cast<T*>(value);
    if (detail::WordClaim(word)) {
      static bool constructed = false;
      T* object = reinterpret_cast<T*>(Storage());
      if (!constructed) {
        constructed = true;
        new (object) T();
        std::atexit(&Destroy);
      }
      detail::WordPublish(word, object);
      return object;
    }
    while (detail::WordLoad(word) == 1) detail::YieldNow();
    return reinterpret_cast<T*>(detail::WordLoad(word));
  }

 protected:
  CSafeSingleton() {}

 private:
  CSafeSingleton(const CSafeSingleton&) = delete;
  CSafeSingleton& operator=(const CSafeSingleton&) = delete;

  static detail::SingletonWord* StateWord() {
    static detail::SingletonWord word{0};
    return &word;
  }
  static void* Storage() {
    alignas(T) static unsigned char storage[sizeof(T)];
    return storage;
  }
  static void Destroy() { reinterpret_cast<T*>(Storage())->~T(); }
};

}  // namespace suite
