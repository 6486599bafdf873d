// Stands in for what Wine 8's time.h lacks of the Universal C Runtime's.
#pragma once
#include_next <time.h>
#ifdef __cplusplus
extern "C" {
#endif
#ifndef _CRT_TIMESPEC_DEFINED
#define _CRT_TIMESPEC_DEFINED
struct timespec {
  time_t tv_sec;
  long tv_nsec;
};
#endif
int __cdecl _timespec64_get(struct timespec*, int);
errno_t __cdecl _gmtime64_s(struct tm*, const __time64_t*);
static inline errno_t __cdecl localtime_s(struct tm* result, const time_t* time) {
  return _localtime64_s(result, time);
}
static inline errno_t __cdecl gmtime_s(struct tm* result, const time_t* time) {
  return _gmtime64_s(result, time);
}
static inline int __cdecl timespec_get(struct timespec* ts, int base) {
  return _timespec64_get(ts, base);
}
#ifndef TIME_UTC
#define TIME_UTC 1
#endif
#ifdef __cplusplus
}
#endif
