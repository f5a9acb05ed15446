// Pitch, yaw and roll read natively from plain MATLAB annotation files.
//
// scipy.io.loadmat reads every variable of a file in Python, holding the interpreter's lock
// for some 0.2 ms an annotation: in a loader whose decoding runs without the lock, that is what
// keeps two loader threads from overlapping. Head-pose files are nearly always plain: level 5,
// every variable a real two-dimensional numeric matrix, compressed or not. For those this file
// finds Pose_Para and pt2d and gives the three angles read_annotations would give: loadmat
// keeps each matrix in the type its data is stored in, and np.asarray(..., float32) converts
// each value straight to float32.
//
// Anything else (another level, a cell, struct, text, sparse, complex, logical or 64-bit
// integer variable, a name twice, a size that does not add up, trailing bytes, angles that
// are not finite float32 numbers, a Pose_Para without three angles in its first row, no pt2d)
// gives nothing, and the caller reads the file with loadmat, which then gives its own values
// or its own error.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <string>

#include "common/matlab_elements.hpp"

namespace attitude::plain_mat {

enum : uint32_t { kInt8 = 1, kUint8, kInt16, kUint16, kInt32, kUint32, kSingle, kDouble = 9 };
enum : uint32_t { kDoubleClass = 6, kLastPlainClass = 13 };  // double, single, int8 ... uint32

// Bytes per value of the numeric data types read here (0: not one of them).
inline size_t value_size(uint32_t type) {
    switch (type) {
        case kInt8: case kUint8: return 1;
        case kInt16: case kUint16: return 2;
        case kInt32: case kUint32: case kSingle: return 4;
        case kDouble: return 8;
        default: return 0;
    }
}

struct Matrix {
    std::string name;
    uint64_t rows = 0, cols = 0;
    uint32_t type = 0;  // the data type its values are stored in
    const unsigned char* values = nullptr;
};

class Reader {
public:
    explicit Reader(bool big_endian) : swap_(big_endian != (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__)) {}

    // Every variable of the file after its 128-byte header; false unless all are plain.
    bool read(const unsigned char* p, size_t n) {
        size_t pos = 0;
        while (pos < n) {
            if (n - pos < 8) return false;
            const uint32_t type = u32(p + pos);
            const size_t size = u32(p + pos + 4);
            if (size > n - pos - 8) return false;
            const unsigned char* data = p + pos + 8;
            if (type == datasets::matlab::kMatrix) {
                if (!variable(data, size)) return false;
            } else if (type == datasets::matlab::kCompressed) {
                inflated_.push_back(datasets::matlab::inflate_prefix(data, size, datasets::matlab::kMaxInflated));
                const std::string& inner = inflated_.back();
                const auto* q = reinterpret_cast<const unsigned char*>(inner.data());
                if (inner.size() < 8 || u32(q) != datasets::matlab::kMatrix || u32(q + 4) != inner.size() - 8) return false;
                if (!variable(q + 8, inner.size() - 8)) return false;
            } else {
                return false;
            }
            pos += 8 + size;
        }
        return true;
    }

    std::optional<Matrix> pose_para, pt2d;

    // Value `i` (column-major) of a matrix as np.asarray(..., float32) gives it.
    float value(const Matrix& m, uint64_t i) const {
        const unsigned char* at = m.values + i * value_size(m.type);
        switch (m.type) {
            case kInt8: return static_cast<float>(static_cast<int8_t>(*at));
            case kUint8: return static_cast<float>(*at);
            case kInt16: case kUint16: {
                uint16_t v;
                std::memcpy(&v, at, 2);
                if (swap_) v = __builtin_bswap16(v);
                return m.type == kInt16 ? static_cast<float>(static_cast<int16_t>(v)) : static_cast<float>(v);
            }
            case kInt32: case kUint32: case kSingle: {
                uint32_t v = u32(at);
                if (m.type == kInt32) return static_cast<float>(static_cast<int32_t>(v));
                if (m.type == kUint32) return static_cast<float>(v);
                float f;
                std::memcpy(&f, &v, 4);
                return f;
            }
            default: {
                uint64_t v;
                std::memcpy(&v, at, 8);
                if (swap_) v = __builtin_bswap64(v);
                double d;
                std::memcpy(&d, &v, 8);
                return static_cast<float>(d);
            }
        }
    }

private:
    uint32_t u32(const unsigned char* p) const {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return swap_ ? __builtin_bswap32(v) : v;
    }

