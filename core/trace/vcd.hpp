// VCD reader: the IEEE 1364 value change dump, read line by line.
//
// The reader is tolerant: a line it does not understand is ignored, so the
// only failures are a file that cannot be opened or read. Declarations
// ($scope, $upscope, $var) build the names, scopes and ids; every "#" line
// opens a new time index with the time as written; value changes (0, 1, x,
// z, b, r lines) after the first "#" line are stored at the current index.
// Scalar x is stored as Missing, scalar z and vectors holding x or z as Logic,
// other vectors as Int of their last 64 digits, reals as Real.
//
// Who writes what: Icarus Verilog and GTKWave emit "$dumpvars" blocks after
// "#0"; some tools emit them before the first "#" line (not recorded); VCS
// and Questa write CRLF line ends (trimmed away); vectors are split from
// their identifier code by one space, so a tab there drops the change.
#pragma once

#include <string>
#include <string_view>

#include "trace.hpp"

namespace wq::vcd {

// Lines longer than this many bytes are skipped, so a file without line feeds
// cannot make the reader hold it whole.
inline constexpr size_t kMaxLineBytes = size_t{16} << 20;

// Reads the VCD file at `path`, streaming it through a bounded buffer.
LoadResult from_file(const std::string& path);

// Reads VCD text held in memory.
LoadResult parse(std::string_view text);

}  // namespace wq::vcd
