// Tests of opening JTAG UARTs through the library against a real server: every error code,
// automatic choice, link information and cable warnings.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "client/jtag_varnax.h"
#include "tests/e2e/link-test-util.h"
#include "tests/support/sim-server.h"

namespace {

const char* boards =
    "cable \"USB-Cable [USB-0]\" warning=0\n"
    "device 1\n"
    "uart 0 echo\n"
    "cable \"USB-Cable [USB-1]\" warning=1\n"
    "device 1\n"
    "uart 0 echo\n"
    "uart 1 echo\n"
    "device 2\n"
    "uart 0 echo\n"
    "cable USB warning=2\n"
    "device 3\n"
    "uart 4 echo\n"
    "cable \"Loose cable\" plugged=no\n"
    "device 1\n"
    "uart 0 echo\n"
    "cable \"Dark board\" powered=no\n"
    "device 1\n"
    "uart 0 echo\n";

class OpenLink : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.start(boards, {"--quiet"})) << m_server.error();
        m_server.use_in_this_process();
    }
    SIM_SERVER m_server;
};

TEST_F(OpenLink, ReportsEachReasonForRefusing) {
    struct CASE {
        const char* cable;
        int device, instance;
        JTAGVARNAX_ERROR want;
        const char* found;  // cable name found when the open succeeds
        int found_device, found_instance;
    } cases[] = {
        {nullptr, -1, -1, JTAGVARNAX_SEVERAL_CABLES, nullptr, 0, 0},
        {"", -1, -1, JTAGVARNAX_SEVERAL_CABLES, nullptr, 0, 0},
        {"Cable", -1, -1, JTAGVARNAX_SEVERAL_CABLES, nullptr, 0, 0},
        {"no such cable", -1, -1, JTAGVARNAX_NO_CABLE, nullptr, 0, 0},
        {"Loose cable", -1, -1, JTAGVARNAX_CABLE_UNPLUGGED, nullptr, 0, 0},
        {"Loose", 9, 9, JTAGVARNAX_CABLE_UNPLUGGED, nullptr, 0, 0},  // cable errors come first
        {"Dark", -1, -1, JTAGVARNAX_BOARD_UNPOWERED, nullptr, 0, 0},
        {"[USB-1]", -1, -1, JTAGVARNAX_SEVERAL_UARTS, nullptr, 0, 0},
        {"[USB-1]", 1, -1, JTAGVARNAX_SEVERAL_UARTS, nullptr, 0, 0},  // device 1 has two
        {"[USB-1]", -1, 0, JTAGVARNAX_SEVERAL_UARTS, nullptr, 0, 0},  // instance 0 on two devices
        {"[USB-1]", 3, -1, JTAGVARNAX_NO_UART, nullptr, 0, 0},
        {"[USB-1]", 1, 5, JTAGVARNAX_NO_UART, nullptr, 0, 0},
        {"[USB-1]", 2, -1, JTAGVARNAX_OK, "USB-Cable [USB-1]", 2, 0},
        {"[USB-1]", -1, 1, JTAGVARNAX_OK, "USB-Cable [USB-1]", 1, 1},
        {"USB-Cable [USB-0]", -1, -1, JTAGVARNAX_OK, "USB-Cable [USB-0]", 1, 0},
        {"USB", -1, -1, JTAGVARNAX_OK, "USB", 3, 4},  // an exact name beats names containing it
    };
    for (const CASE& c : cases) {
        std::string label = std::string(c.cable ? c.cable : "(null)") + " " +
                            std::to_string(c.device) + " " + std::to_string(c.instance);
        OPEN_LINK link(c.cable, c.device, c.instance);
        const char* text = nullptr;
        EXPECT_EQ(jtagvarnax_get_error(&text), c.want) << label;
        EXPECT_NE(text, nullptr) << label;
        EXPECT_EQ(bool(link), c.want == JTAGVARNAX_OK) << label;
        if (!link) continue;
        const char* cable = nullptr;
        int device = -1, instance = -1;
        jtagvarnax_get_info(link.get(), &cable, &device, &instance);
        EXPECT_STREQ(cable, c.found) << label;
        EXPECT_EQ(device, c.found_device) << label;
        EXPECT_EQ(instance, c.found_instance) << label;
        EXPECT_EQ(jtagvarnax_wait_open(link.get()), 0) << label;
    }
}

