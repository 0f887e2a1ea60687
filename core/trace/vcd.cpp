#include "vcd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <unordered_set>

#include <tbb/concurrent_queue.h>
#include <tbb/parallel_pipeline.h>

#include "../signal/bitpack.hpp"
#include "text.hpp"

namespace wq::vcd {

namespace {

constexpr uint32_t kNoId = UINT32_MAX;
// Input is parsed in blocks of about this size; the next block is parsed
// while the previous one's changes are stored.
constexpr size_t kBlockBytes = size_t{1} << 20;

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

// The value changes of one block of input, in input order. Parsing a block
// and storing the previous block's changes run at the same time on two
// threads; the store sees the changes in file order.
struct ChangeBatch {
    static constexpr uint32_t kOtherValue = 0x80000000u;  // id flag: `word` indexes `others`
    struct Entry {
        uint32_t id;
        uint32_t time;
        uint64_t word;  // the Int value, or the position in `others`
    };
    std::vector<Entry> entries;
    std::vector<SignalValue> others;
    size_t signal_count = 0;  // ids declared when the block was parsed

    void add_int(uint32_t id, uint32_t time, uint64_t value) { entries.push_back({id, time, value}); }
    void add(uint32_t id, uint32_t time, SignalValue value) {
        entries.push_back({id | kOtherValue, time, others.size()});
        others.push_back(std::move(value));
    }
    void clear() {
        entries.clear();
        others.clear();
    }
    // Stores the changes grouped by signal (a stable counting sort by id), so
    // each column's tail is visited once per batch rather than once per change.
    void store_into(SignalStore& store) {
        if (signal_count > 2 * entries.size()) return store_entries(store, entries);
        starts.assign(signal_count + 1, 0);
        for (const Entry& e : entries) ++starts[(e.id & ~kOtherValue) + 1];
        for (size_t i = 1; i <= signal_count; ++i) starts[i] += starts[i - 1];
        sorted.resize(entries.size());
        for (const Entry& e : entries) sorted[starts[e.id & ~kOtherValue]++] = e;
        store_entries(store, sorted);
    }

private:
    void store_entries(SignalStore& store, const std::vector<Entry>& list) const {
        for (const Entry& e : list) {
            if (e.id & kOtherValue)
                store.record(e.id & ~kOtherValue, e.time, others[e.word]);
            else
                store.record_int(e.id, e.time, e.word);
        }
    }
    std::vector<uint32_t> starts;
    std::vector<Entry> sorted;
};

class Parser {
public:
    Parser() { rec_.unknown_width = 0; }

    // Value changes go to `batch` until the next call.
    void set_batch(ChangeBatch* batch) { batch_ = batch; }
    SignalStore& store() { return rec_.store; }
    size_t signal_count() const { return next_id_; }
    bool failed() const { return !error_.empty(); }

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
                if (id != kNoId) batch_->add_int(id, time_index_, static_cast<uint64_t>(*b - '0'));
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

