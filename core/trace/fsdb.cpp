#include "fsdb.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "scan.hpp"

namespace wq::fsdb {

namespace {

constexpr uint32_t kLegacy = 0xFDE099C1, kModern = 0x1C3ED948;
constexpr size_t kMaxScanned = 20;
// Entries (signal, time, value) a whole load may make. The offset codes
// repeat a block's changes for further signals and the clock runs up to the
// largest change time, so a crafted file could otherwise ask for billions.
constexpr uint64_t kMaxEntries = uint64_t{1} << 20;

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }
uint64_t le64(const uint8_t* p) { return le32(p) | uint64_t{le32(p + 4)} << 32; }

bool contains(const uint8_t* p, size_t n, std::string_view needle) {
    return std::search(p, p + n, needle.begin(), needle.end(),
                       [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }) != p + n;
}

// First position of `needle` in [from, to) of B (to clipped to B's size), or npos.
size_t find_bytes(const std::vector<uint8_t>& b, size_t from, size_t to, std::initializer_list<uint8_t> needle) {
    size_t len = needle.size();
    to = std::min(to, b.size());
    if (from >= to || to - from < len) return std::string::npos;
    auto it = std::search(b.begin() + from, b.begin() + to, needle.begin(), needle.end());
    return it == b.begin() + to ? std::string::npos : static_cast<size_t>(it - b.begin());
}


// --- block features and classification ------------------------------------------

size_t string_count(const uint8_t* w, size_t n) {
    size_t count = 0, i = 0;
    while (i < n) {
        if (w[i] < 0x21 || w[i] > 0x7E) {
            ++i;
            continue;
        }
        size_t end = i + 1;
        while (end < n && w[end] >= 0x20 && w[end] <= 0x7E) ++end;
        if (end >= n) break;  // a run reaching the window's end ends the count
        if (w[end] == 0 && end - i >= 3) ++count;
        i = end + 1;
    }
    return count;
}

bool record_look(const std::vector<uint8_t>& d) {
    size_t m = d.size();
    if (m >= 11) {
        size_t hits = 0;
        for (size_t i = 0; i + 2 < m; i += 3)
            if (d[i] == 0x01 && d[i + 2] >= 0x40 && d[i + 2] <= 0x7F) ++hits;
        if (hits > 5) return true;
    }
    if (m >= 21) {
        size_t limit = std::min<size_t>(m, 200), hits = 0;
        for (size_t i = 8; i + 4 <= limit; i += 4)
            if (d[i + 1] == 0 && d[i + 2] == 0 && d[i] <= 99) ++hits;
        if (hits > 3) return true;
    }
    return false;
}

bool ends_with_c1(const std::vector<uint8_t>& d, size_t back) {
    static const uint8_t kC1[] = {0xC1, 0x21, 0x00, 0x00};
    return d.size() >= back + 4 && std::memcmp(d.data() + d.size() - back - 4, kC1, 4) == 0;
}

// --- names from the file tail ---------------------------------------------------------

bool tail_name_ok(std::string_view s) {
    return !s.empty() && ((s[0] >= 'a' && s[0] <= 'z') || (s[0] >= 'A' && s[0] <= 'Z') || s[0] == '_') &&
           identifier_chars_only(s);
}

void names_from_tail(const uint8_t* z, TraceRecord& rec) {
    constexpr size_t kTail = 4096;
    auto letter = [](uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    size_t i = 0;
    while (i < kTail) {
        if (!(z[i] == 0x02 && i < kTail - 1 && letter(z[i + 1]))) {
            ++i;
            continue;
        }
        bool take = !(i > 0 && z[i - 1] == 0x04);
        size_t q = i + 1;
        for (;;) {  // a chain of 0x00-terminated strings
            if (z[q] < 0x20 || z[q] > 0x7E) {
                i = q;
                break;
            }
            size_t r = q;
            while (r < kTail && z[r] >= 0x20 && z[r] <= 0x7E) ++r;
            if (r >= kTail) return;  // runs to the end: the string is dropped, the scan ends
            if (z[r] != 0) {
                i = r;
                break;
            }
            std::string_view s(reinterpret_cast<const char*>(z + q), r - q);
            if (take && tail_name_ok(s)) accept_name(rec, s);
            if (r == kTail - 1) return;
            q = r + 1;
        }
    }
}

// --- widths from the type block ---------------------------------------------------------

void widths_from_type_block(const uint8_t* data, size_t size, uint64_t s, TraceRecord& rec) {
    if (s == 0 || s >= size || size - s <= 4) return;  // written so that no sum can wrap
    uint64_t n = le32(data + s);
    if (n > size - s - 4) return;
    // Inflate up to the stream's end or the n bytes' end; a stream cut short
    // gives what was inflated. The type block holds one small record per signal.
    std::vector<uint8_t> y(std::min<uint64_t>(n * 1100 + 64, uint64_t{64} << 20));
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return;
    z.next_in = const_cast<uint8_t*>(data + s + 4);
    z.avail_in = static_cast<uInt>(n);
    z.next_out = y.data();
    z.avail_out = static_cast<uInt>(y.size());
    int rc = inflate(&z, Z_FINISH);
    size_t produced = y.size() - z.avail_out;
    inflateEnd(&z);
    if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT || rc == Z_MEM_ERROR || rc == Z_STREAM_ERROR) return;
    y.resize(produced);
    size_t i = 0, k = 0;
    while (i < y.size() && k < rec.names.size()) {
        uint8_t c = y[i];
        if (c == 0x01) {
            if (i + 2 >= y.size()) break;
            uint8_t t = y[i + 2];
            uint32_t width = (t == 'C' || t == 'D') ? 8 : t == 'j' ? 2 : t == 'x' ? 16 : t == '}' ? 32 : 1;
            rec.signals[rec.names[k++]].width = width;
            i += ((t == 'C' || t == 'D') && i + 4 < y.size()) ? 5 : 3;
        } else if (c == 0x02) {
            i += 4;
        } else if (c == 0x21) {
            break;
        } else {
            ++i;
        }
    }
}

}  // namespace

