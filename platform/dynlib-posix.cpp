// Run-time loading of shared libraries on POSIX.
#include "platform/dynlib.h"

#include <dlfcn.h>

const char* const varnax_library_name = "libjtag_varnax.so.1";
const char* const varnax_cable_warning_symbol = "_Z24jtagvarnax_cable_warningP10JTAGVARNAX";

DYNLIB* dynlib_open(const char* name) {
    return static_cast<DYNLIB*>(dlopen(name, RTLD_NOW | RTLD_LOCAL));
}

void* dynlib_symbol(DYNLIB* library, const char* symbol) {
    if (library == nullptr) return nullptr;
    return dlsym(library, symbol);
}

void dynlib_close(DYNLIB* library) {
    if (library != nullptr) dlclose(library);
}
