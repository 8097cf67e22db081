// What every target with a byte stream shares: the stream's handles (one socket both ways, or
// a pipe each way) and whether the loop has found them ready. The handles come from the
// operating system's part (target-program.h, net.h, serial-port.h); nothing here calls it.
#pragma once
#include <string>

#include "server/log.h"
#include "server/targets/target.h"

class STREAM_TARGET : public TARGET {
public:
    ~STREAM_TARGET() override { close_stream(); }
    void stop(int) override { close_stream(); }
    long read(char* buffer, std::size_t size) override;
    long write(const char* data, std::size_t size) override;
    void waits(bool want_read, bool want_write, std::vector<TARGET_WAIT>* out) const override;
    bool ready(bool want_read, bool want_write) const override;
    TARGET_NEWS event(const TARGET_WAIT& wait, bool hangup) override;

protected:
    STREAM_TARGET(const std::string& label, SERVER_LOG& log) : m_label(label), m_log(log) {}
    void attach(int read_fd, int write_fd);
    void close_stream();
    bool streaming() const { return m_read_fd >= 0; }
    // A device that can vanish is watched for that even while its output waits for room.
    virtual bool watch_hangup() const { return false; }

    std::string m_label;
    SERVER_LOG& m_log;

private:
    int m_read_fd = -1;
    int m_write_fd = -1;
    bool m_readable = false;  // poll said so, and no read has since come back empty
    bool m_writable = false;
    // Output read from the stream ahead of the FIFO's room: a FIFO of a few dozen bytes would
    // otherwise cost a system call per few dozen bytes. It holds what the stream's own buffer
    // would have held, in order, and goes with the stream.
    static constexpr std::size_t read_ahead_size = 4096;
    char m_ahead[read_ahead_size];
    std::size_t m_ahead_start = 0;
    std::size_t m_ahead_end = 0;
};
