`default_nettype none
// varnax_jtag_uart: a JTAG UART core behind a soft TAP. INSTANCES byte channels, each with a
// FIFO both ways; the host reads the identification, selects an instance and moves up to
// BYTES_PER_SCAN bytes each way in every scan of the data register.
//
// Instructions (4 bits): 0001 IDCODE, 0010 INFO (64 bits), 0011 SELECT (8 bits),
// 0100 DATA (1 + 64 + 8 * BYTES_PER_SCAN bits), anything else BYPASS. docs/jtag-uart-core.md has
// the fields of each register and the rules of the data scan.
module varnax_jtag_uart #(
    parameter [31:0] IDCODE         = 32'h156580FF,  // manufacturer field 0x7F: no real vendor
    parameter        INSTANCES      = 1,             // 1 to 255
    parameter        BYTES_PER_SCAN = 64,            // 1 to 255
    parameter        IN_DEPTH_LOG2  = 8,             // host-to-processor FIFO: 2**N bytes, N <= 15
    parameter        OUT_DEPTH_LOG2 = 8              // processor-to-host FIFO
) (
    input  wire                   tck,
    input  wire                   tms,
    input  wire                   tdi,
    output reg                    tdo = 1'b0,
    input  wire                   trst_n,     // tie high when the board has no TRST
    input  wire                   clk_sys,
    output wire [8*INSTANCES-1:0] in_data,    // instance k at bits [8k+7:8k]
    output wire [  INSTANCES-1:0] in_valid,
    input  wire [  INSTANCES-1:0] in_ready,
    input  wire [8*INSTANCES-1:0] out_data,
    input  wire [  INSTANCES-1:0] out_valid,
    output wire [  INSTANCES-1:0] out_ready,
    output wire [16*INSTANCES-1:0] in_level,
    output wire [16*INSTANCES-1:0] out_level
);
    localparam [3:0] IR_IDCODE = 4'b0001, IR_INFO = 4'b0010, IR_SELECT = 4'b0011,
                     IR_DATA = 4'b0100;
    localparam [31:0] MAGIC = 32'h56584A55;  // "VXJU"
    localparam [7:0] VERSION = 8'd1;
    localparam [7:0] GUARD = 8'hA5;          // the host's mark of a data scan meant to count
    localparam HEADER_BITS = 64;
    // The host's part of a data scan starts with a 1: in a chain, the bits of the TAPs in
    // BYPASS between the host and this one come first, all 0, and their number is not known
    // here. The core's part starts at Capture-DR: header, then payload, then one pad bit.
    localparam DATA_BITS = 1 + HEADER_BITS + 8 * BYTES_PER_SCAN;
    localparam [12:0] DATA_LEN = DATA_BITS;
    localparam [12:0] OUT_LEN = HEADER_BITS + 8 * BYTES_PER_SCAN;
    localparam [7:0] N = BYTES_PER_SCAN;
    localparam [7:0] LAST_INSTANCE = INSTANCES - 1;
    localparam [63:0] INFO = {OUT_DEPTH_LOG2[3:0], IN_DEPTH_LOG2[3:0], N, INSTANCES[7:0],
                              VERSION, MAGIC};

    wire       capture_dr, shift_dr, update_dr, shift_ir, ir_tdo;
    wire [3:0] ir;
    varnax_jtag_uart_tap #(.IR_BITS(4), .IR_RESET(IR_IDCODE)) tap (
        .tck(tck), .tms(tms), .tdi(tdi), .trst_n(trst_n), .capture_dr(capture_dr),
        .shift_dr(shift_dr), .update_dr(update_dr), .shift_ir(shift_ir), .ir(ir),
        .ir_tdo(ir_tdo));

    wire is_data = ir == IR_DATA;
    wire is_bypass = ir != IR_IDCODE && ir != IR_INFO && ir != IR_SELECT && !is_data;

    reg [ 7:0] selected = 8'h00;   // the instance the data scans reach
    reg [63:0] out_shift = 64'h0;  // the captured bits on their way to TDO
    reg        bypass = 1'b0;
    reg [63:0] header_in = 64'h0;  // the host's header, complete after 64 shift edges
    reg [ 6:0] byte_in = 7'h00;   // the bits of a payload byte so far
    reg [12:0] shifted = 13'h0;    // bits shifted since Capture-DR, stopping past DATA_LEN
    reg        started = 1'b0;     // the host's start bit has come
    reg [12:0] taken = 13'h0;      // the host's bits since its start bit, that one included
    reg [ 7:0] in_slot = 8'h00;    // payload byte being received
    reg [ 7:0] out_slot = 8'h00;   // payload byte being sent
    reg [ 7:0] out_count = 8'h00;  // core bytes the capture offered
    reg [15:0] rd_pos = 16'h0;
    reg        wr_en = 1'b0;
    reg [15:0] wr_pos = 16'h0;
    reg [ 7:0] wr_data = 8'h00;

    // What the selected instance offers, and its answer to reads.
    wire [16*INSTANCES-1:0] ch_out_pos, ch_in_ack, ch_room;
    wire [ 8*INSTANCES-1:0] ch_out_count, ch_rd_data;
    wire [15:0] sel_out_pos = ch_out_pos[16*selected+:16];
    wire [ 7:0] sel_out_count = ch_out_count[8*selected+:8];
    wire [15:0] sel_in_ack = ch_in_ack[16*selected+:16];
    wire [15:0] sel_room = ch_room[16*selected+:16];
    wire [ 7:0] sel_rd_data = ch_rd_data[8*selected+:8];

    wire [15:0] hdr_in_pos = header_in[15:0];
    wire [ 7:0] hdr_in_count = header_in[23:16];
    wire [15:0] hdr_out_ack = header_in[39:24];
    wire        hdr_ok = header_in[47:40] == GUARD && hdr_in_count <= N;
    // A scan counts only when exactly its length was shifted and the host marked it: a scan
    // cut short, run on, or shifted while another instruction was meant changes nothing.
    wire        data_update = update_dr && is_data && taken == DATA_LEN && hdr_ok;
    wire        in_header = started && taken >= 13'd1 && taken <= 13'd64;
    wire        in_payload = started && taken >= 13'd65 && taken < DATA_LEN;
    wire [ 2:0] payload_bit = taken[2:0] - 3'd1;  // (taken - 65) mod 8
    // The edge after which the next bit on TDO is the first of a payload byte.
    wire        next_is_byte = shifted >= 13'd63 && shifted < OUT_LEN - 13'd1 &&
                               shifted[2:0] == 3'd7;

    always @(posedge tck) begin
        wr_en <= 1'b0;
        if (capture_dr) begin
            shifted  <= 13'h0;
            started  <= 1'b0;
            taken    <= 13'h0;
            in_slot  <= 8'h00;
            out_slot <= 8'h00;
            bypass   <= 1'b0;
            case (ir)
                IR_IDCODE: out_shift <= {32'h0, IDCODE};
                IR_INFO:   out_shift <= INFO;
                IR_SELECT: out_shift <= {56'h0, selected};
                IR_DATA:   out_shift <= {selected, sel_room, sel_in_ack, sel_out_count, sel_out_pos};
                default:   out_shift <= 64'h0;
            endcase
            out_count <= sel_out_count;
            rd_pos    <= sel_out_pos;
        end
        if (shift_dr) begin
            if (shifted != DATA_LEN + 13'd1) shifted <= shifted + 13'd1;
            if (started && taken != DATA_LEN + 13'd1) taken <= taken + 13'd1;
            if (is_data && !started && tdi) begin
                started <= 1'b1;
                taken   <= 13'd1;
            end
            bypass <= tdi;
            case (ir)
                IR_IDCODE: out_shift <= {32'h0, tdi, out_shift[31:1]};
                IR_INFO:   out_shift <= {tdi, out_shift[63:1]};
                IR_SELECT: out_shift <= {56'h0, tdi, out_shift[7:1]};
                IR_DATA: begin
                    if (next_is_byte) begin
                        out_shift <= {56'h0, out_slot < out_count ? sel_rd_data : 8'h00};
                        out_slot  <= out_slot + 8'd1;
                        rd_pos    <= rd_pos + 16'd1;
                    end else begin
                        out_shift <= {1'b0, out_shift[63:1]};
                    end
                end
                default: out_shift <= 64'h0;
            endcase
            if (is_data && in_header) header_in <= {tdi, header_in[63:1]};
            if (is_data && in_payload) begin
                byte_in <= {tdi, byte_in[6:1]};
                if (payload_bit[2:0] == 3'd7) begin
                    // Written on the next edge (Exit1-DR at the latest), counted at the update.
                    wr_en   <= in_slot < hdr_in_count && hdr_ok;
                    wr_pos  <= hdr_in_pos + {8'h00, in_slot};
                    wr_data <= {tdi, byte_in};
                    in_slot <= in_slot + 8'd1;
                end
            end
        end
        if (update_dr && ir == IR_SELECT && out_shift[7:0] <= LAST_INSTANCE)
            selected <= out_shift[7:0];
    end

    // TDO changes on the falling edge, half a cycle before the next TAP samples it.
    always @(negedge tck) begin
        if (shift_ir) tdo <= ir_tdo;
        else if (is_bypass) tdo <= bypass;
        else tdo <= out_shift[0];
    end

    genvar k;
    generate
        for (k = 0; k < INSTANCES; k = k + 1) begin : instance_
            wire this_one = selected == k;
            varnax_jtag_uart_channel #(
                .BYTES_PER_SCAN(BYTES_PER_SCAN),
                .IN_DEPTH_LOG2(IN_DEPTH_LOG2),
                .OUT_DEPTH_LOG2(OUT_DEPTH_LOG2)
            ) channel (
                .tck(tck),
                .capture(capture_dr && is_data && this_one),
                .update(data_update && this_one),
                .upd_in_pos(hdr_in_pos),
                .upd_in_count(hdr_in_count),
                .upd_out_ack(hdr_out_ack),
                .wr_en(wr_en && this_one),
                .wr_pos(wr_pos),
                .wr_data(wr_data),
                .rd_addr(rd_pos[OUT_DEPTH_LOG2-1:0]),
                .rd_data(ch_rd_data[8*k+:8]),
                .cap_out_pos(ch_out_pos[16*k+:16]),
                .cap_out_count(ch_out_count[8*k+:8]),
                .cap_in_ack(ch_in_ack[16*k+:16]),
                .cap_room(ch_room[16*k+:16]),
                .clk_sys(clk_sys),
                .in_data(in_data[8*k+:8]),
                .in_valid(in_valid[k]),
                .in_ready(in_ready[k]),
                .out_data(out_data[8*k+:8]),
                .out_valid(out_valid[k]),
                .out_ready(out_ready[k]),
                .in_level(in_level[16*k+:16]),
                .out_level(out_level[16*k+:16])
            );
        end
    endgenerate
endmodule
