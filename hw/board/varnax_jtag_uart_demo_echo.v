`default_nettype none
// varnax_jtag_uart_demo_echo: a stand-in for a processor on the core's byte streams: it sends
// a banner once, then sends back every byte it receives.
module varnax_jtag_uart_demo_echo (
    input  wire       clk,
    input  wire [7:0] in_data,
    input  wire       in_valid,
    output wire       in_ready,
    output wire [7:0] out_data,
    output wire       out_valid,
    input  wire       out_ready
);
    localparam BANNER_LEN = 34;
    localparam [8*BANNER_LEN-1:0] BANNER = "Varnax JTAG UART on iCE40 ready.\015\012";

    reg [5:0] index = 6'd0;
    reg       banner_done = 1'b0;
    wire [7:0] banner_byte = BANNER[8*(BANNER_LEN-1-index)+:8];

    always @(posedge clk) begin
        if (!banner_done && out_ready) begin
            if (index == BANNER_LEN - 1) banner_done <= 1'b1;
            index <= index + 6'd1;
        end
    end

    assign out_data  = banner_done ? in_data : banner_byte;
    assign out_valid = banner_done ? in_valid : 1'b1;
    assign in_ready  = banner_done && out_ready;
endmodule
