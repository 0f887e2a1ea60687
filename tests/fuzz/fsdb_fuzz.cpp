// libFuzzer target for the FSDB reader's modern layout: any bytes must load,
// in bounded time and memory, without crashing.
//   CXX=clang++ cmake -S . -B build/fuzz -DWQ_FUZZ=ON && cmake --build build/fuzz
//   build/fuzz/fsdb_fuzz -max_total_time=600 build/fuzz/fsdb_corpus tests/fuzz/fsdb_seeds
#include <cstddef>
#include <cstdint>

#include "core/trace/fsdb.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    wq::TraceRecord rec = wq::fsdb::parse_modern(data, size);
    return rec.timestamps.empty() ? 1 : 0;
}
