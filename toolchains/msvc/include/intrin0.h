// Stands in for the toolset's intrin0.h: the compiler's own intrinsics.
#pragma once
#include <intrin.h>
