// What an image file's structure says without decoding it: format, size, sample depth,
// channels, alpha, EXIF orientation, and whether the file stops before its image data ends.
//
// PNG and JPEG are read natively (the formats the datasets list and store); anything else is
// left to Pillow by the caller. Pure C++: runs without the GIL.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "files.hpp"

namespace scanner {

enum class ImageFormat { png, jpeg, gif, other };

struct ImageHeader {
    int open_error = 0;         // errno when the file could not be opened or read
    int64_t file_size = 0;
    ImageFormat format = ImageFormat::other;
    bool parsed = false;        // PNG or JPEG header read natively
    int64_t width = 0, height = 0;
    int bit_depth = 8;          // bits per sample
    int channels = 0;           // colour channels: 1 grey, 3 colour, 4 CMYK
    bool alpha = false;
    bool palette = false;
    int orientation = 1;        // EXIF orientation; 1 = the stored pixels are upright
    bool truncated = false;     // the file stops before the image data ends
    bool end_unconfirmed = false;  // PNG: complete chunks but no IEND (maybe cut between chunks)
    std::string broken;         // why the header cannot be read; empty when it can
};

// Bytes of an image, from a file (read in small windows, as needed) or from memory.
class ByteSource {
public:
    explicit ByteSource(std::string_view memory) : memory_(memory), size_(static_cast<int64_t>(memory.size())) {}
    explicit ByteSource(File& file) : file_(&file), size_(file.size()) {}

    int64_t size() const { return size_; }
    int error() const { return file_ ? file_->error() : 0; }

    // Points `p` at `n` bytes from `offset`; false when they lie (partly) past the end or
    // cannot be read.
    bool get(int64_t offset, size_t n, const uint8_t*& p) {
        if (offset < 0 || offset + static_cast<int64_t>(n) > size_) return false;
        if (!file_) {
            p = reinterpret_cast<const uint8_t*>(memory_.data()) + offset;
            return true;
        }
        if (offset < window_offset_ || offset + static_cast<int64_t>(n) > window_offset_ + window_size_) {
            // Headers are small: read a little more than asked, never past the end.
            const size_t want = static_cast<size_t>(std::min<int64_t>(std::max(n, kWindow), size_ - offset));
            if (want > capacity_) {
                buffer_.reset(new uint8_t[want]);  // not zero-filled: pread overwrites it
                capacity_ = want;
            }
            window_offset_ = offset;
            window_size_ = 0;
            const int64_t got = file_->read_into(offset, want, buffer_.get());
            if (got < static_cast<int64_t>(n)) return false;
            window_size_ = got;
        }
        p = buffer_.get() + (offset - window_offset_);
        return true;
    }

    // Offset of the last occurrence of `a b` in [from, to), or -1. Searches backwards in
    // windows that grow, since the pair is nearly always within the last bytes.
    int64_t find_last_pair(int64_t from, int64_t to, uint8_t a, uint8_t b) {
        int64_t step = 4096;
        for (int64_t end = to; end > from + 1;) {
            const int64_t start = std::max(from, end - step);
            const uint8_t* p;
            if (!get(start, static_cast<size_t>(end - start), p)) return -1;
            for (int64_t i = end - start - 2; i >= 0; --i)
                if (p[i] == a && p[i + 1] == b) return start + i;
            end = start + 1;  // one byte of overlap keeps a pair across windows
            step = std::min<int64_t>(step * 4, 1 << 20);
        }
        return -1;
    }

private:
    static constexpr size_t kWindow = 8 * 1024;
    std::string_view memory_;
    File* file_ = nullptr;
    int64_t size_ = 0;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t capacity_ = 0;
    int64_t window_offset_ = 0, window_size_ = 0;
};

inline uint32_t be16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }
inline uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// The CRC-32 of zlib and PNG.
inline uint32_t crc32(const uint8_t* data, size_t n, uint32_t crc = 0) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) crc = table[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
    return ~crc;
}

// The orientation tag of an Exif APP1 payload (after "Exif\0\0"), or 1.
inline int exif_orientation(const uint8_t* tiff, size_t n) {
    if (n < 8) return 1;
    const bool little = tiff[0] == 'I' && tiff[1] == 'I';
    if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) return 1;
    auto u16 = [&](size_t at) -> uint32_t { return little ? uint32_t(tiff[at]) | uint32_t(tiff[at + 1]) << 8 : be16(tiff + at); };
    auto u32 = [&](size_t at) -> uint32_t {
        return little ? uint32_t(tiff[at]) | uint32_t(tiff[at + 1]) << 8 | uint32_t(tiff[at + 2]) << 16 | uint32_t(tiff[at + 3]) << 24
                      : be32(tiff + at);
    };
    const uint32_t ifd = u32(4);
    if (ifd > n || n - ifd < 2) return 1;
    const uint32_t entries = u16(ifd);
    for (uint32_t e = 0; e < entries; ++e) {
        const size_t at = ifd + 2 + size_t(e) * 12;
        if (at + 12 > n) break;
        if (u16(at) == 0x0112 && u16(at + 2) == 3) return static_cast<int>(u16(at + 8));
    }
    return 1;
}

