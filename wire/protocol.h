// The wire protocol between the JTAG UART access library and the local JTAG server: greeting,
// framing, message types, encoders and a decoder that copes with bytes split anyhow.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace varnax {

constexpr std::uint32_t protocol_version = 1;
// Every connection starts with these four bytes from each side, then the version (u32, LE).
constexpr char greeting_magic[4] = {'J', 'V', 'N', 'X'};
constexpr std::size_t greeting_size = 8;
// Frame header: type (u8), reserved (u8, 0), payload length (u16, LE).
constexpr std::size_t header_size = 4;
constexpr std::size_t max_payload = 4096;
constexpr std::size_t max_text = 1024;  // cable names, application names, error texts
constexpr std::uint16_t default_port = 47011;
// Where clients look for the server unless told otherwise; its port is default_port.
constexpr const char* default_address = "127.0.0.1:47011";
// Whether an IP address (4 or 16 bytes, in network order) is on this machine: 127.0.0.0/8, ::1,
// or 127.0.0.0/8 written as an IPv6 address (::ffff:127.x.y.z). A client elsewhere must prove
// the shared secret, and so must a server elsewhere.
bool is_loopback(const unsigned char* ip, std::size_t size);
// Each interruption of the link is delivered to the client's reader as this many 0xFF bytes.
constexpr std::size_t interrupt_size = 10;
// The random challenges of the proof of the shared secret, and an HMAC-SHA256 proof.
constexpr std::size_t challenge_size = 32;
constexpr std::size_t proof_size = 32;

enum MESSAGE_TYPE : std::uint8_t {
    msg_open = 1,       // client: choose and claim a JTAG UART
    msg_open_ok = 2,    // server: the link is open
    msg_open_fail = 3,  // server: why not (error code -2..-8 and a text)
    msg_data = 4,       // either way: bytes of the JTAG UART stream, within the peer's credit
    msg_credit = 5,     // either way: the sender may now send so many more data bytes
    msg_interrupt = 6,  // server: the link was interrupted (the client delivers ten 0xFF bytes)
    msg_link_lost = 7,  // server: the link is gone (text says why); the connection ends
    // A client that sends LIST instead of OPEN (after proving the shared secret, when asked)
    // gets the server's whole inventory, one frame per cable, device and JTAG UART in that
    // order (each belongs to the one above), then LIST_END; then the connection ends. Nothing
    // is opened.
    msg_list = 8,             // client: describe every cable, device and JTAG UART
    msg_list_cable = 9,       // server: a cable; no devices follow when it is unplugged or dark
    msg_list_device = 10,     // server: a device on the cable above
    msg_list_uart = 11,       // server: a JTAG UART of the device above, and who has it open
    msg_list_end = 12,        // server: the inventory is complete
    msg_auth_challenge = 16,  // server: prove the shared secret first (the server's challenge)
    msg_auth_proof = 17,      // client: its own challenge and its proof
    msg_auth_ok = 18,         // server: the proof holds; the server's own proof
    msg_auth_fail = 19,       // server: the proof is refused (text says why); the connection ends
};

// Which side's messages a decoder accepts.
enum class PEER { client, server };

struct OPEN_REQUEST {
    bool has_cable = false;
    std::string cable;
    std::int32_t device = -1;
    std::int32_t instance = -1;
    std::uint32_t pid = 0;
    std::string app_name;
};

struct OPEN_REPLY {
    std::string cable;
    std::int32_t device = 0;
    std::int32_t instance = 0;
    std::uint8_t warning = 0;        // 0 supported, 1 unknown, 2 unsupported
    std::uint32_t write_credit = 0;  // room in the JTAG UART's input FIFO
};

// Why an open fails: the access library's error codes, which its public header gives the same
// values.
enum OPEN_FAILURE_CODE : std::int32_t {
    // The server will not serve this connection at all (a client from another machine where
    // only this one is served, or too many connections): the library's "no server".
    open_refused = -1,
    open_several_cables = -2,   // more than one cable matches
    open_no_cable = -3,         // no cable (matching)
    open_cable_unplugged = -4,  // the cable is not plugged in
    open_board_unpowered = -5,  // the board is not connected or not powered
    open_in_use = -6,           // another application has the JTAG UART open
    open_several_uarts = -7,    // more than one JTAG UART, and none chosen
    open_no_uart = -8,          // no JTAG UART matches
};

