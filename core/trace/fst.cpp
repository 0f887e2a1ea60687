#include "fst.hpp"

#include <fcntl.h>
#include <lz4.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include "fastlz.hpp"
#include "text.hpp"

namespace wq::fst {

namespace {

// A failure inside the reader, with the reader's text; from_file adds the
// stage it happened in.
struct Failure {
    std::string text;
};

[[noreturn]] void fail(std::string text) { throw Failure{std::move(text)}; }
[[noreturn]] void fail_io() { fail("I/O operation failed"); }

// Geometry codes for the two kinds of signal that are not bit vectors.
constexpr uint64_t kGeomReal = 0;
constexpr uint64_t kGeomText = 0xFFFFFFFF;

constexpr size_t kHeaderBytes = 330;

// Declared uncompressed sizes are trusted only as far as the codecs can
// expand the stored bytes (zlib at most ~1032:1, LZ4 and FastLZ ~255:1), so
// a damaged length cannot make the reader allocate without bound.
void check_expansion(uint64_t stored, uint64_t size) {
    if (size / 1100 > stored + 4) fail_io();
}

// Bounds-checked reads from a byte range; running past its end is an I/O
// failure, as for a truncated file.
struct Reader {
    const uint8_t* p;
    const uint8_t* end;

    size_t left() const { return static_cast<size_t>(end - p); }
    const uint8_t* take(uint64_t n) {
        if (n > left()) fail_io();
        const uint8_t* q = p;
        p += n;
        return q;
    }
    uint8_t u8() { return *take(1); }
    uint64_t u64be() {
        const uint8_t* q = take(8);
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v = v << 8 | q[i];
        return v;
    }
    // The 7-bit groups of a LEB128 number, least significant first; `filled`
    // gets the number of bits read and `last` the final byte.
    uint64_t leb128(unsigned& filled, uint8_t& last) {
        uint64_t v = 0;
        for (unsigned i = 0; i < 10; ++i) {
            if (p == end) fail_io();
            last = *p++;
            v |= uint64_t{last & 0x7Fu} << (7 * i);
            if (!(last & 0x80)) {
                filled = 7 * (i + 1);
                return v;
            }
        }
        fail("failed to read leb128 integer, more than the expected 64 bits");
    }
    uint64_t varint() {
        unsigned filled;
        uint8_t last;
        return leb128(filled, last);
    }
    int64_t svarint() {
        unsigned filled;
        uint8_t last;
        uint64_t v = leb128(filled, last);
        if (filled < 64 && (last & 0x40)) v |= ~uint64_t{0} << filled;  // sign-extend
        return static_cast<int64_t>(v);
    }
    std::string_view cstr() {
        const void* zero = std::memchr(p, 0, left());
        if (!zero) fail_io();
        std::string_view s(reinterpret_cast<const char*>(p), static_cast<const uint8_t*>(zero) - p);
        p = static_cast<const uint8_t*>(zero) + 1;
        return s;
    }
};

uint64_t u64be_at(const uint8_t* p) { return Reader{p, p + 8}.u64be(); }

// --- codecs ------------------------------------------------------------------

void unpack_zlib(const uint8_t* in, size_t n, uint8_t* out, uint64_t size) {
    uLongf got = size;
    if (uncompress(out, &got, in, n) != Z_OK || got != size) fail("failed to decompress with zlib");
}

void unpack_lz4(const uint8_t* in, size_t n, uint8_t* out, uint64_t size) {
    if (n > INT_MAX || size > INT_MAX) fail("failed to decompress with lz4");
    int got = LZ4_decompress_safe(reinterpret_cast<const char*>(in), reinterpret_cast<char*>(out),
                                  static_cast<int>(n), static_cast<int>(size));
    if (got < 0 || static_cast<uint64_t>(got) != size) fail("failed to decompress with lz4");
}

// Per-signal streams: the block's pack type names the codec.
void unpack_stream(uint8_t pack, const uint8_t* in, size_t n, uint8_t* out, uint64_t size) {
    if (pack == '4') return unpack_lz4(in, n, out, size);
    if (pack == 'F') {
        if (!fastlz_decompress(in, n, out, size)) fail("failed to decompress with fastlz");
        return;
    }
    unpack_zlib(in, n, out, size);  // 'Z', and '!' or anything else in old files
}

// Geometry, frame and time table: zlib exactly when the stored length differs.
std::vector<uint8_t> zlib_or_raw(const uint8_t* in, size_t n, uint64_t size) {
    if (n == size) return std::vector<uint8_t>(in, in + n);
    check_expansion(n, size);
    std::vector<uint8_t> out(size);
    unpack_zlib(in, n, out.data(), size);
    return out;
}

// One gzip member (the hierarchy block, the whole-file wrapper) inflating to
// exactly `size` bytes.
std::vector<uint8_t> inflate_gzip(const uint8_t* in, size_t n, uint64_t size) {
    if (n < 10 || in[0] != 0x1F || in[1] != 0x8B || in[2] != 8) fail("failed to parse a gzip header: invalid magic");
    check_expansion(n, size);
    std::vector<uint8_t> out(size);
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK) fail("failed to decompress gzip stream: out of memory");
    size_t in_pos = 0, out_pos = 0;
    int rc = Z_OK;
    constexpr size_t kStep = size_t{1} << 30;  // zlib counts in 32 bits
    while (rc == Z_OK) {
        if (z.avail_in == 0) {
            z.next_in = const_cast<uint8_t*>(in + in_pos);
            z.avail_in = static_cast<uInt>(std::min(kStep, n - in_pos));
            in_pos += z.avail_in;
        }
        if (z.avail_out == 0) {
            z.next_out = out.data() + out_pos;
            z.avail_out = static_cast<uInt>(std::min<uint64_t>(kStep, size - out_pos));
            out_pos += z.avail_out;
        }
        uInt before_in = z.avail_in, before_out = z.avail_out;
        rc = inflate(&z, Z_NO_FLUSH);
        if (rc == Z_BUF_ERROR && (before_in == z.avail_in && before_out == z.avail_out)) break;
        if (rc == Z_BUF_ERROR) rc = Z_OK;
    }
    uint64_t produced = out_pos - z.avail_out;
    std::string message = z.msg ? z.msg : "unexpected end of data";
    inflateEnd(&z);
    if (rc != Z_STREAM_END) fail("failed to decompress gzip stream: " + message);
    if (produced != size) fail("failed to decompress gzip stream: wrong uncompressed size");
    return out;
}

// --- the file image -------------------------------------------------------------

// The file's bytes: mapped read-only, or inflated from a gzip wrapper.
class Image {
public:
    Image() = default;
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
    ~Image() {
        if (map_) munmap(map_, map_size_);
    }

