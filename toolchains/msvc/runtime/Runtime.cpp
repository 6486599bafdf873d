// Stands in for what Visual Studio links statically into every module (/MD): the module's own
// start-up and shut-down, its allocation functions over the shared C runtime heap, thread-safe
// statics, thread-local storage and a few helpers the standard library's headers refer to.
// Programs start in ProgramEntry.cpp; a library without a DllMain gets DefaultDllMain.cpp.
#include <windows.h>

#include <cstdlib>
#include <new>
#include <typeinfo>

extern "C" {
int _fltused = 0x9875;
int __isa_available = 0;

// ---- initialisers and the module's own exit table ----
typedef void(__cdecl* _PVFV)(void);
typedef int(__cdecl* _PIFV)(void);
#pragma section(".CRT$XIA", long, read)
#pragma section(".CRT$XIZ", long, read)
#pragma section(".CRT$XCA", long, read)
#pragma section(".CRT$XCZ", long, read)
__declspec(allocate(".CRT$XIA")) _PIFV __xi_a[] = {nullptr};
__declspec(allocate(".CRT$XIZ")) _PIFV __xi_z[] = {nullptr};
__declspec(allocate(".CRT$XCA")) _PVFV __xc_a[] = {nullptr};
__declspec(allocate(".CRT$XCZ")) _PVFV __xc_z[] = {nullptr};
#pragma comment(linker, "/merge:.CRT=.rdata")

static _PVFV* gExitFunctions = nullptr;
static int gExitCount = 0;
static int gExitCapacity = 0;
static CRITICAL_SECTION gExitLock;

static int RegisterExit(_PVFV function) {
  EnterCriticalSection(&gExitLock);
  if (gExitCount == gExitCapacity) {
    const int capacity = gExitCapacity == 0 ? 32 : gExitCapacity * 2;
    auto* grown = static_cast<_PVFV*>(std::realloc(gExitFunctions, capacity * sizeof(_PVFV)));
    if (grown == nullptr) {
      LeaveCriticalSection(&gExitLock);
      return -1;
    }
    gExitFunctions = grown;
    gExitCapacity = capacity;
  }
  gExitFunctions[gExitCount++] = function;
  LeaveCriticalSection(&gExitLock);
  return 0;
}

int __cdecl atexit(_PVFV function) {
  return RegisterExit(function);
}
_onexit_t __cdecl _onexit(_onexit_t function) {
  return RegisterExit(reinterpret_cast<_PVFV>(function)) == 0 ? function : nullptr;
}

void __cdecl TamselRunExitFunctions() {
  while (gExitCount > 0)
    gExitFunctions[--gExitCount]();
  std::free(gExitFunctions);
  gExitFunctions = nullptr;
  gExitCapacity = 0;
  // Its debug record is in a process-wide list, and would point into the unloaded module.
  DeleteCriticalSection(&gExitLock);
}

void __cdecl __security_init_cookie();

bool TamselRunInitialisers() {
  __security_init_cookie();  // before any protected function of the module runs
  InitializeCriticalSection(&gExitLock);
  for (_PIFV* i = __xi_a; i < __xi_z; ++i)
    if (*i != nullptr && (*i)() != 0) return false;
  for (_PVFV* c = __xc_a; c < __xc_z; ++c)
    if (*c != nullptr) (*c)();
  return true;
}

// ---- thread-local storage ----
ULONG _tls_index = 0;
#pragma section(".tls", long, read, write)
#pragma section(".tls$ZZZ", long, read, write)
__declspec(allocate(".tls")) char _tls_start = 0;
__declspec(allocate(".tls$ZZZ")) char _tls_end = 0;
#pragma section(".CRT$XLA", long, read)
#pragma section(".CRT$XLZ", long, read)
__declspec(allocate(".CRT$XLA")) PIMAGE_TLS_CALLBACK __xl_a = nullptr;
__declspec(allocate(".CRT$XLZ")) PIMAGE_TLS_CALLBACK __xl_z = nullptr;
extern const IMAGE_TLS_DIRECTORY64 _tls_used = {reinterpret_cast<ULONGLONG>(&_tls_start),
                                                reinterpret_cast<ULONGLONG>(&_tls_end),
                                                reinterpret_cast<ULONGLONG>(&_tls_index),
                                                reinterpret_cast<ULONGLONG>(&__xl_a + 1),
                                                0,
                                                0};

// ---- thread-safe statics ----
int _Init_global_epoch = INT_MIN;
__declspec(thread) int _Init_thread_epoch = INT_MIN;
static SRWLOCK gStaticsLock = SRWLOCK_INIT;
static CONDITION_VARIABLE gStaticsDone = CONDITION_VARIABLE_INIT;
static const int kUninitialized = 0;
static const int kBeingInitialized = -1;

// The caller initialises the static when it finds *once == kBeingInitialized on return. A thread
// that waited for another's initialiser takes the initialisation over if that one threw
// (_Init_thread_abort put it back to uninitialised), as the language requires.
void __cdecl _Init_thread_header(int* const once) {
  AcquireSRWLockExclusive(&gStaticsLock);
  for (;;) {
    if (*once == kUninitialized) {
      *once = kBeingInitialized;
      break;
    }
    if (*once != kBeingInitialized) {
      _Init_thread_epoch = _Init_global_epoch;
      break;
    }
    SleepConditionVariableSRW(&gStaticsDone, &gStaticsLock, INFINITE, 0);
  }
  ReleaseSRWLockExclusive(&gStaticsLock);
}
void __cdecl _Init_thread_footer(int* const once) {
  AcquireSRWLockExclusive(&gStaticsLock);
  ++_Init_global_epoch;
  *once = _Init_global_epoch;
  _Init_thread_epoch = _Init_global_epoch;
  ReleaseSRWLockExclusive(&gStaticsLock);
  WakeAllConditionVariable(&gStaticsDone);
}
void __cdecl _Init_thread_abort(int* const once) {
  AcquireSRWLockExclusive(&gStaticsLock);
  *once = kUninitialized;
  ReleaseSRWLockExclusive(&gStaticsLock);
  WakeAllConditionVariable(&gStaticsDone);
}

// ---- once-only initialisation and system error texts for the standard library ----
int __stdcall __std_init_once_begin_initialize(void** once, unsigned long flags, int* pending,
                                               void** context) noexcept {
  return InitOnceBeginInitialize(reinterpret_cast<PINIT_ONCE>(once), flags, pending, context);
}
int __stdcall __std_init_once_complete(void** once, unsigned long flags, void* context) noexcept {
  return InitOnceComplete(reinterpret_cast<PINIT_ONCE>(once), flags, context);
}
unsigned long __stdcall __std_system_error_allocate_message(unsigned long code,
                                                            char** message) noexcept {
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(message), 0, nullptr);
  // Without the line end that the system's texts carry, as Microsoft's library returns them.
  while (length > 0 && ((*message)[length - 1] == '\n' || (*message)[length - 1] == '\r' ||
                        (*message)[length - 1] == ' ')) {
    --length;
  }
  return length;
}
void __stdcall __std_system_error_deallocate_message(char* message) noexcept {
  LocalFree(message);
}

