// NET_PAIR: two network namespaces of this test's own, joined by a veth pair, so a client can
// reach a server from an address that is not loopback without leaving the machine (Linux, root).
//
//   NET_PAIR net;
//   if (!net.ok()) GTEST_SKIP() << net.why();
//   {
//       NET_SCOPE in(net, NET_PAIR::SIDE::server);  // sockets and children made here live there
//       server.start(boards, {"--listen", net.server_host() + ":0", ...});
//   }
//
// The addresses are private ones that exist only inside the two namespaces; the machine's own
// network namespace gets no route to them. The destructor removes both namespaces (and with
// them the veth pair). Every `ip` command runs with a deadline.
#pragma once
#include <string>

class NET_PAIR {
public:
    enum class SIDE { server, client };
    NET_PAIR();
    ~NET_PAIR();
    NET_PAIR(const NET_PAIR&) = delete;
    NET_PAIR& operator=(const NET_PAIR&) = delete;

    // False when this machine does not allow it (not root, no `ip`, no namespaces): why().
    bool ok() const { return m_why.empty(); }
    const std::string& why() const { return m_why; }
    const std::string& server_host() const { return m_server_host; }
    const std::string& client_host() const { return m_client_host; }
    const std::string& name(SIDE side) const { return side == SIDE::server ? m_server : m_client; }

private:
    bool ip(const std::string& arguments);
    std::string m_server, m_client;
    std::string m_server_host, m_client_host;
    bool m_made_server = false, m_made_client = false;
    std::string m_why;
};

// Puts the calling thread into one side's namespace until the scope ends.
class NET_SCOPE {
public:
    NET_SCOPE(const NET_PAIR& pair, NET_PAIR::SIDE side);
    ~NET_SCOPE();
    NET_SCOPE(const NET_SCOPE&) = delete;
    NET_SCOPE& operator=(const NET_SCOPE&) = delete;
    bool entered() const { return m_entered; }

private:
    int m_home = -1;  // the thread's namespace before
    bool m_entered = false;
};
