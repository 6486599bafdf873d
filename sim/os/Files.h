#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// Files, command lines and the end of a program. Every path a program builds comes from Unicode
// text, never from the system's 8-bit code page.
namespace SimOs {

// std::fopen for a path: on Windows by its wide name, so a folder such as "wé dir" opens.
std::FILE* OpenFile(const std::filesystem::path& file, const char* mode);

// The names of the folders directly inside `folder`, in no particular order, whatever the
// length of its path. Throws std::system_error when the folder cannot be read.
std::vector<std::filesystem::path> SubfolderNames(const std::filesystem::path& folder);

// Flushes what the system holds of an open file to the disk. False when it could not.
bool SyncToDisk(std::FILE* file);

// Ends the process at once through the system's own call: ExitProcess on Windows (as a program
// that calls it directly), exit() elsewhere.
[[noreturn]] void EndProcess(int exitCode);

// The program's arguments after its name, as UTF-8 (read from the wide command line on
// Windows). Build paths from them with std::filesystem::u8path.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace SimOs
