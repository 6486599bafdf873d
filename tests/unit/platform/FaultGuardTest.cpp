#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/FaultGuard.h"
#include "tests/support/Faults.h"

namespace {

using platform::GuardOutcome;

class GuardOutcomeTest : public ::testing::TestWithParam<Fault> {};

// The guard says how the call ended, so a fault that did not happen (an optimiser that removed
// it, say) shows as the wrong ending instead of passing for one.
TEST_P(GuardOutcomeTest, TellsAProcessorFaultFromAnException) {
  Fault fault = GetParam();
  // On a thread of its own, as a save would be: a stack overflow spends the thread's stack.
  GuardOutcome outcome;
  bool rearmed = false;
  std::thread([&] {
    outcome = platform::RunGuarded([](void* raised) { RaiseFault(*static_cast<Fault*>(raised)); },
                                   &fault);
    // The same thread's next guarded call runs normally.
    rearmed = platform::RunGuarded([](void*) {}, nullptr).Completed();
  }).join();
  EXPECT_TRUE(rearmed);
  const std::string description = platform::DescribeFault(outcome);
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

}  // namespace
