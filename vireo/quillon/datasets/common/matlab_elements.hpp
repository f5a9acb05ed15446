// MATLAB level-5 files: a walk over their tagged elements before scipy.io.loadmat reads them.
//
// loadmat's compiled reader looks the data type of a numeric element up in a fixed-size table
// without a bounds check, so a damaged type field (or a matrix where numbers belong) makes it
// read outside the table and crash the process; variables nested thousands of levels deep run
// its recursion out of C stack. The walk finds those files. Every other kind of damage (cut
// files, sizes past the end, wrong element order) it leaves to loadmat, which reports it as an
// exception, so the walk simply stops where it cannot follow the file.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace datasets::matlab {

enum : uint32_t { kMatrix = 14, kCompressed = 15 };
constexpr int kMaxDepth = 256;                  // far beyond any annotation file, far below the C stack
constexpr size_t kMaxInflated = size_t{64} << 20;  // compressed variables are checked up to this size

// Types of elements that hold numbers or text: int8 to uint32, single, double, int64, uint64,
// UTF-8/16/32.
inline bool holds_values(uint32_t type) {
    return (type >= 1 && type <= 7) || type == 9 || type == 12 || type == 13 || (type >= 16 && type <= 18);
}

// Classes whose data elements are matrices themselves: cell, struct, object, function, opaque.
inline bool holds_matrices(uint32_t matrix_class) {
    return matrix_class == 1 || matrix_class == 2 || matrix_class == 3 || matrix_class == 16 || matrix_class == 17;
}

// As much of a zlib stream as inflates, up to `cap` bytes: loadmat reads a compressed variable
// as a stream, so what comes before a damaged end is read all the same.
inline std::string inflate_prefix(const unsigned char* data, size_t size, size_t cap) {
    std::string out;
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return out;
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(std::min<size_t>(size, UINT32_MAX));
    unsigned char buffer[1 << 16];
    while (out.size() < cap) {
        z.next_out = buffer;
        z.avail_out = sizeof buffer;
        const int rc = inflate(&z, Z_NO_FLUSH);
        out.append(reinterpret_cast<char*>(buffer), sizeof buffer - z.avail_out);
        if (rc != Z_OK || (z.avail_in == 0 && z.avail_out != 0)) break;
    }
    inflateEnd(&z);
    return out;
}

class ElementWalk {
public:
    explicit ElementWalk(bool big_endian) : swap_(big_endian != (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__)) {}

    // The variables after the 128-byte header: full tags, each a matrix or a compressed matrix.
    // `offset` is where `p` starts in the file.
    void variables(const unsigned char* p, size_t n, size_t offset, bool inflated) {
        size_t pos = 0;
        while (problem.empty() && pos + 8 <= n) {
            const uint32_t type = u32(p + pos), size = u32(p + pos + 4);
            const size_t data = pos + 8, length = std::min<size_t>(size, n - data);
            if (type == kMatrix) {
                matrix(p + data, length, offset + data, 1);
            } else if (type == kCompressed && !inflated) {
                const std::string inner = inflate_prefix(p + data, length, kMaxInflated);
                where_ = " of the compressed variable at byte " + std::to_string(offset + pos);
                variables(reinterpret_cast<const unsigned char*>(inner.data()), inner.size(), 0, true);
                where_.clear();
            }
            if (inflated) return;  // loadmat reads one matrix from a compressed stream
            pos = data + size;     // and pads nothing between variables
        }
    }

    std::string problem;  // empty while nothing is wrong

private:
    uint32_t u32(const unsigned char* p) const {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return swap_ ? __builtin_bswap32(v) : v;
    }

    // A matrix's content: array flags (16 bytes), then dimensions, name and data, each a tagged
    // element (small ones packed into 8 bytes, others padded to a multiple of 8).
    void matrix(const unsigned char* p, size_t n, size_t offset, int depth) {
        if (depth > kMaxDepth) {
            problem = "its variables nest more than " + std::to_string(kMaxDepth) + " levels deep";
            return;
        }
        if (n < 16) return;
        const bool nested = holds_matrices(u32(p + 8) & 0xff);
        size_t pos = 16;
        while (problem.empty() && pos + 8 <= n) {
            const uint32_t first = u32(p + pos);
            const bool small = (first >> 16) != 0;
            const uint32_t type = small ? first & 0xffff : first;
            const size_t size = small ? first >> 16 : u32(p + pos + 4);
            const size_t data = pos + (small ? 4 : 8);
            if (type == kMatrix && nested) {
                matrix(p + data, std::min(size, n - std::min(data, n)), offset + data, depth + 1);
            } else if (!holds_values(type)) {
                problem = "the element at byte " + std::to_string(offset + pos) + where_ + " has data type " +
                          std::to_string(type) + ", which is not one of the format's";
                return;
            }
            pos = small ? pos + 8 : data + ((size + 7) & ~size_t{7});
        }
    }

    bool swap_;
    std::string where_;  // names the compressed variable being walked, if any
};

// Why loadmat must not be given these bytes, or "" when the walk found nothing. Files that are
// not level 5 (level 4, HDF5, anything else) are left to loadmat.
inline std::string unsafe_for_loadmat(const unsigned char* data, size_t size) {
    if (size < 128) return {};
    if (std::find(data, data + 4, 0) != data + 4) return {};  // loadmat reads level 4 then
    // loadmat's version rule: the byte that is not 'I' of the two before the endian mark.
    const int major = data[124 + (data[126] == 'I' ? 1 : 0)];
    if (major != 1) return {};
    const bool big_endian = !(data[126] == 'I' && data[127] == 'M');
    ElementWalk walk(big_endian);
    walk.variables(data + 128, size - 128, 128, false);
    return walk.problem;
}

}  // namespace datasets::matlab
