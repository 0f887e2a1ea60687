#include "vpd.hpp"

#include <algorithm>
#include <cstdio>

#include "scan.hpp"

namespace wq::vpd {

namespace {

constexpr size_t kHeaderBytes = 128;

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }

// Whether a section's window looks like a name table.
bool holds_names(const uint8_t* w, size_t n) {
    for (size_t i = 0; i < n;) {
        if (w[i] < 0x20 || w[i] > 0x7E) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < n && w[end] >= 0x20 && w[end] <= 0x7E) ++end;
        if (end >= n) break;  // a run reaching the window's end ends the scan
        std::string_view s(reinterpret_cast<const char*>(w + i), end - i);
        if (w[end] == 0 && s.size() >= 3 &&
            (s.find("FoldedTop") != std::string_view::npos || s.find("WithMask") != std::string_view::npos))
            return true;
        i = end + 1;
    }
    return extract_names(w, n).size() > 3;
}

}  // namespace

LoadResult from_file(const std::string& path) { return load_whole_file(path, parse); }

LoadResult parse(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < kHeaderBytes) return load_error("VPD file too small");
    if (uint32_t magic = le32(bytes.data()); magic != 0x12345678) {
        char text[64];
        std::snprintf(text, sizeof text, "Not a VPD file (magic=0x%08X)", magic);
        return load_error(text);
    }
    std::vector<size_t> offsets;
    for (size_t j = 0; j < 20; ++j) {
        uint32_t w = le32(bytes.data() + 48 + 4 * j);
        if (w > kHeaderBytes && w < bytes.size()) offsets.push_back(w);
    }
    std::sort(offsets.begin(), offsets.end());
    offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());

    TraceRecord rec;
    for (size_t k = 0; k < offsets.size(); ++k) {
        size_t begin = offsets[k], end = k + 1 < offsets.size() ? offsets[k + 1] : bytes.size();
        const uint8_t* section = bytes.data() + begin;
        if (!holds_names(section, std::min(end - begin, kHeaderBytes))) continue;
        for (const std::string& name : extract_names(section, end - begin)) accept_name(rec, name);
    }
    rec.scopes = derive_scopes(rec.names);
    rec.timestamps = {0};
    rec.store.set_length(1);
    return loaded(std::move(rec));
}

}  // namespace wq::vpd
