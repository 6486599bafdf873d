#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "platform/FaultGuard.h"
#include "tests/support/Faults.h"
#include "tests/support/Gate.h"

namespace {

void ExitWith42(int) {
  _exit(42);
}

void Nothing(int) {}

void DoNothing(void*) {}

struct sigaction CurrentAction(int signal) {
  struct sigaction action {};
  sigaction(signal, nullptr, &action);
  return action;
}

void InstallPlainHandler(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
}

// The server's own crash handling must keep working: a fault that no guard covers, here on
// one thread while another thread sits inside a guarded call, goes to the handler that the
// process had before the guard was first used.
TEST(FaultGuardDeathTest, FaultOutsideAGuardReachesTheProcessHandler) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        InstallPlainHandler(SIGSEGV, &ExitWith42);
        struct Gates {
          Gate inside;
          Gate never;
        } gates;
        std::thread guarded([&gates] {
          tamsel::platform::RunGuarded(
              [](void* context) {
                auto* both = static_cast<Gates*>(context);
                both->inside.Open();
                both->never.Wait(std::chrono::hours(1));
              },
              &gates);
        });
        gates.inside.Wait();  // the guard's handlers are in place
        RaiseFault(Fault::NullWrite);
      },
      ::testing::ExitedWithCode(42), "");
}

std::atomic<int> gCalls{0};

bool Blocked(int signal) {
  sigset_t current;
  pthread_sigmask(SIG_SETMASK, nullptr, &current);
  return sigismember(&current, signal) == 1;
}

// Returns: with SA_RESETHAND the repeated fault must then end the process by SIGSEGV.
void CountAndReturn(int) {
  if (gCalls.fetch_add(1) >= 3) _exit(3);  // called again and again: the reset was ignored
}
// Exits 40 + (SIGUSR1 blocked) + 2 * (SIGSEGV blocked), so the mask it ran with shows.
void ReportMask(int) {
  _exit(40 + (Blocked(SIGUSR1) ? 1 : 0) + (Blocked(SIGSEGV) ? 2 : 0));
}
void ReportMaskWithInfo(int signal, siginfo_t* info, void*) {
  _exit(info != nullptr && info->si_signo == signal && info->si_addr == nullptr ? 50 : 59);
}

void InstallPrevious(int flags, bool maskUsr1, void (*plain)(int),
                     void (*withInfo)(int, siginfo_t*, void*)) {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  if (maskUsr1) sigaddset(&action.sa_mask, SIGUSR1);
  action.sa_flags = flags;
  if (withInfo != nullptr) {
    action.sa_sigaction = withInfo;
  } else {
    action.sa_handler = plain;
  }
  sigaction(SIGSEGV, &action, nullptr);
  ASSERT_TRUE(tamsel::platform::RunGuarded(&DoNothing, nullptr).Completed());  // the guard goes in
}

// A fault outside any guard reaches the process's previous handler as the kernel would have
// delivered it: its flags, its mask and its kind of handler all hold.
TEST(FaultGuardDeathTest, ForwardingDeliversAsTheKernelWould) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        InstallPrevious(SA_RESETHAND, false, &CountAndReturn, nullptr);
        RaiseFault(Fault::NullWrite);
      },
      ::testing::KilledBySignal(SIGSEGV), "");
  EXPECT_EXIT(
      {
        InstallPrevious(0, true, &ReportMask, nullptr);
        RaiseFault(Fault::NullWrite);
      },
      ::testing::ExitedWithCode(43), "")
      << "sa_mask and the signal itself are blocked";
  EXPECT_EXIT(
      {
        InstallPrevious(SA_NODEFER, false, &ReportMask, nullptr);
        RaiseFault(Fault::NullWrite);
      },
      ::testing::ExitedWithCode(40), "")
      << "SA_NODEFER leaves the signal open";
  EXPECT_EXIT(
      {
        InstallPrevious(SA_SIGINFO, false, nullptr, &ReportMaskWithInfo);
        RaiseFault(Fault::NullWrite);
      },
      ::testing::ExitedWithCode(50), "");
  EXPECT_EXIT(
      {
        InstallPrevious(0, false, SIG_IGN, nullptr);
        RaiseFault(Fault::NullWrite);
      },
      ::testing::KilledBySignal(SIGSEGV), "")
      << "a fault cannot be ignored";
  EXPECT_EXIT(
      {
        InstallPrevious(0, false, SIG_DFL, nullptr);
        raise(SIGSEGV);
      },
      ::testing::KilledBySignal(SIGSEGV), "");
}

