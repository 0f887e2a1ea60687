#include "vcd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "../signal/bitpack.hpp"
#include "text.hpp"

namespace wq::vcd {

namespace {

constexpr uint32_t kNoId = UINT32_MAX;

// Identifier code -> signal id. Writers hand out codes of printable ASCII
// ('!' .. '~') in counting order, so a code of up to four such characters is
// read as a bijective base-94 number and looked up in a direct table while the
// codes in use stay dense; any other code goes to a hash map.
class IdCodes {
public:
    uint32_t find(const char* b, const char* e) const {
        uint64_t n = dense_number(b, e);
        if (n < dense_.size() && dense_[n] != kNoId) return dense_[n];
        if (sparse_.empty()) return kNoId;
        auto it = sparse_.find(std::string_view(b, static_cast<size_t>(e - b)));
        return it == sparse_.end() ? kNoId : it->second;
    }
    void insert(std::string_view code, uint32_t id) {
        ++count_;
        uint64_t n = dense_number(code.data(), code.data() + code.size());
        if (n < dense_limit()) {
            if (n >= dense_.size()) dense_.resize(n + 1 + n / 2, kNoId);
            dense_[n] = id;
        } else {
            sparse_.emplace(std::string(code), id);
        }
    }

private:
    static constexpr uint64_t kNotDense = UINT64_MAX;
    static uint64_t dense_number(const char* b, const char* e) {
        if (e - b < 1 || e - b > 4) return kNotDense;
        uint64_t n = 0;
        for (const char* p = e; p-- > b;) {
            auto c = static_cast<uint8_t>(*p);
            if (c < 33 || c > 126) return kNotDense;
            n = n * 94 + (c - 32);
        }
        return n;
    }
    uint64_t dense_limit() const { return std::max<uint64_t>(uint64_t{1} << 16, uint64_t{16} * count_); }

    std::vector<uint32_t> dense_;
    StringMap<uint32_t> sparse_;
    uint64_t count_ = 0;
};

double parse_real(std::string_view s) {
    // Decimal notation, "inf", "infinity" or "nan", with one optional sign;
    // anything else is 0.0.
    if (s.empty() || s.find('(') != std::string_view::npos) return 0.0;
    bool plus = s.front() == '+';
    if (plus) s.remove_prefix(1);
    if (s.empty() || (plus && s.front() == '-')) return 0.0;
    double d = 0.0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), d);
    if (end != s.data() + s.size()) return 0.0;
    if (ec == std::errc::result_out_of_range) return std::strtod(std::string(s).c_str(), nullptr);
    if (ec != std::errc()) return 0.0;
    return d;
}

std::optional<uint32_t> parse_u32(std::string_view s) {
    auto n = parse_u64(s);
    if (!n || *n > UINT32_MAX) return std::nullopt;
    return static_cast<uint32_t>(*n);
}

// True when no byte of [b, e) is above 0x7F.
bool all_ascii(const char* b, const char* e) {
    uint64_t acc = 0;
    const char* p = b;
    for (; p + 8 <= e; p += 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        acc |= w;
    }
    for (; p < e; ++p) acc |= static_cast<uint8_t>(*p);
    return (acc & 0x8080808080808080ull) == 0;
}

class Parser {
public:
    Parser() { rec_.unknown_width = 0; }

    // Handles a block of whole lines; the block ends at a line feed or at the
    // end of the input.
    void block(const char* b, const char* e) {
        bool ascii = all_ascii(b, e);
        while (b < e && error_.empty()) {
            const char* nl = static_cast<const char*>(std::memchr(b, '\n', static_cast<size_t>(e - b)));
            const char* end = nl ? nl : e;
            if (static_cast<size_t>(end - b) <= kMaxLineBytes) {
                if (ascii) {
                    line(b, end, true);
                } else if (utf8_valid(b, end)) {
                    line(b, end, all_ascii(b, end));
                }  // a line that is not UTF-8 counts as empty
            }
            b = nl ? nl + 1 : e;
        }
    }

