#pragma once

#include <cstdint>
#include <string>

namespace tamsel {

// Where the plug-in's configuration lives: the host's current directory followed directly by
// "/VelkorApi/Plugins/Tamsel/config.json".
std::string ConfigFilePath();
// The same path as log lines show it: UTF-8, with the system's separator throughout.
std::string ConfigFileShownPath();

// Reads config.json once, warns once about each member that is not a setting, and applies
// "CpuThreads" with the machine's hardware thread count, the optional switches "LogSaveTimes",
// "LogSaveFaults" and "WaitForSaveAtExit", and the optional limits "SaveWaitSeconds",
// "StuckSaveMinutes" and "CrashDumps" (a value of the wrong type or out of range, a number beyond a
// double's range among them, is warned about and the default kept). Only a regular file of at most
// 1 MiB, nested at most 16 levels deep, is read. A file that cannot be read raises
// std::system_error with the system's reason, or std::runtime_error ("not a regular file", too
// large, nested too deep, no "CpuThreads" member, or the JSON library's parse error with its place
// as line and column); the library's type_error and out_of_range leave it too. Then the switches'
// warnings may have been logged, but nothing of CpuThreads is, and AffinityEnabled and AffinityMask
// are unchanged.
void LoadConfig();
// The same, as if the machine had `hardwareThreads` logical processors.
void LoadConfig(std::int32_t hardwareThreads);

}  // namespace tamsel
