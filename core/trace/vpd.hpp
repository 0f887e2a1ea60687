// VPD reader: signal names only. After the magic number, up to twenty
// section offsets in the header delimit sections; a section whose first 128
// bytes look like a name table is scanned for identifiers. Every signal has
// width 1, the trace has the single time stamp 0 and no values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "trace.hpp"

namespace wq::vpd {

LoadResult from_file(const std::string& path);

// The same for a file's bytes held in memory.
LoadResult parse(const std::vector<uint8_t>& bytes);

}  // namespace wq::vpd
