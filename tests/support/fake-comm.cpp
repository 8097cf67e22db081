// FAKE_COMM: scripted reads, recorded writes.
#include "tests/support/fake-comm.h"

#include <algorithm>
#include <cstring>

void FAKE_COMM::feed(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reads.push_back({bytes, 0});
}

void FAKE_COMM::feed_result(int result) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reads.push_back({std::string(), result});
}

void FAKE_COMM::when_drained(int result) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_drained_result = result;
}

void FAKE_COMM::take_at_most(unsigned int n) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_take_at_most = n;
}

void FAKE_COMM::script_write(int result) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_write_results.push_back(result);
}

void FAKE_COMM::on_call(std::function<void(int)> hook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hook = std::move(hook);
}

std::string FAKE_COMM::written() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_written;
}

std::vector<std::string> FAKE_COMM::offers() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_offers;
}

int FAKE_COMM::reads() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_read_calls;
}

int FAKE_COMM::writes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_write_calls;
}

void FAKE_COMM::run_hook() {
    std::function<void(int)> hook;
    int calls_before;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        hook = m_hook;
        calls_before = m_read_calls + m_write_calls;
    }
    if (hook) hook(calls_before);
}

int FAKE_COMM::read(char* buffer, unsigned int count) {
    run_hook();
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_read_calls;
    if (m_reads.empty()) return m_drained_result;
    SCRIPTED_READ& next = m_reads.front();
    if (next.bytes.empty()) {
        int result = next.result;
        m_reads.pop_front();
        return result;
    }
    size_t n = std::min<size_t>(count, next.bytes.size());
    std::memcpy(buffer, next.bytes.data(), n);
    next.bytes.erase(0, n);
    if (next.bytes.empty()) m_reads.pop_front();
    return static_cast<int>(n);
}

int FAKE_COMM::write(const char* data, unsigned int count) {
    run_hook();
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_write_calls;
    m_offers.emplace_back(data, count);
    unsigned int limit = m_take_at_most;
    if (!m_write_results.empty()) {
        int scripted = m_write_results.front();
        m_write_results.pop_front();
        if (scripted < 0) return scripted;
        limit = static_cast<unsigned int>(scripted);
    }
    unsigned int n = std::min(count, limit);
    m_written.append(data, n);
    return static_cast<int>(n);
}
