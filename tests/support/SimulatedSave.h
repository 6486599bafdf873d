#pragma once

#include <functional>
#include <thread>

class ADravikMode;

// The stand-in server's "ADravikMode.SaveWorld" for tests: a routine whose body each test sets.
namespace SimulatedSave {

inline constexpr const char* kFunctionKey = "ADravikMode.SaveWorld";

// Registers the routine with the stand-in host under kFunctionKey, with an empty body.
void Register();
// What the routine does when it runs.
void SetBody(std::function<void(ADravikMode*)> body);
// How many times the routine has been entered since Register.
int Runs();
// The game mode and the thread of the latest run; both are in place once Runs() counts it.
ADravikMode* LastGameMode();
std::thread::id LastThread();
// The server asks for a save, as it would: through the host's dispatch slot.
void Request(ADravikMode* gameMode = nullptr);
// The routine's own address, which the host calls while no detour is installed.
void* Address();

}  // namespace SimulatedSave
