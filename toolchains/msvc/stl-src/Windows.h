// The Windows SDK's spelling of windows.h, for sources written on Windows.
#pragma once
#include <windows.h>
