// A fixed-size byte FIFO: the model of one direction of a JTAG UART.
#pragma once
#include <cstddef>
#include <cstring>
#include <vector>

class RING_BUFFER {
public:
    explicit RING_BUFFER(std::size_t depth) : m_bytes(depth) {}
    std::size_t size() const { return m_size; }
    std::size_t room() const { return m_bytes.size() - m_size; }
    std::size_t capacity() const { return m_bytes.size(); }
    // The longest run of stored bytes that is contiguous in memory.
    const char* front(std::size_t* run) const {
        std::size_t to_end = m_bytes.size() - m_head;
        *run = m_size < to_end ? m_size : to_end;
        return m_bytes.data() + m_head;
    }
    // The longest run of free space that is contiguous in memory.
    char* back(std::size_t* run) {
        std::size_t tail = (m_head + m_size) % m_bytes.size();
        std::size_t to_end = m_bytes.size() - tail;
        *run = room() < to_end ? room() : to_end;
        return m_bytes.data() + tail;
    }
    void consumed(std::size_t n) {
        m_head = (m_head + n) % m_bytes.size();
        m_size -= n;
    }
    void produced(std::size_t n) { m_size += n; }
    // Stores all n bytes; the caller checked room().
    void push(const char* data, std::size_t n) {
        while (n > 0) {
            std::size_t run;
            char* at = back(&run);
            if (run > n) run = n;
            std::memcpy(at, data, run);
            produced(run);
            data += run;
            n -= run;
        }
    }
    void clear() { m_head = m_size = 0; }

private:
    std::vector<char> m_bytes;
    std::size_t m_head = 0;
    std::size_t m_size = 0;
};
