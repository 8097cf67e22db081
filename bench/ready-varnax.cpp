// A stand-in for libjtag_varnax.so.1 whose JTAG UART always has 64 bytes ready: it measures the
// terminal's own cost per block, with no server and no socket in the way. After the number of
// bytes in JTAG_VARNAX_READY_BYTES (default 64 MiB) it sends Ctrl-D, which ends the session.
#include <cstdlib>
#include <cstring>

#include "client/jtag_varnax.h"

struct JTAGVARNAX {
    long long left;
};

namespace {

JTAGVARNAX the_link;
char line[64];

}  // namespace

JTAGVARNAX* jtagvarnax_open(const char*, int, int, const char*) {
    const char* text = std::getenv("JTAG_VARNAX_READY_BYTES");
    the_link.left = text != nullptr ? std::atoll(text) : 64LL << 20;
    std::memset(line, 'x', sizeof line - 1);
    line[sizeof line - 1] = '\n';
    return &the_link;
}

JTAGVARNAX_ERROR jtagvarnax_get_error(const char** text) {
    *text = "";
    return JTAGVARNAX_OK;
}

void jtagvarnax_get_info(JTAGVARNAX*, const char** cable, int* device, int* instance) {
    *cable = "ready";
    *device = 1;
    *instance = 0;
}

// As cheap as a read can be: the terminal's cost is what is measured.
int jtagvarnax_read(JTAGVARNAX* link, char* buffer, unsigned int count) {
    if (link->left <= 0 && count > 0) {
        buffer[0] = 4;
        return 1;
    }
    if (count < sizeof line) return 0;
    std::memcpy(buffer, line, sizeof line);
    link->left -= sizeof line;
    return static_cast<int>(sizeof line);
}

int jtagvarnax_write(JTAGVARNAX*, const char*, unsigned int count) {
    return static_cast<int>(count);
}

int jtagvarnax_wait_open(JTAGVARNAX*) {
    return 0;
}

void jtagvarnax_close(JTAGVARNAX*) {}

int jtagvarnax_cable_warning(JTAGVARNAX*) {
    return 0;
}