    void record(const char* code_b, const char* code_e, SignalValue v) {
        uint32_t id = ids_.find(code_b, code_e);
        if (id != kNoId) batch_->add(id, time_index_, std::move(v));
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
            batch_->add(id, time_index_, parse_real(std::string_view(b + 1, static_cast<size_t>(sp - b - 1))));
            return;
        }
        if (sp == b + 1) {  // "b" with no digits
            batch_->add(id, time_index_, Missing{});
            return;
        }
        if (auto bits = pack_2state_digits(b + 1, sp)) {
            batch_->add_int(id, time_index_, *bits);
            return;
        }
        batch_->add(id, time_index_, Logic{logic_codes(b + 1, sp)});
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
            if (next_id_ == ChangeBatch::kOtherValue) [[unlikely]] return;  // 2^31 distinct codes already
            id = next_id_++;
            ids_.insert(code, id);
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
    ChangeBatch* batch_ = nullptr;
};

// Runs `next_block(parser, batch)` (false at the end of input) and stores
// each batch's changes, the two stages on two threads, at most a few batches
// in flight so memory stays bounded.
template <class NextBlock>
LoadResult run_pipeline(Parser& parser, NextBlock&& next_block) {
    constexpr size_t kInFlight = 3;
    std::deque<ChangeBatch> batches;  // grows only if every batch is still in use
    tbb::concurrent_queue<ChangeBatch*> free_batches;
    bool done = false;
    tbb::parallel_pipeline(
        kInFlight,
        tbb::make_filter<void, ChangeBatch*>(tbb::filter_mode::serial_in_order,
                                             [&](tbb::flow_control& fc) -> ChangeBatch* {
                                                 ChangeBatch* batch = nullptr;
                                                 if (done) {
                                                     fc.stop();
                                                     return nullptr;
                                                 }
                                                 if (!free_batches.try_pop(batch)) batch = &batches.emplace_back();
                                                 batch->clear();
                                                 parser.set_batch(batch);
                                                 done = !next_block(parser) || parser.failed();
                                                 batch->signal_count = parser.signal_count();
                                                 return batch;
                                             }) &
            tbb::make_filter<ChangeBatch*, void>(tbb::filter_mode::serial_in_order, [&](ChangeBatch* batch) {
                batch->store_into(parser.store());
                free_batches.push(batch);
            }));
    return parser.finish();
}

}  // namespace

LoadResult parse(std::string_view text) {
    Parser parser;
    const char* b = text.data();
    const char* e = b + text.size();
    return run_pipeline(parser, [&](Parser& p) {
        // The next block of about kBlockBytes, ending after a line feed.
        const char* cut = b + std::min(static_cast<size_t>(e - b), kBlockBytes);
        if (cut < e) {
            const char* nl = static_cast<const char*>(std::memchr(cut, '\n', static_cast<size_t>(e - cut)));
            cut = nl ? nl + 1 : e;
        }
        p.block(b, cut);
        b = cut;
        return b < e;
    });
}

namespace {

// Streams a file through a buffer of kBlockBytes (more only while a line is
// longer than that, up to kMaxLineBytes) and hands whole lines to the parser.
class FileLines {
public:
    FileLines(int fd, const std::string& path) : fd_(fd), path_(path), buf_(kBlockBytes) {}

    // Parses the next run of whole lines; false at the end of the file or on
    // a read error.
    bool next(Parser& parser) {
        for (;;) {
            if (filled_ == buf_.size()) buf_.resize(std::min(buf_.size() * 2, kMaxLineBytes + kBlockBytes));
            ssize_t n = ::read(fd_, buf_.data() + filled_, buf_.size() - filled_);
            if (n < 0) {
                if (errno == EINTR) continue;
                failure_ = os_error("Failed to read", path_, errno);
                return false;
            }
            if (n == 0) {  // the last line may lack its line feed
                if (!skipping_) parser.block(buf_.data(), buf_.data() + filled_);
                filled_ = 0;
                return false;
            }
            const char* begin = buf_.data();
            const char* fresh = begin + filled_;
            filled_ += static_cast<size_t>(n);
            const char* end = buf_.data() + filled_;
            if (skipping_) {
                const char* nl = static_cast<const char*>(std::memchr(fresh, '\n', static_cast<size_t>(end - fresh)));
                if (!nl) {
                    filled_ = 0;
                    continue;
                }
                skipping_ = false;
                begin = nl + 1;
            }
            const char* last_nl = static_cast<const char*>(::memrchr(begin, '\n', static_cast<size_t>(end - begin)));
            bool parsed = last_nl != nullptr;
            if (parsed) {
                parser.block(begin, last_nl + 1);
                begin = last_nl + 1;
            }
            size_t rest = static_cast<size_t>(end - begin);
            if (rest > kMaxLineBytes) {  // an over-long line is dropped up to its line feed
                skipping_ = true;
                rest = 0;
            }
            if (rest && begin != buf_.data()) std::memmove(buf_.data(), begin, rest);
            filled_ = rest;
            if (buf_.size() > kBlockBytes && filled_ < kBlockBytes / 2) {
                buf_.resize(kBlockBytes);
                buf_.shrink_to_fit();
            }
            if (parsed) return true;
        }
    }
    const std::string& failure() const { return failure_; }

private:
    int fd_;
    const std::string& path_;
    std::vector<char> buf_;
    size_t filled_ = 0;
    bool skipping_ = false;  // inside a line longer than kMaxLineBytes
    std::string failure_;
};

}  // namespace

LoadResult from_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return load_error(os_error("Failed to open", path, errno));
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    Parser parser;
    FileLines lines(fd, path);
    LoadResult result = run_pipeline(parser, [&](Parser& p) { return lines.next(p); });
    ::close(fd);
    if (!lines.failure().empty()) return load_error(lines.failure());
    return result;
}

}  // namespace wq::vcd