inline void read_png(ByteSource& src, ImageHeader& h) {
    const uint8_t* p;
    if (!src.get(8, 25, p)) {
        h.truncated = true;
        h.broken = "the file ends inside the PNG header";
        return;
    }
    if (be32(p) != 13 || std::memcmp(p + 4, "IHDR", 4) != 0) {
        h.broken = "the PNG does not start with its IHDR header chunk";
        return;
    }
    if (crc32(p + 4, 17) != be32(p + 21)) {
        h.broken = "the PNG header chunk (IHDR) fails its checksum";
        return;
    }
    h.width = be32(p + 8);
    h.height = be32(p + 12);
    h.bit_depth = p[16];
    const int colour = p[17];
    h.channels = colour == 0 || colour == 4 ? 1 : 3;
    h.alpha = colour == 4 || colour == 6;
    h.palette = colour == 3;
    h.parsed = true;

    // A complete file ends with the IEND chunk; otherwise walk the chunks to see where it stops.
    static const uint8_t iend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    if (src.size() >= 45 && src.get(src.size() - 12, 12, p) && std::memcmp(p, iend, 12) == 0) return;
    int64_t at = 8;
    while (at < src.size()) {
        if (!src.get(at, 8, p)) {
            h.truncated = true;
            return;
        }
        const int64_t length = be32(p);
        if (std::memcmp(p + 4, "tRNS", 4) == 0) h.alpha = true;
        if (std::memcmp(p + 4, "IEND", 4) == 0) return;
        if (at + 12 + length > src.size()) {
            h.truncated = true;
            return;
        }
        at += 12 + length;
    }
    h.end_unconfirmed = true;
}

inline bool is_frame_marker(uint8_t m) {
    return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

inline void read_jpeg(ByteSource& src, ImageHeader& h) {
    const uint8_t* p;
    int64_t at = 2;
    int64_t scan = -1;
    while (scan < 0) {
        if (!src.get(at, 2, p)) {
            h.truncated = true;
            h.broken = "the file ends inside the JPEG header";
            return;
        }
        if (p[0] != 0xFF) {
            h.broken = "the JPEG header is damaged (no marker where one must be)";
            return;
        }
        const uint8_t marker = p[1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
            at += 2;
            continue;
        }
        if (marker == 0xD9) {
            h.broken = "the JPEG ends before its image data";
            return;
        }
        if (!src.get(at + 2, 2, p)) {
            h.truncated = true;
            h.broken = "the file ends inside the JPEG header";
            return;
        }
        const int64_t length = be16(p);
        if (length < 2) {
            h.broken = "the JPEG header is damaged (a segment of length < 2)";
            return;
        }
        if (!src.get(at + 4, static_cast<size_t>(length - 2), p)) {
            h.truncated = true;
            h.broken = "the file ends inside the JPEG header";
            return;
        }
        if (is_frame_marker(marker)) {
            if (length < 8) {
                h.broken = "the JPEG frame header is damaged";
                return;
            }
            h.bit_depth = p[0];
            h.height = be16(p + 1);
            h.width = be16(p + 3);
            h.channels = p[5];
            h.parsed = true;
        } else if (marker == 0xE1 && length >= 8 && std::memcmp(p, "Exif\0\0", 6) == 0) {
            h.orientation = exif_orientation(p + 6, static_cast<size_t>(length - 8));
        } else if (marker == 0xDA) {
            scan = at + 2 + length;
        }
        at += 2 + length;
    }
    if (!h.parsed) {
        h.broken = "the JPEG has no frame header (SOF) before its image data";
        return;
    }
    // The entropy-coded data cannot hold FF D9 (FF is escaped), so an EOI marker after the
    // first scan means the data is complete. It is nearly always in the last bytes; bytes
    // may follow it.
    if (src.find_last_pair(scan, src.size(), 0xFF, 0xD9) < 0) h.truncated = true;
}

// Reads the header of an image held in `src`.
inline void read_header(ByteSource& src, ImageHeader& h) {
    h.file_size = src.size();
    const uint8_t* p;
    if (src.size() == 0) {
        h.broken = "the file is empty";
        return;
    }
    static const uint8_t png_signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (src.get(0, 8, p) && std::memcmp(p, png_signature, 8) == 0) {
        h.format = ImageFormat::png;
        read_png(src, h);
    } else if (src.get(0, 3, p) && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF) {
        h.format = ImageFormat::jpeg;
        read_jpeg(src, h);
    } else if (src.get(0, 6, p) && (std::memcmp(p, "GIF87a", 6) == 0 || std::memcmp(p, "GIF89a", 6) == 0)) {
        h.format = ImageFormat::gif;
    }
    if (!h.broken.empty() || !h.parsed) return;
    if (h.width == 0 || h.height == 0) h.broken = "the image header gives a size of 0 pixels";
}

inline ImageHeader inspect_image_file(const std::string& path) {
    ImageHeader h;
    File file(path);
    if (!file.ok()) {
        h.open_error = file.error();
        return h;
    }
    ByteSource src(file);
    read_header(src, h);
    if (src.error()) h.open_error = src.error();
    return h;
}

inline ImageHeader inspect_image_bytes(std::string_view data) {
    ImageHeader h;
    ByteSource src(data);
    read_header(src, h);
    return h;
}

}  // namespace scanner
