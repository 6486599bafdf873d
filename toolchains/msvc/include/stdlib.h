// Stands in for what Wine 8's stdlib.h lacks of the Universal C Runtime's.
#pragma once
#include <errno.h>
#include_next <stdlib.h>
#ifdef __cplusplus
extern "C" {
#endif
int __cdecl at_quick_exit(void(__cdecl*)(void));
unsigned int __cdecl _set_abort_behavior(unsigned int flags, unsigned int mask);
#ifndef _CALL_REPORTFAULT
#define _CALL_REPORTFAULT 2
#endif
__declspec(noreturn) void __cdecl quick_exit(int);
#ifdef __cplusplus
}
#endif
