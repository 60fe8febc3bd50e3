// What every module shares: the work buffer, the name of the tape being
// converted, the one way messages reach standard error, and 16-bit
// little-endian values. Nothing here includes anything of the program's.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "common/platform.h"  // iovec, on every system

namespace quornax {

// Block types, as a tape header's type byte gives them: the tape reader,
// the image writer and the boot file all go by them.
constexpr uint8_t block_basic = 0;
constexpr uint8_t block_number_array = 1;
constexpr uint8_t block_char_array = 2;
constexpr uint8_t block_code = 3;

constexpr size_t name_chars = 10;  // a tape name, padded with blanks

// Big enough for the longest block a 16-bit length word can announce, and
// the image writer's only scratch space.
constexpr size_t work_buffer_size = 65536;

// work_buffer_size bytes, allocated by the driver for the whole run; every
// block is read to its start and everything the image writer writes is
// built in it.
extern uint8_t* work_buffer;

// The TAP file's name exactly as the command line gave it; set by the
// driver before the tape is opened, read by every message that names it.
extern const char* tap_name;

// The listing on standard output leaves in whole lines: lines wait in a
// buffer and go out in writes that a pipe takes whole, so the listings of
// runs that share one pipe never interleave mid-line. The line may hold any
// byte, NUL included. Write errors are not the listing's concern.
void write_listing(const char* line, size_t length);

// Writes the lines waiting. Called before anything goes to standard error,
// so that the listing keeps its place among the messages when both streams
// go to one file, and whenever a tape is done. The first write that fails
// is reported, once, with the text of its error; the run goes on, since
// the images are what it is for, and ends with status 1.
void flush_listing();

// Whether a write to standard output has failed.
bool listing_failed();

// Flushes what stdio holds for standard output (the help and version
// texts) and reports a failure as flush_listing does. 0, or -1 when any
// write to standard output has failed.
int finish_standard_output();

// Prints "PREFIX: <text of errno>" on standard error, or the text alone for
// an empty or absent prefix. errno is read before anything else is done.
void report_system_error(const char* prefix);

// Writes every byte of count pieces, going on after a short write or a
// signal; the pieces are used up on the way. 0, or -1 with errno set.
int write_pieces(int fd, iovec* pieces, int count);

// Reads count pieces from offset on, going on after a short read or a
// signal, until they are full or the file ends. The bytes read, or -1
// with errno set; the pieces are used up on the way.
ssize_t read_pieces_at(int fd, iovec* pieces, int count, off_t offset);

// Whether fd (standard output or standard error) is a terminal; asked of
// the system once per run and stream.
bool is_terminal(int fd);

// A name read from a tape or a disk is raw bytes, and a terminal takes some
// bytes for commands. Copies the NUL-terminated name into shown (size
// bytes, cut to fit) and, where fd is a terminal, writes each control byte
// (0x00-0x1F, 0x7F-0x9F) as '?', one for one so that columns stay. Into a
// pipe or a file every byte stays. Returns shown.
const char* shown_name(int fd, const char* name, char* shown, size_t size);

// One byte of a name as shown_name shows it, NUL among the control bytes.
char shown_byte(int fd, uint8_t byte);

// 16-bit values on tape, in staging files and on the disk are stored low
// byte first.
uint16_t get_le16(const uint8_t* bytes);
uint8_t* put_le16(uint8_t* to, uint16_t value);  // returns to

}  // namespace quornax
