#pragma once

#include <cstdint>

// The processors the calling thread may run on, as a mask of processors 0 to 63.
std::uint64_t CurrentThreadAffinity();
