// The boot file: a copy of a tape's loader whose tape loads load the same
// files from the disk instead, so that TR-DOS can start the program with
// a bare RUN. Bytes in, bytes out: nothing here touches a file.
//
// Each LOAD from tape becomes
//   RANDOMIZE USR 15619: REM : LOAD "name" ...
// which hands the rest of the line to TR-DOS. TR-DOS takes one command
// there and it must end its line, so the statements after a load move to
// a line of their own with the same number; and its numbers must be plain
// digits, without the hidden 5-byte form Basic keeps.
//
// Only what is certain is rewritten: any doubt, and there is no boot.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/common.h"  // block types, name_chars

namespace quornax {

// A disk holds no more files than this, so no boot needs to know of more.
constexpr int max_tape_files = 128;

constexpr size_t disk_name_chars = 8;  // the first 8 of the tape name's 10

// A file of the tape, in tape order; the first is the loader.
struct tape_file {
    uint8_t type;           // block_basic .. block_code
    char name[name_chars];  // as on the tape, blanks included
    bool had_header;        // a LOAD never finds a block without one
    bool hidden;            // an earlier file has its disk name and type
    bool loads_more;        // a program holding loads of its own
};

// Why a tape gets no boot. The first group is found in the loader, the
// second by the caller.
enum boot_refusal {
    boot_made = 0,
    refusal_not_basic,
    refusal_malformed,
    refusal_flow,
    refusal_computed,
    refusal_after_if,
    refusal_moved_flow,
    refusal_no_file,
    refusal_hidden,
    refusal_untypable,
    refusal_chain,
    refusal_merge_verify,
    refusal_code_loads_rest,
    refusal_code_in_program,
    refusal_code_computed,
    refusal_too_long,
    refusal_tape_not_whole,
    refusal_boot_exists,
    refusal_full_catalogue,
    refusal_no_room,
};

// The words for a refusal, for "NAME: no boot file: WORDS !".
const char* boot_refusal_text(int refusal);

struct boot_program {
    size_t length;          // program and variables
    size_t program_length;  // the lines alone
    int refusal;            // boot_made, or why not
};

// Makes the boot from the loader (length bytes, of which the first
// program_length are its lines, the rest its variables) and the tape's
// files (files[0] is the loader) into out, at most room bytes. 0, or -1
// with boot->refusal saying why.
int make_boot(const uint8_t* loader, size_t length, size_t program_length,
              const tape_file* files, int count, uint8_t* out, size_t room,
              boot_program* boot);

// Whether a program loads from tape itself (LOAD, MERGE or VERIFY), or
// cannot be read well enough to tell.
bool holds_tape_loads(const uint8_t* program, size_t program_length);

}  // namespace quornax