    // An empty string, or the "Failed to open" text.
    std::string open(const std::string& path) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return os_error("Failed to open", path, errno);
        struct stat st {};
        int err = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
        if (!err && st.st_size > 0) {
            void* m = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
            if (m == MAP_FAILED) {
                err = errno;
            } else {
                map_ = m;
                map_size_ = static_cast<size_t>(st.st_size);
                data_ = static_cast<const uint8_t*>(m);
                size_ = map_size_;
            }
        }
        ::close(fd);
        return err ? os_error("Failed to open", path, err) : std::string();
    }

    // Gives back the memory of mapped file bytes that are no longer needed
    // (whole pages inside [b, e) only); the kernel reads them again if they
    // are touched. Inflated or borrowed bytes are left alone.
    void release(const uint8_t* b, const uint8_t* e) const {
        if (!map_ || data_ != map_) return;
        const uintptr_t page = 4096;
        uintptr_t from = (reinterpret_cast<uintptr_t>(b) + page - 1) & ~(page - 1);
        uintptr_t to = reinterpret_cast<uintptr_t>(e) & ~(page - 1);
        if (from < to) madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
    }
    void view(const uint8_t* data, size_t size) {
        data_ = data;
        size_ = size;
    }
    void replace(std::vector<uint8_t> bytes) {
        owned_ = std::move(bytes);
        data_ = owned_.data();
        size_ = owned_.size();
    }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

private:
    void* map_ = nullptr;
    size_t map_size_ = 0;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    std::vector<uint8_t> owned_;
};

// --- header and block walk -----------------------------------------------------

struct VcBlock {
    size_t begin, end;  // the block's type byte, one past its last byte
    uint8_t type;
};

struct Layout {
    uint64_t begin_time = 0;
    bool swap_doubles = false;
    std::vector<VcBlock> blocks;
    const uint8_t* geometry = nullptr;  // the block's type byte
    size_t geometry_size = 0;
    const uint8_t* hierarchy = nullptr;
    size_t hierarchy_size = 0;
};

