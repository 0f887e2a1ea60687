#include "scan.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>

#include <algorithm>
#include <memory>
#include <set>

namespace wq {

bool accept_name(TraceRecord& rec, std::string_view name) {
    if (rec.signals.find(name) != rec.signals.end()) return false;
    rec.signals.emplace(std::string(name), SignalInfo{rec.names.size(), 1});
    rec.names.emplace_back(name);
    return true;
}

std::string read_whole_file(const std::string& path, std::vector<uint8_t>& out) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return os_error("Failed to read", path, errno);
    struct stat st {};
    int err = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (!err) {
        out.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (done < out.size()) {
            ssize_t got = ::read(fd, out.data() + done, out.size() - done);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                err = got < 0 ? errno : 0;
                break;
            }
            done += static_cast<size_t>(got);
        }
        out.resize(done);  // a file that shrank while being read
    }
    ::close(fd);
    return err ? os_error("Failed to read", path, err) : std::string();
}

std::vector<std::string> derive_scopes(const std::vector<std::string>& names) {
    std::set<std::string> paths;
    for (const std::string& name : names)
        for (size_t dot = name.find('.'); dot != std::string::npos; dot = name.find('.', dot + 1))
            paths.insert(name.substr(0, dot));
    return {paths.begin(), paths.end()};
}

namespace {

bool identifier_char(uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
           c == '.' || c == ':' || c == '[' || c == ']';
}

bool part_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

bool parts_start_well(std::string_view s);

bool is_identifier(std::string_view s) {
    if (!identifier_chars_only(s) || !parts_start_well(s)) return false;
    for (std::string_view banned : {".log", ".tcl", ".fsdb", "simv", "csrc", "daidir"})
        if (s.find(banned) != std::string_view::npos) return false;
    return true;
}

}  // namespace

namespace {

// Runs of printable bytes (starting at 0x21..0x7E, continuing over
// 0x20..0x7E) ended by a 0x00 inside the range, that `accept` takes.
template <class Accept>
std::vector<std::string> terminated_strings(const uint8_t* data, size_t size, Accept&& accept) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < size) {
        if (data[i] < 0x21 || data[i] > 0x7E) {
            ++i;
            continue;
        }
        size_t end = i + 1;
        while (end < size && data[end] >= 0x20 && data[end] <= 0x7E) ++end;
        if (end < size && data[end] == 0) {
            std::string_view s(reinterpret_cast<const char*>(data + i), end - i);
            if (accept(s)) out.emplace_back(s);
        }
        i = end + 1;
    }
    return out;
}

// Every "."-separated part is non-empty and begins with a letter or '_'.
bool parts_start_well(std::string_view s) {
    for (size_t start = 0;;) {
        size_t dot = s.find('.', start);
        if (dot == start || start >= s.size() || !part_start(s[start])) return false;
        if (dot == std::string_view::npos) return true;
        start = dot + 1;
    }
}

}  // namespace

bool identifier_chars_only(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return identifier_char(static_cast<uint8_t>(c)); });
}

std::vector<std::string> extract_identifiers(const uint8_t* data, size_t size) {
    return terminated_strings(data, size, is_identifier);
}

std::vector<std::string> extract_names(const uint8_t* data, size_t size) {
    return terminated_strings(data, size, [](std::string_view s) {
        return s.size() >= 2 && s.find_first_of("/{(@") == std::string_view::npos && parts_start_well(s);
    });
}

namespace {

// One inflate call asking for the end of the stream. Returns the zlib code.
int inflate_into(const uint8_t* data, size_t size, uint8_t* out, size_t capacity, size_t& produced,
                 size_t& consumed) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return Z_MEM_ERROR;
    z.next_in = const_cast<uint8_t*>(data);
    z.avail_in = static_cast<uInt>(std::min<size_t>(size, UINT32_MAX));
    z.next_out = out;
    z.avail_out = static_cast<uInt>(capacity);
    int rc = inflate(&z, Z_FINISH);
    produced = capacity - z.avail_out;
    consumed = static_cast<size_t>(z.next_in - data);
    inflateEnd(&z);
    return rc;
}

}  // namespace

std::optional<Inflated> try_zlib_decompress(const uint8_t* data, size_t size) {
    if (size < 2) return std::nullopt;
    // One scratch buffer per thread: most attempts (a scan trying every
    // stream header) fail within a few bytes, and must not pay for a fresh
    // megabyte each time.
    constexpr size_t kFirst = size_t{1} << 20, kSecond = size_t{4} << 20;
    thread_local std::unique_ptr<uint8_t[]> scratch(new uint8_t[kSecond]);
    size_t produced = 0, consumed = 0;
    int rc = inflate_into(data, size, scratch.get(), kFirst, produced, consumed);
    if (rc == Z_STREAM_END) {
        if (produced == 0) return std::nullopt;
        return Inflated{{scratch.get(), scratch.get() + produced}, consumed};
    }
    if (rc != Z_BUF_ERROR && rc != Z_OK) return std::nullopt;  // corrupt data
    rc = inflate_into(data, size, scratch.get(), kSecond, produced, consumed);
    if ((rc != Z_STREAM_END && rc != Z_BUF_ERROR && rc != Z_OK) || produced == 0) return std::nullopt;
    return Inflated{{scratch.get(), scratch.get() + produced}, consumed};
}

void TimedValues::apply(const std::vector<Entry>& entries, uint64_t zero_fill, std::initializer_list<uint64_t> extra_times) {
    std::map<uint64_t, std::map<uint64_t, uint64_t>> by_signal;  // signal -> time -> last value
    for (const Entry& e : entries) by_signal[e.signal][e.time] = e.value;
    for (auto& [signal, set] : by_signal) {
        if (signal >= points_.size()) points_.resize(signal + 1);
        auto& p = points_[signal];
        std::vector<std::pair<uint64_t, uint64_t>> pins;
        for (const auto& entry : set) {
            auto next = known_times_.upper_bound(entry.first);
            if (next == known_times_.end() || set.count(*next)) continue;
            auto after = p.upper_bound(entry.first);
            if (after != p.end() && after->first <= *next) continue;  // a point already holds it
            auto at = p.upper_bound(*next);
            if (at != p.begin()) pins.emplace_back(*next, std::prev(at)->second);
        }
        for (auto [time, value] : set) p[time] = value;
        for (auto [time, value] : pins) p.emplace(time, value);
    }
    if (points_.size() < zero_fill) points_.resize(zero_fill);
    for (uint64_t s = 0; s < zero_fill; ++s)
        if (points_[s].empty() || points_[s].begin()->first != 0) points_[s].emplace(0, 0);
    for (const Entry& e : entries) known_times_.insert(e.time);
    known_times_.insert(extra_times.begin(), extra_times.end());
}

void TimedValues::write(TraceRecord& rec) const {
    rec.timestamps.assign(known_times_.begin(), known_times_.end());
    rec.store.set_length(rec.timestamps.size());
    rec.store.add_columns(points_.size());
    for (uint64_t s = 0; s < points_.size(); ++s) {
        auto stamp = rec.timestamps.begin();
        for (auto [time, value] : points_[s]) {
            stamp = std::lower_bound(stamp, rec.timestamps.end(), time);
            rec.store.record_int(s, static_cast<uint32_t>(stamp - rec.timestamps.begin()), value);
        }
    }
}

}  // namespace wq
