// Tests of reading the board configuration and of the server's FIFO buffer.
#include "server/board-config.h"

#include <gtest/gtest.h>

#include "server/board/ring-buffer.h"
#include "text/text.h"

namespace {

using namespace std::string_literals;

TEST(BoardConfig, ReadsCablesDevicesAndJtagUarts) {
    const char* text =
        "# two cables\n"
        "cable \"USB-Cable [USB-0]\" plugged=no powered=no warning=2\n"
        "  device 1\n"
        "    uart 0 in=16 out=128 echo   # a comment\n"
        "    uart 3 listen 4000\n"
        "  device 2\n"
        "    uart 0 program /bin/cat \"-u\" \"two words\"\n"
        "cable plain\n"
        "device 0\n"
        "uart 0 demo\n";
    BOARD_CONFIG config;
    std::string error;
    ASSERT_TRUE(config_parse(text, "boards.conf", "/x/demo", &config, &error)) << error;
    ASSERT_EQ(config.cables.size(), 2u);
    const CABLE_CONFIG& c = config.cables[0];
    EXPECT_EQ(c.name, "USB-Cable [USB-0]");
    EXPECT_FALSE(c.plugged);
    EXPECT_FALSE(c.powered);
    EXPECT_EQ(c.warning, 2);
    ASSERT_EQ(c.devices.size(), 2u);
    ASSERT_EQ(c.devices[0].uarts.size(), 2u);
    EXPECT_EQ(c.devices[0].uarts[0].in_depth, 16u);
    EXPECT_EQ(c.devices[0].uarts[0].out_depth, 128u);
    EXPECT_EQ(c.devices[0].uarts[0].kind, TARGET_KIND::echo);
    EXPECT_EQ(c.devices[0].uarts[1].instance, 3);
    EXPECT_EQ(c.devices[0].uarts[1].kind, TARGET_KIND::listen);
    EXPECT_EQ(c.devices[0].uarts[1].port, 4000);
    EXPECT_EQ(c.devices[1].uarts[0].argv,
              (std::vector<std::string>{"/bin/cat", "-u", "two words"}));
    const CABLE_CONFIG& d = config.cables[1];
    EXPECT_TRUE(d.plugged);
    EXPECT_TRUE(d.powered);
    EXPECT_EQ(d.warning, 0);
    EXPECT_EQ(d.devices[0].uarts[0].in_depth, 64u);
    EXPECT_EQ(d.devices[0].uarts[0].argv, std::vector<std::string>{"/x/demo"});
}

TEST(BoardConfig, NamesTheFileAndLineOfEachMistake) {
    struct CASE {
        std::string text;
        const char* where;  // the start of the message
    } cases[] = {
        {"", "b.conf: describes no cable"},
        {"# only a comment\n", "b.conf: describes no cable"},
        {"device 1\n", "b.conf:1: a device must follow a cable"},
        {"cable c\nuart 0 echo\n", "b.conf:2: a JTAG UART must follow a device"},
        {"cable c\ndevice 1\nuart 0\n", "b.conf:3: the target must be"},
        {"cable c\ndevice 1\nuart 0 telnet\n", "b.conf:3: the target must be"},
        {"cable c\ndevice 1\nuart 0 echo extra\n", "b.conf:3: the target must be"},
        {"cable c\ndevice 1\nuart 0 program\n", "b.conf:3: the target must be"},
        {"cable c\ndevice 1\nuart 0 listen 70000\n", "b.conf:3: bad port"},
        {"cable c\ndevice 1\nuart 0 in=0 echo\n", "b.conf:3: bad FIFO setting"},
        {"cable c\ndevice 1\nuart 0 depth=4 echo\n", "b.conf:3: bad FIFO setting"},
        {"cable c\ndevice 1\nuart x echo\n", "b.conf:3: a JTAG UART line needs an instance"},
        {"cable c\ndevice 1\nuart 0 echo\nuart 0 echo\n",
         "b.conf:4: instance 0 is described twice"},
        {"cable c\ndevice 1\ndevice 1\n", "b.conf:3: device 1 is described twice"},
        {"cable c\ncable c\n", "b.conf:2: cable \"c\" is described twice"},
        {"cable c warning=3\n", "b.conf:1: bad cable setting"},
        {"cable c plugged=maybe\n", "b.conf:1: bad cable setting"},
        {"cable\n", "b.conf:1: a cable needs a name"},
        {"cable \"a\x1b[2Jb\"\n", "b.conf:1: a cable name cannot hold control characters"},
        {"cable \"unclosed\n", "b.conf:1: unclosed quote"},
        {"cable c\ndevice -1\n", "b.conf:2: a device line needs one index"},
        {"cable c\n\n\nboard b\n", "b.conf:4: unknown keyword \"board\""},
        {"cable c\ndevice 1\nuart 0 serial\n", "b.conf:3: the target must be"},
        {"cable c\ndevice 1\nuart 0 serial /dev/ttyS0 9600 x\n", "b.conf:3: the target must be"},
        {"cable c\ndevice 1\nuart 0 serial /dev/ttyS0 12345\n", "b.conf:3: bad serial speed"},
        {"cable c\ndevice 1\nuart 0 serial /dev/ttyS0 fast\n", "b.conf:3: bad serial speed"},
        {"cable c\ndevice 1\nuart 0 connect\n", "b.conf:3: the target must be"},
        {"cable c\ndevice 1\nuart 0 connect 127.0.0.1:0\n", "b.conf:3: bad address"},
        {"cable c\ndevice 1\nuart 0 connect 127.0.0.1:\n", "b.conf:3: bad address"},
        {"cable c\ndevice 1\nuart 0 connect 256.0.0.1:80\n", "b.conf:3: bad address"},
        {"cable c\ndevice 1\nuart 0 connect 1.2.3:80\n", "b.conf:3: bad address"},
        {"cable c\ndevice 1\nuart 0 connect 127.0.0.01:80\n", "b.conf:3: bad address"},
        {"cable c\ndevice 1\nuart 0 connect lab_pc!:80\n", "b.conf:3: bad address"},
        {"cable c\ndevice 1\nuart 0 connect ::1:80\n", "b.conf:3: bad address"},
        {"cable c\ndevice 1\nuart 0 connect 127.0.0.1:0080\n", "b.conf:3: bad address"},
        {"cable c\ndevice 1\nuart 0 listen 4000\nuart 1 listen\nuart 2 listen 4000\n",
         "b.conf:5: port 4000 is already the target port of line 3"},
        {"openocd tcl 127.0.0.1:6666\n", "b.conf:1: an openocd line must follow a cable line"},
        {"cable c\nopenocd tcl 127.0.0.1\n", "b.conf:2: bad openocd line"},
        {"cable c\nopenocd config\n", "b.conf:2: bad openocd line"},
        {"cable c\nopenocd usb\n", "b.conf:2: bad openocd line"},
        {"cable c\nopenocd config a.cfg\nopenocd config b.cfg\n",
         "b.conf:3: this cable already has an openocd line"},
        {"cable c\nopenocd config a.cfg\ndevice 0\n", "b.conf:3: the devices of a cable behind"},
        {"cable c\ndevice 0\nopenocd config a.cfg\n",
         "b.conf:3: a cable with devices cannot also have an openocd line"},
        {"cable \"a\\qb\"\n", "b.conf:1: unknown escape \"\\q\" in quotes"},
        {"cable c\ndevice 1\nuart 0 program \"a\\\n", "b.conf:3: unclosed quote"},
        // Junk is shown whole, its unprintable bytes escaped.
        {"cable c\n\x7f"
         "E\0L\x1b[0m\xff\n"s,
         "b.conf:2: unknown keyword \"\\x7fE\\x00L\\x1b[0m\\xff\" (expected"},
    };
    for (const CASE& c : cases) {
        BOARD_CONFIG config;
        std::string error;
        EXPECT_FALSE(config_parse(c.text, "b.conf", "demo", &config, &error)) << c.text;
        EXPECT_EQ(error.rfind(c.where, 0), 0u) << "for:\n" << c.text << "got: " << error;
    }
}

TEST(BoardConfig, ReadsSerialAndConnectTargets) {
    const char* text =
        "cable real\n"
        "device 0\n"
        "uart 0 serial /dev/ttyUSB0\n"
        "uart 1 serial \"/dev/serial/by-id/usb-FTDI board\" 921600\n"
        "uart 2 connect 4555\n"
        "uart 3 connect localhost:4556\n"
        "uart 4 connect 10.0.0.7:2000\n"
        "uart 5 connect [::1]:2001\n"
        "uart 6 connect lab-pc:2002\n";
    BOARD_CONFIG config;
    std::string error;
    ASSERT_TRUE(config_parse(text, "b.conf", "demo", &config, &error)) << error;
    const auto& u = config.cables[0].devices[0].uarts;
    ASSERT_EQ(u.size(), 7u);
    EXPECT_EQ(u[0].kind, TARGET_KIND::serial);
    EXPECT_EQ(u[0].device, "/dev/ttyUSB0");
    EXPECT_EQ(u[0].baud, 115200);
    EXPECT_EQ(u[1].device, "/dev/serial/by-id/usb-FTDI board");
    EXPECT_EQ(u[1].baud, 921600);
    struct {
        const char* host;
        int port;
    } expected[] = {{"127.0.0.1", 4555},
                    {"127.0.0.1", 4556},
                    {"10.0.0.7", 2000},
                    {"::1", 2001},
                    {"lab-pc", 2002}};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(u[2 + i].kind, TARGET_KIND::connect);
        EXPECT_EQ(u[2 + i].host, expected[i].host);
        EXPECT_EQ(u[2 + i].port, expected[i].port);
    }
}