// A component that puts its own handler in after the guard's, without chaining: the next
// save's fault is still the guard's, every other fault is the component's, and the unload hands
// the component's handler back.
sigjmp_buf gComponentRecovery;
volatile std::sig_atomic_t gComponentFaults = 0;
void ComponentHandler(int) {
  gComponentFaults = gComponentFaults + 1;
  siglongjmp(gComponentRecovery, 1);
}

TEST(FaultGuardDeathTest, AHandlerInstalledLaterDoesNotTakeTheSavesFaults) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ASSERT_TRUE(tamsel::platform::RunGuarded(&DoNothing, nullptr).Completed());
        InstallPlainHandler(SIGSEGV, &ComponentHandler);
        const auto outcome =
            tamsel::platform::RunGuarded([](void*) { RaiseFault(Fault::NullWrite); }, nullptr);
        if (outcome.ending != tamsel::platform::GuardOutcome::Ending::ProcessorFault) _exit(20);
        if (sigsetjmp(gComponentRecovery, 1) == 0) RaiseFault(Fault::NullWrite);
        if (gComponentFaults != 1) _exit(21);
        tamsel::platform::RestoreFaultHandlers();
        _exit(CurrentAction(SIGSEGV).sa_handler == &ComponentHandler ? 0 : 22);
      },
      ::testing::ExitedWithCode(0), "");
}

// A crash reporter installed after the guard's first save, holding the handler it found (the
// guard's): on a fault it either puts that handler back and returns, so that the fault repeats
// there, or calls it. The next save puts the guard's handler in front of it again. A fault
// outside a save must then end the process by SIGSEGV after one call of the reporter, as it
// would without the guard, never loop between the two.
struct sigaction gReporterFound {};
volatile std::sig_atomic_t gReporterCalls = 0;

void ReporterEntered() {
  gReporterCalls = gReporterCalls + 1;
  if (gReporterCalls > 1) _exit(3);  // the fault came round again
}

bool IsReporter(const struct sigaction& action);

void ReporterRestoresAndReturns(int) {
  ReporterEntered();
  sigaction(SIGSEGV, &gReporterFound, nullptr);
}

void ReporterCallsWhatItFound(int signal, siginfo_t* info, void* context) {
  ReporterEntered();
  gReporterFound.sa_sigaction(signal, info, context);
}

bool IsReporter(const struct sigaction& action) {
  return action.sa_handler == &ReporterRestoresAndReturns ||
         ((action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == &ReporterCallsWhatItFound);
}

// The process's own answer to SIGSEGV: death by the signal, or, under AddressSanitizer, whose
// handler the process had before the guard's, its report and exit code 1.
bool EndedByTheProcesssOwnHandler(int status) {
#if defined(__SANITIZE_ADDRESS__)
  if (WIFEXITED(status) && WEXITSTATUS(status) == 1) return true;
#endif
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV;
}

// How the reporter comes in: after the guard's first save, calling or restoring what it found;
// or before the plug-in and again after a save, keeping what it finds unless that is itself.
enum class Reporter { CallsWhatItFound, RestoresAndReturns, RearmedAroundTheGuard };

void InstallReporter(bool callsWhatItFound) {
  struct sigaction reporter {};
  sigemptyset(&reporter.sa_mask);
  if (callsWhatItFound) {
    reporter.sa_sigaction = &ReporterCallsWhatItFound;
    reporter.sa_flags = SA_SIGINFO;
  } else {
    reporter.sa_handler = &ReporterRestoresAndReturns;
  }
  struct sigaction found {};
  sigaction(SIGSEGV, &reporter, &found);
  if (!IsReporter(found)) gReporterFound = found;
}

class ChainingReporterDeathTest : public ::testing::TestWithParam<Reporter> {};

TEST_P(ChainingReporterDeathTest, AFaultOutsideASaveEndsTheProcessAfterOneReport) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Reporter kind = GetParam();
  EXPECT_EXIT(
      {
        if (kind == Reporter::RearmedAroundTheGuard) InstallReporter(true);
        ASSERT_TRUE(tamsel::platform::RunGuarded(&DoNothing, nullptr).Completed());
        InstallReporter(kind != Reporter::RestoresAndReturns);
        // The guard is in front again, and still takes the save's faults.
        const auto outcome =
            tamsel::platform::RunGuarded([](void*) { RaiseFault(Fault::NullWrite); }, nullptr);
        if (outcome.ending != tamsel::platform::GuardOutcome::Ending::ProcessorFault) _exit(20);
        if (gReporterCalls != 0) _exit(21);
        RaiseFault(Fault::NullWrite);
        _exit(22);
      },
      EndedByTheProcesssOwnHandler, "");
}

