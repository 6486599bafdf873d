#include "FaultReportParts.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <typeinfo>
#include <utility>

#if defined(__GLIBCXX__) || defined(_LIBCPP_VERSION)
#include <cxxabi.h>
#define TAMSEL_ITANIUM_ABI 1
#elif defined(_MSC_VER)
#include <windows.h>
#define TAMSEL_MSVC_ABI 1
// The exception record of the C++ exception being handled (the Visual C++ runtime's).
extern "C" void** __cdecl __current_exception();
// The exception code of a C++ throw: "msc" in the Visual C++ runtime's own words.
constexpr DWORD kCppException = 0xE06D7363;
#endif

namespace tamsel::platform {
namespace {

// "std::runtime_error" on either ABI (the Visual C++ one says "class std::runtime_error").
std::string ReadableTypeName(const std::type_info& type) {
#if defined(TAMSEL_ITANIUM_ABI)
  int status = 0;
  const std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
  if (status == 0 && demangled) return demangled.get();
#endif
  std::string name = type.name();
  for (const char* kind : {"class ", "struct ", "union ", "enum "}) {
    if (name.rfind(kind, 0) == 0) return name.substr(std::char_traits<char>::length(kind));
  }
  return name;
}

}  // namespace

const std::type_info* CurrentExceptionType() {
#if defined(TAMSEL_ITANIUM_ABI)
  return abi::__cxa_current_exception_type();
#elif defined(TAMSEL_MSVC_ABI)
  // The thrown type is the first of the types the throw can be caught as, found through the
  // throw's description (offsets from the module that threw).
  const auto* record = static_cast<const EXCEPTION_RECORD*>(*__current_exception());
  if (record == nullptr || record->ExceptionCode != kCppException || record->NumberParameters < 4 ||
      record->ExceptionInformation[2] == 0) {
    return nullptr;
  }
  const auto* base = reinterpret_cast<const char*>(record->ExceptionInformation[3]);
  const auto* throwInfo = reinterpret_cast<const int*>(record->ExceptionInformation[2]);
  const auto* catchableTypes = reinterpret_cast<const int*>(base + throwInfo[3]);
  if (catchableTypes[0] < 1) return nullptr;
  const auto* firstType = reinterpret_cast<const int*>(base + catchableTypes[1]);
  return reinterpret_cast<const std::type_info*>(base + firstType[1]);
#else
  return nullptr;
#endif
}

bool HandlingCppException() {
#if defined(TAMSEL_MSVC_ABI)
  const auto* record = static_cast<const EXCEPTION_RECORD*>(*__current_exception());
  return record == nullptr || record->ExceptionCode == kCppException;
#else
  return true;
#endif
}

void DescribeException(const std::exception* standard, const std::type_info* type,
                       GuardOutcome& outcome) {
  // Each part is made whole before it is stored: a fault in the thrown object's code leaves
  // the outcome as it was before that part.
  outcome.ending = GuardOutcome::Ending::CppException;
  if (standard != nullptr) {
    std::string typeName = ReadableTypeName(typeid(*standard));
    outcome.exceptionType = std::move(typeName);
    // what() may return null; std::string would not survive it.
    const char* text = standard->what();
    std::string copied = text != nullptr ? text : "";
    outcome.exceptionText = std::move(copied);
  } else if (type != nullptr) {
    outcome.exceptionType = ReadableTypeName(*type);
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
  if (outcome.stackOverflow || outcome.sent)
    return line + " in " + ModuleAndOffset(outcome.instruction);
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

std::string DescribeStack(const GuardOutcome& outcome) {
  std::string frames;
  for (std::size_t i = 0; i < outcome.frameCount && i < outcome.frames.size(); ++i) {
    std::string frame = ModuleAndOffset(outcome.frames[i]);
    const std::size_t plus = frame.rfind('+');
    if (plus != std::string::npos && plus > kMaxModuleNameBytes) {
      std::size_t cut = kMaxModuleNameBytes;
      while (cut > 0 && (static_cast<unsigned char>(frame[cut]) & 0xC0U) == 0x80U)
        --cut;
      frame.replace(cut, plus - cut, "...");
    }
    if (!frames.empty()) frames += ", ";
    frames += frame;
  }
  return frames;
}

std::string HexAddress(std::uintptr_t address) {
  char text[2 + 2 * sizeof(address) + 1];
  (void)std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(address));
  return text;
}

}  // namespace tamsel::platform
