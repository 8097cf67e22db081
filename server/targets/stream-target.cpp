// Moving bytes on a target's stream without waiting.
#include "server/targets/stream-target.h"

#include <cstring>

#include "server/targets/target-program.h"

void STREAM_TARGET::attach(int read_fd, int write_fd) {
    m_read_fd = read_fd;
    m_write_fd = write_fd;
    m_readable = m_writable = false;
}

void STREAM_TARGET::close_stream() {
    target_close(m_read_fd);
    if (m_write_fd != m_read_fd) target_close(m_write_fd);
    m_read_fd = m_write_fd = -1;
    m_ahead_start = m_ahead_end = 0;
    // Nothing is left to read or write: the loop must not keep coming back for it.
    m_readable = m_writable = false;
}

long STREAM_TARGET::read(char* buffer, std::size_t size) {
    if (m_ahead_start == m_ahead_end && size < read_ahead_size && m_read_fd >= 0 && m_readable) {
        long n = target_read(m_read_fd, m_ahead, read_ahead_size);
        if (n == 0) m_readable = false;
        if (n < 0) close_stream();
        if (n <= 0) return n;
        m_ahead_start = 0;
        m_ahead_end = std::size_t(n);
    }
    if (m_ahead_start < m_ahead_end) {
        std::size_t n = m_ahead_end - m_ahead_start < size ? m_ahead_end - m_ahead_start : size;
        std::memcpy(buffer, m_ahead + m_ahead_start, n);
        m_ahead_start += n;
        return long(n);
    }
    if (m_read_fd < 0 || !m_readable) return 0;
    long n = target_read(m_read_fd, buffer, size);
    if (n == 0) m_readable = false;
    if (n < 0) close_stream();
    return n;
}

long STREAM_TARGET::write(const char* data, std::size_t size) {
    if (m_write_fd < 0 || !m_writable) return 0;
    long n = target_write(m_write_fd, data, size);
    if (n == 0) m_writable = false;
    if (n < 0) close_stream();
    return n;
}

void STREAM_TARGET::waits(bool want_read, bool want_write, std::vector<TARGET_WAIT>* out) const {
    if (m_read_fd >= 0 && want_read && !m_readable && m_ahead_start == m_ahead_end)
        out->push_back(TARGET_WAIT{m_read_fd, true, false});
    // An unplugged device is noticed even while its output waits for FIFO room, so the next
    // open finds the device plugged in by then, not the one that went away.
    else if (m_read_fd >= 0 && watch_hangup())
        out->push_back(TARGET_WAIT{m_read_fd, false, false});
    if (m_write_fd >= 0 && want_write && !m_writable)
        out->push_back(TARGET_WAIT{m_write_fd, false, true});
}

bool STREAM_TARGET::ready(bool want_read, bool want_write) const {
    return (m_read_fd >= 0 && (m_readable || m_ahead_start < m_ahead_end) && want_read) ||
           (m_write_fd >= 0 && m_writable && want_write);
}

TARGET_NEWS STREAM_TARGET::event(const TARGET_WAIT& wait, bool hangup) {
    if (wait.read) m_readable = true;
    if (wait.write) m_writable = true;
    if (!wait.read && !wait.write && hangup && m_read_fd >= 0) {
        close_stream();
        return TARGET_NEWS{TARGET_NEWS::KIND::lost, lost_text()};
    }
    return {};
}