// Unwraps a gzip-wrapped file in place.
void unwrap(Image& image) {
    if (image.size() == 0 || image.data()[0] != 254) return;
    if (image.size() < 17) fail_io();
    if (u64be_at(image.data() + 1) == 0)
        fail("The FST file is still being compressed into its final GZIP wrapper.");
    uint64_t size = u64be_at(image.data() + 9);
    image.replace(inflate_gzip(image.data() + 17, image.size() - 17, size));
}

// Where the blocks resume after a placeholder with a block's times and
// frame, or 0 when no valid block follows.
size_t after_placeholder(const uint8_t* d, size_t pos, size_t n) {
    if (n - pos < 33) return 0;
    Reader r{d + pos + 33, d + n};
    try {
        r.varint();
        uint64_t stored = r.varint();
        r.varint();
        r.take(stored);
    } catch (const Failure&) {
        return 0;
    }
    size_t next = static_cast<size_t>(r.p - d);
    if (n - next < 9) return 0;
    uint8_t type = d[next];
    uint64_t length = u64be_at(d + next + 1);
    bool known = type == 2 || type == 3 || type == 4 || type == 6 || type == 7;
    return known && length >= 8 && length <= n - next - 1 ? next : 0;
}

Layout read_layout(const Image& image) {
    const uint8_t* d = image.data();
    size_t n = image.size();
    if (n == 0) fail_io();
    if (d[0] != 0) fail("Unexpected block type");
    if (n < kHeaderBytes) fail_io();
    Layout layout;
    // The constant e, stored in the writer's byte order, says how doubles are stored.
    const double e = 2.718281828459045;
    uint8_t native[8], probe[8];
    std::memcpy(native, &e, 8);
    std::memcpy(probe, d + 25, 8);
    if (std::memcmp(native, probe, 8) != 0) {
        std::reverse(probe, probe + 8);
        if (std::memcmp(native, probe, 8) != 0) fail("Unexpected file type");
        layout.swap_doubles = true;
    }
    if (d[321] > 2) fail("Unexpected file type");

    // Walk the blocks by their lengths; a placeholder of length 0 marks where
    // a writer stopped, and a length past the end a truncated file.
    size_t pos = kHeaderBytes;
    while (pos + 9 <= n) {
        uint8_t type = d[pos];
        uint64_t length = u64be_at(d + pos + 1);
        if (length == 0 && type == 255) {
            // A writer that stopped leaves the block it was filling as a
            // placeholder: its times and frame, then nothing more. A closed file
            // can still hold blocks after one (a trace with no value changes).
            size_t after = after_placeholder(d, pos, n);
            if (after == 0) break;
            pos = after;
            continue;
        }
        if (length < 8 || length > n - pos - 1) break;
        size_t end = pos + 1 + static_cast<size_t>(length);
        switch (type) {
            case 1:
            case 5:
            case 8:
                layout.blocks.push_back({pos, end, type});
                break;
            case 3:
                layout.geometry = d + pos;
                layout.geometry_size = end - pos;
                break;
            case 4:
            case 6:
            case 7:
                layout.hierarchy = d + pos;
                layout.hierarchy_size = end - pos;
                break;
            default:  // blackout, placeholders and unknown blocks carry no values
                break;
        }
        pos = end;
    }
    return layout;
}

// --- geometry ----------------------------------------------------------------

// One code per handle: bits of a vector, kGeomReal or kGeomText.
std::vector<uint32_t> read_geometry(const Layout& layout) {
    Reader r{layout.geometry + 9, layout.geometry + layout.geometry_size};
    uint64_t size = r.u64be();
    uint64_t handles = r.u64be();
    std::vector<uint8_t> data = zlib_or_raw(r.p, r.left(), size);
    if (handles > data.size()) fail_io();  // every entry takes at least one byte
    std::vector<uint32_t> geometry(handles);
    Reader g{data.data(), data.data() + data.size()};
    for (auto& code : geometry) {
        uint64_t v = g.varint();
        if (v > kGeomText) fail_io();
        code = static_cast<uint32_t>(v);
    }
    return geometry;
}

// --- hierarchy -----------------------------------------------------------------

