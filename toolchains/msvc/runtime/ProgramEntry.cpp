// Stands in for the program entry Visual Studio links into every /MD console program: runs the
// program's initialisers, hands main its arguments, and ends through the C runtime's exit(),
// which runs the program's exit functions (registered there by the runtime's atexit).
#include <windows.h>

#include <cstdlib>

extern "C" {
int __cdecl main(int argc, char** argv);
int* __cdecl __p___argc(void);
char*** __cdecl __p___argv(void);
int __cdecl _configure_narrow_argv(int mode);
int __cdecl _crt_atexit(void(__cdecl* function)(void));
bool TamselRunInitialisers();
void __cdecl TamselRunExitFunctions();

int mainCRTStartup() {
  _configure_narrow_argv(2);  // _crt_argv_unexpanded_arguments
  if (!TamselRunInitialisers()) std::exit(255);
  _crt_atexit(&TamselRunExitFunctions);
  std::exit(main(*__p___argc(), *__p___argv()));
}
}
