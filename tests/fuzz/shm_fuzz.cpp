// libFuzzer target for the SHM reader: the input is split into a design file
// and a transition file (at the first 0xFF 0xFE 0xFD, or halfway), written
// into a database directory and loaded. Any bytes must load or fail with a text.
//   CXX=clang++ cmake -S . -B build/fuzz -DWQ_FUZZ=ON && cmake --build build/fuzz
//   build/fuzz/shm_fuzz -max_total_time=600 build/fuzz/shm_corpus tests/fuzz/shm_seeds
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "core/trace/shm.hpp"

namespace {

void write(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = [] {
        std::string d = "/tmp/wq_shm_fuzz_" + std::to_string(getpid());
        mkdir(d.c_str(), 0700);
        return d;
    }();
    size_t cut = size / 2;
    for (size_t i = 0; i + 2 < size; ++i)
        if (data[i] == 0xFF && data[i + 1] == 0xFE && data[i + 2] == 0xFD) {
            cut = i;
            break;
        }
    write(dir + "/w.dsn", data, cut);
    write(dir + "/w.trn", data + std::min(size, cut + 3), size - std::min(size, cut + 3));
    wq::LoadResult r = wq::shm::from_file(dir);
    return r.trace || !r.error.empty() ? 0 : 1;
}
