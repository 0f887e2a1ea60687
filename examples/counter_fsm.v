`timescale 1ns/1ps
// A small design for the bundled example trace: an 8-bit counter with an
// enable, and a three-state handshake FSM that starts a burst whenever the
// counter wraps past a threshold.
module counter #(parameter WIDTH = 8) (
    input  wire             clk,
    input  wire             rst_n,
    input  wire             enable,
    output reg  [WIDTH-1:0] count
);
    always @(posedge clk or negedge rst_n)
        if (!rst_n)      count <= 0;
        else if (enable) count <= count + 1'b1;
endmodule

module handshake (
    input  wire       clk,
    input  wire       rst_n,
    input  wire       start,
    input  wire       ready,
    output reg        valid,
    output reg  [1:0] state
);
    localparam IDLE = 2'd0, SEND = 2'd1, WAIT = 2'd2;
    always @(posedge clk or negedge rst_n)
        if (!rst_n) begin
            state <= IDLE;
            valid <= 1'b0;
        end else case (state)
            IDLE: if (start) begin state <= SEND; valid <= 1'b1; end
            SEND: if (ready) begin state <= WAIT; valid <= 1'b0; end
            WAIT: state <= IDLE;
            default: state <= IDLE;
        endcase
endmodule

module top;
    reg clk = 0, rst_n = 0, enable = 0, ready = 0;
    reg [15:0] bus;              // driven only part of the time: z while released
    real temperature = 25.0;
    wire [7:0] count;
    wire valid;
    wire [1:0] state;

    counter #(.WIDTH(8)) u_counter (.clk(clk), .rst_n(rst_n), .enable(enable), .count(count));
    handshake u_fsm (.clk(clk), .rst_n(rst_n), .start(count[3:0] == 4'hF),
                     .ready(ready), .valid(valid), .state(state));

    always #5 clk = ~clk;

    initial begin
        $dumpfile("counter_fsm.vcd");
        $dumpvars(0, top);
        bus = 16'hzzzz;
        #12 rst_n = 1;
        #10 enable = 1;
        repeat (40) begin
            @(negedge clk);
            ready = $random;
            temperature = temperature + 0.25;
        end
        bus = 16'hBEEF;
        #30 enable = 0;
        bus = 16'bxxxx_0000_1111_zzzz;
        #40 enable = 1;
        bus = 16'hzzzz;
        #200 $finish;
    end
endmodule
