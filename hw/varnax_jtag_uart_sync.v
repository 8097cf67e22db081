`default_nettype none
// varnax_jtag_uart_sync: two flip-flops that bring a signal into the clock domain of clk.
// Safe only for single bits, or for buses in which at most one bit changes between two edges
// of clk (Gray-coded pointers): the second flop then sees either the old or the new value.
module varnax_jtag_uart_sync #(
    parameter WIDTH = 1
) (
    input  wire             clk,
    input  wire [WIDTH-1:0] d,
    output wire [WIDTH-1:0] q
);
    reg [WIDTH-1:0] meta = {WIDTH{1'b0}};
    reg [WIDTH-1:0] stable = {WIDTH{1'b0}};
    always @(posedge clk) begin
        meta   <= d;
        stable <= meta;
    end
    assign q = stable;
endmodule
