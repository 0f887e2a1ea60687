// SignalStore: every signal's values, kept as change points.
//
// A signal's column is the list of points at which its value changes, in
// ascending time index order. The value at index i is the value of the last
// point at or before i; before the first point, and at or past the store's
// length, it is Missing. Memory therefore follows the number of changes, not
// signals x time stamps, and a run of equal values costs nothing.
//
// Packed layout of one column with n points:
//   times   n x u32: the time index at which each point begins.
//   words   n x `word_bytes` little-endian bytes: each point's payload word.
//           word_bytes is 1, 2, 4 or 8, the least that holds every word so
//           far; a wider word re-packs the column once per step.
//   tags    n x u8 ValueTag, or empty while every point is an Int (the
//           common 2-state case pays nothing for tags).
//   heap    payloads that do not fit a word: "u32 length, bytes". The word
//           of a Wide, Logic or Text point is its offset into the heap.
//           Logic codes are packed four to a byte, Wide words as 8 bytes each.
// Int keeps its integer in the word, Real its IEEE bits, Missing 0.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "value.hpp"

namespace wq {

inline unsigned bytes_for_word(uint64_t w) {
    return w <= 0xFF ? 1 : w <= 0xFFFF ? 2 : w <= 0xFFFFFFFFull ? 4 : 8;
}

struct Column {
    std::vector<uint32_t> times;
    std::vector<uint8_t> words;
    std::vector<uint8_t> tags;
    std::vector<uint8_t> heap;
    uint8_t word_bytes = 1;

    size_t size() const { return times.size(); }
    uint64_t word(size_t k) const {
        uint64_t w = 0;
        std::memcpy(&w, words.data() + k * word_bytes, word_bytes);  // little-endian host
        return w;
    }
    ValueTag tag(size_t k) const { return tags.empty() ? kInt : static_cast<ValueTag>(tags[k]); }
    // The value of point k.
    SignalValue value(size_t k) const;
    // Number of points at or before `index`: the point in force there is one less.
    size_t points_through(uint64_t index) const;
    size_t size_in_memory() const;
};

class SignalStore {
public:
    // Indices at or past `length` read as Missing.
    void set_length(uint64_t length) { length_ = length; }
    uint64_t length() const { return length_; }

    // Stores `value` for `id` from `index` on. `index` is never below the
    // index of an earlier call for the same id; a second call at the same
    // index replaces the first. Unchanged values add no point.
    void record(uint64_t id, uint32_t index, const SignalValue& value);
    // The same for a Logic value given as its codes, and for a Text value,
    // without building a SignalValue.
    void record_logic(uint64_t id, uint32_t index, const uint8_t* codes, size_t count);
    void record_text(uint64_t id, uint32_t index, std::string_view text);
    // The same for an Int value, without building a SignalValue.
    void record_int(uint64_t id, uint32_t index, uint64_t value) {
        Column& c = column_for(id);
        size_t n = c.size();
        if (n && c.times[n - 1] == index) {
            drop_last(c);
            --n;
        }
        if (n ? (c.tag(n - 1) == kInt && c.word(n - 1) == value) : false) return;
        append(c, index, kInt, value);
    }

    // The value of `id` at `index`.
    SignalValue get(uint64_t id, uint64_t index) const;
    // The column of `id`, or nullptr when it never had a value.
    const Column* column(uint64_t id) const {
        return id < columns_.size() && !columns_[id].times.empty() ? &columns_[id] : nullptr;
    }
    // Creates the columns of ids below n up front, so that threads can then
    // record into different columns at once.
    void add_columns(size_t n) {
        if (n > columns_.size()) columns_.resize(n);
    }
    // Makes room for `extra` more points of `id` with words of `word_bytes`,
    // so that a reader that knows what is coming grows a column only once.
    void reserve_points(uint64_t id, size_t extra, unsigned word_bytes) {
        Column& c = column_for(id);
        c.times.reserve(c.size() + extra);
        c.words.reserve((c.size() + extra) * std::max<unsigned>(word_bytes, c.word_bytes));
    }
    // The last index recorded for `id`, or nothing before its first point.
    std::optional<uint32_t> last_index(uint64_t id) const {
        if (id >= columns_.size() || columns_[id].times.empty()) return std::nullopt;
        return columns_[id].times.back();
    }
    // Calls f(begin, end, value) for each run of indices in [0, end) over
    // which `id` keeps one stored value, in ascending order: the runs cover
    // [0, end) exactly, Missing included. Neighbouring runs may hold values
    // that compare equal (+0.0 and -0.0), never identical ones.
    template <class F>
    void for_each_run(uint64_t id, uint64_t end, F&& f) const;
    // Releases spare capacity once loading is done.
    void shrink();
    size_t change_count() const;
    size_t size_in_memory() const;

private:
    Column& column_for(uint64_t id) {
        if (id >= columns_.size()) columns_.resize(id + 1);
        return columns_[id];
    }
    static void append(Column& c, uint32_t index, ValueTag tag, uint64_t word);
    static size_t replace_last_at(Column& c, uint32_t index);
    static void finish_point(Column& c, size_t n, uint32_t index, ValueTag tag, uint64_t word);
    static void drop_last(Column& c);

    std::vector<Column> columns_;
    uint64_t length_ = 0;
};

template <class F>
void SignalStore::for_each_run(uint64_t id, uint64_t end, F&& f) const {
    const Column* c = column(id);
    uint64_t stored_end = std::min(end, length_);  // values past the store's length are Missing
    uint64_t at = 0;
    size_t k = 0;
    while (at < stored_end) {
        uint64_t next = c && k < c->size() ? std::min<uint64_t>(c->times[k], stored_end) : stored_end;
        if (next > at) f(at, next, k ? c->value(k - 1) : SignalValue{Missing{}});
        at = std::max(at, next);
        if (c && k < c->size() && c->times[k] <= at) ++k;
    }
    if (stored_end < end) f(stored_end, end, SignalValue{Missing{}});
}

// Reads one column at ascending indices in O(1) amortised per read; a read
// below the previous one falls back to a binary search.
class ValueCursor {
public:
    ValueCursor() = default;
    ValueCursor(const SignalStore& store, uint64_t id) : column_(store.column(id)), length_(store.length()) {}
    // Index of the point in force at `index` plus one; 0 when none is (Missing).
    size_t seek(uint64_t index) {
        if (!column_ || index >= length_) return 0;
        if (!started_ || index < last_) {
            next_ = column_->points_through(index);
            started_ = true;
        } else {
            while (next_ < column_->size() && column_->times[next_] <= index) ++next_;
        }
        last_ = index;
        return next_;
    }
    SignalValue value_at(uint64_t index) {
        size_t k = seek(index);
        return k ? column_->value(k - 1) : SignalValue{Missing{}};
    }
    const Column* column() const { return column_; }

private:
    const Column* column_ = nullptr;
    uint64_t length_ = 0;
    size_t next_ = 0;  // first point after the last index read
    uint64_t last_ = 0;
    bool started_ = false;
};

}  // namespace wq