INSTANTIATE_TEST_SUITE_P(Reporters, ChainingReporterDeathTest,
                         ::testing::Values(Reporter::CallsWhatItFound, Reporter::RestoresAndReturns,
                                           Reporter::RearmedAroundTheGuard),
                         [](const auto& test) {
                           switch (test.param) {
                             case Reporter::CallsWhatItFound:
                               return "CallsWhatItFound";
                             case Reporter::RestoresAndReturns:
                               return "RestoresAndReturns";
                             case Reporter::RearmedAroundTheGuard:
                               break;
                           }
                           return "RearmedAroundTheGuard";
                         });

// A server's own handler that runs on a save thread's alternate stack and needs more of it than
// there is faults at the stack's end, and the save fails with that fault; it never writes over
// the memory beneath the stack.
void UseMoreStackThanThereIs(int) {
  volatile char frame[96 * 1024];
  for (std::size_t i = sizeof(frame); i > 0; --i)
    frame[i - 1] = 1;  // from the top down, as a stack fills
}

TEST(FaultGuardDeathTest, AHandlerThatOverrunsTheAlternateStackFaults) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers keep a large frame's locals elsewhere";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        struct sigaction onStack {};
        onStack.sa_handler = &UseMoreStackThanThereIs;
        onStack.sa_flags = SA_ONSTACK;
        sigemptyset(&onStack.sa_mask);
        sigaction(SIGUSR1, &onStack, nullptr);
        tamsel::platform::GuardOutcome outcome;
        std::thread([&outcome] {
          outcome = tamsel::platform::RunGuarded([](void*) { raise(SIGUSR1); }, nullptr);
        }).join();
        _exit(outcome.ending == tamsel::platform::GuardOutcome::Ending::ProcessorFault &&
                      outcome.code == SIGSEGV
                  ? 0
                  : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// What a save throws is the server's code too: its what() and its destructor run guarded, and a
// fault in either is reported with the exception.
struct FaultingException : std::exception {
  explicit FaultingException(bool inWhat) : faultsInWhat(inWhat) {}
  FaultingException(const FaultingException&) = default;
  ~FaultingException() override {
    if (!faultsInWhat && !copied) RaiseFault(Fault::NullWrite);
  }
  const char* what() const noexcept override {
    if (faultsInWhat) RaiseFault(Fault::NullWrite);
    return "never";
  }
  bool faultsInWhat;
  bool copied = false;
};

class ThrownObjectFaultTest : public ::testing::TestWithParam<bool> {};

TEST_P(ThrownObjectFaultTest, AFaultInTheThrownObjectIsPartOfTheOutcome) {
  const bool inWhat = GetParam();
  const auto outcome = tamsel::platform::RunGuarded(
      [](void* faultsInWhat) {
#if defined(__SANITIZE_ADDRESS__)
        // An exception whose destructor faulted is abandoned, never freed half-destroyed.
        __lsan::ScopedDisabler abandonedOnPurpose;
#endif
        throw FaultingException(*static_cast<bool*>(faultsInWhat));
      },
      const_cast<bool*>(&inWhat));
  ASSERT_EQ(outcome.ending, tamsel::platform::GuardOutcome::Ending::CppException);
  EXPECT_NE(outcome.exceptionType.find("FaultingException"), std::string::npos)
      << outcome.exceptionType;
  EXPECT_EQ(outcome.exceptionText, inWhat ? "(its what() raised SIGSEGV (invalid memory access))"
                                          : "never (its destructor raised SIGSEGV (invalid memory "
                                            "access))");
}

INSTANTIATE_TEST_SUITE_P(Faults, ThrownObjectFaultTest, ::testing::Bool(),
                         [](const auto& test) { return test.param ? "InWhat" : "InDestructor"; });

// A signal sent by a process names the sender, not an address that the kernel never gave.
TEST(FaultReportTest, ASentSignalNamesItsSender) {
  const auto outcome = tamsel::platform::RunGuarded([](void*) { raise(SIGSEGV); }, nullptr);
  ASSERT_EQ(outcome.ending, tamsel::platform::GuardOutcome::Ending::ProcessorFault);
  EXPECT_TRUE(outcome.sent);
  const std::string line = tamsel::platform::DescribeFault(outcome);
  EXPECT_EQ(line.rfind("SIGSEGV sent by process " + std::to_string(getpid()) + " in ", 0), 0U)
      << line;
  EXPECT_EQ(line.find("address"), std::string::npos) << line;
}

// A general-protection fault (here a read of a non-canonical address) names no address: the
// kernel gives none.
__attribute__((noinline)) void ReadANonCanonicalAddress(void*) {
  asm volatile("movabsq $0x8000000000000000, %%rax\n\tmovq (%%rax), %%rax" ::: "rax", "memory");
}

TEST(FaultReportTest, AGeneralProtectionFaultNamesNoAddress) {
  const auto outcome = tamsel::platform::RunGuarded(&ReadANonCanonicalAddress, nullptr);
  ASSERT_EQ(outcome.ending, tamsel::platform::GuardOutcome::Ending::ProcessorFault);
  const std::string line = tamsel::platform::DescribeFault(outcome);
  EXPECT_EQ(line.rfind("SIGSEGV (general-protection fault, such as a non-canonical address) in "
                       "tamsel_unit_tests+0x",
                       0),
            0U)
      << line;
  EXPECT_EQ(line.find(" address 0x"), std::string::npos) << line;
}

TEST(FaultGuardTest, RestoresThePreviousHandlersButNotOnesInstalledSince) {
  tamsel::platform::RestoreFaultHandlers();  // whatever earlier tests left in place
  InstallPlainHandler(SIGSEGV, &Nothing);
  InstallPlainHandler(SIGFPE, &Nothing);
  ASSERT_TRUE(tamsel::platform::RunGuarded(&DoNothing, nullptr).Completed());
  EXPECT_NE(CurrentAction(SIGSEGV).sa_handler, &Nothing) << "the guard's handler is in place";

  tamsel::platform::RestoreFaultHandlers();
  EXPECT_EQ(CurrentAction(SIGSEGV).sa_handler, &Nothing);
  EXPECT_EQ(CurrentAction(SIGFPE).sa_handler, &Nothing);

  // Someone installs a handler after the guard's: it stays.
  ASSERT_TRUE(tamsel::platform::RunGuarded(&DoNothing, nullptr).Completed());
  InstallPlainHandler(SIGFPE, &ExitWith42);
  tamsel::platform::RestoreFaultHandlers();
  EXPECT_EQ(CurrentAction(SIGSEGV).sa_handler, &Nothing);
  EXPECT_EQ(CurrentAction(SIGFPE).sa_handler, &ExitWith42);

  // Installed again by the next guarded call, and it still catches.
  EXPECT_EQ(tamsel::platform::RunGuarded([](void*) { RaiseFault(Fault::NullWrite); }, nullptr).code,
            static_cast<std::uint32_t>(SIGSEGV));
  tamsel::platform::RestoreFaultHandlers();
  InstallPlainHandler(SIGSEGV, SIG_DFL);
  InstallPlainHandler(SIGFPE, SIG_DFL);
}

}  // namespace
