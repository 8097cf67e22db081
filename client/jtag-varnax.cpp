// The JTAG UART access library's exported calls and its process-wide error state.
#include <mutex>
#include <new>
#include <string>

#include "client/jtag_varnax.h"
#include "client/server-address.h"
#include "client/socket.h"
#include "client/varnax-link.h"
#include "wire/protocol.h"

// The server sends the codes the public header gives its callers.
static_assert(int(JTAGVARNAX_SEVERAL_CABLES) == varnax::open_several_cables &&
                  int(JTAGVARNAX_NO_CABLE) == varnax::open_no_cable &&
                  int(JTAGVARNAX_CABLE_UNPLUGGED) == varnax::open_cable_unplugged &&
                  int(JTAGVARNAX_BOARD_UNPOWERED) == varnax::open_board_unpowered &&
                  int(JTAGVARNAX_IN_USE) == varnax::open_in_use &&
                  int(JTAGVARNAX_SEVERAL_UARTS) == varnax::open_several_uarts &&
                  int(JTAGVARNAX_NO_UART) == varnax::open_no_uart,
              "the open-failure codes of the wire and of the public header differ");

struct JTAGVARNAX {
    VARNAX_LINK m_link;
    std::string m_cable;  // returned by jtagvarnax_get_info, lives as long as the handle
};

namespace {

// Bytes that were reported as written get this long to leave when the link is closed.
constexpr int close_flush_ms = 1000;

std::mutex error_mutex;  // guards last_error and last_error_text
JTAGVARNAX_ERROR last_error = JTAGVARNAX_OK;
std::string last_error_text;

void set_error(JTAGVARNAX_ERROR code, const std::string& text) {
    std::lock_guard<std::mutex> lock(error_mutex);
    last_error = code;
    last_error_text = text;
}

}  // namespace

JTAGVARNAX* jtagvarnax_open(const char* cable, int device, int instance, const char* app_name) {
    varnax::OPEN_REQUEST request;
    request.has_cable = cable != nullptr && *cable != '\0';
    request.cable = request.has_cable ? cable : "";
    request.device = device < 0 ? -1 : device;
    request.instance = instance < 0 ? -1 : instance;
    request.pid = socket_process_id();
    request.app_name = app_name != nullptr ? app_name : "";
    JTAGVARNAX* link = new (std::nothrow) JTAGVARNAX;
    if (link == nullptr) {
        set_error(JTAGVARNAX_NO_SERVER, "out of memory");
        return nullptr;
    }
    std::string text;
    int code =
        link->m_link.open(varnax_server_address(nullptr), request, varnax_secret_path(), &text);
    if (code != 0) {
        delete link;
        set_error(static_cast<JTAGVARNAX_ERROR>(code), text);
        return nullptr;
    }
    link->m_cable = link->m_link.info().cable;
    set_error(JTAGVARNAX_OK, "");
    return link;
}

JTAGVARNAX_ERROR jtagvarnax_get_error(const char** text) {
    // Each thread keeps its own copy, so the text stays valid while another thread opens.
    thread_local std::string copy;
    std::lock_guard<std::mutex> lock(error_mutex);
    copy = last_error_text;
    if (text != nullptr) *text = copy.c_str();
    return last_error;
}

void jtagvarnax_get_info(JTAGVARNAX* link, const char** cable, int* device, int* instance) {
    if (cable != nullptr) *cable = link != nullptr ? link->m_cable.c_str() : "";
    if (device != nullptr) *device = link != nullptr ? link->m_link.info().device : -1;
    if (instance != nullptr) *instance = link != nullptr ? link->m_link.info().instance : -1;
}

int jtagvarnax_read(JTAGVARNAX* link, char* buffer, unsigned int count) {
    if (link == nullptr || (buffer == nullptr && count > 0)) return -1;
    return link->m_link.read(buffer, count);
}

int jtagvarnax_write(JTAGVARNAX* link, const char* data, unsigned int count) {
    if (link == nullptr || (data == nullptr && count > 0)) return -1;
    // The result is an int: never report more than it can hold.
    if (count > 0x40000000u) count = 0x40000000u;
    return link->m_link.write(data, count);
}

// jtagvarnax_open returns only once the link is open.
int jtagvarnax_wait_open(JTAGVARNAX* link) {
    return link != nullptr ? 0 : -1;
}

void jtagvarnax_close(JTAGVARNAX* link) {
    if (link == nullptr) return;
    link->m_link.close(close_flush_ms);
    delete link;
}

int jtagvarnax_cable_warning(JTAGVARNAX* link) {
    return link != nullptr ? link->m_link.info().warning : 1;
}