// The hierarchy records: from the file's block, or else from the side file
// "<path>.hier" that a writer keeps until it closes the trace.
std::vector<uint8_t> hierarchy_bytes(const Layout& layout, const std::string& path) {
    if (!layout.hierarchy) {
        Image side;
        if (path.empty() || !side.open(path + ".hier").empty())
            fail("The FST file is incomplete: hierarchy block is missing.");
        return std::vector<uint8_t>(side.data(), side.data() + side.size());
    }
    Reader r{layout.hierarchy, layout.hierarchy + layout.hierarchy_size};
    uint8_t type = r.u8();
    r.u64be();
    uint64_t size = r.u64be();
    if (type == 4) return inflate_gzip(r.p, r.left(), size);
    if (type == 7) {  // LZ4 applied twice
        uint64_t middle = r.varint();
        check_expansion(r.left(), middle);
        std::vector<uint8_t> once(middle);
        unpack_lz4(r.p, r.left(), once.data(), middle);
        check_expansion(once.size(), size);
        std::vector<uint8_t> out(size);
        unpack_lz4(once.data(), once.size(), out.data(), size);
        return out;
    }
    check_expansion(r.left(), size);
    std::vector<uint8_t> out(size);
    unpack_lz4(r.p, r.left(), out.data(), size);
    return out;
}

constexpr uint64_t kNoId = UINT64_MAX;

struct Handles {
    std::vector<uint64_t> ids;        // per handle - 1: its signal id, or kNoId
    std::vector<uint32_t> geometry;   // per handle - 1, as the variables declare it
};

// Names, scopes and ids from the hierarchy records, and the id of every
// handle (kNoId for a handle no registered variable names).
Handles read_hierarchy(const std::vector<uint8_t>& bytes, TraceRecord& rec) {
    Handles out;
    Reader r{bytes.data(), bytes.data() + bytes.size()};
    std::vector<std::string_view> stack;
    std::unordered_set<std::string> scopes_seen;
    std::unordered_map<uint64_t, uint64_t> id_of_handle;  // handle - 1 -> id
    uint64_t handle_counter = 0, next_id = 0;
    std::string path;
    rec.signals.reserve(bytes.size() / 16);  // a variable record takes at least a dozen bytes
    auto checked = [](std::string_view s) {
        if (!utf8_valid(s.data(), s.data() + s.size())) fail("failed to decode string");
        return s;
    };
    auto join_stack = [&] {
        path.clear();
        for (size_t i = 0; i < stack.size(); ++i) {
            if (i) path += '.';
            path += stack[i];
        }
    };
    while (r.left()) {
        uint8_t tag = r.u8();
        if (tag == 254) {  // scope; its kind and component name do not matter here
            r.u8();
            stack.push_back(checked(r.cstr()));
            r.cstr();
            join_stack();
            if (scopes_seen.insert(path).second) rec.scopes.push_back(path);
        } else if (tag == 255) {
            if (!stack.empty()) stack.pop_back();
        } else if (tag == 252) {  // attribute: annotations only
            r.u8();
            r.u8();
            r.cstr();
            r.varint();
        } else if (tag == 253) {
        } else if (tag <= 29) {
            if (r.u8() > 5) fail("Unexpected variable direction");
            std::string_view name = checked(r.cstr());
            uint64_t length = r.varint();
            uint64_t alias = r.varint();
            uint64_t handle = alias ? alias : ++handle_counter;
            if (!alias) {  // what a geometry block would say, for files without one
                bool real = tag == 3 || tag == 4 || tag == 20 || tag == 29;
                out.geometry.push_back(real ? kGeomReal : length == 0 ? kGeomText
                                                        : static_cast<uint32_t>(std::min<uint64_t>(length, kGeomText - 1)));
            }
            join_stack();
            std::string full = stack.empty() ? std::string(name) : path + "." + std::string(name);
            if (rec.signals.count(full)) continue;  // the first variable of a name wins
            auto [it, fresh] = id_of_handle.try_emplace(handle - 1, next_id);
            if (fresh) ++next_id;
            uint32_t width = static_cast<uint32_t>(std::min<uint64_t>(length, UINT32_MAX));
            rec.signals.emplace(full, SignalInfo{it->second, width});
            rec.names.push_back(std::move(full));
        } else {
            break;  // not a record: the stream ends here
        }
    }
    out.ids.assign(handle_counter, kNoId);
    for (auto [index, id] : id_of_handle)
        if (index < handle_counter) out.ids[index] = id;
    rec.store.add_columns(next_id);
    return out;
}

