// ONE_CONNECTION_SERVER: a test's stand-in for a server, on a free port of a local address. It
// takes the first connection and hands it (non-blocking) to the test's code on its own thread,
// which owns it from then on.
//
//     ONE_CONNECTION_SERVER fake("127.0.0.1", [](int fd) { ...; close(fd); });
//     run_client(fake.address());
//
// A connection that has not come after the deadline is given up. The destructor waits for the
// thread and closes the listening socket.
#pragma once
#include <chrono>
#include <functional>
#include <string>
#include <thread>

class ONE_CONNECTION_SERVER {
public:
    ONE_CONNECTION_SERVER(const std::string& host, std::function<void(int fd)> serve,
                          std::chrono::milliseconds deadline = std::chrono::seconds(20));
    ~ONE_CONNECTION_SERVER();
    ONE_CONNECTION_SERVER(const ONE_CONNECTION_SERVER&) = delete;
    ONE_CONNECTION_SERVER& operator=(const ONE_CONNECTION_SERVER&) = delete;

    // "HOST:PORT"; empty when no listening socket could be made.
    const std::string& address() const { return m_address; }

private:
    int m_listen = -1;
    std::string m_address;
    std::thread m_thread;
};
