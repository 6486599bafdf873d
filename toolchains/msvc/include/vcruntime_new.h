// Stands in for the toolset's vcruntime_new.h: the allocation functions' declarations.
#pragma once
#include <vcruntime.h>

extern "C++" {
namespace std {
enum class align_val_t : size_t {};
struct nothrow_t {
  explicit nothrow_t() = default;
};
extern nothrow_t const nothrow;
}  // namespace std

[[nodiscard]] void* __cdecl operator new(size_t _Size);
[[nodiscard]] void* __cdecl operator new(size_t _Size, const std::nothrow_t&) noexcept;
[[nodiscard]] void* __cdecl operator new[](size_t _Size);
[[nodiscard]] void* __cdecl operator new[](size_t _Size, const std::nothrow_t&) noexcept;
void __cdecl operator delete(void* _Block) noexcept;
void __cdecl operator delete(void* _Block, const std::nothrow_t&) noexcept;
void __cdecl operator delete[](void* _Block) noexcept;
void __cdecl operator delete[](void* _Block, const std::nothrow_t&) noexcept;
void __cdecl operator delete(void* _Block, size_t _Size) noexcept;
void __cdecl operator delete[](void* _Block, size_t _Size) noexcept;
[[nodiscard]] void* __cdecl operator new(size_t _Size, std::align_val_t _Al);
[[nodiscard]] void* __cdecl operator new(size_t _Size, std::align_val_t _Al,
                                         const std::nothrow_t&) noexcept;
[[nodiscard]] void* __cdecl operator new[](size_t _Size, std::align_val_t _Al);
[[nodiscard]] void* __cdecl operator new[](size_t _Size, std::align_val_t _Al,
                                           const std::nothrow_t&) noexcept;
void __cdecl operator delete(void* _Block, std::align_val_t _Al) noexcept;
void __cdecl operator delete(void* _Block, std::align_val_t _Al, const std::nothrow_t&) noexcept;
void __cdecl operator delete[](void* _Block, std::align_val_t _Al) noexcept;
void __cdecl operator delete[](void* _Block, std::align_val_t _Al, const std::nothrow_t&) noexcept;
void __cdecl operator delete(void* _Block, size_t _Size, std::align_val_t _Al) noexcept;
void __cdecl operator delete[](void* _Block, size_t _Size, std::align_val_t _Al) noexcept;

#ifndef __PLACEMENT_NEW_INLINE
#define __PLACEMENT_NEW_INLINE
[[nodiscard]] inline void* __cdecl operator new(size_t, void* _Where) noexcept {
  return _Where;
}
inline void __cdecl operator delete(void*, void*) noexcept {}
#endif
#ifndef __PLACEMENT_VEC_NEW_INLINE
#define __PLACEMENT_VEC_NEW_INLINE
[[nodiscard]] inline void* __cdecl operator new[](size_t, void* _Where) noexcept {
  return _Where;
}
inline void __cdecl operator delete[](void*, void*) noexcept {}
#endif
}