// --- value-change blocks --------------------------------------------------------

// Where a block's parts are, and its time table.
struct BlockParts {
    uint64_t begin_time;
    std::vector<uint64_t> times;
    const uint8_t* frame;  // after its three lengths
    uint64_t frame_size, frame_stored, frame_handles;
    uint64_t vc_handles;
    const uint8_t* waves;  // the pack type byte; stream offsets count from here
    const uint8_t* positions;
    size_t positions_size;
};

BlockParts read_block(const Image& image, const VcBlock& block) {
    const uint8_t* b = image.data() + block.begin;
    const uint8_t* e = image.data() + block.end;
    BlockParts parts{};
    if (e - b < 33 + 32) fail_io();
    parts.begin_time = u64be_at(b + 9);
    uint64_t time_size = u64be_at(e - 24), time_stored = u64be_at(e - 16), time_count = u64be_at(e - 8);
    if (time_stored > static_cast<uint64_t>(e - b) - 33 - 32) fail_io();
    const uint8_t* time_data = e - 24 - time_stored;
    uint64_t positions_size = u64be_at(time_data - 8);
    std::vector<uint8_t> time_bytes = zlib_or_raw(time_data, time_stored, time_size);
    if (time_count > time_bytes.size()) fail_io();
    parts.times.resize(time_count);
    Reader t{time_bytes.data(), time_bytes.data() + time_bytes.size()};
    uint64_t time = 0;
    for (auto& out : parts.times) out = time += t.varint();  // wraps like the writer's deltas

    Reader r{b + 33, time_data - 8};
    parts.frame_size = r.varint();
    parts.frame_stored = r.varint();
    parts.frame_handles = r.varint();
    parts.frame = r.take(parts.frame_stored);
    parts.vc_handles = r.varint();
    parts.waves = r.take(1);
    if (positions_size > r.left()) fail_io();
    parts.positions = time_data - 8 - positions_size;
    parts.positions_size = positions_size;
    return parts;
}

struct Stream {
    uint64_t offset = 0, length = 0;  // from the pack type byte; length 0: no data
};

// Each index's stream from the position table, for indices below `handles`.
std::vector<Stream> read_positions(const BlockParts& parts, uint8_t block_type, size_t handles) {
    std::vector<Stream> streams(std::min<uint64_t>(parts.vc_handles, handles));
    std::vector<int64_t> alias_of(streams.size(), -1);
    Reader r{parts.positions, parts.positions + parts.positions_size};
    uint64_t offset = 0;
    int64_t last_alias = -1;
    std::vector<size_t> with_data;
    size_t i = 0;
    auto own = [&](uint64_t delta) {
        offset += delta;
        if (i < streams.size()) {
            streams[i].offset = offset;
            with_data.push_back(i);
        }
        ++i;
    };
    auto alias = [&](int64_t source) {
        if (i < streams.size()) alias_of[i] = source;
        ++i;
    };
    while (r.left() && i < streams.size()) {
        if (block_type == 8) {
            if (*r.p & 1) {
                int64_t v = r.svarint() >> 1;
                if (v > 0) {
                    own(static_cast<uint64_t>(v));
                } else {
                    if (v < 0) last_alias = -v - 1;
                    alias(last_alias);
                }
            } else {
                i += r.varint() >> 1;
            }
        } else {
            uint64_t u = r.varint();
            if (u == 0) {
                uint64_t h = r.varint();
                alias(h ? static_cast<int64_t>(std::min<uint64_t>(h - 1, INT64_MAX)) : -1);
            } else if (u & 1) {
                own(u >> 1);
            } else {
                i += u >> 1;
            }
        }
    }
    // Lengths run to the next stream's offset, the last one's to the table.
    uint64_t waves_end = static_cast<uint64_t>(parts.positions - parts.waves);
    for (size_t k = 0; k < with_data.size(); ++k) {
        Stream& s = streams[with_data[k]];
        uint64_t next = k + 1 < with_data.size() ? streams[with_data[k + 1]].offset : waves_end;
        if (next < s.offset || next > waves_end) fail_io();
        s.length = next - s.offset;
    }
    // An alias reuses an earlier index's stream; any other is no data.
    for (size_t k = 0; k < streams.size(); ++k)
        if (alias_of[k] >= 0 && static_cast<size_t>(alias_of[k]) < k) streams[k] = streams[alias_of[k]];
    return streams;
}

