// Run-time loading of DLLs on Windows.
#include "platform/dynlib.h"

#include <windows.h>

// LoadLibraryA adds ".dll" and looks next to the program first.
const char* const varnax_library_name = "jtag_varnax";
// The decorated name of int jtagvarnax_cable_warning(JTAGVARNAX*), exported by the library.
const char* const varnax_cable_warning_symbol = "?jtagvarnax_cable_warning@@YAHPEAUJTAGVARNAX@@@Z";

DYNLIB* dynlib_open(const char* name) {
    return reinterpret_cast<DYNLIB*>(LoadLibraryA(name));
}

void* dynlib_symbol(DYNLIB* library, const char* symbol) {
    if (library == nullptr) return nullptr;
    // Through void* first: a direct cast between function pointer types draws a warning.
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(library), symbol));
}

void dynlib_close(DYNLIB* library) {
    if (library != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(library));
}
