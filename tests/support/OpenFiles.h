#pragma once

#include <cstddef>
#include <filesystem>

// How many files this process has open: POSIX file descriptors, or the C runtime's file
// descriptors on Windows.
std::size_t OpenFileCount();

// Makes a FIFO (a named pipe) at `path`: a file whose opening blocks until someone writes.
// False where the platform has none (Windows) or it could not be made.
bool MakeFifo(const std::filesystem::path& path);
