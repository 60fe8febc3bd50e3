// Staging files: every accepted pair is saved to a file of its own in the
// working directory until the image is written, since the tape is read one
// block at a time into the one work buffer.
//
// Name: "_ZX%04X_.@@@" with the pair's index in the tape, upper-case digits.
// Content: the 20-byte stored descriptor (see block_descriptor.h), then
// data_length bytes of payload.
//
// A staging file is created exclusively and kept open until the end of its
// tape's conversion; the image writer reads it back through that
// descriptor, so no other process can put its data into this run's image.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "trd/disk_layout.h"

namespace quornax {

// Each staged pair becomes one file of the image.
constexpr int max_staged_blocks = catalogue_entries;

constexpr size_t staging_name_size = 16;
constexpr char staging_name_format[] = "_ZX%04X_.@@@";

// A new image is written beside its name under the first free one of
// these names, numbered from 0, and renamed into place once whole. The
// run holds the file while it lives: a file under such a name that nobody
// holds is what a killed run left.
constexpr char image_temporary_format[] = "_ZXT%08X_.@@@";
constexpr int image_temporary_names = 64;

// Pairs staged so far for the current tape, 0 to max_staged_blocks: the
// driver sets it to 0 for each tape and counts every successful
// stage_block; staging and the image writer read it.
extern int staged_count;

// Entry i names staged pair i of the current tape; an empty entry starts
// with NUL.
extern char staging_table[max_staged_blocks][staging_name_size];

// Staging names are the same in every run, so conversions in one directory
// take turns: this waits until no other holds the working directory. Where
// the directory cannot be locked, the conversion goes on without the lock.
void lock_staging_directory();
void unlock_staging_directory();
// Lets go and closes the working directory, which unlock_staging_directory
// keeps open for the next conversion: for a caller that changes directory.
void close_staging_directory();

// Saves the descriptor and the payload in the work buffer as staging file
// number staged_count. 0, or -1 after a report (nothing is left behind).
int stage_block();

// Reads staging file i back: its stored descriptor, and when payload is
// given, payload_length bytes behind it. 0 when every byte came, -1 after a
// report naming the file (a file cut short gives EIO's text).
int read_staged_file(int i, uint8_t* stored, uint8_t* payload,
                     size_t payload_length);

// open(2) for files the conversion needs besides its staging files: where
// the process has no descriptor to spare, staging files kept open are
// closed, to be read back by name, until it has. -1 with errno set.
int open_sparing_descriptors(const char* name, int flags, mode_t mode);

// Closes and deletes staging files staged_count - 1 down to 0, so that
// the first goes last and a run killed meanwhile leaves the sign for the
// next run to clear the rest, and empties their entries; every failure is
// reported.
void remove_staging_files();

// Deletes this run's staging files from a signal handler: no report,
// async-signal-safe calls only.
void remove_staging_files_on_signal();

}  // namespace quornax
