// libFuzzer target for the VPD and WLF readers: the first byte picks the
// reader, the rest is the file. Any bytes must load or fail with a text.
//   CXX=clang++ cmake -S . -B build/fuzz -DWQ_FUZZ=ON && cmake --build build/fuzz
//   build/fuzz/vpd_wlf_fuzz -max_total_time=600 build/fuzz/vpd_wlf_corpus tests/fuzz/vpd_wlf_seeds
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/trace/vpd.hpp"
#include "core/trace/wlf.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::vector<uint8_t> bytes(data + 1, data + size);
    wq::LoadResult r = data[0] & 1 ? wq::wlf::parse(bytes) : wq::vpd::parse(bytes);
    return r.trace || !r.error.empty() ? 0 : 1;
}
