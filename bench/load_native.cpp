// Loads trace files with the core library alone and prints load time, value
// changes and store size: a quick loop for tuning the readers without Python.
//   cmake -S . -B build/native -DWQ_BENCH=ON && cmake --build build/native
//   build/native/load_native FILE...
#include <chrono>
#include <cstdio>
#include <string>

#include "core/trace/fst.hpp"
#include "core/trace/vcd.hpp"

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        auto start = std::chrono::steady_clock::now();
        std::string path = argv[i];
        bool fst = path.size() > 4 && path.compare(path.size() - 4, 4, ".fst") == 0;
        wq::LoadResult r = fst ? wq::fst::from_file(path) : wq::vcd::from_file(path);
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!r.trace) {
            std::printf("%s: %s\n", argv[i], r.error.c_str());
            return 1;
        }
        const auto& store = r.trace->store();
        std::printf("%s: %.3f s, %zu names, %zu time stamps, %zu change points, store %.1f MB\n", argv[i], s,
                    r.trace->signal_names().size(), r.trace->timestamps().size(), store.change_count(),
                    store.size_in_memory() / 1e6);
    }
}