double read_double(const uint8_t* p, bool swap) {
    uint8_t bytes[8];
    std::memcpy(bytes, p, 8);
    if (swap) std::reverse(bytes, bytes + 8);
    double d;
    std::memcpy(&d, bytes, 8);
    return d;
}

// The last 64 bits of an n-bit vector packed MSB first into ceil(n/8) bytes.
uint64_t packed_bits(const uint8_t* p, uint64_t bits) {
    uint64_t bytes = (bits + 7) / 8;
    unsigned pad = static_cast<unsigned>(bytes * 8 - bits);
    uint64_t take = std::min<uint64_t>(bytes, 9);
    unsigned __int128 v = 0;
    for (const uint8_t* q = p + bytes - take; q < p + bytes; ++q) v = v << 8 | *q;
    return static_cast<uint64_t>(v >> pad);
}

// How convert_value reads a bit string or text.
enum class CharsKind { kMissing, kLogic, kInt, kText };

CharsKind classify(std::string_view bytes) {
    if (bytes.empty()) return CharsKind::kMissing;
    bool binary = true;
    for (char c : bytes) {
        switch (c) {
            case 'X': case 'Z': case 'h': case 'l': case 'u': case 'w': case 'x': case 'z': case '-':
                return CharsKind::kLogic;
            default:
                binary &= c == '0' || c == '1';
        }
    }
    return binary ? CharsKind::kInt : CharsKind::kText;
}

uint8_t logic_code(char c) {
    return c == '0' ? kLogic0 : c == '1' ? kLogic1 : (c == 'z' || c == 'Z') ? kLogicZ : kLogicX;
}

// The number a string of 0 and 1 spells, keeping its last 64 digits.
uint64_t binary_value(std::string_view bytes) {
    uint64_t v = 0;
    for (char c : bytes.substr(bytes.size() > 64 ? bytes.size() - 64 : 0)) v = v << 1 | uint64_t(c == '1');
    return v;
}

// What one decoding thread keeps between streams.
struct Scratch {
    std::vector<uint8_t> stream;
    std::vector<uint8_t> codes;
};

// Records the changes of one signal's stream into column `id`.
class StreamDecoder {
public:
    StreamDecoder(SignalStore& store, uint64_t id, uint32_t geometry, const std::vector<uint32_t>& index_of_time,
                  bool swap_doubles, Scratch& scratch)
        : store_(store), id_(id), geometry_(geometry), index_of_time_(index_of_time), swap_(swap_doubles),
          scratch_(scratch) {
        last_ = store.last_index(id).value_or(0);
    }

    void put_real(uint32_t index, double v) { store_.record(id_, clamp(index), v); }
    void put_int(uint32_t index, uint64_t v) { store_.record_int(id_, clamp(index), v); }
    // convert_value's rules, straight into the store.
    void put_chars(uint32_t index, std::string_view bytes) {
        index = clamp(index);
        switch (classify(bytes)) {
            case CharsKind::kMissing:
                store_.record(id_, index, Missing{});
                break;
            case CharsKind::kInt:
                store_.record_int(id_, index, binary_value(bytes));
                break;
            case CharsKind::kLogic:
                scratch_.codes.resize(bytes.size());
                for (size_t i = 0; i < bytes.size(); ++i) scratch_.codes[i] = logic_code(bytes[i]);
                store_.record_logic(id_, index, scratch_.codes.data(), bytes.size());
                break;
            case CharsKind::kText:
                if (utf8_valid(bytes.data(), bytes.data() + bytes.size()))
                    store_.record_text(id_, index, bytes);
                else
                    store_.record_text(id_, index, utf8_lossy(bytes));
                break;
        }
    }

    // Counts the stream's records, and makes room for them in the column.
    void reserve(const uint8_t* data, size_t size) {
        Reader r{data, data + size};
        size_t records = 0;
        for (; r.left(); ++records) {
            uint64_t v = r.varint();
            if (geometry_ == 1) continue;
            if (geometry_ == kGeomReal)
                r.take(v & 1 ? 8 : 1);
            else if (geometry_ == kGeomText)
                r.take(r.varint());
            else
                r.take(v & 1 ? geometry_ : (uint64_t{geometry_} + 7) / 8);
        }
        unsigned word = geometry_ == kGeomReal ? 8 : geometry_ == kGeomText ? 4
                                                   : static_cast<unsigned>(std::min<uint64_t>(8, (geometry_ + 7) / 8));
        store_.reserve_points(id_, records, word);
    }

