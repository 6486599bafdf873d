#include "windows/OutlivingCode.h"

#include "windows/ModuleImage.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

namespace tamsel::platform {
namespace {

// What an entry reads; pointers aligned, so that each changes in one store.
struct EntryTargets {
  void* inside;  // an address in this library, for the reference
  void* inLibrary;
  void* otherwise;
  void* unused;
};

constexpr std::size_t kEntries = static_cast<std::size_t>(OutlivingEntry::Count);
constexpr std::size_t kEntryCodeSize = 128;

// Code on a page that is executable and never written once made; what the code reads and
// counts on the page after it, writable and never executed.
constexpr std::size_t kPageSize = 4096;

struct Page {
  unsigned char entryCode[kEntries][kEntryCodeSize];
  unsigned char callThenExitThread[64];
  alignas(kPageSize) EntryTargets targets[kEntries];
  void* getModuleHandleEx;
  void* freeLibrary;
  void* releaseSemaphore;
  void* exitThread;
  HANDLE releasedAtThreadEnd;  // the page's own handle; null for none
  volatile LONG threadsInside;
};
static_assert(offsetof(Page, targets) == kPageSize, "code and data on pages of their own");

Page* Code = nullptr;
std::atomic<bool> Kept{false};

// Writes machine code with rip-relative operands, each given by the address it names.
class CodeWriter {
 public:
  explicit CodeWriter(unsigned char* at) : at_(at) {}
  void Bytes(std::initializer_list<unsigned char> bytes) {
    for (unsigned char byte : bytes)
      *at_++ = byte;
  }
  // `opcode`, then the 32-bit displacement from the end of the instruction to `target`.
  void RipRelative(std::initializer_list<unsigned char> opcode, const void* target) {
    Bytes(opcode);
    const auto next = reinterpret_cast<std::intptr_t>(at_ + 4);
    const auto displacement =
        static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(target) - next);
    std::memcpy(at_, &displacement, sizeof(displacement));
    at_ += sizeof(displacement);
  }

 private:
  unsigned char* at_;
};

// GetModuleHandleExW(FROM_ADDRESS, inside, &module); on success jump to inLibrary, else to
// otherwise; the four argument registers and the stack as they came. A reference taken once
// the entry leads to otherwise (inLibrary == otherwise: the library is gone, and whatever lies
// at its address now is another module) is given back first.
void WriteEntry(unsigned char* at, const EntryTargets& targets, Page& page) {
  CodeWriter code(at);
  code.RipRelative({0xF0, 0xFF, 0x05},
                   const_cast<LONG*>(&page.threadsInside));  // lock inc [threadsInside]
  code.Bytes({0x51, 0x52, 0x41, 0x50, 0x41, 0x51});          // push rcx, rdx, r8, r9
  code.Bytes({0x48, 0x83, 0xEC, 0x38});                      // sub rsp, 0x38
  code.Bytes({0xB9, GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, 0x00, 0x00, 0x00});  // mov ecx, ..
  code.RipRelative({0x48, 0x8B, 0x15}, &targets.inside);     // mov rdx, [inside]
  code.Bytes({0x4C, 0x8D, 0x44, 0x24, 0x28});                // lea r8, [rsp+0x28]
  code.RipRelative({0xFF, 0x15}, &page.getModuleHandleEx);   // call [GetModuleHandleExW]
  code.RipRelative({0x4C, 0x8B, 0x15}, &targets.otherwise);  // mov r10, [otherwise]
  code.Bytes({0x85, 0xC0, 0x74, 0x22});                      // test eax, eax; jz +0x22
  code.RipRelative({0x4C, 0x8B, 0x15}, &targets.inLibrary);  // mov r10, [inLibrary]
  code.RipRelative({0x4C, 0x3B, 0x15}, &targets.otherwise);  // cmp r10, [otherwise]
  code.Bytes({0x75, 0x12});                                  // jne +0x12
  code.Bytes({0x48, 0x8B, 0x4C, 0x24, 0x28});                // mov rcx, [rsp+0x28]
  code.RipRelative({0xFF, 0x15}, &page.freeLibrary);         // call [FreeLibrary]
  code.RipRelative({0x4C, 0x8B, 0x15}, &targets.otherwise);  // mov r10, [otherwise]
  code.Bytes({0x48, 0x83, 0xC4, 0x38});                      // add rsp, 0x38
  code.Bytes({0x41, 0x59, 0x41, 0x58, 0x5A, 0x59});          // pop r9, r8, rdx, rcx
  code.RipRelative({0xF0, 0xFF, 0x0D},
                   const_cast<LONG*>(&page.threadsInside));  // lock dec [threadsInside]
  code.Bytes({0x41, 0xFF, 0xE2});                            // jmp r10
}

// rcx: { function, argument, ... }. Calls function(argument), then
// ReleaseSemaphore(releasedAtThreadEnd, 1, null) (a call that fails on a null handle) and
// ExitThread(0).
void WriteCallThenExitThread(unsigned char* at, Page& page) {
  CodeWriter code(at);
  code.Bytes({0x53});                                               // push rbx
  code.Bytes({0x48, 0x83, 0xEC, 0x20});                             // sub rsp, 0x20
  code.Bytes({0x48, 0x89, 0xCB});                                   // mov rbx, rcx
  code.Bytes({0x48, 0x8B, 0x4B, 0x08});                             // mov rcx, [rbx+8]
  code.Bytes({0xFF, 0x13});                                         // call [rbx]
  code.RipRelative({0x48, 0x8B, 0x0D}, &page.releasedAtThreadEnd);  // mov rcx, [semaphore]
  code.Bytes({0xBA, 0x01, 0x00, 0x00, 0x00});                       // mov edx, 1
  code.Bytes({0x45, 0x31, 0xC0});                                   // xor r8d, r8d
  code.RipRelative({0xFF, 0x15}, &page.releaseSemaphore);           // call [ReleaseSemaphore]
  code.Bytes({0x31, 0xC9});                                         // xor ecx, ecx
  code.RipRelative({0xFF, 0x15}, &page.exitThread);                 // call [ExitThread]
  code.Bytes({0xCC});                                               // int3: never reached
}

void MakeCodeExecutable(Page* page) {
  DWORD old = 0;
  VirtualProtect(page, kPageSize, PAGE_EXECUTE_READ, &old);
  FlushInstructionCache(GetCurrentProcess(), page, kPageSize);
}

}  // namespace

