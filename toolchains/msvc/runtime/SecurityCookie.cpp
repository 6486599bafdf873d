// Stack protection as Visual Studio's /GS: the module's security cookie, named in its load
// configuration, set at load from values an attacker cannot predict, and the check that every
// protected function makes on return. A mismatch means the stack has been overwritten: the
// process ends at once (fail-fast, 0xC0000409), never through an exception handler that could
// run with the corrupted frame. Compiled without stack protection itself: the cookie changes
// under the functions that set it.
#include <windows.h>

#include <intrin.h>

#include <cstdint>

namespace {
// Microsoft's default, which the Windows loader replaces in an image whose load configuration
// still holds it; the module's start-up does so where the loader did not.
constexpr std::uintptr_t kDefaultCookie = 0x00002B992DDFA232;
}  // namespace

extern "C" {
std::uintptr_t __security_cookie = kDefaultCookie;
std::uintptr_t __security_cookie_complement = ~kDefaultCookie;

// lld-link points the image's load configuration directory at this symbol.
extern const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = {
    sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64),           0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    reinterpret_cast<ULONGLONG>(&__security_cookie), 0, 0};

void __cdecl __security_init_cookie() {
  if (__security_cookie != kDefaultCookie) return;  // the loader has set it
  FILETIME time{};
  GetSystemTimeAsFileTime(&time);
  LARGE_INTEGER counter{};
  QueryPerformanceCounter(&counter);
  std::uintptr_t cookie = (static_cast<std::uintptr_t>(time.dwHighDateTime) << 32) ^
                          time.dwLowDateTime ^ GetCurrentThreadId() ^
                          (static_cast<std::uintptr_t>(GetCurrentProcessId()) << 16) ^
                          static_cast<std::uintptr_t>(counter.QuadPart) ^
                          (static_cast<std::uintptr_t>(counter.QuadPart) << 32) ^
                          reinterpret_cast<std::uintptr_t>(&cookie);
  cookie &= 0x0000FFFFFFFFFFFF;  // as Microsoft's: the top 16 bits stay clear
  if (cookie == kDefaultCookie) ++cookie;
  __security_cookie = cookie;
  __security_cookie_complement = ~cookie;
}

[[noreturn]] void __cdecl __report_gsfailure(std::uintptr_t) {
  if (IsProcessorFeaturePresent(PF_FASTFAIL_AVAILABLE))
    __fastfail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE);
  TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
  __fastfail(FAST_FAIL_STACK_COOKIE_CHECK_FAILURE);
}

void __cdecl __security_check_cookie(std::uintptr_t cookie) {
  if (cookie != __security_cookie) __report_gsfailure(cookie);
}
}  // extern "C"
