#pragma once

// A processor fault on purpose, for showing what happens when a save crashes.
namespace SimServer {

// Writes to address 0 for real at any optimisation level: the faulting instruction is written
// out here, not left for the compiler to prove pointless. Never returns.
[[noreturn]] void RaiseNullWrite();

}  // namespace SimServer
