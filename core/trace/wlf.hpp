// WLF reader. The file is read as 8192-byte pages: signal names come from
// the printable text of the header page (and of pages 1 to 3 when the header
// promises more names than it holds), values from pages marked FF FF, read as
// (signal number, value byte) pairs between FF time-step bytes. Time stamps
// are the time indices themselves; every signal has width 1.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "trace.hpp"

namespace wq::wlf {

LoadResult from_file(const std::string& path);

// The same for a file's bytes held in memory.
LoadResult parse(const std::vector<uint8_t>& bytes);

}  // namespace wq::wlf
