#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// The ways a server routine can fail that the save guard must stop.
enum class Fault {
  StdException,
  OtherException,
  NullWrite,
  DivideByZero,
  IllegalInstruction,
  // Raise these on a thread of their own: the thread's stack is spent afterwards.
  StackOverflow,  // a tight loop of pushes
  Recursion       // a function calling itself, each call with a frame of locals
};

// Every fault that can be raised for real on this platform.
std::vector<Fault> AllFaults();
// Whether the platform reliably hands `fault` to the guard (not Wine with a stack overflow).
bool RaisedReliablyHere(Fault fault);
std::string FaultName(Fault fault);
// Fails in the given way; never returns.
[[noreturn]] void RaiseFault(Fault fault);
bool IsProcessorFault(Fault fault);
// For a processor fault: the signal (POSIX) or exception code (Windows) it raises, and the
// words that name it in a fault report.
std::uint32_t ExpectedFaultCode(Fault fault);
std::string ExpectedFaultWords(Fault fault);

// For a child process of a death test: whether it ended by an access fault that nothing
// handled (SIGSEGV or SIGBUS on POSIX, an unhandled access violation on Windows); and, called
// in the child, no crash dialog or debugger for such a fault, and a timer that ends the child,
// failing the test, should it still run after `seconds`.
bool EndedByUnhandledAccessFault(int status);
void PrepareToEndByAFault(unsigned seconds);

// Writes into about `bytes` of the calling thread's stack, a frame at a time, as deep code does.
void UseStack(std::size_t bytes);
// Runs fn() on a new thread whose stack holds `bytes`, and returns once that thread has ended.
void RunOnThreadWithStack(std::size_t bytes, void (*fn)());

// While it lives, new threads cannot be created in this process (where the platform lets a
// test arrange that; Active() says whether it could).
class ThreadStartFailure {
 public:
  ThreadStartFailure();
  ~ThreadStartFailure();
  ThreadStartFailure(const ThreadStartFailure&) = delete;
  ThreadStartFailure& operator=(const ThreadStartFailure&) = delete;
  bool Active() const { return active_; }

 private:
  bool active_ = false;
  [[maybe_unused]] unsigned long long savedStackSize_ = 0;  // not every platform restores one
};

// Names the parameter in test output.
inline void PrintTo(Fault fault, std::ostream* out) {
  *out << FaultName(fault);
}