    LoadResult finish() {
        if (!error_.empty()) return load_error(error_);
        rec_.store.set_length(rec_.timestamps.size());
        return loaded(std::move(rec_));
    }

private:
    void line(const char* b, const char* e, bool ascii) {
        trim(b, e, ascii);
        if (b == e) return;
        switch (*b) {
            case '$': keyword(b, e, ascii); return;
            case '#': open_time(b + 1, e, ascii); return;
            default: break;
        }
        if (!in_data_) return;
        switch (*b) {
            case '0':
            case '1': {
                uint32_t id = ids_.find(b + 1, e);
                if (id != kNoId) rec_.store.record_int(id, time_index_, static_cast<uint64_t>(*b - '0'));
                return;
            }
            case 'x':
            case 'X':
                record(b + 1, e, SignalValue{Missing{}});
                return;
            case 'z':
            case 'Z':
                record(b + 1, e, SignalValue{Logic{{kLogicZ}}});
                return;
            case 'b':
            case 'B':
            case 'r':
            case 'R':
                vector_change(b, e, ascii);
                return;
            default:
                return;
        }
    }

    void record(const char* code_b, const char* code_e, const SignalValue& v) {
        uint32_t id = ids_.find(code_b, code_e);
        if (id != kNoId) rec_.store.record(id, time_index_, v);
    }

    // "b<digits> <code>" or "r<number> <code>": split at the first space.
    void vector_change(const char* b, const char* e, bool ascii) {
        const char* sp = static_cast<const char*>(std::memchr(b, ' ', static_cast<size_t>(e - b)));
        if (!sp) return;
        const char* code_b = sp + 1;
        const char* code_e = e;
        trim(code_b, code_e, ascii);
        uint32_t id = ids_.find(code_b, code_e);
        if (id == kNoId) return;
        if (*b == 'r' || *b == 'R') {
            rec_.store.record(id, time_index_, SignalValue{parse_real(std::string_view(b + 1, static_cast<size_t>(sp - b - 1)))});
            return;
        }
        if (sp == b + 1) {  // "b" with no digits
            rec_.store.record(id, time_index_, SignalValue{Missing{}});
            return;
        }
        if (auto bits = pack_2state_digits(b + 1, sp)) {
            rec_.store.record_int(id, time_index_, *bits);
            return;
        }
        rec_.store.record(id, time_index_, SignalValue{Logic{logic_codes(b + 1, sp)}});
    }

    void open_time(const char* b, const char* e, bool ascii) {
        trim(b, e, ascii);
        if (rec_.timestamps.size() > UINT32_MAX) [[unlikely]] {
            error_ = "VCD has more than 4294967296 time stamps, more than this reader can index";
            return;
        }
        uint64_t time = parse_u64(std::string_view(b, static_cast<size_t>(e - b))).value_or(0);
        time_index_ = static_cast<uint32_t>(rec_.timestamps.size());
        rec_.timestamps.push_back(time);
        in_data_ = true;
    }

    void keyword(const char* b, const char* e, bool ascii) {
        std::string_view l(b, static_cast<size_t>(e - b));
        if (l.starts_with("$scope")) {
            auto tokens = split_tokens(b, e, ascii, 3);
            if (tokens.size() < 3) return;
            scope_lengths_.push_back(scope_path_.size());
            if (!scope_path_.empty()) scope_path_ += '.';
            scope_path_ += tokens[2];
            if (scope_set_.insert(scope_path_).second) rec_.scopes.push_back(scope_path_);
        } else if (l.starts_with("$upscope")) {
            if (scope_lengths_.empty()) return;
            scope_path_.resize(scope_lengths_.back());
            scope_lengths_.pop_back();
        } else if (l.starts_with("$var")) {
            declare(b, e, ascii);
        }
        // Every other keyword line ($timescale, $dumpvars, $comment, ...) is ignored.
    }

