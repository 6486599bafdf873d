#include "platform/FaultReportParts.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <typeinfo>

#if defined(__GLIBCXX__) || defined(_LIBCPP_VERSION)
#include <cxxabi.h>
#define TAMSEL_ITANIUM_ABI 1
#endif

namespace platform {
namespace {

std::string ReadableTypeName(const std::type_info& type) {
#if defined(TAMSEL_ITANIUM_ABI)
  int status = 0;
  const std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
  if (status == 0 && demangled) return demangled.get();
#endif
  return type.name();
}

}  // namespace

void RecordCurrentException(GuardOutcome& outcome) {
  outcome.ending = GuardOutcome::Ending::CppException;
  try {
    throw;
  } catch (const std::exception& error) {
    outcome.exceptionType = ReadableTypeName(typeid(error));
    // what() may return null; std::string would not survive it.
    const char* text = error.what();
    outcome.exceptionText = text != nullptr ? text : "";
  } catch (...) {
#if defined(TAMSEL_ITANIUM_ABI)
    if (const std::type_info* type = abi::__cxa_current_exception_type()) {
      outcome.exceptionType = ReadableTypeName(*type);
    }
#endif
  }
}

std::string DescribeFault(const GuardOutcome& outcome) {
  switch (outcome.ending) {
    case GuardOutcome::Ending::Returned:
      return "the call returned normally";
    case GuardOutcome::Ending::CppException: {
      std::string line = "C++ exception " + (outcome.exceptionType.empty() ? "of unknown type"
                                                                           : outcome.exceptionType);
      if (!outcome.exceptionText.empty()) line += ": " + outcome.exceptionText;
      return line;
    }
    case GuardOutcome::Ending::ProcessorFault:
      break;
  }
  std::string line = FaultName(outcome);
  if (outcome.stackOverflow) return line + " in " + ModuleAndOffset(outcome.instruction);
  switch (outcome.access) {
    case GuardOutcome::Access::Read:
      line += " reading address " + HexAddress(outcome.address);
      break;
    case GuardOutcome::Access::Write:
      line += " writing address " + HexAddress(outcome.address);
      break;
    case GuardOutcome::Access::Execute:
      line += " executing address " + HexAddress(outcome.address);
      break;
    case GuardOutcome::Access::Unknown:
      if (outcome.address != 0 && outcome.address != outcome.instruction) {
        line += " at address " + HexAddress(outcome.address);
      }
      break;
  }
  return line + " in " + ModuleAndOffset(outcome.instruction);
}

std::string HexAddress(std::uintptr_t address) {
  char text[2 + 2 * sizeof(address) + 1];
  std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(address));
  return text;
}

}  // namespace platform
