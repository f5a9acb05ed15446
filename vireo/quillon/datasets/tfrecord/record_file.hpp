// A look at the first record header of a TFRecord file, so that a file that is not a TFRecord
// file at all is named when the dataset is built; TensorFlow's reader later reports only
// "corrupted record at 0", without the file.
//
// A TFRecord file is a sequence of records: a little-endian uint64 length, the masked CRC-32C
// of those 8 bytes, the data, the masked CRC-32C of the data. Only the first 12 bytes are read.
// Pure C++: callers may release the GIL.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/tfrecord_bytes.hpp"

namespace tfrecord {

enum class Header { fine, unreadable, truncated, corrupt };

// The state of the file's first record header; an empty file (no records) is fine.
inline Header first_header(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return Header::unreadable;
    unsigned char header[12];
    const size_t got = std::fread(header, 1, sizeof header, file);
    std::fclose(file);
    if (got == 0) return Header::fine;
    if (got < sizeof header) return Header::truncated;
    const uint32_t stored = uint32_t(header[8]) | uint32_t(header[9]) << 8 | uint32_t(header[10]) << 16 |
                            uint32_t(header[11]) << 24;
    return datasets::masked_crc32c(header, 8) == stored ? Header::fine : Header::corrupt;
}

}  // namespace tfrecord
