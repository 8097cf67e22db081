`default_nettype none
// varnax_jtag_uart_channel: one JTAG UART instance. A FIFO each way between the TCK domain
// (the data scans) and the processor's clock, and the scan-side bookkeeping of both streams.
//
// Every byte of each stream has a 16-bit position. The FIFO address of a byte is the low bits
// of its position, so a scan can write the host's bytes straight to where they belong and
// read the core's bytes from where they are, one byte per eight TCK edges, with no wide
// register. Nothing becomes visible to the other side before Update-DR of a well-formed scan.
module varnax_jtag_uart_channel #(
    parameter BYTES_PER_SCAN = 64,
    parameter IN_DEPTH_LOG2  = 8,   // host-to-processor FIFO: 2**IN_DEPTH_LOG2 bytes
    parameter OUT_DEPTH_LOG2 = 8    // processor-to-host FIFO
) (
    // TCK domain: driven by the data register of the TAP when this instance is selected.
    input  wire        tck,
    input  wire        capture,       // Capture-DR of a data scan
    input  wire        update,        // Update-DR of a well-formed data scan
    input  wire [15:0] upd_in_pos,    // position of the first host byte in the scan
    input  wire [ 7:0] upd_in_count,  // host bytes in the scan
    input  wire [15:0] upd_out_ack,   // the host holds every core byte before this position
    input  wire        wr_en,         // one host byte, at its stream position
    input  wire [15:0] wr_pos,
    input  wire [ 7:0] wr_data,
    input  wire [OUT_DEPTH_LOG2-1:0] rd_addr,  // one core byte, read at the next edge of TCK
    output reg  [ 7:0] rd_data,
    output wire [15:0] cap_out_pos,   // what Capture-DR reports
    output wire [ 7:0] cap_out_count,
    output wire [15:0] cap_in_ack,
    output wire [15:0] cap_room,
    // System clock domain: the processor's byte streams.
    input  wire        clk_sys,
    output wire [ 7:0] in_data,       // host to processor
    output wire        in_valid,
    input  wire        in_ready,
    input  wire [ 7:0] out_data,      // processor to host
    input  wire        out_valid,
    output wire        out_ready,
    output wire [15:0] in_level,      // bytes waiting for the processor
    output wire [15:0] out_level      // bytes the host has not taken yet
);
    localparam IA = IN_DEPTH_LOG2;
    localparam OA = OUT_DEPTH_LOG2;
    localparam [16:0] IN_DEPTH = 17'd1 << IA;
    localparam [16:0] OUT_DEPTH = 17'd1 << OA;
    localparam [15:0] N = BYTES_PER_SCAN;

    reg [7:0] in_mem[0:(1<<IA)-1];
    reg [7:0] out_mem[0:(1<<OA)-1];

    function [IA:0] in_gray_to_bin(input [IA:0] g);
        integer i;
        begin
            in_gray_to_bin[IA] = g[IA];
            for (i = IA - 1; i >= 0; i = i - 1) in_gray_to_bin[i] = in_gray_to_bin[i+1] ^ g[i];
        end
    endfunction
    function [OA:0] out_gray_to_bin(input [OA:0] g);
        integer i;
        begin
            out_gray_to_bin[OA] = g[OA];
            for (i = OA - 1; i >= 0; i = i - 1) out_gray_to_bin[i] = out_gray_to_bin[i+1] ^ g[i];
        end
    endfunction

    // ---- TCK domain -------------------------------------------------------------------------
    reg [15:0] in_wr_tck = 16'h0000;       // position of the next host byte the core takes
    reg [15:0] out_commit_tck = 16'h0000;  // the host has every core byte before this
    reg [15:0] out_spec_tck = 16'h0000;    // where the next capture starts
    reg [15:0] cap_pos = 16'h0000;         // what the last capture reported
    reg [ 7:0] cap_count = 8'h00;
    reg [15:0] free_cap = 16'h0000;        // room in the input FIFO at the last capture
    reg [15:0] out_shown = 16'h0000;       // the end of the bytes captures have shown so far
    reg [15:0] shown_before = 16'h0000;    // the same, before the last capture

    wire [IA:0] in_rd_gray_tck;
    wire [OA:0] out_wr_gray_tck;
    wire [IA:0] in_rd_tck = in_gray_to_bin(in_rd_gray_tck);
    wire [OA:0] out_wr_tck = out_gray_to_bin(out_wr_gray_tck);

    wire [IA:0] in_used = in_wr_tck[IA:0] - in_rd_tck;
    wire [16:0] in_free = IN_DEPTH - {{(16 - IA) {1'b0}}, in_used};
    wire [OA:0] out_avail = out_wr_tck - out_spec_tck[OA:0];
    wire [16:0] out_avail_w = {{(16 - OA) {1'b0}}, out_avail};

    assign cap_out_pos   = out_spec_tck;
    assign cap_out_count = out_avail_w > {1'b0, N} ? N[7:0] : out_avail_w[7:0];
    assign cap_in_ack    = in_wr_tck;
    assign cap_room      = in_free[16] ? 16'hFFFF : in_free[15:0];

    // A repeated scan carries bytes the core has already taken: only the ones after them count,
    // and only as many as there was room for when the scan began.
    wire [15:0] in_behind = in_wr_tck - upd_in_pos;
    wire        in_overlap = in_behind <= {8'h00, upd_in_count};
    wire [15:0] in_fresh = {8'h00, upd_in_count} - in_behind;
    wire [15:0] in_take = in_fresh > free_cap ? free_cap : in_fresh;
    // The host can only acknowledge bytes it was shown before this scan's capture (by a scan
    // that counted or by one the core ignored).
    wire        ack_ok = (upd_out_ack - out_commit_tck) <= (shown_before - out_commit_tck);
    wire [15:0] cap_end = out_spec_tck + {8'h00, cap_out_count};
    wire        shows_more = (cap_end - out_commit_tck) > (out_shown - out_commit_tck);

    wire [15:0] in_wr_next = (update && in_overlap) ? in_wr_tck + in_take : in_wr_tck;
    wire [15:0] out_commit_next = (update && ack_ok) ? upd_out_ack : out_commit_tck;
    reg  [15:0] out_spec_next;
    always @* begin
        out_spec_next = out_spec_tck;
        if (update) begin
            // When the host missed bytes (a lost scan, a read that failed), the next capture
            // starts again from the first byte it lacks.
            // A host that held everything up to this capture's bytes takes the rest of them.
            if (!ack_ok) out_spec_next = out_commit_tck;
            else if ((upd_out_ack - cap_pos) <= {8'h00, cap_count})
                out_spec_next = cap_pos + {8'h00, cap_count};
            else out_spec_next = upd_out_ack;
        end
    end

    always @(posedge tck) begin
        in_wr_tck      <= in_wr_next;
        out_commit_tck <= out_commit_next;
        out_spec_tck   <= out_spec_next;
        if (capture) begin
            cap_pos   <= out_spec_tck;
            cap_count <= cap_out_count;
            free_cap  <= cap_room;
            shown_before <= out_shown;
            if (shows_more) out_shown <= cap_end;
        end
    end

    // Bytes land only in free slots, never over bytes the processor has not read; they count
    // only once an update moves in_wr_tck past them.
    always @(posedge tck) begin
        if (wr_en && (wr_pos - in_wr_tck) < free_cap) in_mem[wr_pos[IA-1:0]] <= wr_data;
    end
    always @(posedge tck) rd_data <= out_mem[rd_addr];

    // TCK to system clock: the two pointers the TCK side moves jump by many bytes at an update,
    // so they cross as one word held still while a request toggle goes through two flops and
    // its acknowledgement comes back. The word is loaded on the very edge of the update, since
    // TCK may stop right after it.
    localparam HS = IA + OA + 2;
    wire [HS-1:0] hs_next = {in_wr_next[IA:0], out_commit_next[OA:0]};
    reg  [HS-1:0] hs_hold_tck = {HS{1'b0}};
    reg           hs_req_tck = 1'b0;
    wire          hs_ack_tck;
    always @(posedge tck) begin
        if (hs_req_tck == hs_ack_tck && hs_next != hs_hold_tck) begin
            hs_hold_tck <= hs_next;
            hs_req_tck  <= ~hs_req_tck;
        end
    end

    // ---- System clock domain ----------------------------------------------------------------
    reg  [IA:0] in_wr_sys = {(IA + 1) {1'b0}};
    reg  [IA:0] in_rd_sys = {(IA + 1) {1'b0}};
    reg  [OA:0] out_wr_sys = {(OA + 1) {1'b0}};
    reg  [OA:0] out_commit_sys = {(OA + 1) {1'b0}};
    reg         hs_ack_sys = 1'b0;
    wire        hs_req_sys;

    varnax_jtag_uart_sync #(.WIDTH(1)) req_sync (.clk(clk_sys), .d(hs_req_tck), .q(hs_req_sys));
    varnax_jtag_uart_sync #(.WIDTH(1)) ack_sync (.clk(tck), .d(hs_ack_sys), .q(hs_ack_tck));

    // hs_hold_tck changed on the same TCK edge as the request and has been still since: the
    // request took two system clock edges to arrive, so the word has settled.
    always @(posedge clk_sys) begin
        if (hs_req_sys != hs_ack_sys) begin
            hs_ack_sys     <= hs_req_sys;
            in_wr_sys      <= hs_hold_tck[HS-1:OA+1];
            out_commit_sys <= hs_hold_tck[OA:0];
        end
    end

    // Host to processor, first word fall through: in_q holds the byte on offer.
    reg  [7:0] in_q = 8'h00;
    reg        in_q_valid = 1'b0;
    wire       in_empty = in_rd_sys == in_wr_sys;
    wire       in_fetch = !in_empty && (!in_q_valid || in_ready);
    always @(posedge clk_sys) begin
        if (in_fetch) begin
            in_q       <= in_mem[in_rd_sys[IA-1:0]];
            in_rd_sys  <= in_rd_sys + 1'b1;
            in_q_valid <= 1'b1;
        end else if (in_ready) begin
            in_q_valid <= 1'b0;
        end
    end
    assign in_data  = in_q;
    assign in_valid = in_q_valid;
    wire [IA:0] in_waiting = in_wr_sys - in_rd_sys;
    assign in_level = {{(15 - IA) {1'b0}}, in_waiting} + {15'h0000, in_q_valid};

    // Processor to host: a slot is free again once the host has acknowledged its byte.
    wire [OA:0] out_used = out_wr_sys - out_commit_sys;
    assign out_ready = {{(16 - OA) {1'b0}}, out_used} != OUT_DEPTH;
    assign out_level = {{(15 - OA) {1'b0}}, out_used};
    always @(posedge clk_sys) begin
        if (out_valid && out_ready) begin
            out_mem[out_wr_sys[OA-1:0]] <= out_data;
            out_wr_sys <= out_wr_sys + 1'b1;
        end
    end

    // System clock to TCK: these pointers move by one per edge, so Gray code lets them cross
    // through plain synchronizers. The Gray words are registers, so they never glitch, and they
    // trail the binary pointers by an edge: the TCK side sees a byte only after it is in memory.
    reg [IA:0] in_rd_gray_sys = {(IA + 1) {1'b0}};
    reg [OA:0] out_wr_gray_sys = {(OA + 1) {1'b0}};
    always @(posedge clk_sys) begin
        in_rd_gray_sys  <= in_rd_sys ^ (in_rd_sys >> 1);
        out_wr_gray_sys <= out_wr_sys ^ (out_wr_sys >> 1);
    end
    varnax_jtag_uart_sync #(.WIDTH(IA + 1)) in_rd_cross (
        .clk(tck), .d(in_rd_gray_sys), .q(in_rd_gray_tck));
    varnax_jtag_uart_sync #(.WIDTH(OA + 1)) out_wr_cross (
        .clk(tck), .d(out_wr_gray_sys), .q(out_wr_gray_tck));
endmodule
