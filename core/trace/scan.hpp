// Helpers shared by the readers that find their data by scanning a file's
// bytes rather than decoding its format (FSDB, VPD).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
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

// Reads the whole file and hands its bytes to `parse`, or returns the read error.
template <class Parse>
LoadResult load_whole_file(const std::string& path, Parse&& parse) {
    std::vector<uint8_t> bytes;
    if (std::string err = read_whole_file(path, bytes); !err.empty()) return load_error(std::move(err));
    return parse(bytes);
}

// The scope paths of a list of "."-separated names: every proper prefix of
// every name, each once, in ascending byte order.
std::vector<std::string> derive_scopes(const std::vector<std::string>& names);

// Identifier-shaped strings in [data, data + size), in order of appearance,
// duplicates kept: a run of printable bytes ended by a 0x00 inside the range,
// made of letters, digits and _ $ . : [ ], whose "."-separated parts are
// non-empty and begin with a letter or '_', and that names no tool file
// (".log", ".tcl", ".fsdb", "simv", "csrc", "daidir").
std::vector<std::string> extract_identifiers(const uint8_t* data, size_t size);

// Every byte is an ASCII letter or digit or one of _ $ . : [ ].
bool identifier_chars_only(std::string_view s);

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

// Signal values as the scanning readers describe them: in batches (a block,
// a file), each batch sets values at times (a later entry for the same signal
// and time wins), gives time 0 the value 0 where a signal has none, and
// carries every value forward over all times known so far. Values follow
// their times: indices are given only once every time is known, so a later
// batch that adds earlier times moves nothing to the wrong index.
class TimedValues {
public:
    struct Entry {
        uint64_t signal, time, value;
    };
    // One batch; signals below `zero_fill` get 0 at time 0 if they have no value there.
    void apply(const std::vector<Entry>& entries, uint64_t zero_fill, std::initializer_list<uint64_t> extra_times = {});
    // The times, ascending, as the record's time stamps, and the values into its store.
    void write(TraceRecord& rec) const;

private:
    // Per signal, "the value from this time on". A batch that writes a value
    // also pins the value in force at the next already-known time, which is
    // what carrying forward over the earlier times had put there.
    std::vector<std::map<uint64_t, uint64_t>> points_;
    std::set<uint64_t> known_times_{0};
};

}  // namespace wq
