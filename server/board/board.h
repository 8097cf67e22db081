// The board model: cables, the devices on their JTAG chains, and the JTAG UARTs with their two
// FIFOs; choosing a JTAG UART for an open request, the inventory, and the fault commands' effect
// on cables. No descriptors, no processes: what sits behind each JTAG UART is a target, which
// the server core drives.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "server/board-config.h"
#include "server/board/ring-buffer.h"
#include "wire/protocol.h"

struct CABLE_STATE {
    std::string name;
    // A cable behind OpenOCD: its devices are found on its chain, and it counts as plugged in
    // only while that chain answers.
    bool scanned = false;
    bool plugged = true;
    bool powered = true;
    int warning = 0;
    std::vector<int> devices;  // the JTAG chain, in the configuration's order
};

// Who has a JTAG UART open, as its open request named itself.
struct UART_HOLDER {
    std::string app_name;
    std::uint32_t pid = 0;
};

struct UART {
    UART(std::size_t i, CABLE_STATE* c, int d, const UART_CONFIG& u)
        : index(i), cable(c), device(d), cfg(u), out_fifo(u.out_depth), in_fifo(u.in_depth) {}
    std::size_t index;  // its place in the board's list
    CABLE_STATE* cable;
    int device;
    UART_CONFIG cfg;
    RING_BUFFER out_fifo;  // target to host
    RING_BUFFER in_fifo;   // host to target
    bool held = false;
    UART_HOLDER holder;
    bool drop_when_drained = false;  // the target is gone: end the link once its output is out
    std::string drop_why;
    bool interrupt_pending = false;
    std::uint64_t credit_owed = 0;  // FIFO room freed since the holder was last told

    std::string label() const;         // cable "NAME" device D instance I
    std::string quoted_label() const;  // "NAME" D I
};

// What a fault command asks the server to do beyond the board model.
struct FAULT {
    enum class KIND { none, drop, interrupt, cable };
    KIND kind = KIND::none;
    UART* uart = nullptr;          // drop, interrupt
    CABLE_STATE* cable = nullptr;  // cable: it was unplugged, plugged, switched off or on
    bool power = false;            // cable: the board's power changed, not the cable's plug
    bool on = false;               // cable: plugged in or switched on
};

class BOARD {
public:
    explicit BOARD(const BOARD_CONFIG& config);

    std::vector<std::unique_ptr<UART>>& uarts() { return m_uarts; }
    const std::vector<std::unique_ptr<CABLE_STATE>>& cables() const { return m_cables; }
    // A scanned cable's chain answered with these JTAG UARTs (device, instance); the ones not
    // known yet are added at the end of uarts(). Returns how many were added.
    std::size_t chain_found(CABLE_STATE* cable, const std::vector<std::pair<int, int>>& found);
    // A scanned cable's chain is gone: listed and opened as an unplugged cable until found.
    static void chain_lost(CABLE_STATE* cable) { cable->plugged = false; }
    const std::vector<std::unique_ptr<UART>>& uarts() const { return m_uarts; }
    // The one JTAG UART the request names, or null with *failure (its code and text).
    UART* choose(const varnax::OPEN_REQUEST& request, varnax::OPEN_FAILURE* failure);
    // The inventory's frames, as far as a real server could see: the devices of a cable that
    // is unplugged or whose board is off cannot be scanned.
    void inventory(std::string* out) const;
    // One line of the fault-command language. Returns "ok" (then *fault says what else to do,
    // and the cable's state has changed already) or "error: ...".
    std::string command(const std::string& line, FAULT* fault);
    // A board switched off forgets what its FIFOs held.
    static void reset(UART* uart);

private:
    CABLE_STATE* find_cable(const std::string& name);
    UART* find_uart(const std::vector<std::string>& words, std::string* error);

    std::vector<std::unique_ptr<CABLE_STATE>> m_cables;
    std::vector<std::unique_ptr<UART>> m_uarts;
};
