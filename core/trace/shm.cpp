#include "shm.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "scan.hpp"
#include "text.hpp"

namespace wq::shm {

namespace {

namespace fs = std::filesystem;

constexpr uint8_t kMagic[] = {0xA1, 0x95, 0x11, 0xBF};
constexpr uint8_t kBlockMarker[] = {0x00, 0x1B, 0x22, 0x00};
// Events one transition file may make: a block's frame count is a 32-bit
// field, and evenly spaced toggles make one event per frame and slot.
constexpr size_t kMaxEvents = size_t{1} << 18;

uint32_t be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

enum class Kind { kOther, kScope, kSignal };

// The kind of a record tag, or nothing when the bytes are no tag.
std::optional<Kind> tag_kind(uint32_t tag) {
    switch (tag) {
        case 0x00070501: case 0x00270501: case 0x00070601:
            return Kind::kScope;
        case 0x00090700: case 0x00290700:
            return Kind::kSignal;
        case 0x00010102: case 0x00031102: case 0x000F0400: case 0x00020C07: case 0x00100B02:
        case 0x00100B04: case 0x00100B05: case 0x00120C0B: case 0x00140B07:
            return Kind::kOther;
        default:
            return std::nullopt;
    }
}

// Printable-led strings of [start, end): each runs to the next 0x00 before
// the limit (or to the limit) and counts when it is valid UTF-8.
std::vector<std::string> extract_strings(const std::vector<uint8_t>& d, size_t start, size_t end) {
    std::vector<std::string> out;
    size_t limit = std::min(end, d.size());
    for (size_t a = start; a < end;) {
        if (a >= d.size() || d[a] < 0x20 || d[a] > 0x7E) {
            ++a;
            continue;
        }
        size_t stop = a;
        while (stop < limit && d[stop] != 0) ++stop;
        const char* b = reinterpret_cast<const char*>(d.data() + a);
        if (stop > a && utf8_valid(b, b + (stop - a))) out.emplace_back(b, stop - a);
        a = stop + 1;
    }
    return out;
}

bool valid_identifier(std::string_view s) {
    if (s.empty() || !((s[0] >= 'a' && s[0] <= 'z') || (s[0] >= 'A' && s[0] <= 'Z') || s[0] == '_')) return false;
    for (char c : s) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
                  c == '(' || c == ')' || c == '.' || c == '[' || c == ']';
        if (!ok) return false;
    }
    return true;
}

// Names and scopes from the design file; an error text on failure.
std::string read_design(const std::string& path, TraceRecord& rec) {
    std::vector<uint8_t> d;
    if (std::string err = read_whole_file(path, d); !err.empty())
        return "DSN: " + err.substr(("Failed to read " + path + ": ").size());  // the system's text alone
    const size_t length = d.size();
    if (length < 128) return {};
    if (!std::equal(kMagic, kMagic + 4, d.begin())) {
        char text[64];
        std::snprintf(text, sizeof text, "Bad DSN magic: 0x%08X", be32(d.data()));
        return text;
    }
    if (length < 140) return {};
    auto register_name = [&](const std::string& s) { return valid_identifier(s) && accept_name(rec, s); };
    size_t i = 128;
    while (i + 12 <= length) {
        uint32_t tag = be32(d.data() + i);
        if (tag == 0) {
            i += 4;
            continue;
        }
        uint64_t next = be32(d.data() + i + 4), name_at = be32(d.data() + i + 8);
        size_t start = (i < name_at && name_at <= length) ? std::max<size_t>(i + 12, name_at) : i + 12;
        size_t end = (i < next && next <= length) ? next : std::min(length, i + 256);
        auto kind = tag_kind(tag);
        if (kind == Kind::kScope) {
            for (std::string& s : extract_strings(d, start, end))
                if (s.size() >= 2) rec.scopes.push_back(std::move(s));
        } else if (kind == Kind::kSignal) {
            if (name_at != 0 && name_at < i && name_at < length) {
                for (const std::string& s : extract_strings(d, name_at, std::min<size_t>(length, name_at + 64)))
                    if (register_name(s)) break;
            } else {
                for (const std::string& s : extract_strings(d, start, end)) register_name(s);
            }
        }
        if (i < next && next <= length) {
            i = next;
            continue;
        }
        // No usable next-record offset: look ahead for something shaped like a tag.
        bool found = false;
        for (size_t j = i + 12; j < std::min(length - 12, i + 1036); j += 4) {
            uint32_t word = be32(d.data() + j);
            uint32_t high = word >> 16;
            bool tagged = tag_kind(word).has_value() || high == 0x0002 || high == 0x0007 || high == 0x0009 ||
                          high == 0x000F || high == 0x0010 || high == 0x0014 || high == 0x0027 || high == 0x0029;
            if (tagged) {
                i = j;
                found = true;
                break;
            }
        }
        if (!found) break;
    }
    return {};
}

struct Block {
    uint64_t time, frames, end, states, changes;  // T, F, E, S, C
};

// The events of one transition file, and the extra times of its time list.
void read_transitions(const std::vector<uint8_t>& d, uint64_t names, TimedValues& values) {
    const uint64_t length = d.size();
    if (length < 24 || !std::equal(kMagic, kMagic + 4, d.begin()) || names == 0) return;
    const uint32_t code = be32(d.data() + 8);
    const uint64_t unit = code == 5 ? 10 : code == 6 ? 100 : 1000;
    auto scale = [&](uint64_t x) { return x * unit / 1000; };

    std::vector<Block> blocks;
    uint64_t latest = 0;
    for (uint64_t o = 0; length >= 64 && o + 64 <= length;) {
        const uint8_t* b = d.data() + o;
        if (!std::equal(kBlockMarker, kBlockMarker + 4, b)) {
            ++o;
            continue;
        }
        Block blk{be32(b + 28), be32(b + 40), be32(b + 48), be32(b + 52), be32(b + 56)};
        latest = std::max(latest, blk.time);
        if (blk.frames != 0 && blk.states < length && blk.changes <= length && blk.end <= length &&
            blk.changes >= blk.states)
            blocks.push_back(blk);
        o += 64;
    }

    std::vector<TimedValues::Entry> events;
    auto at = [&](uint64_t pos) { return d[pos]; };
    auto bit_of = [](uint8_t c) { return uint64_t{((c >> 3) & 3) == 2}; };
    uint64_t base = 0;
    const uint64_t kept = blocks.size();
    for (uint64_t n = 0; n < kept; ++n) {
        const Block& blk = blocks[n];
        const uint64_t rest = base >= names ? 0 : names - base;
        const uint64_t slots = blk.changes - blk.states;
        uint64_t w = std::min(rest, slots);
        bool found = false;
        const size_t first_event = events.size();

        // Initial states.
        if (w > 0 && blk.states + w <= length) {
            bool two_bit = true, flag = true;
            for (uint64_t k = 0; k < w; ++k) {
                uint8_t c = at(blk.states + k);
                two_bit &= ((c >> 3) & 3) == 1 || ((c >> 3) & 3) == 2;
                flag &= c == 0x00 || c == 0x40;
            }
            if (two_bit || flag) {
                found = true;
                if (base < names)
                    for (uint64_t k = 0; k < w; ++k) {
                        uint8_t c = at(blk.states + k);
                        events.push_back({base + k, 0, two_bit ? bit_of(c) : uint64_t{(c >> 6) & 1u}});
                    }
            }
        }

        // A single change, encoded in one of two fixed ways.
        const uint64_t m = blk.end >= blk.changes ? blk.end - blk.changes : 0;
        if (m >= 12 && blk.end <= length) {
            const uint64_t c0 = blk.changes;
            std::optional<uint64_t> k;
            for (uint64_t x = 0; x + 6 <= m; ++x)
                if (at(c0 + 4 + x) == 0x01 && (at(c0 + 5 + x) == 0x8F || at(c0 + 5 + x) == 0x81)) {
                    k = x;
                    break;
                }
            std::optional<uint64_t> l;
            if (k && *k > 0)
                for (uint64_t y = 0; y < *k; ++y) {
                    uint8_t a = at(c0 + y + 1);
                    if (a >= 0x11 && a <= 0x14 &&
                        (at(c0 + y + 3) == 0x7C || at(c0 + y + 3) == 0x88 || at(c0 + y + 3) == 0xFC ||
                         at(c0 + y + 2) > 0x3F)) {
                        l = y;
                        break;
                    }
                }
            if (l && blk.frames == 1 && slots == 1 && base < names) {
                auto p = [&](int j) { return uint64_t{at(c0 + *l + j)}; };
                uint8_t a = at(c0 + *l + 1);
                std::optional<uint64_t> when;
                if (a == 0x13 && *k - *l > 4) {
                    uint64_t code13 = ((p(8) >> 2) & 1) | ((p(8) >> 4) & 1) << 1 | ((p(8) >> 6) & 1) << 2 |
                                      (p(7) & 1) << 3 | ((p(7) >> 2) & 1) << 4 | (p(5) & 0x60);
                    if (code13 != 0 && code13 != 127) when = (code13 * 108 + blk.time / 2) % 127;
                } else if (a == 0x12 && *k - *l > 2) {
                    uint64_t code12 = (p(6) & 1) | ((p(6) >> 1) & 2) | ((p(6) >> 2) & 0x3C) | ((p(5) << 5) & 0xC0) |
                                      ((p(5) << 3) & 0x100) | ((p(2) << 4) & 0x200) | ((p(2) >> 7) << 10);
                    if (code12 >= 1 && code12 <= 2046) when = (code12 * 1297 + blk.time / 2) % 2047;
                }
                if (when && *when <= blk.time)
                    events.push_back({base, scale(*when), ((at(blk.states) >> 3) & 3) != 2 ? 1u : 0u});
            }
        }

        // Delta frames: each frame's byte flips bits of the first state byte.
        if (!found && slots >= 4) {
            const uint64_t f = blk.frames, t = blk.time;
            uint64_t extra = slots - f;
            if (f != 0 && t != 0 && f != 1 && slots > f && (extra == 2 || extra == 3 || extra == 4) &&
                blk.states + 1 + f <= length) {
                uint8_t s0 = at(blk.states);
                uint64_t v = std::min<uint64_t>(std::max<uint64_t>(rest, 1), 8);
                if (base < names)
                    for (uint64_t j = 0; j < v; ++j) events.push_back({base + j, 0, uint64_t{(s0 >> (7 - j)) & 1u}});
                uint8_t state = s0;
                for (uint64_t fr = 0; fr < f; ++fr) {
                    uint8_t next = state ^ at(blk.states + 1 + fr);
                    if (base < names) {
                        uint64_t time = (fr + 1) * scale(t) / (f + 1);
                        for (uint64_t j = 0; j < v; ++j)
                            if (((next ^ state) >> (7 - j)) & 1) events.push_back({base + j, time, uint64_t{(next >> (7 - j)) & 1u}});
                    }
                    state = next;
                }
                found = true;
            }
        }

        // Evenly spaced toggles, unless this block's slots already changed after time 0.
        if (found && blk.frames != 0) {
            bool changed = std::any_of(events.begin() + first_event, events.end(), [&](const auto& e) {
                return e.signal >= base && e.signal < base + w && e.time != 0;
            });
            if (!changed && blk.time != 0 && w > 0 && base < names)
                for (uint64_t g = 1; g <= blk.frames && events.size() < kMaxEvents; ++g) {
                    uint64_t time = g * scale(blk.time) / (blk.frames + 1);
                    for (uint64_t k = 0; k < w; ++k)
                        events.push_back({base + k, time, (g & 1) ^ bit_of(at(blk.states + k))});
                }
        }

        if (!found) {
            uint64_t after = kept - n - 1;
            w = blk.states == blk.changes ? 1 : std::max<uint64_t>(1, rest > after ? rest - after : 0);
        }
        base += w;
    }
    if (latest != 0)
        values.apply(events, names, {scale(latest)});
    else
        values.apply(events, names);
}

}  // namespace

