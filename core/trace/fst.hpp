// FST reader: the compressed trace format of GTKWave, written by vcd2fst,
// Icarus Verilog, Verilator, GHDL, nvc and others.
//
// The file is mapped into memory (a gzip-wrapped file is inflated into it).
// Blocks are found by walking their lengths; the hierarchy gives names,
// scopes and ids (aliases share the id of the handle they name); the time
// tables of all value-change blocks, without repeats, are the time stamps;
// then each block's per-signal streams are decoded on the oneTBB pool,
// every signal into its own column of the store. The first block's frame
// gives every signal its value at the block's begin time.
//
// Values: a real is Real; bit strings holding x, z, h, l, u, w or - (either
// case for x and z) are Logic (0, 1, z kept, every other character x); other
// bit strings are Int of their last 64 bits; any other text is Text; an
// empty value is Missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "trace.hpp"

namespace wq::fst {

LoadResult from_file(const std::string& path);

// Loads an FST image held in memory (no hierarchy side file is looked for).
LoadResult from_bytes(const uint8_t* data, size_t size);

// The value of one FST bit string or text, by the rules above.
SignalValue convert_value(std::string_view bytes);

}  // namespace wq::fst
