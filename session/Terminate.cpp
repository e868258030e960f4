// libstdc++'s default terminate handler names the type of the exception on standard error, and
// for that links its whole demangler and the MinGW runtime's own printf into every program:
// some 80 KB, for a message that these GUI programs have no console to show. std::terminate
// ends the program as std::abort does instead; the programs with a crash dump (the service, the
// tray, the viewer) set their own handler, which leaves one.
#include <cstdlib>

namespace __gnu_cxx
{
void __verbose_terminate_handler();

void __verbose_terminate_handler()
{
    std::abort();
}
}