bool MakeOutlivingCode() noexcept {
  if (Code != nullptr) return true;
  auto* page = static_cast<Page*>(
      VirtualAlloc(nullptr, sizeof(Page), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (page == nullptr) return false;
  page->getModuleHandleEx = reinterpret_cast<void*>(&GetModuleHandleExW);
  page->freeLibrary = reinterpret_cast<void*>(&FreeLibrary);
  page->releaseSemaphore = reinterpret_cast<void*>(&ReleaseSemaphore);
  page->exitThread = reinterpret_cast<void*>(&ExitThread);
  for (std::size_t i = 0; i < kEntries; ++i) {
    // The reference is taken by this library's first address: whatever module lies there once
    // the library has gone is found by it too, whatever its size.
    page->targets[i].inside = ThisModule();
    WriteEntry(page->entryCode[i], page->targets[i], *page);
  }
  WriteCallThenExitThread(page->callThenExitThread, *page);
  MakeCodeExecutable(page);
  Code = page;
  return true;
}

void* OutlivingEntryAddress(OutlivingEntry entry) noexcept {
  return Code != nullptr ? Code->entryCode[static_cast<std::size_t>(entry)] : nullptr;
}

void SetOutlivingTargets(OutlivingEntry entry, void* inLibrary, void* otherwise) noexcept {
  if (Code == nullptr) return;
  EntryTargets& targets = Code->targets[static_cast<std::size_t>(entry)];
  InterlockedExchangePointer(&targets.otherwise, otherwise);
  InterlockedExchangePointer(&targets.inLibrary, inLibrary);
}

void LeadToOtherwise(OutlivingEntry entry) noexcept {
  if (Code == nullptr) return;
  const EntryTargets& targets = Code->targets[static_cast<std::size_t>(entry)];
  SetOutlivingTargets(entry, targets.otherwise, targets.otherwise);
}

void* CallThenExitThreadAddress() noexcept {
  return Code != nullptr ? Code->callThenExitThread : nullptr;
}

void ReleaseAtThreadEnd(HANDLE semaphore) noexcept {
  if (Code == nullptr || Code->releasedAtThreadEnd != nullptr) return;
  HANDLE own = nullptr;
  if (DuplicateHandle(GetCurrentProcess(), semaphore, GetCurrentProcess(), &own, 0, FALSE,
                      DUPLICATE_SAME_ACCESS)) {
    Code->releasedAtThreadEnd = own;
  }
}

void KeepOutlivingCode() noexcept {
  Kept.store(true);
}

void ReleaseOutlivingCode(bool mayBeReached) noexcept {
  if (Code == nullptr) return;
  if (!mayBeReached && !Kept.load() && Code->threadsInside == 0) {
    if (Code->releasedAtThreadEnd != nullptr) CloseHandle(Code->releasedAtThreadEnd);
    VirtualFree(Code, 0, MEM_RELEASE);
  }
  Code = nullptr;
}

}  // namespace tamsel::platform