TraceRecord parse_modern(const uint8_t* data, size_t size) {
    TraceRecord rec;

    // Block table and type block, behind the header gate.
    std::vector<std::pair<uint64_t, uint64_t>> table;
    uint64_t type_block = 0;
    if (size >= 385 && le32(data + 40) <= 84) {
        uint64_t t = le64(data + 264);
        type_block = le64(data + 272);
        if (t != 0 && t < size && size - t > 24) {
            uint32_t count = data[t + 22] | data[t + 23] << 8;
            for (uint64_t k = 0; k < count; ++k) {
                uint64_t o = t + 24 + 12 * k;
                if (o + 12 > size) break;
                uint64_t a = le32(data + o), b = le32(data + o + 8);
                if (a != 0 && a < size) table.emplace_back(a, b);
            }
        }
    }

    // Stream scan: zlib headers anywhere in the file, at most 20 streams.
    std::vector<std::pair<size_t, std::vector<uint8_t>>> scanned;
    for (size_t p = 0; scanned.size() < kMaxScanned && p + 2 <= size;) {
        uint8_t second = data[p + 1];
        if (data[p] == 0x78 && (second == 0x01 || second == 0x5E || second == 0x9C || second == 0xDA)) {
            if (auto got = try_zlib_decompress(data + p, size - p)) {
                scanned.emplace_back(p, std::move(got->bytes));
                p += std::max<size_t>(got->consumed, 2);
                continue;
            }
        }
        ++p;
    }

    // Table blocks serve as value blocks.
    std::vector<std::vector<uint8_t>> value_blocks;
    for (auto [a, b] : table) {
        auto got = try_zlib_decompress(data + a, std::min<uint64_t>(a + b, size) - a);
        if (!got) got = try_zlib_decompress(data + a, std::min<uint64_t>(a + b + 2, size) - a);
        if (got) value_blocks.push_back(std::move(got->bytes));
    }

    // Classify the scanned blocks the table did not name.
    std::vector<const std::vector<uint8_t>*> rich, marked, lean;
    for (const auto& block : scanned) {
        const std::vector<uint8_t>& d = block.second;
        if (std::any_of(table.begin(), table.end(), [&](const auto& e) { return e.first == block.first; })) continue;
        size_t m = d.size(), w = std::min<size_t>(m, 1024);
        size_t strings = string_count(d.data(), w);
        bool has_8c = false;
        for (size_t i = 0; i + 1 < w && !has_8c; ++i) has_8c = d[i] == 0x38 && d[i + 1] == 0x43;
        bool path_words = (m >= 4 && (contains(d.data(), w, "simv") || contains(d.data(), w, ".log") ||
                                      contains(d.data(), w, "csrc"))) ||
                          (m >= 6 && contains(d.data(), w, "daidir"));
        bool short_bang = m >= 3 && m <= 119 && d[m - 3] == 0x21 && d[m - 2] == 0 && d[m - 1] == 0 && !path_words;
        bool c1_ending = ends_with_c1(d, 0) || (m >= 8 && ends_with_c1(d, 4));
        bool name_candidate = false, value_candidate = false;
        if (path_words || record_look(d)) {
            continue;
        } else if (has_8c) {
            if (strings > 5) {
                marked.push_back(&d);
                value_blocks.push_back(d);
            } else {
                value_candidate = true;
            }
        } else if (short_bang) {
            name_candidate = true;
        } else if (c1_ending && strings < 3) {
            value_candidate = true;
        } else {
            name_candidate = true;
        }
        if (name_candidate && strings >= 11) rich.push_back(&d);
        if (name_candidate && strings >= 3 && strings <= 10) lean.push_back(&d);
        if (value_candidate && table.empty()) value_blocks.push_back(d);
    }

    for (const auto* group : {&rich, &marked, &lean})
        for (const auto* d : *group)
            for (const std::string& id : extract_identifiers(d->data(), d->size())) accept_name(rec, id);
    if (rec.names.empty() && size > 4096) names_from_tail(data + size - 4096, rec);

    widths_from_type_block(data, size, type_block, rec);
    rec.timestamps = {0};
    if (!value_blocks.empty()) decode_value_blocks(value_blocks, rec.names.size(), rec);
    rec.store.set_length(rec.timestamps.size());
    rec.scopes = derive_scopes(rec.names);
    return rec;
}

