// The disk as a TR-DOS reader sees it, for tests that read images back.
// Spelt out here rather than taken from trd_image.h, so that a wrong
// constant there cannot hide itself.
#pragma once

#include <cstddef>

#include "tap_builder.h"
#include "trd/disk_layout.h"

namespace quornax_test {

constexpr size_t disk_bytes = 655360;
constexpr size_t sector_bytes = 256;
using quornax::first_data_sector;
constexpr int data_sector_total = 2544;
constexpr size_t info_at = 2048;
constexpr size_t data_at = 4096;

inline int le16_at(const bytes& b, size_t at) { return b[at] | b[at + 1] << 8; }

}  // namespace quornax_test