TEST(BoardConfig, SplitsWordsWithQuotesAndComments) {
    struct CASE {
        const char* line;
        std::vector<std::string> words;
    } cases[] = {
        {"", {}},
        {"   # all comment", {}},
        {"a  b\tc\r", {"a", "b", "c"}},
        {"cable \"A [B]\" x=1", {"cable", "A [B]", "x=1"}},
        {"say \"a \\\"quoted\\\" word\"", {"say", "a \"quoted\" word"}},
        {"\"\"", {""}},
        {"a\"b c\"d # e", {"ab cd"}},
        {"\"\\\\ \\\"\"", {"\\ \""}},
    };
    for (const CASE& c : cases) {
        std::vector<std::string> words;
        std::string error;
        EXPECT_TRUE(text_split_words(c.line, &words, &error)) << c.line;
        EXPECT_EQ(words, c.words) << c.line;
    }
}

TEST(BoardConfig, TakesLinesUpToTheLimit) {
    std::string longest = "cable \"" + std::string(config_max_line - 8, 'n') + "\"";
    ASSERT_EQ(longest.size(), config_max_line);
    BOARD_CONFIG config;
    std::string error;
    EXPECT_TRUE(config_parse("# first\r\n" + longest + "\r\n", "b.conf", "demo", &config, &error))
        << error;
    EXPECT_FALSE(config_parse("# first\n" + longest + "x\n", "b.conf", "demo", &config, &error));
    EXPECT_EQ(error, "b.conf:2: the line is longer than 4096 bytes");
}

