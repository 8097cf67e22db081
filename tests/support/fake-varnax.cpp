// The scripted JTAG UART access library: records calls, hands out what the test scripted.
#include "tests/support/fake-varnax.h"

#include <algorithm>
#include <cstring>

FAKE_VARNAX fake_varnax;

namespace {
JTAGVARNAX_ERROR last_error = JTAGVARNAX_OK;
char link_token;  // the address stands in for the one open link
JTAGVARNAX* fake_link() { return reinterpret_cast<JTAGVARNAX*>(&link_token); }
}  // namespace

JTAGVARNAX* jtagvarnax_open(const char* cable, int device, int instance, const char* app_name) {
    fake_varnax.opens.push_back(
        {cable ? std::optional<std::string>(cable) : std::nullopt, device, instance, app_name});
    last_error = JTAGVARNAX_OK;
    if (!fake_varnax.open_results.empty()) {
        last_error = fake_varnax.open_results.front();
        fake_varnax.open_results.pop_front();
    }
    if (last_error != JTAGVARNAX_OK) return nullptr;
    ++fake_varnax.open_links;
    return fake_link();
}

JTAGVARNAX_ERROR jtagvarnax_get_error(const char** text) {
    *text = fake_varnax.error_text.c_str();
    return fake_varnax.reported_error.value_or(last_error);
}

void jtagvarnax_get_info(JTAGVARNAX*, const char** cable, int* device, int* instance) {
    *cable = fake_varnax.info_cable.c_str();
    *device = fake_varnax.info_device;
    *instance = fake_varnax.info_instance;
}

int jtagvarnax_read(JTAGVARNAX*, char* buffer, unsigned int count) {
    if (fake_varnax.reads.empty()) return 0;
    FAKE_VARNAX_READ& next = fake_varnax.reads.front();
    if (next.failure != 0) {
        int failure = next.failure;
        fake_varnax.reads.pop_front();
        return failure;
    }
    size_t n = std::min<size_t>(count, next.bytes.size());
    std::memcpy(buffer, next.bytes.data(), n);
    next.bytes.erase(0, n);
    if (next.bytes.empty()) fake_varnax.reads.pop_front();
    return static_cast<int>(n);
}

int jtagvarnax_write(JTAGVARNAX*, const char* data, unsigned int count) {
    if (fake_varnax.write_failure != 0) return fake_varnax.write_failure;
    unsigned int n = count;
    if (fake_varnax.write_limit >= 0) n = std::min<unsigned int>(n, fake_varnax.write_limit);
    fake_varnax.written.append(data, n);
    return static_cast<int>(n);
}

int jtagvarnax_wait_open(JTAGVARNAX*) {
    ++fake_varnax.wait_opens;
    return 0;
}

void jtagvarnax_close(JTAGVARNAX*) {
    ++fake_varnax.closes;
    --fake_varnax.open_links;
}

int jtagvarnax_cable_warning(JTAGVARNAX*) { return 0; }
