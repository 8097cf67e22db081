// Loading a shared library at run time and finding a function in it.
#pragma once

// The JTAG UART access library's file name and the exported name of its optional
// cable-warning function, on this platform.
extern const char* const varnax_library_name;
extern const char* const varnax_cable_warning_symbol;

struct DYNLIB;
// Returns nullptr when the library cannot be loaded.
DYNLIB* dynlib_open(const char* name);
// Returns nullptr when the library has no such symbol.
void* dynlib_symbol(DYNLIB* library, const char* symbol);
// Accepts nullptr.
void dynlib_close(DYNLIB* library);
