// libFuzzer target for the FST reader: any input must load or fail with a
// text, never crash, hang or allocate without bound.
//   CXX=clang++ cmake -S . -B build/fuzz -DWQ_FUZZ=ON && cmake --build build/fuzz
//   build/fuzz/fst_fuzz -max_total_time=1200 -rss_limit_mb=4096 build/fuzz/corpus tests/fuzz/fst_seeds
#include <cstddef>
#include <cstdint>

#include "core/trace/fst.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    wq::LoadResult r = wq::fst::from_bytes(data, size);
    return r.trace || !r.error.empty() ? 0 : 1;
}
