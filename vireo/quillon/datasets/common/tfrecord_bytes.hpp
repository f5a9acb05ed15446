// TFRecord files at the byte level, shared by the TFRecord dataset and the dataset check:
// the CRC-32C of the record framing (with TFRecord's masking) and a reader of the protocol-
// buffer wire format that tf.train.Example records are written in. Pure C++: callers may
// release the GIL.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace datasets {

inline uint32_t crc32c_portable(const uint8_t* p, size_t n, uint32_t crc) {
    static const std::array<std::array<uint32_t, 256>, 8> tables = [] {
        std::array<std::array<uint32_t, 256>, 8> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0x82F63B78u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (size_t k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xff];
        return t;
    }();
    // Eight bytes per step ("slicing by 8"), then byte by byte.
    while (n >= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        word ^= crc;  // little-endian hosts
        crc = tables[7][word & 0xff] ^ tables[6][(word >> 8) & 0xff] ^ tables[5][(word >> 16) & 0xff] ^
              tables[4][(word >> 24) & 0xff] ^ tables[3][(word >> 32) & 0xff] ^ tables[2][(word >> 40) & 0xff] ^
              tables[1][(word >> 48) & 0xff] ^ tables[0][word >> 56];
        p += 8;
        n -= 8;
    }
    while (n--) crc = tables[0][(crc ^ *p++) & 0xff] ^ (crc >> 8);
    return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) inline uint32_t crc32c_sse42(const uint8_t* p, size_t n, uint32_t crc) {
    uint64_t c = crc;
    while (n >= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        c = _mm_crc32_u64(c, word);
        p += 8;
        n -= 8;
    }
    uint32_t c32 = static_cast<uint32_t>(c);
    while (n--) c32 = _mm_crc32_u8(c32, *p++);
    return c32;
}
#endif

inline uint32_t crc32c(const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    static const bool hardware = __builtin_cpu_supports("sse4.2");
    if (hardware) return ~crc32c_sse42(p, n, ~0u);
#endif
    return ~crc32c_portable(p, n, ~0u);
}

// TFRecord stores every checksum rotated and offset ("masked").
inline uint32_t masked_crc32c(const void* data, size_t n) {
    const uint32_t crc = crc32c(data, n);
    return ((crc >> 15) | (crc << 17)) + 0xa282ead8u;
}


// Protocol-buffer wire reading.
class Wire {
public:
    explicit Wire(std::string_view data)
        : p_(reinterpret_cast<const uint8_t*>(data.data())), end_(p_ + data.size()) {}
    bool done() const { return p_ == end_; }

    bool varint(uint64_t& out) {
        out = 0;
        for (int shift = 0; shift < 64 && p_ < end_; shift += 7) {
            const uint8_t byte = *p_++;
            out |= uint64_t(byte & 0x7f) << shift;
            if (!(byte & 0x80)) return true;
        }
        return false;
    }
    bool tag(uint32_t& field, uint32_t& wire) {
        uint64_t t;
        if (!varint(t) || (t >> 3) == 0 || (t >> 3) > UINT32_MAX) return false;
        field = uint32_t(t >> 3);
        wire = uint32_t(t & 7);
        return true;
    }
    bool bytes(std::string_view& out) {
        uint64_t n;
        if (!varint(n) || n > uint64_t(end_ - p_)) return false;
        out = std::string_view(reinterpret_cast<const char*>(p_), size_t(n));
        p_ += n;
        return true;
    }
    bool fixed32(uint32_t& out) {
        if (end_ - p_ < 4) return false;
        out = uint32_t(p_[0]) | uint32_t(p_[1]) << 8 | uint32_t(p_[2]) << 16 | uint32_t(p_[3]) << 24;
        p_ += 4;
        return true;
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

constexpr uint32_t kVarint = 0, kLen = 2, kFixed32 = 5;

}  // namespace datasets
