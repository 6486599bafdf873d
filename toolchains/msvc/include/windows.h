// Stands in for what Wine 8's windows.h lacks of the Windows SDK's: SetThreadStackGuarantee
// (which Wine's kernel32 exports) and FILE_ID_INFO.
#pragma once
#include_next <windows.h>
#ifdef __cplusplus
extern "C" {
#endif
WINBASEAPI BOOL WINAPI SetThreadStackGuarantee(PULONG StackSizeInBytes);
#ifndef _FILE_ID_INFO_DEFINED
#define _FILE_ID_INFO_DEFINED
typedef struct _FILE_ID_INFO {
  ULONGLONG VolumeSerialNumber;
  struct {
    BYTE Identifier[16];
  } FileId;
} FILE_ID_INFO, *PFILE_ID_INFO;
#endif
#ifdef __cplusplus
}
#endif
