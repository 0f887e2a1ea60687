#!/bin/sh
# Rebuilds counter_fsm.vcd from counter_fsm.v with Icarus Verilog (Debian: iverilog).
set -e
cd "$(dirname "$0")"
iverilog -g2012 -o counter_fsm.vvp counter_fsm.v
vvp -n counter_fsm.vvp >/dev/null
rm -f counter_fsm.vvp
