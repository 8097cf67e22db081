// Tests of the Tcl framing, the scan_chain table and the hex of drscan.
#include "server/jtag/openocd-tcl.h"

#include <gtest/gtest.h>

#include "server/jtag/jtag-chain.h"
#include "server/jtag/jtag-uart-stream.h"

namespace {

TEST(OpenocdTcl, RepliesSplitAnywhereComeBackInOrder) {
    OPENOCD_TCL tcl;
    tcl.send("scan_chain");
    tcl.send("irscan a.tap 2; drscan a.tap 64 0");
    EXPECT_EQ(tcl.output(), std::string("scan_chain\x1airscan a.tap 2; drscan a.tap 64 0\x1a"));
    tcl.sent(5);
    EXPECT_EQ(tcl.output().substr(0, 5), "chain");
    std::string replies =
        "first\x1a"
        "second\x1a";
    for (char c : replies) ASSERT_TRUE(tcl.received(&c, 1));
    EXPECT_EQ(tcl.waiting(), 0u);
    EXPECT_EQ(tcl.take_reply(), "first");
    EXPECT_EQ(tcl.take_reply(), "second");
    EXPECT_FALSE(tcl.reply_ready());
}

TEST(OpenocdTcl, AnEmptyReplyIsAReply) {
    OPENOCD_TCL tcl;
    tcl.send("irscan a.tap 4");
    ASSERT_TRUE(tcl.received("\x1a", 1));
    EXPECT_EQ(tcl.take_reply(), "");
}

TEST(OpenocdTcl, AReplyNobodyAskedForIsAnError) {
    OPENOCD_TCL tcl;
    EXPECT_FALSE(tcl.received("hello\x1a", 6));
}

TEST(JtagChain, ReadsTheTableAndProbesOnlyCores) {
    const std::string table =
        "   TapName             Enabled  IdCode     Expected   IrLen IrCap IrMask\n"
        "-- ------------------- -------- ---------- ---------- ----- ----- ------\n"
        " 0 auto0.tap              Y     0x256580ff 0x00000000     4 0x01  0x03\n"
        " 1 fpga.tap               Y     0x0362d093 0x0362d093     6 0x01  0x03\n"
        " 2 other.tap              Y     0x156580ff 0x00000000     5 0x01  0x03\n"
        " 3 off.tap                n     0x156580ff 0x00000000     4 0x01  0x03\n";
    std::vector<JTAG_TAP> taps;
    ASSERT_TRUE(jtag_parse_scan_chain(table, &taps));
    ASSERT_EQ(taps.size(), 4u);
    EXPECT_EQ(taps[1].name, "fpga.tap");
    EXPECT_EQ(taps[1].idcode, 0x0362d093u);
    EXPECT_EQ(taps[1].ir_length, 6u);
    EXPECT_TRUE(jtag_may_be_core(taps[0]));   // any version
    EXPECT_FALSE(jtag_may_be_core(taps[1]));  // a vendor's TAP
    EXPECT_FALSE(jtag_may_be_core(taps[2]));  // our IDCODE, but not our IR length
    EXPECT_FALSE(jtag_may_be_core(taps[3]));  // disabled
    EXPECT_FALSE(jtag_parse_scan_chain("invalid command name \"scan_chain\"", &taps));
}

TEST(JtagHex, BothWaysAndTheWholeBytesOpenOcdShows) {
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(jtag_hex_to_bytes("7740020156584a55", 64, &bytes));
    EXPECT_EQ(bytes[0], 0x55);
    EXPECT_EQ(bytes[7], 0x77);
    EXPECT_EQ(jtag_bytes_to_hex(bytes), "0x7740020156584a55");
    // 577 bits: OpenOCD shows 73 whole bytes, 146 digits; a short answer is zero-extended.
    ASSERT_TRUE(jtag_hex_to_bytes(std::string(146, 'f'), 577, &bytes));
    EXPECT_EQ(bytes.size(), 73u);
    ASSERT_TRUE(jtag_hex_to_bytes("1", 577, &bytes));
    EXPECT_EQ(bytes[0], 1);
    EXPECT_FALSE(jtag_hex_to_bytes(std::string(147, 'f'), 577, &bytes));
    EXPECT_FALSE(jtag_hex_to_bytes("drscan: jtag execute failed", 577, &bytes));
    EXPECT_FALSE(jtag_hex_to_bytes("", 8, &bytes));
    JTAG_CORE_INFO info;
    ASSERT_TRUE(jtag_parse_core_info("7740020156584a55", &info));
    EXPECT_EQ(info.instances, 2u);
    EXPECT_EQ(info.bytes_per_scan, 64u);
    EXPECT_EQ(info.in_depth, 128u);
    EXPECT_FALSE(jtag_parse_core_info("7740020156584a54", &info));  // not the magic
}

}  // namespace
