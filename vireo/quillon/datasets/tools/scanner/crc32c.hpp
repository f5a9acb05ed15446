// CRC-32C (Castagnoli), the checksum of TFRecord framing, with TFRecord's masking.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace scanner {

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

}  // namespace scanner
