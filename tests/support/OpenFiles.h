#pragma once

#include <cstddef>

// How many files this process has open: POSIX file descriptors, or the C runtime's file
// descriptors on Windows.
std::size_t OpenFileCount();
