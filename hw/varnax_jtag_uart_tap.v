`default_nettype none
// varnax_jtag_uart_tap: the IEEE 1149.1 TAP controller state machine and instruction register.
module varnax_jtag_uart_tap #(
    parameter IR_BITS = 4,
    parameter [IR_BITS-1:0] IR_RESET = 4'b0001  // the instruction after Test-Logic-Reset
) (
    input  wire               tck,
    input  wire               tms,
    input  wire               tdi,
    input  wire               trst_n,        // asynchronous TAP reset; tie high when absent
    output wire               capture_dr,    // the state at this rising edge of TCK
    output wire               shift_dr,
    output wire               update_dr,
    output wire               shift_ir,
    output wire [IR_BITS-1:0] ir,
    output wire               ir_tdo         // the instruction register's bit on TDO
);
    localparam [3:0] S_EXIT2_DR = 4'h0, S_EXIT1_DR = 4'h1, S_SHIFT_DR = 4'h2, S_PAUSE_DR = 4'h3,
                     S_SELECT_IR = 4'h4, S_UPDATE_DR = 4'h5, S_CAPTURE_DR = 4'h6,
                     S_SELECT_DR = 4'h7, S_EXIT2_IR = 4'h8, S_EXIT1_IR = 4'h9,
                     S_SHIFT_IR = 4'hA, S_PAUSE_IR = 4'hB, S_IDLE = 4'hC, S_UPDATE_IR = 4'hD,
                     S_CAPTURE_IR = 4'hE, S_RESET = 4'hF;

    reg [3:0] state = S_RESET;
    reg [3:0] state_next;
    reg [IR_BITS-1:0] ir_shift = {IR_BITS{1'b0}};
    reg [IR_BITS-1:0] ir_hold = IR_RESET;

    always @* begin
        case (state)
            S_RESET:      state_next = tms ? S_RESET : S_IDLE;
            S_IDLE:       state_next = tms ? S_SELECT_DR : S_IDLE;
            S_SELECT_DR:  state_next = tms ? S_SELECT_IR : S_CAPTURE_DR;
            S_CAPTURE_DR: state_next = tms ? S_EXIT1_DR : S_SHIFT_DR;
            S_SHIFT_DR:   state_next = tms ? S_EXIT1_DR : S_SHIFT_DR;
            S_EXIT1_DR:   state_next = tms ? S_UPDATE_DR : S_PAUSE_DR;
            S_PAUSE_DR:   state_next = tms ? S_EXIT2_DR : S_PAUSE_DR;
            S_EXIT2_DR:   state_next = tms ? S_UPDATE_DR : S_SHIFT_DR;
            S_UPDATE_DR:  state_next = tms ? S_SELECT_DR : S_IDLE;
            S_SELECT_IR:  state_next = tms ? S_RESET : S_CAPTURE_IR;
            S_CAPTURE_IR: state_next = tms ? S_EXIT1_IR : S_SHIFT_IR;
            S_SHIFT_IR:   state_next = tms ? S_EXIT1_IR : S_SHIFT_IR;
            S_EXIT1_IR:   state_next = tms ? S_UPDATE_IR : S_PAUSE_IR;
            S_PAUSE_IR:   state_next = tms ? S_EXIT2_IR : S_PAUSE_IR;
            S_EXIT2_IR:   state_next = tms ? S_UPDATE_IR : S_SHIFT_IR;
            default:      state_next = tms ? S_SELECT_DR : S_IDLE;  // S_UPDATE_IR
        endcase
    end

    always @(posedge tck or negedge trst_n) begin
        if (!trst_n) begin
            state   <= S_RESET;
            ir_hold <= IR_RESET;
        end else begin
            state <= state_next;
            if (state == S_RESET) ir_hold <= IR_RESET;
            if (state == S_UPDATE_IR) ir_hold <= ir_shift;
        end
    end

    // The capture pattern ends in 01, as the standard asks, so a host can find the IR length.
    always @(posedge tck) begin
        if (state == S_CAPTURE_IR) ir_shift <= {{(IR_BITS - 2) {1'b0}}, 2'b01};
        else if (state == S_SHIFT_IR) ir_shift <= {tdi, ir_shift[IR_BITS-1:1]};
    end

    assign capture_dr = state == S_CAPTURE_DR;
    assign shift_dr   = state == S_SHIFT_DR;
    assign update_dr  = state == S_UPDATE_DR;
    assign shift_ir   = state == S_SHIFT_IR;
    assign ir         = ir_hold;
    assign ir_tdo     = ir_shift[0];
endmodule
