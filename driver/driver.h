// The conversion driver: the command line, the work buffer, and the
// conversion of one TAP file into one TRD image.
//
// One conversion runs at a time, so its state lives in the program-wide
// variables below; each TAP file starts them afresh.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace quornax {

// Big enough for the longest block a 16-bit length word can announce.
constexpr size_t work_buffer_size = 65536;

// The most pairs one image can hold: the size of the disk's catalogue.
constexpr int max_staged_blocks = 128;

// Scratch space for every block read and everything the image writer
// builds; allocated for the whole run.
extern uint8_t* work_buffer;

// The TAP file's name exactly as the command line gave it.
extern const char* tap_name;

// Size of the open TAP file in bytes; -1 when it could not be learnt.
extern int64_t tap_size;

// Pairs staged so far for the current TAP file, 0 to max_staged_blocks.
extern int staged_count;

// Headerless blocks met so far in the current TAP file.
extern int headerless_counter;

// Prints "PREFIX: <text of errno>" (or the text alone for an empty prefix)
// on standard error.
void report_system_error(const char* prefix);

// Size of the file under an open stream, or -1.
int64_t get_file_size(FILE* stream);

// Converts one TAP file into its image: 0 when converted, -1 when it failed
// (already reported).
int convert_tap_file(const char* name);

// The whole program: converts every named file, returns the exit status.
int run_quornax(int argc, char** argv);

}  // namespace quornax
