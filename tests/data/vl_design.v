// A small design for Verilator, traced once as VCD and once as FST by the
// FST tests (the build decides the format).
module vl_design;
    reg clk = 0;
    reg [7:0] count = 0;
    reg [99:0] wide = 0;
    reg [2:0] state = 0;
    real level = 0.0;

    always #5 clk = ~clk;
    always @(posedge clk) begin
        count <= count + 1;
        wide <= {wide[98:0], count[0] ^ wide[99]};
        state <= count[4] ? 3'd5 : count[2:0];
        level <= level + 0.5;
    end

    initial begin
        $dumpfile("trace.out");
        $dumpvars(0, vl_design);
        #1000 $finish;
    end
endmodule
