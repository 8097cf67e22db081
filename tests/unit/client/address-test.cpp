// The server address rule, the same on every system and in every client.
#include "client/server-address.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(Address, TakesDottedAddressesAndLocalhost) {
    const struct {
        const char* text;
        const char* host;
        std::uint16_t port;
    } cases[] = {
        {"127.0.0.1:47011", "127.0.0.1", 47011},
        {"localhost:1", "127.0.0.1", 1},
        {"0.0.0.0:65535", "0.0.0.0", 65535},
        {"10.20.30.255:80", "10.20.30.255", 80},
        {"lab-host_2.example:47011", "lab-host_2.example", 47011},
        {"[::1]:47011", "::1", 47011},
        {"[fe80::1%eth0]:1", "fe80::1%eth0", 1},
        {"[::ffff:127.0.0.1]:2", "::ffff:127.0.0.1", 2},
    };
    for (const auto& c : cases) {
        std::string host = "unchanged";
        std::uint16_t port = 0;
        std::string why;
        EXPECT_EQ(address_parse(c.text, &host, &port, &why), ADDRESS_ERROR::none) << c.text;
        EXPECT_EQ(host, c.host) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
}

TEST(Address, RefusesWhatTheSystemsWouldNotConnectTo) {
    for (const char* text :
         {"", "127.0.0.1", "127.0.0.1:", ":80", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:8x",
          "127.0.0.1:-1", "1.2.3:80", "1.2.3.4.5:80", "256.0.0.1:80", "01.2.3.4:80", "1..2.3:80",
          " 1.2.3.4:80", "1.2.3.4 :80", "-lab:80", "lab-:80", "lab..pc:80", "lab pc:80",
          "::1:80", "[::1]80", "[]:80", "[lab]:80", "[::1%]:80", "1.2.3.4:99999999999",
          "1.2.3.4:080", "1.2.3.4:0000000080"}) {
        std::string host = "unchanged";
        std::uint16_t port = 7;
        std::string why;
        EXPECT_NE(address_parse(text, &host, &port, &why), ADDRESS_ERROR::none) << text;
        EXPECT_NE(why, "") << text;
        EXPECT_EQ(host, "unchanged") << text;
        EXPECT_EQ(port, 7) << text;
    }
}

}  // namespace
