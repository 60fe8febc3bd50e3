// The conversion driver: the command line, the work buffer, and the
// conversion of one TAP file into one TRD image.
//
// One conversion runs at a time, so its state lives in program-wide
// variables, declared with the lowest module that reads them: work_buffer
// and tap_name in common/, tap_size in tap/, staged_count in trd/. The
// driver sets them all afresh for each TAP file.
#pragma once

#include <cstdint>
#include <cstdio>

namespace quornax {

// Headerless blocks met so far in the current TAP file; they are numbered
// by it.
extern int headerless_counter;

// Size of the file under an open stream, or -1.
int64_t get_file_size(FILE* stream);

// Converts one TAP file into its image: 0 when converted, -1 when it failed
// (already reported).
int convert_tap_file(const char* name);

// The whole program: converts every named file, returns the exit status.
int run_quornax(int argc, char** argv);

}  // namespace quornax
