`default_nettype none
// varnax_jtag_uart_icebreaker: the reference design for the iCEBreaker board (iCE40UP5K): the
// core with its soft TAP on four pins of the PMOD1A connector, one instance, answered by the
// banner-and-echo machine on the board's 12 MHz clock. The green LED lights while the host
// has bytes waiting in the core.
module varnax_jtag_uart_icebreaker (
    input  wire clk_12mhz,
    input  wire jtag_tck,
    input  wire jtag_tms,
    input  wire jtag_tdi,
    output wire jtag_tdo,
    output wire led_green_n
);
    wire [ 7:0] in_data, out_data;
    wire        in_valid, in_ready, out_valid, out_ready;
    wire [15:0] in_level, out_level;

    varnax_jtag_uart #(
        .INSTANCES(1), .BYTES_PER_SCAN(64), .IN_DEPTH_LOG2(9), .OUT_DEPTH_LOG2(9)
    ) uart (
        .tck(jtag_tck), .tms(jtag_tms), .tdi(jtag_tdi), .tdo(jtag_tdo), .trst_n(1'b1),
        .clk_sys(clk_12mhz),
        .in_data(in_data), .in_valid(in_valid), .in_ready(in_ready),
        .out_data(out_data), .out_valid(out_valid), .out_ready(out_ready),
        .in_level(in_level), .out_level(out_level));

    varnax_jtag_uart_demo_echo echo (
        .clk(clk_12mhz), .in_data(in_data), .in_valid(in_valid), .in_ready(in_ready),
        .out_data(out_data), .out_valid(out_valid), .out_ready(out_ready));

    assign led_green_n = out_level == 16'h0000;
    wire unused = &{1'b0, in_level};
endmodule
