// SHM reader: a database directory with a design file (.dsn: names, found as
// tagged records) and transition files (.trn: value blocks found by their
// marker and read with a fixed set of encodings). A path to either file, or
// to the directory, loads. Every signal is one bit: values are Int 0 or 1.
// Values of several transition files share one merged time list.
#pragma once

#include <string>

#include "trace.hpp"

namespace wq::shm {

LoadResult from_file(const std::string& path);

}  // namespace wq::shm