TEST(BoardConfig, ShowsUnprintableBytesEscaped) {
    struct CASE {
        std::string text;
        std::string shown;
    } cases[] = {
        {"plain [USB-0] \"x\"\\y", "plain [USB-0] \"x\"\\y"},
        {"a\0b\tc\x1b[2J\x7f"s, "a\\x00b\\x09c\\x1b[2J\\x7f"},
        {"Gr\xc3\xbc\xc3\x9f\xe2\x82\xac\xf0\x9f\x94\x8c",
         "Gr\xc3\xbc\xc3\x9f\xe2\x82\xac\xf0\x9f\x94\x8c"},
        {"\xff\xc3", "\\xff\\xc3"},                             // not UTF-8; cut short
        {"\xc0\xaf\xed\xa0\x80", "\\xc0\\xaf\\xed\\xa0\\x80"},  // overlong; surrogate
        {"\xc2\x9b", "\\xc2\\x9b"},                             // a C1 control character
        // No character starts with 0xf8.
        {"\xf8\x88\x80\x80", "\\xf8\\x88\\x80\\x80"},
    };
    for (const CASE& c : cases) EXPECT_EQ(text_escaped(c.text), c.shown) << c.shown;
}

TEST(RingBuffer, KeepsOrderAcrossTheWrap) {
    RING_BUFFER ring(7);
    std::string in, out;
    int next = 0;
    // Uneven pushes and pops walk the head around the end of the storage many times.
    for (int step = 0; step < 200; ++step) {
        std::size_t push = std::size_t(step % 5);
        if (push > ring.room()) push = ring.room();
        std::string chunk;
        for (std::size_t i = 0; i < push; ++i) chunk += char('a' + next++ % 26);
        ring.push(chunk.data(), chunk.size());
        in += chunk;
        std::size_t run = 0;
        const char* at = ring.front(&run);
        std::size_t take = run < std::size_t(step % 4) ? run : std::size_t(step % 4);
        out.append(at, take);
        ring.consumed(take);
        EXPECT_LE(ring.size(), 7u);
        EXPECT_EQ(ring.size() + ring.room(), 7u);
    }
    EXPECT_EQ(in.substr(0, out.size()), out);
    EXPECT_GT(out.size(), 100u);
}

}  // namespace
