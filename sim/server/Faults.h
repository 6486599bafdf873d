#pragma once

// Processor faults on purpose, for showing what happens when a save crashes.
namespace SimServer {

enum class ProcessorFault { NullWrite, DivideByZero, IllegalInstruction, StackOverflow };

// Raises the fault for real at any optimisation level: the faulting instruction is written out
// here, not left for the compiler to prove pointless. Never returns.
[[noreturn]] void RaiseProcessorFault(ProcessorFault fault);

}  // namespace SimServer
