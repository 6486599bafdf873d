// Stands in for the toolset's eh.h: Wine's, in C linkage (ucrtbase exports terminate and
// set_terminate unmangled), with what Wine 8 lacks.
#pragma once
#ifdef __cplusplus
extern "C" {
#endif
#include_next <eh.h>
terminate_handler __cdecl _get_terminate(void);
#ifdef __cplusplus
}
#endif
