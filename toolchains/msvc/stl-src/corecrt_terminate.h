// Stands in for the UCRT's corecrt_terminate.h.
#pragma once
#include <eh.h>
