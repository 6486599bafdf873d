#pragma once

// The pieces of a fault report, shared by the platform implementations of FaultGuard.h; the
// rest of the code uses DescribeFault.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <typeinfo>

#include "platform/FaultGuard.h"

namespace tamsel::platform {

// Records an exception given as the std::exception it is, or else by its type (either may be
// null). Calls into the thrown object (its type and what()): run it guarded.
void DescribeException(const std::exception* standard, const std::type_info* type,
                       GuardOutcome& outcome);
// The type of the exception being handled (call inside a catch block); null where the runtime
// does not say.
const std::type_info* CurrentExceptionType();
// False when the exception being handled is a processor fault that a catch (...) took, as it
// does in a Visual Studio build with /EHa, not in the cross builds (call inside a catch block).
bool HandlingCppException();
// The fault's name as an administrator would look it up, e.g. "SIGSEGV (invalid memory access)"
// or "access violation (0xc0000005)". One per platform.
std::string FaultName(const GuardOutcome& outcome);
// "name+0x1f0" for the module that holds `address`, or the bare address outside any module.
// One per platform.
std::string ModuleAndOffset(std::uintptr_t address);
// "0x1f0".
std::string HexAddress(std::uintptr_t address);

// Visits the guard's frames as kept for comparison at a fault: all of [low, low + size) when it
// fits in `kept` bytes, else its first and last halves. Byte by byte, not through memcpy or
// memcmp: the frames hold the address sanitizer's redzones, which its interceptors would report.
// Crash-time code: runs in the fault handler; allocates nothing, takes no lock, loads nothing.
template <std::size_t kept, typename Visit>
__attribute__((no_sanitize("address"))) void ForEachKeptByte(std::uintptr_t low, std::size_t size,
                                                             Visit visit) {
  const auto* frames = reinterpret_cast<const volatile unsigned char*>(low);
  const std::size_t half = kept / 2;
  const bool whole = size <= kept;
  for (std::size_t i = 0; i < (whole ? size : half); ++i)
    visit(i, frames[i]);
  if (whole) return;
  for (std::size_t i = 0; i < half; ++i)
    visit(half + i, frames[size - half + i]);
}

}  // namespace tamsel::platform