    // One sub-element of a matrix at `pos`, small (packed in 8 bytes) or full (padded to 8).
    bool element(const unsigned char* p, size_t n, size_t& pos, uint32_t& type, const unsigned char*& data,
                 size_t& size) const {
        if (n - pos < 8) return false;
        const uint32_t first = u32(p + pos);
        if (first >> 16) {
            type = first & 0xffff;
            size = first >> 16;
            if (size > 4) return false;
            data = p + pos + 4;
            pos += 8;
            return true;
        }
        type = first;
        size = u32(p + pos + 4);
        const size_t padded = (size + 7) & ~size_t{7};
        if (padded > n - pos - 8) return false;
        data = p + pos + 8;
        pos += 8 + padded;
        return true;
    }

    // A matrix's content: flags, two dimensions, name, real values, and nothing more.
    bool variable(const unsigned char* p, size_t n) {
        size_t pos = 0, size = 0;
        uint32_t type = 0;
        const unsigned char* data = nullptr;
        if (!element(p, n, pos, type, data, size) || type != kUint32 || size != 8) return false;
        const uint32_t flags = u32(data);
        const uint32_t matrix_class = flags & 0xff;
        if ((flags & 0xff00) != 0 || matrix_class < kDoubleClass || matrix_class > kLastPlainClass) return false;
        Matrix m;
        if (!element(p, n, pos, type, data, size) || type != kInt32 || size != 8) return false;
        const int32_t rows = static_cast<int32_t>(u32(data)), cols = static_cast<int32_t>(u32(data + 4));
        if (rows < 0 || cols < 0) return false;
        m.rows = static_cast<uint64_t>(rows);
        m.cols = static_cast<uint64_t>(cols);
        if (!element(p, n, pos, type, data, size) || type != kInt8) return false;
        m.name.assign(reinterpret_cast<const char*>(data), size);
        if (!element(p, n, pos, type, data, size) || value_size(type) == 0) return false;
        const uint64_t count = m.rows * m.cols;  // below 2^62
        if (count > size / value_size(type) || count * value_size(type) != size || pos != n) return false;
        m.type = type;
        m.values = data;
        for (auto* wanted : {&pose_para, &pt2d}) {
            if (m.name != (wanted == &pose_para ? "Pose_Para" : "pt2d")) continue;
            if (*wanted) return false;  // loadmat would warn and keep the last one
            *wanted = m;
        }
        return true;
    }

    bool swap_;
    std::deque<std::string> inflated_;  // the compressed variables, kept (unmoved) while their values are read
};

// The three angles of the file's bytes, or nothing when the file is not plain (see the top).
inline std::optional<std::array<float, 3>> pose_angles(const unsigned char* data, size_t size) {
    if (size < 128 || std::find(data, data + 4, 0) != data + 4) return std::nullopt;
    const int major = data[124 + (data[126] == 'I' ? 1 : 0)];
    if (major != 1) return std::nullopt;
    Reader reader(!(data[126] == 'I' && data[127] == 'M'));
    if (!reader.read(data + 128, size - 128) || !reader.pose_para || !reader.pt2d) return std::nullopt;
    const Matrix& pose = *reader.pose_para;
    // Row 0 of Pose_Para, or its single column (a vector saved as a column).
    uint64_t stride;
    if (pose.rows >= 1 && pose.cols >= 3)
        stride = pose.rows;
    else if (pose.cols == 1 && pose.rows >= 3)
        stride = 1;
    else
        return std::nullopt;
    std::array<float, 3> angles{};
    for (uint64_t k = 0; k < 3; ++k) {
        angles[k] = reader.value(pose, k * stride);
        if (!std::isfinite(angles[k])) return std::nullopt;
    }
    return angles;
}

}  // namespace attitude::plain_mat
