// Runs a call on every way out of a scope: `suite::ScopeExit release([&] { platform.Release(); });`.
#pragma once
#include <utility>

namespace suite {

template <typename Fn>
class ScopeExit {
 public:
  explicit ScopeExit(Fn fn) : fn_(std::move(fn)) {}
  ~ScopeExit() { fn_(); }

 private:
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;
  Fn fn_;
};

}  // namespace suite