    // "$var <type> <width> <code> <reference> [range] $end"
    void declare(const char* b, const char* e, bool ascii) {
        auto tokens = split_tokens(b, e, ascii, 5);
        if (tokens.size() < 5) return;
        uint32_t width = parse_u32(tokens[2]).value_or(1);
        std::string_view code = tokens[3];
        std::string_view reference = tokens[4].substr(0, tokens[4].find('['));
        std::string name;
        if (!scope_lengths_.empty()) {
            name.reserve(scope_path_.size() + 1 + reference.size());
            name = scope_path_;
            name += '.';
        }
        name += reference;

        uint32_t id = ids_.find(code.data(), code.data() + code.size());
        if (id == kNoId) {
            if (next_id_ == kNoId) [[unlikely]] return;  // 2^32 - 1 distinct codes already
            id = next_id_++;
            ids_.insert(code, id);
            rec_.store.reserve_signals(next_id_);
        }
        auto [it, inserted] = rec_.signals.try_emplace(name, SignalInfo{id, width});
        if (inserted) {
            rec_.names.push_back(std::move(name));
        } else {
            it->second = SignalInfo{id, width};
        }
    }

    TraceRecord rec_;
    IdCodes ids_;
    uint32_t next_id_ = 0;
    std::string scope_path_;             // the scope stack joined with "."
    std::vector<size_t> scope_lengths_;  // scope_path_'s length before each push
    std::unordered_set<std::string> scope_set_;
    bool in_data_ = false;
    uint32_t time_index_ = 0;
    std::string error_;
};

}  // namespace

LoadResult parse(std::string_view text) {
    Parser parser;
    // Blocks of about 1 MiB, each ending at a line feed, so the ASCII test
    // covers a cache-friendly span at a time.
    const char* b = text.data();
    const char* e = b + text.size();
    while (b < e) {
        const char* cut = b + std::min<size_t>(static_cast<size_t>(e - b), size_t{1} << 20);
        if (cut < e) {
            const char* nl = static_cast<const char*>(std::memchr(cut, '\n', static_cast<size_t>(e - cut)));
            cut = nl ? nl + 1 : e;
        }
        parser.block(b, cut);
        b = cut;
    }
    return parser.finish();
}

LoadResult from_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return load_error(os_error("Failed to open", path, errno));
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    Parser parser;
    constexpr size_t kChunk = size_t{1} << 20;
    std::vector<char> buf(kChunk);
    size_t filled = 0;
    bool skipping = false;  // inside a line longer than kMaxLineBytes
    std::string failure;
    for (;;) {
        if (filled == buf.size()) buf.resize(std::min(buf.size() * 2, kMaxLineBytes + kChunk));
        ssize_t n = ::read(fd, buf.data() + filled, buf.size() - filled);
        if (n < 0) {
            if (errno == EINTR) continue;
            failure = os_error("Failed to read", path, errno);
            break;
        }
        if (n == 0) {
            if (!skipping) parser.block(buf.data(), buf.data() + filled);
            break;
        }
        const char* begin = buf.data();
        const char* fresh = buf.data() + filled;
        filled += static_cast<size_t>(n);
        const char* end = buf.data() + filled;
        if (skipping) {
            const char* nl = static_cast<const char*>(std::memchr(fresh, '\n', static_cast<size_t>(end - fresh)));
            if (!nl) {
                filled = 0;
                continue;
            }
            skipping = false;
            begin = nl + 1;
        }
        const char* last_nl = static_cast<const char*>(::memrchr(begin, '\n', static_cast<size_t>(end - begin)));
        if (last_nl) {
            parser.block(begin, last_nl + 1);
            begin = last_nl + 1;
        }
        size_t rest = static_cast<size_t>(end - begin);
        if (rest > kMaxLineBytes) {
            skipping = true;
            rest = 0;
        }
        if (rest && begin != buf.data()) std::memmove(buf.data(), begin, rest);
        filled = rest;
        if (buf.size() > kChunk && filled < kChunk / 2) {
            buf.resize(kChunk);
            buf.shrink_to_fit();
        }
    }
    ::close(fd);
    if (!failure.empty()) return load_error(failure);
    return parser.finish();
}

}  // namespace wq::vcd
