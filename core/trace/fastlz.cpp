#include "fastlz.hpp"

#include <cstring>

namespace wq {

bool fastlz_decompress(const uint8_t* in, size_t size, uint8_t* out, size_t capacity) {
    if (size == 0) return capacity == 0;
    const unsigned level = (in[0] >> 5) + 1;
    if (level > 2) return false;
    size_t ip = 0, op = 0;
    // The first instruction is always a literal run; its top bits carry the level.
    uint32_t control = in[ip++] & 31;
    for (;;) {
        if (control < 32) {
            size_t run = control + 1;
            if (run > size - ip || run > capacity - op) return false;
            std::memcpy(out + op, in + ip, run);
            ip += run;
            op += run;
        } else {
            size_t length = (control >> 5) + 2;
            size_t distance = (control & 31) << 8;
            if (length == 9) {  // the 3-bit length field is full: more length bytes follow
                uint8_t extra;
                do {
                    if (ip >= size) return false;
                    extra = in[ip++];
                    length += extra;
                } while (level == 2 && extra == 255);
            }
            if (ip >= size) return false;
            uint8_t low = in[ip++];
            distance += low;
            if (level == 2 && low == 255 && (control & 31) == 31) {
                if (size - ip < 2) return false;
                distance = ((size_t{in[ip]} << 8) | in[ip + 1]) + 8191;
                ip += 2;
            }
            distance += 1;
            if (distance > op || length > capacity - op) return false;
            // Byte by byte: the source may overlap what is being written.
            const uint8_t* from = out + op - distance;
            for (size_t i = 0; i < length; ++i) out[op + i] = from[i];
            op += length;
        }
        if (ip >= size) break;
        control = in[ip++];
    }
    return op == capacity;
}

}  // namespace wq
