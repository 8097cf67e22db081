// A listening socket whose first connection goes to the test's code.
#include "tests/support/one-connection-server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/sim-server.h"

ONE_CONNECTION_SERVER::ONE_CONNECTION_SERVER(const std::string& host,
                                             std::function<void(int fd)> serve,
                                             std::chrono::milliseconds deadline) {
    m_listen = listen_on_free_port(host, &m_address);
    if (m_listen < 0) return;
    m_thread = std::thread([this, serve = std::move(serve), deadline] {
        pollfd p{m_listen, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(deadline.count())) != 1) return;
        int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) serve(fd);
    });
}

ONE_CONNECTION_SERVER::~ONE_CONNECTION_SERVER() {
    if (m_thread.joinable()) m_thread.join();
    if (m_listen >= 0) close(m_listen);
}
