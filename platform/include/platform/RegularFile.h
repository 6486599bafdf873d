#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

namespace tamsel::platform {

// The form of `path` that the system opens whatever its length: on Windows, an absolute path
// too long for the classic limit gets the "\\?\" prefix; elsewhere the path as it is.
std::filesystem::path LongPathForm(const std::filesystem::path& path);

// The whole content of `file`, read only if it is a regular file of at most `maxBytes` bytes.
// What is checked is the very file that is read (one open file, opened without waiting), so a
// FIFO or a device put in its place is never read or waited for.
// Throws std::system_error with the system's reason ("cannot open: No such file or directory",
// "cannot read: Is a directory", "cannot read: Input/output error"), or std::runtime_error
// ("cannot read: not a regular file", "larger than N bytes").
std::string ReadRegularFile(const std::filesystem::path& file, std::size_t maxBytes);

}  // namespace tamsel::platform
