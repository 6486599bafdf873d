// Stands in for what Wine 8's crtdbg.h lacks of the Universal C Runtime's: the report file
// names and calls, which do nothing in a release (non-_DEBUG) build.
#pragma once
#include_next <crtdbg.h>
#ifndef _CRTDBG_MODE_FILE
#define _CRTDBG_MODE_FILE 0x1
#define _CRTDBG_MODE_DEBUG 0x2
#define _CRTDBG_MODE_WNDW 0x4
#endif
typedef void* _HFILE;
#define _CRTDBG_INVALID_HFILE ((_HFILE)(__int64)-1)
#define _CRTDBG_HFILE_ERROR ((_HFILE)(__int64)-2)
#define _CRTDBG_FILE_STDOUT ((_HFILE)(__int64)-4)
#define _CRTDBG_FILE_STDERR ((_HFILE)(__int64)-5)
#define _CRTDBG_REPORT_FILE ((_HFILE)(__int64)-6)
#ifndef _CrtSetReportFile
#define _CrtSetReportFile(t, f) ((_HFILE)0)
#endif
