// The TAP block reader.
//
// A TAP file is a plain sequence of blocks with nothing before, between or
// after them. Each block is a 2-byte length L (little-endian) followed by L
// bytes: a flag byte, the body, and a checksum byte, the XOR of all the
// bytes before it from the flag on.
//
// Header block, L = 19 (offsets from the flag byte):
//    0     flag 0x00
//    1     type 0..3
//    2-11  name
//   12-13  data length
//   14-15  first parameter (offset 15 is the array's variable byte)
//   16-17  second parameter
//   18     checksum
//
// Data block, L >= 2: flag 0xFF, L-2 bytes of payload, checksum.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace quornax {

// Results of read_tap_block besides -1 (an error, already reported).
constexpr int tap_header = 0;
constexpr int tap_end = 1;
constexpr int tap_data = 0xFF;

// A tape that is not a regular file (a pipe, a FIFO, a device) has no size
// to test a block against: it is read until it ends.
constexpr int64_t tap_size_unknown = INT64_MAX;

// Size in bytes of the open TAP file, set by the driver when it opens a
// tape: the size of a regular file, tap_size_unknown for any other, -1
// when it could not be learnt (the tape then reads as empty). No block may
// be longer, and the tape ends there.
extern int64_t tap_size;

// Bytes of the tape read ahead at a time.
constexpr size_t tap_buffer_size = 65536;

// What a tape holds, learnt from its first bytes (tap/tzx_reader.h).
enum tape_container : uint8_t { tape_unknown, tape_tap, tape_tzx };

// The open tape, read through a buffer of the program's own: most tapes
// take one read, and a long block goes straight to the work buffer.
struct tap_stream {
    int fd;
    int64_t position;   // bytes of the tape taken so far
    size_t next;        // first byte of buffer not yet taken
    size_t end;         // end of the bytes read into buffer
    tape_container container;
    bool tzx_rom_data;          // a TZX tape has handed on a TAP block
    bool tzx_other_data;        // a TZX block of bytes in another form met
    bool tzx_without_rom_data;  // and no TAP block: said at its end
    uint8_t buffer[tap_buffer_size];
};

// The tape being converted; opened by the driver.
extern tap_stream tape;

// Starts reading the tape on fd from its beginning.
void start_tap_stream(tap_stream& stream, int fd);

// Whether the block read_tap_block last refused was read whole and failed
// only a test of its content (its flag byte, a header's length or type,
// a checksum), so that the tape may be read on after it; a block longer
// than the file, one cut short and a read error leave nothing to read on.
// Cleared by every call.
extern bool tap_block_damaged;

// Reads the next block to the start of the work buffer. A header is decoded
// into the descriptor; a data block's payload stays in the work buffer from
// its second byte on, data_length bytes long.
int read_tap_block(tap_stream& stream);

// Reads count bytes to the start of the work buffer: 0 when they all came,
// tap_end when the tape had already ended, -1 after a report.
int read_tap_chunk(tap_stream& stream, size_t count);

// Judges the block of block_length bytes (at least 1) at the start of the
// work buffer as read_tap_block does once it has read one: 0, 0xFF or -1.
int judge_tap_block(size_t block_length);

// Takes up to count bytes of the tape to `to`, leaving the position to the
// caller: fewer only where the tape ends, -1 after a report.
ssize_t take_tap_bytes(tap_stream& stream, uint8_t* to, size_t count);

// Reads ahead, at the start of a tape, until the buffer holds count bytes
// or the tape has ended; takes none of them. The bytes held, -1 after a
// report.
ssize_t peek_tap_bytes(tap_stream& stream, size_t count);

// Prints "NAME: MESSAGE !" on standard error, NAME being the tape's name
// as the command line gave it; always -1.
int report_tap_error(const char* message);

// XOR of count bytes; 0 for none.
uint8_t tap_checksum(const uint8_t* bytes, size_t count);

}  // namespace quornax
