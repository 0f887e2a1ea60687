// FastLZ decompression (levels 1 and 2), as FST's per-signal streams use it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wq {

// Decodes `size` bytes at `in` into exactly `capacity` bytes at `out`.
// Returns false for damaged input: an unknown level, a copy reaching before
// the start of the output or past its end, input ending inside an
// instruction, or output of another length.
bool fastlz_decompress(const uint8_t* in, size_t size, uint8_t* out, size_t capacity);

}  // namespace wq
