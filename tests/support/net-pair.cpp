// Network namespaces for tests of clients on another address (Linux).
#include "tests/support/net-pair.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "tests/support/process-harness.h"

namespace {

// Runs `ip` with these words; its exit status, or not_ended when it could not run or outlived
// 10 seconds.
EXIT_STATUS run_ip(const std::vector<std::string>& words) {
    CHILD_SETUP setup;
    setup.input = CHILD_SETUP::STREAM::null;
    setup.output = CHILD_SETUP::STREAM::null;
    setup.error = CHILD_SETUP::STREAM::null;
    CHILD_PROCESS ip("ip", words, setup);
    return ip.wait_exit(std::chrono::seconds(10));
}

std::vector<std::string> words_of(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

}  // namespace

NET_PAIR::NET_PAIR() {
    if (geteuid() != 0) {
        m_why = "network namespaces need root";
        return;
    }
    std::string id = std::to_string(getpid() % 100000);
    m_server = "varnax-srv-" + id;
    m_client = "varnax-cli-" + id;
    std::string net = "10.251." + std::to_string(getpid() % 250) + ".";
    m_server_host = net + "1";
    m_client_host = net + "2";
    std::string veth_server = "vxs" + id, veth_client = "vxc" + id;
    m_made_server = ip("netns add " + m_server);
    m_made_client = m_made_server && ip("netns add " + m_client);
    if (!m_made_client) {
        m_why = "cannot make network namespaces here (ip netns add failed)";
        return;
    }
    bool ok = ip("link add " + veth_server + " netns " + m_server + " type veth peer name " +
                 veth_client + " netns " + m_client) &&
              ip("-n " + m_server + " addr add " + m_server_host + "/30 dev " + veth_server) &&
              ip("-n " + m_client + " addr add " + m_client_host + "/30 dev " + veth_client) &&
              ip("-n " + m_server + " link set " + veth_server + " up") &&
              ip("-n " + m_client + " link set " + veth_client + " up") &&
              ip("-n " + m_server + " link set lo up") && ip("-n " + m_client + " link set lo up");
    if (!ok) m_why = "cannot join the network namespaces with a veth pair";
}

NET_PAIR::~NET_PAIR() {
    // Removing a namespace removes its end of the veth pair, and so the pair.
    if (m_made_client) ip("netns del " + m_client);
    if (m_made_server) ip("netns del " + m_server);
}

bool NET_PAIR::ip(const std::string& arguments) {
    return run_ip(words_of(arguments)) == exited(0);
}

NET_SCOPE::NET_SCOPE(const NET_PAIR& pair, NET_PAIR::SIDE side) {
    m_home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = open(("/run/netns/" + pair.name(side)).c_str(), O_RDONLY | O_CLOEXEC);
    m_entered = m_home >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (target >= 0) close(target);
}

NET_SCOPE::~NET_SCOPE() {
    if (m_entered && setns(m_home, CLONE_NEWNET) != 0) std::abort();  // never run on elsewhere
    if (m_home >= 0) close(m_home);
}
