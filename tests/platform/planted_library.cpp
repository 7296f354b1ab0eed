// A library that refuses to load: put beside the program under a system library's name, as a
// downloads folder might hold one, it shows whether the program took it instead of the system's.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) { return reason != DLL_PROCESS_ATTACH; }