// The head of the list of demangled names that type_info::name() keeps: vcruntime140 pushes onto
// it with the interlocked singly linked list functions, whose 16-byte compare-and-swap faults on
// a header that is not 16-byte aligned, as Microsoft's runtime declares it (SLIST_HEADER).
struct alignas(16) __type_info_node {
  void* _Header;
  void* _Next;
};
static_assert(sizeof(__type_info_node) == sizeof(SLIST_HEADER) &&
                  alignof(__type_info_node) == alignof(SLIST_HEADER),
              "laid out as the interlocked list header it is used as");
__type_info_node __type_info_root_node{};

// ---- the module's entry ----
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID);
BOOL WINAPI _DllMainCRTStartup(HINSTANCE module, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH && !TamselRunInitialisers()) return FALSE;
  const BOOL result = DllMain(module, reason, reserved);
  if (reason == DLL_PROCESS_DETACH) TamselRunExitFunctions();
  return result;
}
}  // extern "C"

// ---- the allocation functions, on the C runtime's heap that a /MD host shares ----
// As Microsoft's: while memory is short, the process's new handler (std::set_new_handler, kept
// by the C runtime) is called, and only when there is none, or it gives up, is bad_alloc thrown.
// The nothrow forms go through the same loop.
extern "C" int __cdecl _callnewh(size_t size);

