// Helpers shared by the readers that find their data by scanning a file's
// bytes rather than decoding its format (FSDB, VPD).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trace.hpp"

namespace wq {

// Adds `name` as the next signal (id = names so far, width 1) unless the
// record has it; says whether it was added.
bool accept_name(TraceRecord& rec, std::string_view name);

// Reads the whole file into `out`; an empty string, or "Failed to read
// <path>: <system text> (os error N)".
std::string read_whole_file(const std::string& path, std::vector<uint8_t>& out);

// The scope paths of a list of "."-separated names: every proper prefix of
// every name, each once, in ascending byte order.
std::vector<std::string> derive_scopes(const std::vector<std::string>& names);

// Identifier-shaped strings in [data, data + size), in order of appearance,
// duplicates kept: a run of printable bytes ended by a 0x00 inside the range,
// made of letters, digits and _ $ . : [ ], whose "."-separated parts are
// non-empty and begin with a letter or '_', and that names no tool file
// (".log", ".tcl", ".fsdb", "simv", "csrc", "daidir").
std::vector<std::string> extract_identifiers(const uint8_t* data, size_t size);

// The looser rule of the VPD and WLF readers: a run as above of at least two
// characters, beginning with a letter or '_', without '/', '{', '(' or '@',
// whose "."-separated parts are non-empty and begin with a letter or '_'
// (blanks and other printable characters allowed inside).
std::vector<std::string> extract_names(const uint8_t* data, size_t size);

struct Inflated {
    std::vector<uint8_t> bytes;
    size_t consumed;  // input bytes the stream took
};

// Inflates one zlib stream at the start of [data, data + size): into 1 MiB
// first, and when the stream does not end there, again into 4 MiB, keeping
// what an incomplete stream gave. Nothing on corrupt data or empty output.
std::optional<Inflated> try_zlib_decompress(const uint8_t* data, size_t size);

}  // namespace wq