    void decode(const uint8_t* data, size_t size) {
        Reader r{data, data + size};
        uint64_t t = 0;
        while (r.left()) {
            uint64_t v = r.varint();
            if (geometry_ == 1) {
                if (!(v & 1)) {
                    t += v >> 2;
                    put_int(index_at(t), (v >> 1) & 1);
                } else {
                    t += v >> 4;
                    static constexpr char kCodes[] = "xzhuwl-?";
                    put_chars(index_at(t), std::string_view(&kCodes[(v >> 1) & 7], 1));
                }
            } else if (geometry_ == kGeomReal) {
                t += v >> 1;
                if (v & 1) {
                    put_real(index_at(t), read_double(r.take(8), swap_));
                } else {
                    // Written through the bit packer: each bit is one byte of '0' or '1'.
                    uint8_t packed = r.u8(), bytes[8];
                    for (int k = 0; k < 8; ++k) bytes[k] = 0x30 | ((packed >> (7 - k)) & 1);
                    put_real(index_at(t), read_double(bytes, swap_));
                }
            } else if (geometry_ == kGeomText) {
                t += v >> 1;
                uint64_t n = r.varint();
                const uint8_t* bytes = r.take(n);
                if (!(v & 1)) put_chars(index_at(t), std::string_view(reinterpret_cast<const char*>(bytes), n));
            } else {
                t += v >> 1;
                if (!(v & 1)) {
                    put_int(index_at(t), packed_bits(r.take((uint64_t{geometry_} + 7) / 8), geometry_));
                } else {
                    const uint8_t* chars = r.take(geometry_);
                    put_chars(index_at(t), std::string_view(reinterpret_cast<const char*>(chars), geometry_));
                }
            }
        }
    }

private:
    uint32_t index_at(uint64_t t) const {
        if (t >= index_of_time_.size()) fail_io();
        return index_of_time_[t];
    }
    // The store takes indices in ascending order; a time that goes back
    // (a writer given decreasing times) lands on the latest index so far.
    uint32_t clamp(uint32_t index) {
        last_ = std::max(last_, index);
        return last_;
    }

    SignalStore& store_;
    uint64_t id_;
    uint32_t geometry_;
    const std::vector<uint32_t>& index_of_time_;
    bool swap_;
    Scratch& scratch_;
    uint32_t last_ = 0;
};

// Position of `t` among the time stamps: its own, or the greatest below it,
// 0 when it is below all of them.
uint32_t index_of(const std::vector<uint64_t>& stamps, uint64_t t) {
    auto it = std::upper_bound(stamps.begin(), stamps.end(), t);
    return it == stamps.begin() ? 0 : static_cast<uint32_t>(it - stamps.begin() - 1);
}

// Frame bytes of one handle: one character per bit, a double, or nothing.
uint64_t frame_bytes(uint32_t geometry) {
    return geometry == kGeomReal ? 8 : geometry == kGeomText ? 0 : geometry;
}

