#include "store.hpp"

#include <algorithm>

namespace wq {

namespace {

uint32_t load_u32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Appends a heap payload and returns its offset.
uint64_t put_payload(std::vector<uint8_t>& heap, uint32_t length, const void* bytes, size_t n) {
    uint64_t offset = heap.size();
    heap.resize(heap.size() + 4 + n);
    std::memcpy(heap.data() + offset, &length, 4);
    if (n && bytes) std::memcpy(heap.data() + offset + 4, bytes, n);
    return offset;
}

size_t payload_size(const std::vector<uint8_t>& heap, ValueTag tag, uint64_t offset) {
    uint32_t length = load_u32(heap.data() + offset);
    switch (tag) {
        case kWide: return 4 + size_t{length} * 8;
        case kLogic: return 4 + (size_t{length} + 3) / 4;
        default: return 4 + size_t{length};
    }
}

bool has_payload(ValueTag tag) { return tag == kWide || tag == kLogic || tag == kText; }

}  // namespace

SignalValue Column::value(size_t k) const {
    ValueTag t = tag(k);
    uint64_t w = word(k);
    switch (t) {
        case kInt:
            return w;
        case kReal: {
            double d;
            std::memcpy(&d, &w, 8);
            return d;
        }
        case kMissing:
            return Missing{};
        default:
            break;
    }
    const uint8_t* p = heap.data() + w;
    uint32_t length = load_u32(p);
    p += 4;
    if (t == kWide) {
        Wide v;
        v.words.resize(length);
        if (length) std::memcpy(v.words.data(), p, size_t{length} * 8);
        return v;
    }
    if (t == kLogic) {
        Logic v;
        v.codes.resize(length);
        for (uint32_t i = 0; i < length; ++i) v.codes[i] = (p[i / 4] >> (2 * (i % 4))) & 3;
        return v;
    }
    return Text{std::string(reinterpret_cast<const char*>(p), length)};
}

size_t Column::points_through(uint64_t index) const {
    return static_cast<size_t>(std::upper_bound(times.begin(), times.end(), index) - times.begin());
}

size_t Column::size_in_memory() const {
    return sizeof(Column) + times.capacity() * 4 + words.capacity() + tags.capacity() +
           heap.capacity();
}

void SignalStore::append(Column& c, uint32_t index, ValueTag tag, uint64_t word) {
    unsigned need = bytes_for_word(word);
    if (need > c.word_bytes) {
        // Re-pack every word at the new width, from the back so nothing is overwritten.
        size_t n = c.size();
        c.words.resize(n * need);
        for (size_t k = n; k-- > 0;) {
            uint64_t w = 0;
            std::memcpy(&w, c.words.data() + k * c.word_bytes, c.word_bytes);
            std::memcpy(c.words.data() + k * need, &w, need);
        }
        c.word_bytes = static_cast<uint8_t>(need);
    }
    if (tag != kInt || !c.tags.empty()) {
        c.tags.resize(c.size(), kInt);  // the first non-Int point starts the tag list
        c.tags.push_back(tag);
    }
    c.times.push_back(index);
    size_t at = c.words.size();
    c.words.resize(at + c.word_bytes);
    std::memcpy(c.words.data() + at, &word, c.word_bytes);
}

void SignalStore::drop_last(Column& c) {
    size_t k = c.size() - 1;
    ValueTag t = c.tag(k);
    // The heap payload of the last point is the last one appended.
    if (has_payload(t)) c.heap.resize(c.word(k));
    c.times.pop_back();
    c.words.resize(k * c.word_bytes);
    if (!c.tags.empty()) c.tags.pop_back();
}

// A new value at the index of the column's last point replaces that point.
size_t SignalStore::replace_last_at(Column& c, uint32_t index) {
    size_t n = c.size();
    if (n && c.times[n - 1] == index) {
        drop_last(c);
        --n;
    }
    return n;
}

// Appends the point whose word (and heap payload, already written) is given,
// unless it is identical in representation to the value in force; Missing
// before the first point is already in force.
void SignalStore::finish_point(Column& c, size_t n, uint32_t index, ValueTag tag, uint64_t word) {
    bool same;
    if (n == 0) {
        same = tag == kMissing;
    } else if (c.tag(n - 1) != tag) {
        same = false;
    } else if (has_payload(tag)) {
        uint64_t prev = c.word(n - 1);
        size_t len = payload_size(c.heap, tag, prev);
        same = len == c.heap.size() - word &&
               std::memcmp(c.heap.data() + prev, c.heap.data() + word, len) == 0;
    } else {
        same = c.word(n - 1) == word;
    }
    if (same) {
        if (has_payload(tag)) c.heap.resize(word);
        return;
    }
    append(c, index, tag, word);
}

void SignalStore::record(uint64_t id, uint32_t index, const SignalValue& value) {
    switch (tag_of(value)) {
        case kInt:
            return record_int(id, index, std::get<uint64_t>(value));
        case kLogic: {
            const auto& codes = std::get<Logic>(value).codes;
            return record_logic(id, index, codes.data(), codes.size());
        }
        case kText:
            return record_text(id, index, std::get<Text>(value).text);
        default:
            break;
    }
    Column& c = column_for(id);
    size_t n = replace_last_at(c, index);
    uint64_t word = 0;
    if (tag_of(value) == kReal) {
        std::memcpy(&word, &std::get<double>(value), 8);
    } else if (tag_of(value) == kWide) {
        const auto& w = std::get<Wide>(value).words;
        word = put_payload(c.heap, static_cast<uint32_t>(w.size()), w.data(), w.size() * 8);
    }
    finish_point(c, n, index, tag_of(value), word);
}

void SignalStore::record_logic(uint64_t id, uint32_t index, const uint8_t* codes, size_t count) {
    Column& c = column_for(id);
    size_t n = replace_last_at(c, index);
    // Four 2-bit codes to a byte, written straight into the heap.
    uint64_t word = put_payload(c.heap, static_cast<uint32_t>(count), nullptr, (count + 3) / 4);
    uint8_t* packed = c.heap.data() + word + 4;
    std::memset(packed, 0, (count + 3) / 4);
    for (size_t i = 0; i < count; ++i) packed[i / 4] |= static_cast<uint8_t>((codes[i] & 3) << (2 * (i % 4)));
    finish_point(c, n, index, kLogic, word);
}

void SignalStore::record_text(uint64_t id, uint32_t index, std::string_view text) {
    Column& c = column_for(id);
    size_t n = replace_last_at(c, index);
    uint64_t word = put_payload(c.heap, static_cast<uint32_t>(text.size()), text.data(), text.size());
    finish_point(c, n, index, kText, word);
}

SignalValue SignalStore::get(uint64_t id, uint64_t index) const {
    const Column* c = column(id);
    if (!c || index >= length_) return Missing{};
    size_t k = c->points_through(index);
    if (k == 0) return Missing{};
    return c->value(k - 1);
}

void SignalStore::shrink() {
    for (Column& c : columns_) {
        c.times.shrink_to_fit();
        c.words.shrink_to_fit();
        c.tags.shrink_to_fit();
        c.heap.shrink_to_fit();
    }
}

size_t SignalStore::change_count() const {
    size_t n = 0;
    for (const Column& c : columns_) n += c.size();
    return n;
}

size_t SignalStore::size_in_memory() const {
    size_t n = sizeof(*this) + (columns_.capacity() - columns_.size()) * sizeof(Column);
    for (const Column& c : columns_) n += c.size_in_memory();
    return n;
}

}  // namespace wq
