#include "wlf.hpp"

#include <algorithm>

#include "scan.hpp"

namespace wq::wlf {

namespace {

constexpr size_t kPage = 8192;
constexpr size_t kRecordArea = 16;

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// Skips one length-prefixed string of the header page.
void skip_lpstr(const uint8_t* page, size_t& pos) {
    if (pos >= kPage) return;
    size_t n = page[pos++];
    if (n == 0 || pos + n > kPage) return;
    if (std::all_of(page + pos, page + pos + n, [](uint8_t c) { return c >= 0x20 && c <= 0x7E; })) pos += n;
}

bool value_page(const uint8_t* page) { return page[0] == 0xFF && page[1] == 0xFF; }

}  // namespace

LoadResult from_file(const std::string& path) { return load_whole_file(path, parse); }

LoadResult parse(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < kPage) return load_error("WLF file too small (< 1 page)");
    const size_t pages = bytes.size() / kPage;
    const uint8_t* header = bytes.data();
    size_t area_end = std::min<size_t>(be16(header + 2), kPage);
    size_t expected = be16(header + 24);
    size_t cap = std::max<size_t>(expected, 1000);

    TraceRecord rec;
    auto accept_all = [&](const uint8_t* data, size_t size) {
        for (const std::string& name : extract_names(data, size))
            if (rec.names.size() < cap) accept_name(rec, name);
    };
    size_t pos = 40;
    for (int k = 0; k < 3; ++k) skip_lpstr(header, pos);
    if (area_end > pos) accept_all(header + pos, area_end - pos);
    if (rec.names.size() < expected)
        for (size_t k = 1; k < std::min<size_t>(pages, 4); ++k)
            if (!value_page(bytes.data() + k * kPage)) accept_all(bytes.data() + k * kPage, kPage);

    // Values: (signal, value) pairs on marked pages, 0xFF moving to the next index.
    const uint64_t signals = rec.names.size();
    rec.store.add_columns(signals);
    uint32_t now = 0;
    for (size_t k = 1; k < pages; ++k) {
        const uint8_t* page = bytes.data() + k * kPage;
        if (!value_page(page) || std::count(page, page + kPage, 0) > static_cast<std::ptrdiff_t>(kPage - 16)) continue;
        size_t length = be16(page + 2);
        if (length < 2) continue;
        const uint8_t* area = page + kRecordArea;
        size_t m = std::min(length, kPage - kRecordArea);
        for (size_t p = 0; p + 1 < m;) {
            uint8_t b = area[p];
            if (b == 0xFF) {
                if (now == UINT32_MAX) break;  // no more indices to give
                ++now;
                ++p;
            } else if (b != 0 && b < signals) {
                rec.store.record_int(b, now, area[p + 1]);
                p += 2;
            } else {
                ++p;
            }
        }
    }
    rec.timestamps.resize(uint64_t{now} + 1);
    for (uint64_t i = 0; i <= now; ++i) rec.timestamps[i] = i;
    rec.store.set_length(rec.timestamps.size());
    rec.scopes = derive_scopes(rec.names);
    return loaded(std::move(rec));
}

}  // namespace wq::wlf
