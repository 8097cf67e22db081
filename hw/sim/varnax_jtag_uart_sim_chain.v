`default_nettype none
// varnax_jtag_uart_sim_chain: the simulated chip: two cores on one JTAG chain, TDI into the
// first, its TDO into the second. The first has one instance, the second two.
module varnax_jtag_uart_sim_chain (
    input  wire        tck,
    input  wire        tms,
    input  wire        tdi,
    output wire        tdo,
    input  wire        trst_n,
    input  wire        clk_sys,
    output wire [23:0] in_data,    // instances 0, 1, 2: the first core's, then the second's
    output wire [ 2:0] in_valid,
    input  wire [ 2:0] in_ready,
    input  wire [23:0] out_data,
    input  wire [ 2:0] out_valid,
    output wire [ 2:0] out_ready,
    output wire [47:0] in_level,
    output wire [47:0] out_level
);
    wire tdo_first;
    varnax_jtag_uart #(
        .IDCODE(32'h156580FF), .INSTANCES(1), .BYTES_PER_SCAN(64),
        .IN_DEPTH_LOG2(8), .OUT_DEPTH_LOG2(8)
    ) first (
        .tck(tck), .tms(tms), .tdi(tdi), .tdo(tdo_first), .trst_n(trst_n), .clk_sys(clk_sys),
        .in_data(in_data[7:0]), .in_valid(in_valid[0]), .in_ready(in_ready[0]),
        .out_data(out_data[7:0]), .out_valid(out_valid[0]), .out_ready(out_ready[0]),
        .in_level(in_level[15:0]), .out_level(out_level[15:0]));
    varnax_jtag_uart #(
        .IDCODE(32'h256580FF), .INSTANCES(2), .BYTES_PER_SCAN(64),
        .IN_DEPTH_LOG2(7), .OUT_DEPTH_LOG2(7)
    ) second (
        .tck(tck), .tms(tms), .tdi(tdo_first), .tdo(tdo), .trst_n(trst_n), .clk_sys(clk_sys),
        .in_data(in_data[23:8]), .in_valid(in_valid[2:1]), .in_ready(in_ready[2:1]),
        .out_data(out_data[23:8]), .out_valid(out_valid[2:1]), .out_ready(out_ready[2:1]),
        .in_level(in_level[47:16]), .out_level(out_level[47:16]));
endmodule