void read_values(const Image& image, const Layout& layout, std::vector<BlockParts>& blocks,
                 const std::vector<uint32_t>& geometry, const std::vector<uint64_t>& ids, TraceRecord& rec) {
    const size_t handles = geometry.size();
    tbb::enumerable_thread_specific<Scratch> scratch;
    for (size_t b = 0; b < blocks.size(); ++b) {
        BlockParts& parts = blocks[b];
        std::vector<uint32_t> index_of_time(parts.times.size());
        for (size_t k = 0; k < parts.times.size(); ++k) index_of_time[k] = index_of(rec.timestamps, parts.times[k]);
        std::vector<Stream> streams = read_positions(parts, layout.blocks[b].type, handles);

        // The first block's frame: every signal's value at its begin time.
        std::vector<uint8_t> frame;
        std::vector<uint64_t> frame_at;
        if (b == 0) {
            frame = zlib_or_raw(parts.frame, parts.frame_stored, parts.frame_size);
            uint64_t covered = std::min<uint64_t>(parts.frame_handles, handles), offset = 0;
            frame_at.resize(covered);
            for (size_t h = 0; h < covered; ++h) {
                frame_at[h] = offset;
                offset += frame_bytes(geometry[h]);
                if (offset > frame.size()) fail_io();
            }
        }
        uint32_t begin_index = index_of(rec.timestamps, parts.begin_time);
        const uint8_t pack = *parts.waves;
        const uint8_t* waves = parts.waves;
        const uint8_t* waves_end = parts.positions;
        tbb::parallel_for(tbb::blocked_range<size_t>(0, handles, 64), [&](const tbb::blocked_range<size_t>& range) {
            Scratch& s = scratch.local();
            for (size_t h = range.begin(); h < range.end(); ++h) {
                if (ids[h] == kNoId) continue;
                bool has_stream = h < streams.size() && streams[h].length > 0;
                bool has_frame = h < frame_at.size() && geometry[h] != kGeomText;
                if (!has_stream && !has_frame) continue;
                StreamDecoder decoder(rec.store, ids[h], geometry[h], index_of_time, layout.swap_doubles, s);
                if (has_frame) {
                    const uint8_t* f = frame.data() + frame_at[h];
                    if (geometry[h] == kGeomReal)
                        decoder.put_real(begin_index, read_double(f, layout.swap_doubles));
                    else
                        decoder.put_chars(begin_index, std::string_view(reinterpret_cast<const char*>(f), geometry[h]));
                }
                if (!has_stream) continue;
                const Stream& st = streams[h];
                if (st.offset > static_cast<uint64_t>(waves_end - waves) - st.length) fail_io();
                Reader r{waves + st.offset, waves + st.offset + st.length};
                uint64_t size = r.varint();
                const uint8_t* records = r.p;
                if (size == 0) {
                    size = r.left();
                } else {
                    check_expansion(r.left(), size);
                    s.stream.resize(size);
                    unpack_stream(pack, r.p, r.left(), s.stream.data(), size);
                    records = s.stream.data();
                }
                decoder.reserve(records, size);
                decoder.decode(records, size);
                image.release(r.p, r.end);  // keeps the mapped file from staying resident
            }
        });
    }
}

}  // namespace

SignalValue convert_value(std::string_view bytes) {
    switch (classify(bytes)) {
        case CharsKind::kMissing:
            return Missing{};
        case CharsKind::kInt:
            return binary_value(bytes);
        case CharsKind::kLogic: {
            Logic out;
            for (char c : bytes) out.codes.push_back(logic_code(c));
            return out;
        }
        case CharsKind::kText:
            break;
    }
    return Text{utf8_lossy(bytes)};
}

namespace {

// Loads the FST held by `image`; `path` locates a hierarchy side file.
LoadResult load(Image& image, const std::string& path) {
    TraceRecord rec;
    const char* stage = "FST open: ";
    try {
        unwrap(image);
        Layout layout = read_layout(image);
        std::vector<uint32_t> geometry;
        if (layout.geometry) geometry = read_geometry(layout);
        stage = "FST hierarchy: ";
        Handles handles = read_hierarchy(hierarchy_bytes(layout, path), rec);
        if (!layout.geometry) geometry = std::move(handles.geometry);
        std::vector<uint64_t>& ids = handles.ids;
        ids.resize(geometry.size(), kNoId);
        stage = "FST signals: ";
        std::vector<BlockParts> blocks;
        for (const VcBlock& block : layout.blocks) {
            blocks.push_back(read_block(image, block));
            // One stamp per distinct time, in ascending order.
            for (uint64_t t : blocks.back().times)
                if (rec.timestamps.empty() || t > rec.timestamps.back()) rec.timestamps.push_back(t);
        }
        if (rec.timestamps.empty()) rec.timestamps.push_back(0);
        if (rec.timestamps.size() > UINT32_MAX)
            return load_error("FST signals: more than 4294967295 time stamps, more than this reader can index");
        rec.store.set_length(rec.timestamps.size());
        read_values(image, layout, blocks, geometry, ids, rec);
    } catch (const Failure& f) {
        return load_error(stage + f.text);
    } catch (const std::bad_alloc&) {
        return load_error(std::string(stage) + "out of memory");
    }
    return loaded(std::move(rec));
}

}  // namespace

LoadResult from_file(const std::string& path) {
    Image image;
    if (std::string err = image.open(path); !err.empty()) return load_error(std::move(err));
    return load(image, path);
}

LoadResult from_bytes(const uint8_t* data, size_t size) {
    Image image;
    image.view(data, size);
    return load(image, "");
}

}  // namespace wq::fst
