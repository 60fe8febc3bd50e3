// Staging files: every accepted pair is saved to a file of its own in the
// working directory until the image is written, since the tape is read one
// block at a time into the one work buffer.
//
// Name: "_ZX%04X_.@@@" with the pair's index in the tape, upper-case digits.
// Content: the 20-byte stored descriptor (see block_descriptor.h), then
// data_length bytes of payload.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/driver.h"
#include "tap/block_descriptor.h"

namespace quornax {

constexpr size_t staging_name_size = 16;

// Entry i names staged pair i of the current tape; an empty entry starts
// with NUL.
extern char staging_table[max_staged_blocks][staging_name_size];

// Saves the descriptor and the payload in the work buffer as staging file
// number staged_count. 0, or -1 after a report (nothing is left behind).
int stage_block();

// Deletes staging files 0 to staged_count - 1 and empties their entries.
void remove_staging_files();

// Writes the descriptor's 20-byte stored layout to out.
void store_descriptor(const block_descriptor& block, uint8_t* out);

}  // namespace quornax
