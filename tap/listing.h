// The listing: one line on standard output for every accepted block pair,
// for instance
//
//   Basic      run       ,  1234 byte(s), start line 10
//   Code       screen01  ,  6912 byte(s), start address 0x4000
//   Array A[]  data      ,    50 byte(s)
#pragma once

#include <cstddef>

#include "tap/block_descriptor.h"

namespace quornax {

// Room for the longest line format_block_listing makes.
constexpr size_t listing_line_size = 128;

// Builds the line for a descriptor into line (listing_line_size bytes) and
// returns its length. The name goes in as raw bytes, so the line may hold
// any byte, NUL included: use the length, not strlen.
size_t format_block_listing(const block_descriptor& block, char* line);

void print_block_listing(const block_descriptor& block);

}  // namespace quornax