struct OPEN_FAILURE {
    std::int32_t code = 0;  // an OPEN_FAILURE_CODE
    std::string text;
};

struct LIST_CABLE {
    std::string name;
    bool plugged = true;
    bool powered = true;
    std::uint8_t warning = 0;  // 0 supported, 1 unknown, 2 unsupported
};

struct LIST_UART {
    std::int32_t instance = 0;
    bool in_use = false;
    std::uint32_t pid = 0;  // the holder's, as its OPEN gave them
    std::string app_name;
};

// One decoded frame. The payload points into the decoder and stays valid until the next call.
struct FRAME {
    std::uint8_t type = 0;
    const unsigned char* payload = nullptr;
    std::size_t size = 0;
};

enum class DECODE { need_more, greeting, frame, error };

// Splits a byte stream into the greeting and frames. Feed it whatever arrived (any split),
// then call next() until it returns need_more. After error it stays in error.
class DECODER {
public:
    explicit DECODER(PEER from);
    void append(const void* data, std::size_t size);
    // greeting: *version is set; frame: *frame is set; error: error() says why.
    DECODE next(std::uint32_t* version, FRAME* frame);
    const std::string& error() const { return m_error; }
    // Bytes received but not yet decoded.
    std::size_t buffered() const { return m_buffer.size() - m_start; }

private:
    DECODE fail(const std::string& why);
    bool check_header(std::uint8_t type, std::size_t size);
    PEER m_from;
    bool m_greeted = false;
    std::string m_buffer;
    std::size_t m_start = 0;  // first byte not yet decoded
    std::string m_error;
};

// Decimal text of a number.
std::string number_text(std::uint64_t value);

void encode_greeting(std::string* out, std::uint32_t version);
void encode_open(std::string* out, const OPEN_REQUEST& request);
void encode_open_ok(std::string* out, const OPEN_REPLY& reply);
void encode_open_fail(std::string* out, const OPEN_FAILURE& failure);
// size must be 1..max_payload.
void encode_data(std::string* out, const void* data, std::size_t size);
// Adds to the data frame that starts at out[frame_at], which must be the last frame in *out,
// as many of the bytes as it has room for; returns how many it took.
std::size_t extend_data(std::string* out, std::size_t frame_at, const void* data, std::size_t size);
void encode_credit(std::string* out, std::uint32_t count);
void encode_interrupt(std::string* out);
void encode_link_lost(std::string* out, const std::string& why);
void encode_list(std::string* out);
void encode_list_cable(std::string* out, const LIST_CABLE& cable);
void encode_list_device(std::string* out, std::int32_t index);
void encode_list_uart(std::string* out, const LIST_UART& uart);
void encode_list_end(std::string* out);
// challenge and proofs: challenge_size and proof_size bytes.
void encode_auth_challenge(std::string* out, const std::string& challenge);
void encode_auth_proof(std::string* out, const std::string& challenge, const std::string& proof);
void encode_auth_ok(std::string* out, const std::string& proof);
void encode_auth_fail(std::string* out, const std::string& why);

// Payload parsers: false when the payload is malformed (short, long, text too long).
bool parse_open(const FRAME& frame, OPEN_REQUEST* request);
bool parse_open_ok(const FRAME& frame, OPEN_REPLY* reply);
bool parse_open_fail(const FRAME& frame, OPEN_FAILURE* failure);
// Credit frames carry a count of at least 1.
bool parse_credit(const FRAME& frame, std::uint32_t* count);
bool parse_link_lost(const FRAME& frame, std::string* why);
bool parse_list_cable(const FRAME& frame, LIST_CABLE* cable);
bool parse_list_device(const FRAME& frame, std::int32_t* index);
bool parse_list_uart(const FRAME& frame, LIST_UART* uart);
bool parse_auth_challenge(const FRAME& frame, std::string* challenge);
bool parse_auth_proof(const FRAME& frame, std::string* challenge, std::string* proof);
bool parse_auth_ok(const FRAME& frame, std::string* proof);
bool parse_auth_fail(const FRAME& frame, std::string* why);

}  // namespace varnax