TEST_F(OpenLink, SaysWhichApplicationHoldsAJtagUart) {
    OPEN_LINK first("USB-Cable [USB-0]", -1, -1, "first-app");
    ASSERT_TRUE(first) << last_open_error();
    OPEN_LINK second("USB-Cable [USB-0]", 1, 0, "second-app");
    EXPECT_FALSE(second);
    const char* text = nullptr;
    EXPECT_EQ(jtagvarnax_get_error(&text), JTAGVARNAX_IN_USE);
    EXPECT_EQ(std::string(text), "first-app, process " + std::to_string(getpid()));
    // Another JTAG UART on another cable is free meanwhile.
    OPEN_LINK other("USB", -1, -1);
    EXPECT_TRUE(other) << last_open_error();
    first.close();
    OPEN_LINK third("USB-Cable [USB-0]", -1, -1, "third-app");
    EXPECT_TRUE(third) << "the JTAG UART stays taken after its owner closed it: "
                       << last_open_error();
}

TEST_F(OpenLink, KeepsControlCharactersOutOfTheInUseText) {
    OPEN_LINK first("USB", -1, -1, "evil\x1b[2J\r\n");
    ASSERT_TRUE(first) << last_open_error();
    OPEN_LINK second("USB", -1, -1);
    const char* text = nullptr;
    EXPECT_EQ(jtagvarnax_get_error(&text), JTAGVARNAX_IN_USE);
    EXPECT_EQ(std::string(text), "evil\\x1b[2J\\x0d\\x0a, process " + std::to_string(getpid()));
}

