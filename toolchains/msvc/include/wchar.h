// Stands in for what Wine 8's wchar.h lacks of the Universal C Runtime's.
#pragma once
#include_next <wchar.h>
#ifdef __cplusplus
extern "C" {
#endif
int __cdecl fwide(FILE*, int);
int __cdecl mbsinit(const mbstate_t*);
int __cdecl vfwscanf(FILE*, const wchar_t*, va_list);
int __cdecl vswscanf(const wchar_t*, const wchar_t*, va_list);
int __cdecl vwscanf(const wchar_t*, va_list);
long double __cdecl wcstold(const wchar_t*, wchar_t**);
#ifdef __cplusplus
}
#endif
