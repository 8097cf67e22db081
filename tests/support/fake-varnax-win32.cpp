// The channel code reaches the access library through the import pointers of its DLL
// ("__imp_" and the function's name). In the tests of the channel the stand-in's functions
// stand behind those pointers.
#include "client/jtag_varnax.h"

#define FAKE_IMPORT(function, exported_name)                                        \
    extern decltype(&function) const imported_##function asm("__imp_" exported_name); \
    decltype(&function) const imported_##function = &function

FAKE_IMPORT(jtagvarnax_open, "_Z15jtagvarnax_openPKciiS0_");
FAKE_IMPORT(jtagvarnax_get_error, "_Z20jtagvarnax_get_errorPPKc");
FAKE_IMPORT(jtagvarnax_get_info, "_Z19jtagvarnax_get_infoP10JTAGVARNAXPPKcPiS4_");
FAKE_IMPORT(jtagvarnax_read, "_Z15jtagvarnax_readP10JTAGVARNAXPcj");
FAKE_IMPORT(jtagvarnax_write, "_Z16jtagvarnax_writeP10JTAGVARNAXPKcj");
FAKE_IMPORT(jtagvarnax_wait_open, "_Z20jtagvarnax_wait_openP10JTAGVARNAX");
FAKE_IMPORT(jtagvarnax_close, "_Z16jtagvarnax_closeP10JTAGVARNAX");
