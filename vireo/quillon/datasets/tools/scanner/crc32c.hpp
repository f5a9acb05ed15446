// CRC-32C with TFRecord's masking: the shared implementation.
#pragma once

#include "common/tfrecord_bytes.hpp"

namespace scanner {
using datasets::crc32c;
using datasets::masked_crc32c;
}  // namespace scanner
