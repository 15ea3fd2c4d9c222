// Containment of real hardware faults under Wine (and Windows): the step ends, the program goes on.
#include "common/fault_guard_win.h"

#include <gtest/gtest.h>

namespace suite {
namespace {

const DWORD kOtherCode = 0xE0424242;  // a software exception nobody here expects to contain

void WriteThroughNull(void*) { *static_cast<volatile int*>(nullptr) = 0x41414145; }

TEST(RunContained, RealAccessViolationEndsOnlyTheStep) {
  DWORD code = 0;
  int after = 0;
  EXPECT_FALSE(RunContainedCall(
      [&] {
        WriteThroughNull(nullptr);
        after = 1;
      },
      &code));
  EXPECT_EQ(after, 0);
  // Native runs give the access violation; under qemu-user a fault can surface as an illegal instruction.
  EXPECT_TRUE(code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_ILLEGAL_INSTRUCTION)
      << std::hex << code;
  // The chain is sound afterwards: the next fault is contained again, and a clean step returns.
  EXPECT_FALSE(RunContained(WriteThroughNull, nullptr));
  EXPECT_TRUE(RunContainedCall([&] { after = 2; }));
  EXPECT_EQ(after, 2);
}

TEST(RunContained, JumpToAGarbageAddressAndDivideByZero) {
  EXPECT_FALSE(RunContainedCall([] {
    void (*volatile wild)() = reinterpret_cast<void (*)()>(0x42424242);
    wild();
  }));
  DWORD code = 0;
  EXPECT_FALSE(RunContainedCall(
      [] {
        volatile int zero = 0;
        volatile int x = 7 / zero;
        (void)x;
      },
      &code));
  EXPECT_EQ(code, DWORD(EXCEPTION_INT_DIVIDE_BY_ZERO));
}

TEST(RunContained, ForeignExceptionsPassToTheHandlersAbove) {
  // The inner guard leaves a software exception alone; the outer one, asked for exactly that code,
  // gets it. Debug output (itself an exception on Windows) goes through a guard untouched.
  DWORD code = 0;
  bool innerReturned = true;
  EXPECT_FALSE(RunContainedCall(
      [&] {
        innerReturned = RunContainedCall([] {
          OutputDebugStringA("fault guard test\n");
          RaiseException(kOtherCode, 0, 0, nullptr);
        });
      },
      &code, kOtherCode));
  EXPECT_EQ(code, kOtherCode);
  EXPECT_TRUE(innerReturned);  // never reached its end: the value was not overwritten
}

TEST(RunContained, InnerGuardTakesItsFaultFirst) {
  bool inner = true, outerRest = false;
  EXPECT_TRUE(RunContainedCall([&] {
    inner = RunContained(WriteThroughNull, nullptr);
    outerRest = true;
  }));
  EXPECT_FALSE(inner);
  EXPECT_TRUE(outerRest);
}

TEST(RunContained, OnlyCodeLeavesOtherFaultsToTheCaller) {
  // Asked for access violations only, a guard lets a division fault through to the guard above.
  DWORD outer = 0;
  EXPECT_FALSE(RunContainedCall(
      [] {
        RunContainedCall(
            [] {
              volatile int zero = 0;
              volatile int x = 7 / zero;
              (void)x;
            },
            nullptr, EXCEPTION_ACCESS_VIOLATION);
      },
      &outer));
  EXPECT_EQ(outer, DWORD(EXCEPTION_INT_DIVIDE_BY_ZERO));
}

TEST(RunContained, CppExceptionEndsTheStepAndLeavesTheChainSound) {
  DWORD code = 1;
  EXPECT_FALSE(RunContainedCall([] { throw 42; }, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(RunContained(WriteThroughNull, nullptr));  // would crash with a stale record on the chain
}

}  // namespace
}  // namespace suite
