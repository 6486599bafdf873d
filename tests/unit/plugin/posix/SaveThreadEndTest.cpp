#include <pthread.h>

#include <gtest/gtest.h>

#include "tests/support/PluginFixture.h"

using namespace tamsel;  // the plug-in's code under test

namespace {

// The server's routine ends its own thread: the unwinding passes through the plug-in, which
// logs the save as failed and lets it go on; the next request is accepted.
class SaveThreadEndTest : public SaveFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(SaveThreadEndTest, TheSaveIsLoggedAsFailedAndTheNextOneIsAccepted) {
  const bool cancelled = GetParam();
#if defined(__SANITIZE_ADDRESS__)
  if (cancelled) {
    GTEST_SKIP() << "AddressSanitizer's own stack check fails on a cancellation acted on "
                    "while the thread has an alternate signal stack";
  }
#endif
  SetSaveBody([cancelled](ADravikMode*) {
    if (cancelled) {
      pthread_cancel(pthread_self());
      pthread_testcancel();
    }
    pthread_exit(nullptr);
  });
  LogSaveFaults = true;
  RequestSave();
  ASSERT_TRUE(WaitUntilIdle()) << "the save flag was left set";
  EXPECT_EQ(sink_->Logged(),
            (std::vector<std::string>{"error|Error failed to save!",
                                      "error|Save fault: the save thread ended inside the "
                                      "server's routine (thread exit or cancellation)"}));

  SetSaveBody(nullptr);
  RequestSave();
  ASSERT_TRUE(WaitUntilIdle());
  EXPECT_EQ(SaveRuns(), 2);
  EXPECT_EQ(sink_->CountOf("warning", "World Already Saving!"), 0);
}

INSTANTIATE_TEST_SUITE_P(Ways, SaveThreadEndTest, ::testing::Bool(),
                         [](const auto& test) { return test.param ? "Cancelled" : "Exited"; });

}  // namespace