LoadResult from_file(const std::string& path) {
    std::string design;
    std::vector<std::string> transitions;
    std::error_code ec;
    fs::path p(path);
    if (fs::is_directory(p, ec)) {
        for (fs::directory_iterator it(p, ec), end; !ec && it != end; it.increment(ec)) {
            std::string name = utf8_lossy(it->path().filename().string());
            std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
            auto ends = [&](std::string_view ext) {
                return name.size() >= ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0;
            };
            if (ends(".dsn")) design = it->path().string();
            if (ends(".trn")) transitions.push_back(it->path().string());
        }
        if (design.empty() && transitions.empty()) return load_error("No .dsn/.trn in " + path);
        std::sort(transitions.begin(), transitions.end());
    } else {
        std::string ext = p.has_extension() ? p.extension().string().substr(1) : "";
        std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
        auto sibling = [&](const char* e) {
            fs::path q = p;
            q.replace_extension(e);
            std::error_code err;
            return fs::exists(q, err) ? q.string() : std::string();
        };
        if (ext == "trn") {
            transitions.push_back(path);
            design = sibling("dsn");
        } else {
            design = path;
            if (ext == "dsn")
                if (std::string t = sibling("trn"); !t.empty()) transitions.push_back(t);
        }
    }

    TraceRecord rec;
    if (!design.empty())
        if (std::string err = read_design(design, rec); !err.empty()) return load_error(std::move(err));
    TimedValues values;
    bool any = false;
    for (const std::string& t : transitions) {
        std::vector<uint8_t> bytes;
        if (!read_whole_file(t, bytes).empty()) continue;
        read_transitions(bytes, rec.names.size(), values);
        any = true;
    }
    if (any) {
        values.write(rec);
    } else {
        rec.timestamps = {0};
        rec.store.set_length(1);
    }
    return loaded(std::move(rec));
}

}  // namespace wq::shm