TEST_F(OpenLink, OpensFromSeveralThreadsAtOnce) {
    // Each thread opens its own JTAG UART (or fails on purpose) and reads the shared error
    // state meanwhile; the sanitizer builds catch any unguarded access.
    const char* cables[] = {"[USB-0]", "USB", "no such cable", "Dark"};
    std::vector<std::thread> threads;
    for (const char* cable : cables) {
        threads.emplace_back([cable] {
            for (int i = 0; i < 20; ++i) {
                OPEN_LINK link(cable, -1, -1);
                const char* text = nullptr;
                jtagvarnax_get_error(&text);
                ASSERT_NE(text, nullptr);
                std::string copy = text;  // the text stays readable while others open
                if (link) {
                    EXPECT_GE(jtagvarnax_write(link.get(), "x", 1), 0);
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
}

TEST_F(OpenLink, ReportsTheCableWarningOfTheConfiguration) {
    struct CASE {
        const char* cable;
        int warning;
    } cases[] = {{"[USB-0]", 0}, {"[USB-1]", 1}, {"USB", 2}};
    for (const CASE& c : cases) {
        OPEN_LINK link(c.cable, c.cable[0] == '[' ? 1 : -1, c.cable[0] == '[' ? 0 : -1);
        ASSERT_TRUE(link) << c.cable << ": " << last_open_error();
        EXPECT_EQ(jtagvarnax_cable_warning(link.get()), c.warning) << c.cable;
    }
}

TEST(OpenLinkAlone, ChoosesTheOnlyJtagUartWhenNothingIsGiven) {
    SIM_SERVER server;
    ASSERT_TRUE(
        server.start("cable \"Only cable\" warning=1\ndevice 4\nuart 2 echo\n", {"--quiet"}))
        << server.error();
    server.use_in_this_process();
    OPEN_LINK link(nullptr, -1, -1);
    ASSERT_TRUE(link) << last_open_error();
    const char* text = nullptr;
    EXPECT_EQ(jtagvarnax_get_error(&text), JTAGVARNAX_OK);
    EXPECT_STREQ(text, "");
    const char* cable = nullptr;
    int device = -1, instance = -1;
    jtagvarnax_get_info(link.get(), &cable, &device, &instance);
    EXPECT_STREQ(cable, "Only cable");
    EXPECT_EQ(device, 4);
    EXPECT_EQ(instance, 2);
    EXPECT_EQ(jtagvarnax_cable_warning(link.get()), 1);
}

TEST(OpenLinkAlone, FailsWithNoServerWhenNothingListens) {
    SIM_SERVER server;
    ASSERT_TRUE(server.start("cable c\ndevice 1\nuart 0 echo\n", {"--quiet"})) << server.error();
    server.use_in_this_process();
    ASSERT_TRUE(server.stop());
    OPEN_LINK link(nullptr, -1, -1);
    EXPECT_FALSE(link);
    const char* text = nullptr;
    EXPECT_EQ(jtagvarnax_get_error(&text), JTAGVARNAX_NO_SERVER);
    EXPECT_NE(std::string(text).find(server.address()), std::string::npos) << text;

    // Each malformed address is refused with a text that says what is wrong with it.
    const struct {
        const char* address;
        const char* text;
    } cases[] = {
        {"not an address",
         "the server address \"not an address\" has no port: write it as HOST:PORT, for "
         "example 127.0.0.1:47011"},
        {"127.0.0.1:99999",
         "the port 99999 in the server address \"127.0.0.1:99999\" is out of range (1 to 65535)"},
        {"127.0.0.1:0000000080",
         "the port \"0000000080\" in the server address \"127.0.0.1:0000000080\" is not a port "
         "number (it has a leading zero)"},
        {"127.0.0.1:", "the server address \"127.0.0.1:\" has no port after the colon"},
        {"1.2.3:80",
         "the host \"1.2.3\" in the server address \"1.2.3:80\" is not a host name, a dotted "
         "IPv4 address or an IPv6 address in brackets"},
        {"::1:80",
         "the server address \"::1:80\" has an IPv6 address without brackets: write it as "
         "[ADDRESS]:80"},
    };
    for (const auto& c : cases) {
        setenv("JTAG_VARNAX_SERVER", c.address, 1);
        OPEN_LINK bad(nullptr, -1, -1);
        EXPECT_FALSE(bad);
        EXPECT_EQ(jtagvarnax_get_error(&text), JTAGVARNAX_NO_SERVER);
        EXPECT_STREQ(text, c.text);
    }
}

TEST(OpenLinkAlone, FailsOnAnotherProtocolVersion) {
    SIM_SERVER server;
    ASSERT_TRUE(
        server.start("cable c\ndevice 1\nuart 0 echo\n", {"--quiet", "--protocol-version", "2"}))
        << server.error();
    server.use_in_this_process();
    OPEN_LINK link(nullptr, -1, -1);
    EXPECT_FALSE(link);
    const char* text = nullptr;
    EXPECT_EQ(jtagvarnax_get_error(&text), JTAGVARNAX_INCOMPATIBLE);
    EXPECT_NE(std::string(text).find("version 2"), std::string::npos) << text;
}

// A program started with its standard streams closed must not find its output going into the
// link: the library keeps its connection off descriptors 0 to 2.
TEST_F(OpenLink, NeverTakesAStandardDescriptor) {
    EXPECT_EXIT(
        {
            close(0);
            close(1);
            close(2);
            JTAGVARNAX* link = jtagvarnax_open("USB-Cable [USB-0]", -1, -1, "test");
            int free_standard = 0;
            for (int fd = 0; fd <= 2; ++fd) free_standard += fcntl(fd, F_GETFD) == -1 ? 1 : 0;
            std::_Exit(link == nullptr ? 10 : 3 - free_standard);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
