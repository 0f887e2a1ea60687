// FSDB reader. FSDB is a closed format, so the reader does not decode it: it
// recognises two layouts by the signature at offset 4 and scans the bytes.
//
// Legacy layout: every identifier-shaped string after offset 272 becomes a
// signal; there are no values.
//
// Modern layout: zlib blocks are found through the header's block table and
// by scanning for stream headers (at most 20 streams, each inflated into at
// most 4 MiB), sorted by simple statistics into name blocks and value blocks,
// names are taken from the name blocks (or from the file's last 4096 bytes),
// widths from the header's type block, and the value blocks are read as
// delta/value byte pairs that give synthetic time stamps and Int values.
//
// A file with a valid signature always loads; what does not match yields
// fewer names, widths or values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "trace.hpp"

namespace wq::fsdb {

LoadResult from_file(const std::string& path);

// The modern layout, from the whole file's bytes; never fails.
TraceRecord parse_modern(const uint8_t* data, size_t size);

// The value blocks' time stamps and values for `signals` names, into the
// record's timestamps and store.
void decode_value_blocks(const std::vector<std::vector<uint8_t>>& blocks, uint64_t signals, TraceRecord& rec);

}  // namespace wq::fsdb
