// Staging files: every accepted pair is saved to a file of its own in the
// working directory until the image is written, since the tape is read one
// block at a time into the one work buffer.
//
// Name: "_ZX%04X_.@@@" with the pair's index in the tape, upper-case digits.
// Content: the 20-byte stored descriptor (see block_descriptor.h), then
// data_length bytes of payload.
#pragma once

#include <cstddef>

#include "trd/disk_layout.h"

namespace quornax {

// Each staged pair becomes one file of the image.
constexpr int max_staged_blocks = catalogue_entries;

constexpr size_t staging_name_size = 16;

// Pairs staged so far for the current tape, 0 to max_staged_blocks: the
// driver sets it to 0 for each tape and counts every successful
// stage_block; staging and the image writer read it.
extern int staged_count;

// Entry i names staged pair i of the current tape; an empty entry starts
// with NUL.
extern char staging_table[max_staged_blocks][staging_name_size];

// Saves the descriptor and the payload in the work buffer as staging file
// number staged_count. 0, or -1 after a report (nothing is left behind).
int stage_block();

// Deletes staging files 0 to staged_count - 1 and empties their entries.
void remove_staging_files();

// Deletes every staging file named in the table, the one being written
// included, from a signal handler: no report, async-signal-safe calls only.
void remove_staging_files_on_signal();

}  // namespace quornax
