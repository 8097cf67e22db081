// The JTAG UART access library (placeholder until it speaks to the server).
#include "jtag_varnax.h"

JTAGVARNAX* jtagvarnax_open(const char*, int, int, const char*) { return nullptr; }
JTAGVARNAX_ERROR jtagvarnax_get_error(const char** text) {
    *text = "";
    return JTAGVARNAX_NO_SERVER;
}
void jtagvarnax_get_info(JTAGVARNAX*, const char** cable, int* device, int* instance) {
    *cable = "";
    *device = -1;
    *instance = -1;
}
int jtagvarnax_read(JTAGVARNAX*, char*, unsigned int) { return -1; }
int jtagvarnax_write(JTAGVARNAX*, const char*, unsigned int) { return -1; }
int jtagvarnax_wait_open(JTAGVARNAX*) { return 0; }
void jtagvarnax_close(JTAGVARNAX*) {}
int jtagvarnax_cable_warning(JTAGVARNAX*) { return 1; }
