// The board model: choosing a JTAG UART, the inventory, and the fault commands.
#include "server/board/board.h"

#include <algorithm>

#include "text/text.h"

namespace {

const char* usage =
    "error: commands: unplug CABLE | plug CABLE | power-off CABLE | power-on CABLE | "
    "drop CABLE DEVICE INSTANCE | interrupt CABLE DEVICE INSTANCE";

// A device the cable has now: for a scanned cable, one its chain answered with last time.
bool on_chain(const CABLE_STATE& cable, int device) {
    return std::find(cable.devices.begin(), cable.devices.end(), device) != cable.devices.end();
}

}  // namespace

std::string UART::label() const {
    return "cable \"" + cable->name + "\" device " + std::to_string(device) + " instance " +
           std::to_string(cfg.instance);
}

std::string UART::quoted_label() const {
    return "\"" + cable->name + "\" " + std::to_string(device) + " " + std::to_string(cfg.instance);
}

BOARD::BOARD(const BOARD_CONFIG& config) {
    for (const CABLE_CONFIG& c : config.cables) {
        m_cables.push_back(std::make_unique<CABLE_STATE>(CABLE_STATE{
            c.name, c.openocd.used, c.plugged && !c.openocd.used, c.powered, c.warning, {}}));
        for (const DEVICE_CONFIG& d : c.devices) {
            m_cables.back()->devices.push_back(d.index);
            for (const UART_CONFIG& u : d.uarts)
                m_uarts.push_back(
                    std::make_unique<UART>(m_uarts.size(), m_cables.back().get(), d.index, u));
        }
    }
}

UART* BOARD::choose(const varnax::OPEN_REQUEST& request, varnax::OPEN_FAILURE* failure) {
    std::vector<CABLE_STATE*> cables;
    for (auto& c : m_cables)
        if (!request.has_cable || c->name == request.cable) cables.push_back(c.get());
    if (request.has_cable && cables.empty())
        for (auto& c : m_cables)
            if (c->name.find(request.cable) != std::string::npos) cables.push_back(c.get());
    if (cables.size() != 1) {
        failure->code = cables.empty() ? varnax::open_no_cable : varnax::open_several_cables;
        for (CABLE_STATE* c : cables)
            failure->text += (failure->text.empty() ? "" : ", ") + c->name;
        return nullptr;
    }
    CABLE_STATE* cable = cables[0];
    if (!cable->plugged || !cable->powered) {
        failure->code =
            !cable->plugged ? varnax::open_cable_unplugged : varnax::open_board_unpowered;
        failure->text = cable->name;
        return nullptr;
    }
    std::vector<UART*> uarts;
    for (auto& u : m_uarts)
        if (u->cable == cable && on_chain(*cable, u->device) &&
            (request.device < 0 || u->device == request.device) &&
            (request.instance < 0 || u->cfg.instance == request.instance))
            uarts.push_back(u.get());
    if (uarts.size() != 1) {
        failure->code = uarts.empty() ? varnax::open_no_uart : varnax::open_several_uarts;
        return nullptr;
    }
    UART* uart = uarts[0];
    if (uart->held) {
        failure->code = varnax::open_in_use;
        failure->text = uart->holder.app_name + ", process " + std::to_string(uart->holder.pid);
        return nullptr;
    }
    return uart;
}

void BOARD::inventory(std::string* out) const {
    for (auto& cable : m_cables) {
        varnax::LIST_CABLE c{cable->name, cable->plugged, cable->powered,
                             static_cast<std::uint8_t>(cable->warning)};
        varnax::encode_list_cable(out, c);
        if (!cable->plugged || !cable->powered) continue;
        for (int device : cable->devices) {
            varnax::encode_list_device(out, device);
            for (auto& u : m_uarts) {
                if (u->cable != cable.get() || u->device != device) continue;
                varnax::LIST_UART entry;
                entry.instance = u->cfg.instance;
                entry.in_use = u->held;
                entry.pid = entry.in_use ? u->holder.pid : 0;
                entry.app_name = entry.in_use ? u->holder.app_name : "";
                varnax::encode_list_uart(out, entry);
            }
        }
    }
    varnax::encode_list_end(out);
}

std::size_t BOARD::chain_found(CABLE_STATE* cable, const std::vector<std::pair<int, int>>& found) {
    std::size_t added = 0;
    cable->devices.clear();
    for (const auto& [device, instance] : found) {
        if (cable->devices.empty() || cable->devices.back() != device)
            cable->devices.push_back(device);
        bool known = false;
        for (auto& u : m_uarts)
            known =
                known || (u->cable == cable && u->device == device && u->cfg.instance == instance);
        if (known) continue;
        UART_CONFIG config;
        config.instance = instance;
        // Deep enough that a scan's worth of bytes waits on either side while the next one runs.
        config.in_depth = config.out_depth = 4096;
        m_uarts.push_back(std::make_unique<UART>(m_uarts.size(), cable, device, config));
        ++added;
    }
    cable->plugged = true;
    return added;
}

CABLE_STATE* BOARD::find_cable(const std::string& name) {
    for (auto& c : m_cables)
        if (c->name == name) return c.get();
    return nullptr;
}

UART* BOARD::find_uart(const std::vector<std::string>& words, std::string* error) {
    long device = 0, instance = 0;
    if (words.size() != 4 || !text_decimal_int(words[2], 0, 999999, &device) ||
        !text_decimal_int(words[3], 0, 999999, &instance)) {
        *error = "error: usage: " + words[0] + " CABLE DEVICE INSTANCE";
        return nullptr;
    }
    for (auto& u : m_uarts)
        if (u->cable->name == words[1] && u->device == device && u->cfg.instance == instance)
            return u.get();
    *error = "error: no JTAG UART \"" + words[1] + "\" " + words[2] + " " + words[3];
    return nullptr;
}

std::string BOARD::command(const std::string& line, FAULT* fault) {
    std::vector<std::string> w;
    std::string error;
    if (!text_split_words(line, &w, &error)) return "error: " + error;
    if (w.empty()) return usage;
    const std::string& verb = w[0];
    if (verb == "drop" || verb == "interrupt") {
        UART* uart = find_uart(w, &error);
        if (uart == nullptr) return error;
        if (!uart->held) return "error: nobody has that JTAG UART open";
        fault->kind = verb == "drop" ? FAULT::KIND::drop : FAULT::KIND::interrupt;
        fault->uart = uart;
        return "ok";
    }
    bool on = verb == "plug" || verb == "power-on";
    if (!on && verb != "unplug" && verb != "power-off") return usage;
    if (w.size() != 2) return "error: usage: " + verb + " CABLE";
    CABLE_STATE* cable = find_cable(w[1]);
    if (cable == nullptr) return "error: no cable \"" + w[1] + "\"";
    fault->kind = FAULT::KIND::cable;
    fault->cable = cable;
    fault->power = verb == "power-on" || verb == "power-off";
    fault->on = on;
    (fault->power ? cable->powered : cable->plugged) = on;
    return "ok";
}

void BOARD::reset(UART* uart) {
    uart->out_fifo.clear();
    uart->in_fifo.clear();
    uart->drop_when_drained = false;
}
