// Encoding and decoding of the library-to-server wire protocol.
#include "wire/protocol.h"

#include <cstdio>
#include <cstring>

namespace varnax {
namespace {

void put_u8(std::string* out, std::uint8_t v) {
    out->push_back(static_cast<char>(v));
}
void put_u16(std::string* out, std::uint16_t v) {
    put_u8(out, static_cast<std::uint8_t>(v & 0xFF));
    put_u8(out, static_cast<std::uint8_t>(v >> 8));
}
void put_u32(std::string* out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) put_u8(out, static_cast<std::uint8_t>(v >> (8 * i)));
}
void put_i32(std::string* out, std::int32_t v) {
    put_u32(out, static_cast<std::uint32_t>(v));
}
// Texts longer than max_text are cut; the receiver rejects longer ones.
void put_text(std::string* out, const std::string& text) {
    std::size_t n = text.size() < max_text ? text.size() : max_text;
    put_u16(out, static_cast<std::uint16_t>(n));
    out->append(text, 0, n);
}

std::uint32_t get_u32_at(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

// Reads fields from a payload, failing (and staying failed) when it runs short.
class READER {
public:
    explicit READER(const FRAME& frame) : m_p(frame.payload), m_left(frame.size) {}
    bool u8(std::uint8_t* v) {
        if (!take(1)) return false;
        *v = m_p[-1];
        return true;
    }
    bool u32(std::uint32_t* v) {
        if (!take(4)) return false;
        *v = get_u32_at(m_p - 4);
        return true;
    }
    bool i32(std::int32_t* v) {
        std::uint32_t u;
        if (!u32(&u)) return false;
        *v = static_cast<std::int32_t>(u);
        return true;
    }
    bool text(std::string* v) {
        if (!take(2)) return false;
        std::size_t n = std::size_t(m_p[-2]) | std::size_t(m_p[-1]) << 8;
        if (n > max_text || !take(n)) return false;
        v->assign(reinterpret_cast<const char*>(m_p - n), n);
        return true;
    }
    bool bytes(std::size_t n, std::string* v) {
        if (!take(n)) return false;
        v->assign(reinterpret_cast<const char*>(m_p - n), n);
        return true;
    }
    bool at_end() const { return m_ok && m_left == 0; }

private:
    bool take(std::size_t n) {
        if (!m_ok || n > m_left) return m_ok = false;
        m_p += n;
        m_left -= n;
        return true;
    }
    const unsigned char* m_p;
    std::size_t m_left;
    bool m_ok = true;
};

void begin_frame(std::string* out, MESSAGE_TYPE type, std::size_t size) {
    put_u8(out, type);
    put_u8(out, 0);
    put_u16(out, static_cast<std::uint16_t>(size));
}

void frame_from(std::string* out, MESSAGE_TYPE type, const std::string& payload) {
    begin_frame(out, type, payload.size());
    out->append(payload);
}

}  // namespace

// Without std::to_string, whose digit table would leave the library as a public symbol.
std::string number_text(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
    return text;
}

DECODER::DECODER(PEER from) : m_from(from) {}

void DECODER::append(const void* data, std::size_t size) {
    if (!m_error.empty()) return;
    // Drop what was decoded before growing, so the buffer stays about one frame long.
    if (m_start > 0) {
        m_buffer.erase(0, m_start);
        m_start = 0;
    }
    m_buffer.append(static_cast<const char*>(data), size);
}

DECODE DECODER::fail(const std::string& why) {
    m_error = why;
    m_buffer.clear();
    m_start = 0;
    return DECODE::error;
}

bool DECODER::check_header(std::uint8_t type, std::size_t size) {
    bool from_client = m_from == PEER::client;
    switch (type) {
        case msg_open:
            return from_client && size <= 13 + 2 * (2 + max_text);
        case msg_open_ok:
            return !from_client && size <= 13 + 2 + max_text;
        case msg_open_fail:
        case msg_link_lost:
            return !from_client && size <= 4 + 2 + max_text;
        case msg_data:
            return size >= 1 && size <= max_payload;
        case msg_credit:
            return size == 4;
        case msg_interrupt:
        case msg_list_end:
            return !from_client && size == 0;
        case msg_list:
            return from_client && size == 0;
        case msg_list_cable:
            return !from_client && size <= 2 + 2 + max_text;
        case msg_list_device:
            return !from_client && size == 4;
        case msg_list_uart:
            return !from_client && size <= 9 + 2 + max_text;
        case msg_auth_challenge:
            return !from_client && size == challenge_size;
        case msg_auth_proof:
            return from_client && size == challenge_size + proof_size;
        case msg_auth_ok:
            return !from_client && size == proof_size;
        case msg_auth_fail:
            return !from_client && size <= 2 + max_text;
        default:
            return false;
    }
}

DECODE DECODER::next(std::uint32_t* version, FRAME* frame) {
    if (!m_error.empty()) return DECODE::error;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(m_buffer.data()) + m_start;
    std::size_t avail = m_buffer.size() - m_start;
    if (!m_greeted) {
        // Reject a wrong start as soon as its first bytes are in (an HTTP request, say).
        std::size_t n = avail < sizeof greeting_magic ? avail : sizeof greeting_magic;
        if (std::memcmp(p, greeting_magic, n) != 0)
            return fail("the peer does not speak this protocol");
        if (avail < greeting_size) return DECODE::need_more;
        *version = get_u32_at(p + 4);
        m_start += greeting_size;
        m_greeted = true;
        return DECODE::greeting;
    }
    if (avail < header_size) return DECODE::need_more;
    std::uint8_t type = p[0];
    std::size_t size = std::size_t(p[2]) | std::size_t(p[3]) << 8;
    if (p[1] != 0 || !check_header(type, size))
        return fail("bad frame (type " + number_text(type) + ", length " + number_text(size) + ")");
    if (avail < header_size + size) return DECODE::need_more;
    frame->type = type;
    frame->payload = p + header_size;
    frame->size = size;
    m_start += header_size + size;
    return DECODE::frame;
}

void encode_greeting(std::string* out, std::uint32_t version) {
    out->append(greeting_magic, sizeof greeting_magic);
    put_u32(out, version);
}

void encode_open(std::string* out, const OPEN_REQUEST& request) {
    std::string p;
    put_u8(&p, request.has_cable ? 1 : 0);
    put_i32(&p, request.device);
    put_i32(&p, request.instance);
    put_u32(&p, request.pid);
    put_text(&p, request.cable);
    put_text(&p, request.app_name);
    frame_from(out, msg_open, p);
}

void encode_open_ok(std::string* out, const OPEN_REPLY& reply) {
    std::string p;
    put_i32(&p, reply.device);
    put_i32(&p, reply.instance);
    put_u8(&p, reply.warning);
    put_u32(&p, reply.write_credit);
    put_text(&p, reply.cable);
    frame_from(out, msg_open_ok, p);
}

void encode_open_fail(std::string* out, const OPEN_FAILURE& failure) {
    std::string p;
    put_i32(&p, failure.code);
    put_text(&p, failure.text);
    frame_from(out, msg_open_fail, p);
}

void encode_data(std::string* out, const void* data, std::size_t size) {
    begin_frame(out, msg_data, size);
    out->append(static_cast<const char*>(data), size);
}

std::size_t extend_data(std::string* out, std::size_t frame_at, const void* data,
                        std::size_t size) {
    unsigned char* header = reinterpret_cast<unsigned char*>(&(*out)[frame_at]);
    std::size_t have = std::size_t(header[2]) | std::size_t(header[3]) << 8;
    if (frame_at + header_size + have != out->size()) return 0;  // not the last frame
    std::size_t add = max_payload - have < size ? max_payload - have : size;
    header[2] = static_cast<unsigned char>((have + add) & 0xFF);
    header[3] = static_cast<unsigned char>((have + add) >> 8);
    out->append(static_cast<const char*>(data), add);
    return add;
}

void encode_credit(std::string* out, std::uint32_t count) {
    begin_frame(out, msg_credit, 4);
    put_u32(out, count);
}

void encode_interrupt(std::string* out) {
    begin_frame(out, msg_interrupt, 0);
}

void encode_link_lost(std::string* out, const std::string& why) {
    std::string p;
    put_i32(&p, 0);
    put_text(&p, why);
    frame_from(out, msg_link_lost, p);
}

void encode_list(std::string* out) {
    begin_frame(out, msg_list, 0);
}

void encode_list_cable(std::string* out, const LIST_CABLE& cable) {
    std::string p;
    put_u8(&p, static_cast<std::uint8_t>((cable.plugged ? 1 : 0) | (cable.powered ? 2 : 0)));
    put_u8(&p, cable.warning);
    put_text(&p, cable.name);
    frame_from(out, msg_list_cable, p);
}

void encode_list_device(std::string* out, std::int32_t index) {
    begin_frame(out, msg_list_device, 4);
    put_i32(out, index);
}

void encode_list_uart(std::string* out, const LIST_UART& uart) {
    std::string p;
    put_i32(&p, uart.instance);
    put_u8(&p, uart.in_use ? 1 : 0);
    put_u32(&p, uart.pid);
    put_text(&p, uart.app_name);
    frame_from(out, msg_list_uart, p);
}

void encode_list_end(std::string* out) {
    begin_frame(out, msg_list_end, 0);
}

void encode_auth_challenge(std::string* out, const std::string& challenge) {
    frame_from(out, msg_auth_challenge, challenge);
}

void encode_auth_proof(std::string* out, const std::string& challenge, const std::string& proof) {
    frame_from(out, msg_auth_proof, challenge + proof);
}

void encode_auth_ok(std::string* out, const std::string& proof) {
    frame_from(out, msg_auth_ok, proof);
}

void encode_auth_fail(std::string* out, const std::string& why) {
    std::string p;
    put_text(&p, why);
    frame_from(out, msg_auth_fail, p);
}

bool parse_open(const FRAME& frame, OPEN_REQUEST* request) {
    READER r(frame);
    std::uint8_t flags = 0;
    bool ok = r.u8(&flags) && r.i32(&request->device) && r.i32(&request->instance) &&
              r.u32(&request->pid) && r.text(&request->cable) && r.text(&request->app_name);
    request->has_cable = (flags & 1) != 0;
    return ok && r.at_end() && flags <= 1;
}

bool parse_open_ok(const FRAME& frame, OPEN_REPLY* reply) {
    READER r(frame);
    bool ok = r.i32(&reply->device) && r.i32(&reply->instance) && r.u8(&reply->warning) &&
              r.u32(&reply->write_credit) && r.text(&reply->cable);
    return ok && r.at_end();
}

bool parse_open_fail(const FRAME& frame, OPEN_FAILURE* failure) {
    READER r(frame);
    return r.i32(&failure->code) && r.text(&failure->text) && r.at_end();
}

bool parse_credit(const FRAME& frame, std::uint32_t* count) {
    READER r(frame);
    return r.u32(count) && r.at_end() && *count > 0;
}

bool parse_link_lost(const FRAME& frame, std::string* why) {
    READER r(frame);
    std::int32_t reserved = 0;
    return r.i32(&reserved) && r.text(why) && r.at_end();
}

bool parse_list_cable(const FRAME& frame, LIST_CABLE* cable) {
    READER r(frame);
    std::uint8_t flags = 0;
    bool ok = r.u8(&flags) && r.u8(&cable->warning) && r.text(&cable->name);
    cable->plugged = (flags & 1) != 0;
    cable->powered = (flags & 2) != 0;
    return ok && r.at_end() && flags <= 3;
}

bool parse_list_device(const FRAME& frame, std::int32_t* index) {
    READER r(frame);
    return r.i32(index) && r.at_end();
}

bool parse_list_uart(const FRAME& frame, LIST_UART* uart) {
    READER r(frame);
    std::uint8_t in_use = 0;
    bool ok =
        r.i32(&uart->instance) && r.u8(&in_use) && r.u32(&uart->pid) && r.text(&uart->app_name);
    uart->in_use = in_use != 0;
    return ok && r.at_end() && in_use <= 1;
}

bool parse_auth_challenge(const FRAME& frame, std::string* challenge) {
    READER r(frame);
    return r.bytes(challenge_size, challenge) && r.at_end();
}

bool parse_auth_proof(const FRAME& frame, std::string* challenge, std::string* proof) {
    READER r(frame);
    return r.bytes(challenge_size, challenge) && r.bytes(proof_size, proof) && r.at_end();
}

bool parse_auth_ok(const FRAME& frame, std::string* proof) {
    READER r(frame);
    return r.bytes(proof_size, proof) && r.at_end();
}

bool parse_auth_fail(const FRAME& frame, std::string* why) {
    READER r(frame);
    return r.text(why) && r.at_end();
}

bool is_loopback(const unsigned char* ip, std::size_t size) {
    static const unsigned char v4_mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (size == 4) return ip[0] == 127;
    if (size != 16) return false;
    bool zeros = true;
    for (std::size_t i = 0; i < 15; ++i) zeros = zeros && ip[i] == 0;
    if (zeros && ip[15] == 1) return true;
    return std::memcmp(ip, v4_mapped, sizeof v4_mapped) == 0 && ip[12] == 127;
}

}  // namespace varnax
