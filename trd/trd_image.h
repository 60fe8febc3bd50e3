// The image writer: one TRD image (see disk_layout.h) from the staging files
// of one tape, read back twice: a catalogue pass and a data pass.
#pragma once

#include "tap/block_descriptor.h"

namespace quornax {

// Sectors a file of this descriptor takes on the disk: its payload, and
// for Basic programs and arrays the trailer, in whole sectors.
int file_sectors(const block_descriptor& block);

// Writes the image of staging files 0 to staged_count - 1 under image_name.
// 0 on success (nothing is created when nothing was staged), -1 after a
// report. Whatever can refuse the tape is found before the image is
// created, so a refused tape leaves a file of that name as it was; after a
// failure while the image is written, the partial image stays.
int write_trd_image(const char* image_name);

// Deletes the image being written, if one is, from a signal handler: it is
// incomplete. Async-signal-safe calls only.
void remove_unfinished_image();

}  // namespace quornax
