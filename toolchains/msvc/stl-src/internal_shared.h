// Stands in for the C runtime sources' internal_shared.h, which the standard library's
// separately compiled parts include: an owning pointer to a C-heap block, and the C runtime's
// code-page query.
#pragma once
#include <stdlib.h>
#include <vcruntime.h>

extern "C" unsigned int __cdecl ___lc_codepage_func(void);

template <typename T>
class __crt_unique_heap_ptr {
 public:
  __crt_unique_heap_ptr() noexcept = default;
  explicit __crt_unique_heap_ptr(T* p) noexcept : _P(p) {}
  __crt_unique_heap_ptr(const __crt_unique_heap_ptr&) = delete;
  __crt_unique_heap_ptr& operator=(const __crt_unique_heap_ptr&) = delete;
  __crt_unique_heap_ptr(__crt_unique_heap_ptr&& o) noexcept : _P(o._P) { o._P = nullptr; }
  __crt_unique_heap_ptr& operator=(__crt_unique_heap_ptr&& o) noexcept {
    if (this != &o) {
      free(_P);
      _P = o._P;
      o._P = nullptr;
    }
    return *this;
  }
  ~__crt_unique_heap_ptr() { free(_P); }
  T* get() const noexcept { return _P; }
  T* detach() noexcept {
    T* p = _P;
    _P = nullptr;
    return p;
  }
  explicit operator bool() const noexcept { return _P != nullptr; }

 private:
  T* _P = nullptr;
};

#define _malloc_crt_t(t, n) (__crt_unique_heap_ptr<t>(static_cast<t*>(malloc(sizeof(t) * (n)))))
#define _calloc_crt_t(t, n) (__crt_unique_heap_ptr<t>(static_cast<t*>(calloc((n), sizeof(t)))))
