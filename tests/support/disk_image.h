// Images as a disk reader sees them, worked out apart from the writer: the
// offsets and sizes come from trd/disk_layout.h, the logic is the tests'
// own, so that a fault in the writer's arithmetic cannot hide itself.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tap_builder.h"
#include "trd/disk_layout.h"

namespace quornax_test {

// Where the data of the first file starts.
constexpr size_t data_offset = quornax::first_data_sector * quornax::sector_size;

inline int le16_at(const bytes& b, size_t at) { return b[at] | b[at + 1] << 8; }

bytes slice(const bytes& b, size_t at, size_t n);
bool all_zero(const bytes& b, size_t from, size_t to);

// Each file starts where the one before ends, the catalogue holds exactly
// as many entries as the info sector counts, used and free sectors make the
// whole data area, and nothing but zero bytes lies outside the catalogue,
// the info sector and the files.
testing::AssertionResult image_is_consistent(const bytes& disk);

// One file as its tape gives it.
struct disk_file {
    uint8_t type;      // the header's type byte
    std::string name;  // as on tape; the first 8 bytes name the file
    uint16_t param1;   // autostart line, start address, or array byte << 8
    uint16_t param2;
    bytes payload;
};

// The whole image of these files, in this order.
bytes expected_image(const std::vector<disk_file>& files);

// The files a tape of header pairs and lone data blocks gives; fails on a
// block of any other kind.
testing::AssertionResult tape_files(const bytes& tape,
                                    std::vector<disk_file>* files);

// The first byte where two images differ, with its place on the disk.
std::string first_difference(const bytes& got, const bytes& want);

}  // namespace quornax_test
