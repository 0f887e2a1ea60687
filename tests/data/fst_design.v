// A small design dumped both as VCD and as FST by the FST tests. $dumpflush
// every 40 cycles makes Icarus start a new value-change block.
`timescale 1ns/1ps
module fst_design;
    reg clk = 0;
    reg [7:0] count = 0;
    reg [65:0] wide = 0;
    reg [3:0] bus;
    real level = 0.0;
    wire tap = clk;          // same net as clk: an alias in the FST
    reg [255:0] long_bus = 0;
    reg [8*8-1:0] text;

    always #5 clk = ~clk;
    always @(posedge clk) begin
        count <= count + 1;
        wide <= {wide[64:0], wide[65] ^ count[0]};
        bus <= count[1] ? 4'bz1x0 : count[3:0];
        level <= level + 0.25;
        long_bus <= {long_bus[254:0], count[2]};
        text <= "abcdefgh";
    end

    initial begin : setup  // its own scope, which $dumpvars(1, ...) leaves out
        reg [255:0] dump_name;
        if (!$value$plusargs("dump=%s", dump_name)) dump_name = "fst_design.vcd";
        $dumpfile(dump_name);
        $dumpvars(1, fst_design);
        repeat (6) begin
            #400 $dumpflush;
        end
        $finish;
    end
endmodule
