// What the module's C++ runtime must do as the language says; in the Visual C++ ABI build that
// runtime is the project's own stand-in for Microsoft's static one.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/FaultGuard.h"
#include "tests/support/Gate.h"

#if defined(_MSC_VER)
extern "C" struct __type_info_node __type_info_root_node;
#endif

// The first exception of a type: its name is looked up (and kept) for the first time here. Not in
// an anonymous namespace, whose decorated names Wine's runtime leaves undecorated.
struct ThrownOnlyHere : std::runtime_error {
  using std::runtime_error::runtime_error;
};

namespace {

// A function-local static whose initialiser throws is not initialised: the thread that was
// waiting for it runs the initialiser itself.
TEST(LanguageRuntimeTest, AStaticWhoseInitialiserThrewIsInitialisedByTheThreadWaitingForIt) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer's own guard for statics leaves the waiting thread waiting";
#endif
  static std::atomic<int> attempts{0};
  Gate firstInside;
  struct Value {
    int number;
  };
  const auto read = [&firstInside] {
    static const Value value = [&firstInside] {
      if (attempts.fetch_add(1) == 0) {
        firstInside.Open();
        // Time for the second thread to arrive and wait; should it come later, it finds the
        // static uninitialised and initialises it all the same.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        throw std::runtime_error("the first initialisation fails");
      }
      return Value{42};
    }();
    return value.number;
  };
  std::thread first([&read] {
    try {
      read();
    } catch (const std::runtime_error&) {
    }
  });
  ASSERT_TRUE(firstInside.Wait());
  int seen = 0;
  std::thread second([&read, &seen] { seen = read(); });
  first.join();
  second.join();
  EXPECT_EQ(seen, 42);
  EXPECT_EQ(attempts.load(), 2);
}

TEST(LanguageRuntimeTest, TheFirstExceptionOfATypeIsReportedByItsName) {
#if defined(_MSC_VER)
  // The interlocked list header of the names: a 16-byte compare-and-swap on it faults otherwise.
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&__type_info_root_node) % 16, 0U);
#endif
  const auto outcome = tamsel::platform::RunGuarded(
      [](void*) { throw ThrownOnlyHere("first of its kind"); }, nullptr);
  EXPECT_EQ(tamsel::platform::DescribeFault(outcome).find("C++ exception "), 0U)
      << tamsel::platform::DescribeFault(outcome);
  EXPECT_NE(tamsel::platform::DescribeFault(outcome).find("ThrownOnlyHere: first of its kind"),
            std::string::npos)
      << tamsel::platform::DescribeFault(outcome);
}

// A server's new handler (one that frees a cache, say) is called before an allocation gives up.
std::atomic<int> gNewHandlerCalls{0};

void GiveUpAfterOneCall() {
  gNewHandlerCalls.fetch_add(1);
  std::set_new_handler(nullptr);  // the next failure throws
}

TEST(LanguageRuntimeTest, TheProcesssNewHandlerIsCalledWhenMemoryIsShort) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators end the process on an impossible size";
#endif
#if defined(_MSC_VER)
  // std::set_new_handler hands the handler to the C runtime's _set_new_handler, for _callnewh
  // to call. Wine's ucrtbase drops it there (WINEDEBUG=+msvcrt shows the call), also under
  // Microsoft's msvcp140.
  GTEST_SKIP() << "Wine's ucrtbase keeps no handler from _set_new_handler";
#endif
  std::set_new_handler(&GiveUpAfterOneCall);
  const std::size_t impossible = std::numeric_limits<std::size_t>::max() / 2;
  EXPECT_THROW(static_cast<void>(operator new(impossible)), std::bad_alloc);
  EXPECT_EQ(gNewHandlerCalls.load(), 1);
  std::set_new_handler(&GiveUpAfterOneCall);
  EXPECT_EQ(operator new(impossible, std::nothrow), nullptr);
  EXPECT_EQ(gNewHandlerCalls.load(), 2);
}

}  // namespace
