// Stands in for the Visual C++ toolset's vcruntime.h: language-mode and linkage macros.
#pragma once
#include <sal.h>
#include <vadefs.h>

#define _VCRT_COMPILER_PREPROCESSOR 1
#ifdef __cplusplus
#define _CRT_BEGIN_C_HEADER __pragma(pack(push, 8)) extern "C" {
#define _CRT_END_C_HEADER \
  }                       \
  __pragma(pack(pop))
#else
#define _CRT_BEGIN_C_HEADER __pragma(pack(push, 8))
#define _CRT_END_C_HEADER __pragma(pack(pop))
#endif
#ifndef _CRT_PACKING
#define _CRT_PACKING 8
#endif
#define _VCRTIMP __declspec(dllimport)
#define _VCRT_NOALIAS __declspec(noalias)
#define _VCRT_RESTRICT __declspec(restrict)
#define _VCRT_ALLOCATOR __declspec(allocator)
#ifndef _CRTIMP
#define _CRTIMP __declspec(dllimport)
#endif
#define __CLR_OR_THIS_CALL
#define __CLRCALL_OR_CDECL __cdecl
#define __CLRCALL_PURE_OR_CDECL __cdecl
#define __CRTDECL __cdecl
#define _CRT_STRINGIZE_(x) #x
#define _CRT_STRINGIZE(x) _CRT_STRINGIZE_(x)
#define _CRT_WIDE_(s) L##s
#define _CRT_WIDE(s) _CRT_WIDE_(s)
#define _CRT_CONCATENATE_(a, b) a##b
#define _CRT_CONCATENATE(a, b) _CRT_CONCATENATE_(a, b)
#define _CRT_UNPARENTHESIZE_(...) __VA_ARGS__
#define _CRT_UNPARENTHESIZE(...) _CRT_UNPARENTHESIZE_ __VA_ARGS__
#define _CRT_DEPRECATE_TEXT(_Text) __declspec(deprecated(_Text))
#define _CRT_INSECURE_DEPRECATE(_Replacement)
#define _CRT_INSECURE_DEPRECATE_MEMORY(_Replacement)
#define _CRT_GUARDOVERFLOW
#define _CRT_HYBRIDPATCHABLE
#define _CRT_SECURE_CPP_NOTHROW throw()
#define _HAS_EXCEPTIONS 1
#define _HAS_NODISCARD 1
#define _NODISCARD [[nodiscard]]
#ifndef _HAS_CXX17
#if __cplusplus > 201402L
#define _HAS_CXX17 1
#else
#define _HAS_CXX17 0
#endif
#endif
#ifndef _HAS_CXX20
#if __cplusplus > 201703L
#define _HAS_CXX20 1
#else
#define _HAS_CXX20 0
#endif
#endif
#ifndef _HAS_CXX23
#define _HAS_CXX23 0
#endif

#ifdef __cplusplus
extern "C++" {
template <typename _CountofType, unsigned long long _SizeOfArray>
char (*__countof_helper(_CountofType (&_Array)[_SizeOfArray]))[_SizeOfArray];
}
#define __crt_countof(_Array) (sizeof(*__countof_helper(_Array)) + 0)
#else
#define __crt_countof(_Array) (sizeof(_Array) / sizeof(_Array[0]))
#endif

#ifndef _SIZE_T_DEFINED
#define _SIZE_T_DEFINED
typedef unsigned __int64 size_t;
#endif
#ifndef _PTRDIFF_T_DEFINED
#define _PTRDIFF_T_DEFINED
typedef __int64 ptrdiff_t;
#endif
#ifndef _INTPTR_T_DEFINED
#define _INTPTR_T_DEFINED
typedef __int64 intptr_t;
#endif
#ifndef _UINTPTR_T_DEFINED
#define _UINTPTR_T_DEFINED
typedef unsigned __int64 uintptr_t;
#endif
typedef bool __vcrt_bool;

#ifdef __cplusplus
extern "C" {
#endif
extern int __isa_available;
#ifdef __cplusplus
}
#endif

// Imports of the C++ runtime DLL (msvcp140.dll), as a /MD build sees them.
#ifndef _CRTIMP2
#define _CRTIMP2 __declspec(dllimport)
#endif
#ifndef _MRTIMP2
#define _MRTIMP2 __declspec(dllimport)
#endif
#ifndef _CRTIMP_PURE
#define _CRTIMP_PURE _CRTIMP
#endif

#ifdef __cplusplus
extern "C" {
#endif
typedef struct _Mbstatet {
  unsigned long _Wchar;
  unsigned short _Byte, _State;
} _Mbstatet;
#ifdef __cplusplus
}
#endif

#define _CRT_SATELLITE_1
#define _CRT_SATELLITE_2
#define _CRT_SECURE_INVALID_PARAMETER(expr) ::_invalid_parameter_noinfo_noreturn()
#ifdef __cplusplus
extern "C" {
#endif
__declspec(dllimport) __declspec(noreturn) void __cdecl _invalid_parameter_noinfo_noreturn(void);
__declspec(dllimport) void __cdecl _invalid_parameter_noinfo(void);
#ifdef __cplusplus
}
#endif
#define _PGLOBAL
#define _CRT_SATELLITE_CODECVT_IDS_NOIMPORT
#define _CRT_USE_WINAPI_FAMILY_DESKTOP_APP