// --- the value-block decoder ----------------------------------------------------------------

namespace {

// Little-endian base-128 number at `pos`, ending at `limit` bytes or at `end`.
uint64_t read_varint(const std::vector<uint8_t>& b, size_t& pos, size_t end, size_t limit) {
    uint64_t v = 0;
    for (size_t j = 0; pos < end && j < limit; ++j) {
        uint8_t c = b[pos++];
        if (j < 10) v |= uint64_t{c & 0x7Fu} << (7 * j);
        if (c < 0x80) break;
    }
    return v;
}

// Past the varint starting at q: just after its first byte below 0x80, or n.
size_t skip_varint(const std::vector<uint8_t>& b, size_t q) {
    while (q < b.size() && b[q] >= 0x80) ++q;
    return std::min(q + 1, b.size());
}

using Entry = TimedValues::Entry;

struct Decoder {
    uint64_t signals;
    TimedValues values;
    uint64_t budget = kMaxEntries;

    void add(std::vector<Entry>& out, uint64_t signal, uint64_t time, uint64_t value) {
        if (budget == 0) return;
        --budget;
        out.push_back({signal, time, value});
    }

    void block(const std::vector<uint8_t>& b);
};

void Decoder::block(const std::vector<uint8_t>& b) {
    const size_t n = b.size();
    if (n < 8) return;
    // Header end: the start marker, or four varints when C1 21 00 00 occurs.
    size_t h = find_bytes(b, 0, n, {0x38, 0x43, 0x00, 0x04, 0x00, 0x08});
    if (h == std::string::npos) {
        if (find_bytes(b, 0, n, {0xC1, 0x21, 0x00, 0x00}) == std::string::npos) return;
        size_t pos = 0;
        for (int k = 0; k < 4; ++k) read_varint(b, pos, n, 10);
        h = pos;
    }
    if (n < h + 6) return;  // no room for the six bytes after the header
    std::vector<uint64_t> header;
    for (size_t pos = 0; pos < h;) header.push_back(read_varint(b, pos, h, 10));
    const uint64_t limit = header.size() >= 4 ? header[3] - 1 : UINT64_MAX;
    const uint64_t fixed = header.size() >= 5 ? header[4] : 0;
    const uint64_t fixed_time = header.size() >= 6 ? 5 * header[5] + 5 : 5;

    // Change region and value section.
    size_t e = n, section = std::string::npos;
    if (size_t m = find_bytes(b, h + 6, n, {0x44, 0x00, 0x63, 0x00, 0x03, 0x08}); m != std::string::npos) {
        e = m;
        section = m + 6;
    }
    if (size_t f = find_bytes(b, h + 6, e, {0xFF, 0xFF, 0xFF, 0xFF}); f != std::string::npos) e = f;
    if (size_t c = find_bytes(b, h + 6, e, {0xC1, 0x21, 0x00, 0x00}); c != std::string::npos) e = c;
    const uint8_t* region = b.data() + h + 6;
    const size_t region_size = e - (h + 6);
    const bool separators = std::find(region, region + region_size, 0x08) != region + region_size;
    const uint8_t last_region_byte = region_size ? region[region_size - 1] : 0;

    // Segments, and the clock segment.
    std::vector<std::pair<const uint8_t*, size_t>> segments;
    std::pair<const uint8_t*, size_t> clock{nullptr, 0};
    if (separators) {
        size_t start = 0;
        for (size_t i = 0; i < region_size; ++i)
            if (region[i] == 0x08) {
                segments.emplace_back(region + start, i - start);
                start = i + 1;
            }
        if (start < region_size) segments.emplace_back(region + start, region_size - start);
        if (segments.size() >= 2) {
            clock = segments.back();
            segments.pop_back();
        }
    } else if (region_size) {
        segments.emplace_back(region, region_size);
    }

    // Change pairs and offset codes.
    std::vector<std::pair<uint64_t, uint64_t>> changes;
    std::vector<std::pair<bool, uint64_t>> offsets;  // (low bit only, offset)
    uint64_t base = 0, count = 0;
    for (size_t k = 0; k < segments.size(); ++k) {
        auto [s, len] = segments[k];
        bool last = k + 1 == segments.size();
        std::vector<std::pair<uint64_t, uint64_t>> own;
        if (len >= 2) {
            uint64_t sum = 0, unit = 0;
            size_t j = 0;
            for (; j + 1 < len; j += 2) {
                uint8_t c = s[j];
                if (c >= 0x80) {
                    offsets.emplace_back(false, c - 0x80);
                } else if (c >= 0x40) {
                    offsets.emplace_back(true, c - 0x40);
                } else if (separators) {
                    sum += c;
                    own.emplace_back(sum == 0 ? base : base + 10 * (sum - 1), s[j + 1]);
                    ++count;
                } else {
                    if (count > limit) break;
                    uint64_t time;
                    if (own.empty()) {
                        unit = 5 * uint64_t{c} + 5;
                        time = unit;
                    } else {
                        time = own.back().first + uint64_t{c} * unit;
                    }
                    own.emplace_back(time, s[j + 1]);
                    ++count;
                }
            }
            if (separators && !last && len % 2 == 1)
                own.emplace_back(own.empty() ? base : own.back().first + 10, s[len - 1]);
        } else if (len == 1 && separators && !last) {
            own.emplace_back(base, s[0]);
        }
        if (!own.empty()) base = own.back().first;
        changes.insert(changes.end(), own.begin(), own.end());
    }

    // Initial codes from the value section.
    std::vector<uint8_t> initial;
    if (section != std::string::npos && section + 1 < n) {
        for (size_t q = section; q + 1 < n;) {
            uint8_t c = b[q];
            if (c == 0x00) {
                if (q + 2 < n && b[q + 1] == 0 && b[q + 2] == 0) break;
                ++q;
            } else if (c == 0x01) {
                if (q + 2 < n && b[q + 2] == 0x38) break;
                initial.push_back(b[q + 1]);
                q = q + 2 >= n ? q + 2 : skip_varint(b, q + 2);
            } else if (c == 0xC1 && q + 3 < n && b[q + 1] == 0x21 && b[q + 2] == 0 && b[q + 3] == 0) {
                break;
            } else if (c >= 0x80) {
                q = skip_varint(b, q);
                if (last_region_byte == 0xFF && std::find(initial.begin(), initial.end(), 255) == initial.end())
                    initial.push_back(255);
            } else if ((c >= 0x02 && c <= 0x08) || c == 0x27 || c == 0x38) {
                ++q;
            } else {
                initial.push_back(c);
                ++q;
            }
        }
    }

    // Entries.
    std::vector<Entry> entries;
    const uint64_t n_signals = signals;
    for (size_t k = 1; k <= initial.size(); ++k)
        if (k < n_signals) add(entries, k, 0, initial[k - 1]);
    const uint64_t a = initial.size() + 1;
    if (fixed != 0 && a < n_signals) add(entries, a, fixed_time, fixed);
    const uint64_t top_signal = n_signals ? n_signals - 1 : 0;
    uint64_t g = (initial.empty() && fixed == 0) ? 0 : std::min(top_signal, fixed != 0 ? a + 1 : a);
    uint64_t next_free = g;
    if (g < n_signals && !changes.empty()) {
        for (auto [t, v] : changes) add(entries, g, t, v);
        next_free = g + 1;
    }
    for (auto [low_bit, d] : offsets) {
        uint64_t h2 = next_free++;
        if (h2 >= n_signals) break;
        for (auto [t, v] : changes) add(entries, h2, t + d, low_bit ? v & 1 : v);
    }
    if (clock.first && clock.second >= 4 && (clock.first[0] & 0x40)) {
        uint64_t step = (5 * uint64_t{clock.first[2]}) / 2;
        uint64_t level = clock.first[3] == '0' ? 0 : 1;
        uint64_t top = 10;
        if (!changes.empty()) {
            uint64_t latest = 0;
            for (auto [t, v] : changes) latest = std::max(latest, t);
            top = latest + 10;
        }
        // A step of 0 gives the entry at 0 only, and the loop ends before a
        // time would wrap past 2^64 - 1 or when the entry budget is spent.
        for (uint64_t t = 0; budget > 0;) {
            add(entries, 0, t, level);
            level ^= 1;
            if (step == 0 || UINT64_MAX - t < step) break;
            t += step;
            if (t > top) break;
        }
    }
    values.apply(entries, signals);
}

}  // namespace

void decode_value_blocks(const std::vector<std::vector<uint8_t>>& blocks, uint64_t signals, TraceRecord& rec) {
    Decoder d{signals, {}};
    for (const auto& b : blocks) d.block(b);
    d.values.write(rec);
}

LoadResult from_file(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (std::string err = read_whole_file(path, bytes); !err.empty()) return load_error(std::move(err));
    if (bytes.size() <= 11) return load_error("FSDB file too small");
    uint32_t signature = uint32_t{bytes[4]} << 24 | bytes[5] << 16 | bytes[6] << 8 | bytes[7];
    if (signature == kModern) return loaded(parse_modern(bytes.data(), bytes.size()));
    if (signature != kLegacy) {
        char text[64];
        std::snprintf(text, sizeof text, "Not an FSDB file (magic=0x%08X)", signature);
        return load_error(text);
    }
    TraceRecord rec;
    if (bytes.size() > 272)
        for (const std::string& id : extract_identifiers(bytes.data() + 272, bytes.size() - 272)) accept_name(rec, id);
    rec.scopes = derive_scopes(rec.names);
    rec.timestamps = {0};
    rec.store.set_length(1);
    return loaded(std::move(rec));
}

}  // namespace wq::fsdb
