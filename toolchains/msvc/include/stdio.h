// Stands in for what Wine 8's stdio.h lacks of the Universal C Runtime's.
#pragma once
#include <share.h>
#include_next <stdio.h>
#ifdef __cplusplus
extern "C" {
#endif
static inline int __cdecl vsnprintf_s(char* buffer, size_t size, size_t count, const char* format,
                                      va_list args) {
  return _vsnprintf_s(buffer, size, count, format, args);
}
errno_t __cdecl _get_stream_buffer_pointers(FILE*, char***, char***, int**);
int __cdecl vfscanf(FILE*, const char*, va_list);
int __cdecl vscanf(const char*, va_list);
int __cdecl vsscanf(const char*, const char*, va_list);
#ifdef __cplusplus
}
#endif
