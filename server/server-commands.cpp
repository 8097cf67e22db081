// The fault commands: unplug and plug a cable, power a board off and on, drop or interrupt a link.
#include <string>
#include <vector>

#include "server/server-state.h"

namespace {

bool parse_index(const std::string& text, int* value) {
    if (text.empty() || text.size() > 6) return false;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *value = v;
    return true;
}

const char* usage =
    "error: commands: unplug CABLE | plug CABLE | power-off CABLE | power-on CABLE | "
    "drop CABLE DEVICE INSTANCE | interrupt CABLE DEVICE INSTANCE";

}  // namespace

CABLE_STATE* SERVER_STATE::find_cable(const std::string& name) {
    for (auto& c : m_cables)
        if (c->name == name) return c.get();
    return nullptr;
}

UART* SERVER_STATE::find_uart(const std::vector<std::string>& words, std::string* error) {
    int device = 0, instance = 0;
    if (words.size() != 4 || !parse_index(words[2], &device) || !parse_index(words[3], &instance)) {
        *error = "error: usage: " + words[0] + " CABLE DEVICE INSTANCE";
        return nullptr;
    }
    for (auto& u : m_uarts)
        if (u->cable->name == words[1] && u->device == device && u->cfg.instance == instance)
            return u.get();
    *error = "error: no JTAG UART \"" + words[1] + "\" " + words[2] + " " + words[3];
    return nullptr;
}

std::string SERVER_STATE::command(const std::string& line) {
    std::vector<std::string> w;
    std::string error;
    if (!config_split(line, &w, &error)) return "error: " + error;
    if (w.empty()) return usage;
    const std::string& verb = w[0];
    if (verb == "drop" || verb == "interrupt") {
        UART* uart = find_uart(w, &error);
        if (uart == nullptr) return error;
        if (uart->owner == nullptr) return "error: nobody has that JTAG UART open";
        log("command: %s", line.c_str());
        if (verb == "drop")
            drop_link(uart->owner, "the link was dropped");
        else
            uart->interrupt_pending = true;
        return "ok";
    }
    bool on = verb == "plug" || verb == "power-on";
    if (!on && verb != "unplug" && verb != "power-off") return usage;
    if (w.size() != 2) return "error: usage: " + verb + " CABLE";
    CABLE_STATE* cable = find_cable(w[1]);
    if (cable == nullptr) return "error: no cable \"" + w[1] + "\"";
    log("command: %s", line.c_str());
    bool power = verb == "power-on" || verb == "power-off";
    (power ? cable->powered : cable->plugged) = on;
    for (auto& u : m_uarts) {
        if (u->cable != cable) continue;
        if (!on && u->owner != nullptr)
            drop_link(u->owner, power ? "the board was powered off" : "the cable was unplugged");
        if (power && on) start_target(u.get());
        if (power && !on) {
            // Switching off resets the board: its programs end and its FIFOs empty.
            stop_target(u.get(), 200);
            u->out_fifo.clear();
            u->in_fifo.clear();
            u->drop_when_drained = false;
        }
    }
    return "ok";
}
