#pragma once

// The pieces of a fault report, shared by the platform implementations of FaultGuard.h; the
// rest of the code uses DescribeFault.
#include <cstdint>
#include <exception>
#include <string>
#include <typeinfo>

#include "platform/FaultGuard.h"

namespace platform {

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

}  // namespace platform