namespace std {
const nothrow_t nothrow{};
}
namespace {
template <typename Allocate>
void* AllocateOrCallNewHandler(size_t size, Allocate allocate) {
  for (;;) {
    if (void* block = allocate(size == 0 ? 1 : size)) return block;
    if (_callnewh(size) == 0) throw std::bad_alloc();
  }
}
}  // namespace
void* __cdecl operator new(size_t size) {
  return AllocateOrCallNewHandler(size, [](size_t bytes) { return std::malloc(bytes); });
}
void* __cdecl operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (...) {
    return nullptr;
  }
}
void* __cdecl operator new[](size_t size) {
  return operator new(size);
}
void* __cdecl operator new[](size_t size, const std::nothrow_t&) noexcept {
  return operator new(size, std::nothrow);
}
void __cdecl operator delete(void* block) noexcept {
  std::free(block);
}
void __cdecl operator delete(void* block, const std::nothrow_t&) noexcept {
  std::free(block);
}
void __cdecl operator delete[](void* block) noexcept {
  std::free(block);
}
void __cdecl operator delete[](void* block, const std::nothrow_t&) noexcept {
  std::free(block);
}
void __cdecl operator delete(void* block, size_t) noexcept {
  std::free(block);
}
void __cdecl operator delete[](void* block, size_t) noexcept {
  std::free(block);
}
void* __cdecl operator new(size_t size, std::align_val_t align) {
  return AllocateOrCallNewHandler(
      size, [align](size_t bytes) { return _aligned_malloc(bytes, static_cast<size_t>(align)); });
}
void* __cdecl operator new(size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  try {
    return operator new(size, align);
  } catch (...) {
    return nullptr;
  }
}
void* __cdecl operator new[](size_t size, std::align_val_t align) {
  return operator new(size, align);
}
void* __cdecl operator new[](size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
  return operator new(size, align, std::nothrow);
}
void __cdecl operator delete(void* block, std::align_val_t) noexcept {
  _aligned_free(block);
}
void __cdecl operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  _aligned_free(block);
}
void __cdecl operator delete[](void* block, std::align_val_t) noexcept {
  _aligned_free(block);
}
void __cdecl operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  _aligned_free(block);
}
void __cdecl operator delete(void* block, size_t, std::align_val_t) noexcept {
  _aligned_free(block);
}
void __cdecl operator delete[](void* block, size_t, std::align_val_t) noexcept {
  _aligned_free(block);
}

type_info::~type_info() noexcept {}

// The table of type_info's virtual functions, which every type descriptor points to. Nothing
// ever calls through it: type descriptors are never destroyed.
extern "C" const void* const TypeInfoVftable[] __asm__("??_7type_info@@6B@");
static void TypeInfoScalarDeletingDestructor() {}
extern "C" const void* const TypeInfoVftable[] = {
    reinterpret_cast<const void*>(&TypeInfoScalarDeletingDestructor)};

// Probes each page of a stack frame larger than a page, from the top down, so that the guard
// page grows the stack in order. Visual Studio links its own into every module; Wine's kernel32
// exports one, Windows' does not. Called with the frame's size in rax; keeps every register.
__asm__(
    ".text\n"
    ".globl __chkstk\n"
    "__chkstk:\n"
    "  pushq %rcx\n"
    "  pushq %rax\n"
    "  leaq 24(%rsp), %rcx\n"  // the caller's stack pointer
    "1:\n"
    "  cmpq $0x1000, %rax\n"
    "  jb 2f\n"
    "  subq $0x1000, %rcx\n"
    "  testq %rcx, (%rcx)\n"
    "  subq $0x1000, %rax\n"
    "  jmp 1b\n"
    "2:\n"
    "  subq %rax, %rcx\n"
    "  testq %rcx, (%rcx)\n"
    "  popq %rax\n"
    "  popq %rcx\n"
    "  ret\n");
