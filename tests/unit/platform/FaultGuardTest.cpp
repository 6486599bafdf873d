#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/FaultGuard.h"
#include "tests/support/Faults.h"

namespace {

using tamsel::platform::GuardOutcome;

class GuardOutcomeTest : public ::testing::TestWithParam<Fault> {};

// The guard says how the call ended, so a fault that did not happen (an optimiser that removed
// it, say) shows as the wrong ending instead of passing for one.
TEST_P(GuardOutcomeTest, TellsAProcessorFaultFromAnException) {
  Fault fault = GetParam();
  // On a thread of its own, as a save would be: a stack overflow spends the thread's stack.
  GuardOutcome outcome;
  bool rearmed = false;
  std::thread([&] {
    outcome = tamsel::platform::RunGuarded(
        [](void* raised) { RaiseFault(*static_cast<Fault*>(raised)); }, &fault);
    // The same thread's next guarded call runs normally.
    rearmed = tamsel::platform::RunGuarded([](void*) {}, nullptr).Completed();
  }).join();
  EXPECT_TRUE(rearmed);
  const std::string description = tamsel::platform::DescribeFault(outcome);
  if (IsProcessorFault(fault)) {
    ASSERT_EQ(outcome.ending, GuardOutcome::Ending::ProcessorFault) << description;
    EXPECT_EQ(outcome.code, ExpectedFaultCode(fault));
    EXPECT_EQ(description.rfind(ExpectedFaultWords(fault), 0), 0U) << description;
    // The faulting instruction is in this test program, at an offset into it.
    EXPECT_NE(description.find("tamsel_unit_tests"), std::string::npos) << description;
    EXPECT_NE(description.find("+0x"), std::string::npos) << description;
  } else {
    ASSERT_EQ(outcome.ending, GuardOutcome::Ending::CppException) << description;
    EXPECT_EQ(description, fault == Fault::StdException
                               ? "C++ exception std::runtime_error: the disk is full"
                               : "C++ exception int");
  }
}

INSTANTIATE_TEST_SUITE_P(AllFaults, GuardOutcomeTest, ::testing::ValuesIn(AllFaults()),
                         [](const auto& test) { return FaultName(test.param); });

// A fault three calls deep: the stack names the three callers, innermost first, by module and
// offset. Each call does work after the next, so that none becomes a jump, and the fault is
// raised through a pointer the compiler cannot see never returns.
std::atomic<int> gCallsReturned{0};
void (*volatile gRaiseFault)(Fault) = &RaiseFault;
__attribute__((noinline)) void ThirdCall(void*) {
  gRaiseFault(Fault::NullWrite);
  gCallsReturned.fetch_add(1);
}
__attribute__((noinline)) void SecondCall(void* arg) {
  ThirdCall(arg);
  gCallsReturned.fetch_add(1);
}
__attribute__((noinline)) void FirstCall(void* arg) {
  SecondCall(arg);
  gCallsReturned.fetch_add(1);
}

TEST(FaultStackTest, NamesTheCallersInOrder) {
  const GuardOutcome outcome = tamsel::platform::RunGuarded(&FirstCall, nullptr);
  ASSERT_EQ(outcome.ending, GuardOutcome::Ending::ProcessorFault);
  // Each function's span: from its start to the next of the three (at most 256 bytes).
  const std::vector<std::uintptr_t> starts = {reinterpret_cast<std::uintptr_t>(&ThirdCall),
                                              reinterpret_cast<std::uintptr_t>(&SecondCall),
                                              reinterpret_cast<std::uintptr_t>(&FirstCall)};
  const auto within = [&starts](std::uintptr_t frame, std::uintptr_t start) {
    std::uintptr_t end = start + 256;
    for (const std::uintptr_t other : starts) {
      if (other > start) end = std::min(end, other);
    }
    return frame > start && frame < end;
  };
  std::size_t found = 0;
  for (std::size_t i = 0; i < outcome.frameCount && found < starts.size(); ++i) {
    if (within(outcome.frames[i], starts[found])) {
      ++found;
    } else {
      EXPECT_EQ(found, 0U) << "frame " << i << " breaks the order of the three callers";
    }
  }
  const std::string stack = tamsel::platform::DescribeStack(outcome);
  EXPECT_EQ(found, starts.size()) << stack;
  EXPECT_LE(outcome.frameCount, GuardOutcome::kMaxFrames);
  EXPECT_EQ(stack.rfind("tamsel_unit_tests", 0), 0U) << stack;
  EXPECT_NE(stack.find("+0x"), std::string::npos) << stack;
  EXPECT_EQ(gCallsReturned.load(), 0);
}

// A fault at an address that holds no code, after a call through a null pointer or a jump to
// a wild address: the walk takes the word at the stack pointer as the caller's return address,
// so the stack names the caller after the bad address, as on every platform.
__attribute__((naked, noinline)) void JumpToAWildAddress() {
  asm volatile("movq $0x10, %rax\n\tjmpq *%rax");
}
void (*volatile gNullFunction)() = nullptr;
void (*volatile gWildJump)() = &JumpToAWildAddress;

__attribute__((noinline)) void CallThroughNull(void*) {
  gNullFunction();
  gCallsReturned.fetch_add(1);
}
__attribute__((noinline)) void CallWildJump(void*) {
  gWildJump();
  gCallsReturned.fetch_add(1);
}

struct BadTarget {
  const char* name;
  void (*caller)(void*);
  std::uintptr_t address;
};

void PrintTo(const BadTarget& target, std::ostream* out) {
  *out << target.name;
}

class BadTargetTest : public ::testing::TestWithParam<BadTarget> {};

TEST_P(BadTargetTest, TheStackNamesTheCaller) {
  const BadTarget target = GetParam();
  const GuardOutcome outcome = tamsel::platform::RunGuarded(target.caller, nullptr);
  ASSERT_EQ(outcome.ending, GuardOutcome::Ending::ProcessorFault);
  const std::string stack = tamsel::platform::DescribeStack(outcome);
  ASSERT_GE(outcome.frameCount, 3U) << stack;
  EXPECT_EQ(outcome.frames[0], target.address) << stack;
  const auto caller = reinterpret_cast<std::uintptr_t>(target.caller);
  EXPECT_GT(outcome.frames[1], caller) << stack;
  EXPECT_LT(outcome.frames[1], caller + 256) << stack;
}

INSTANTIATE_TEST_SUITE_P(Targets, BadTargetTest,
                         ::testing::Values(BadTarget{"NullCall", &CallThroughNull, 0},
                                           BadTarget{"WildJump", &CallWildJump, 0x10}),
                         [](const auto& test) { return std::string(test.param.name); });

// A save that overwrites its stack upward from a local buffer, then faults. Below it lies a
// frame of 4 KiB, as a server's routine would have: an overwrite that stops inside it leaves
// the guard's own frames whole, and the call ends as any failed one, the next running as
// usual; one that reaches them leaves no way back, and the process ends by the fault, as it
// would without the guard. Never a hang or a fault loop: a timer ends a child that is stuck,
// failing the test.
volatile std::size_t gOverwriteBytes = 0;

__attribute__((noinline, no_sanitize("address"))) void OverwriteStackThenFault() {
  char buffer[64];
  char* volatile start = buffer;
  for (std::size_t i = 0; i < gOverwriteBytes; ++i)
    start[i] = 'x';
  RaiseFault(Fault::NullWrite);
}

// Its address escapes, so that no compiler keeps only the two bytes used.
char* volatile gServerFrame = nullptr;

__attribute__((noinline)) void BelowAServerFrame(void*) {
  char frame[4096];
  gServerFrame = frame;
  gServerFrame[0] = 1;
  OverwriteStackThenFault();
  gServerFrame = nullptr;
}

struct Overwrite {
  std::size_t bytes;
  bool reachesTheGuard;
};

void PrintTo(const Overwrite& overwrite, std::ostream* out) {
  *out << overwrite.bytes << " bytes";
}

class StackOverwriteDeathTest : public ::testing::TestWithParam<Overwrite> {};

TEST_P(StackOverwriteDeathTest, EndsAsAFailedCallOrAsWithoutTheGuard) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Overwrite overwrite = GetParam();
  const auto endedAsExpected = [overwrite](int status) {
    return overwrite.reachesTheGuard ? EndedByUnhandledAccessFault(status)
                                     : ::testing::ExitedWithCode(0)(status);
  };
  EXPECT_EXIT(
      {
        PrepareToEndByAFault(60);
        gOverwriteBytes = overwrite.bytes;
        int code = 2;
        std::thread([&code] {
          const auto outcome = tamsel::platform::RunGuarded(&BelowAServerFrame, nullptr);
          const bool next = tamsel::platform::RunGuarded([](void*) {}, nullptr).Completed();
          code = outcome.ending == GuardOutcome::Ending::ProcessorFault && next ? 0 : 1;
        }).join();
        std::_Exit(code);
      },
      endedAsExpected, "");
}

INSTANTIATE_TEST_SUITE_P(Sizes, StackOverwriteDeathTest,
                         ::testing::Values(Overwrite{64, false}, Overwrite{1024, false},
                                           Overwrite{3000, false}, Overwrite{5000, true},
                                           Overwrite{8192, true}),
                         [](const auto& test) { return std::to_string(test.param.bytes); });

}  // namespace
