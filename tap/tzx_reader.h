// Tapes in TZX, read as the TAP blocks they hold.
//
// A TZX file is a 10-byte header, then blocks: each an ID byte and a body
// whose length the ID decides (the table in tzx_reader.cpp).
//
// Header:
//    0-7   "ZXTape!" and 1Ah
//    8     major version
//    9     minor version
//
// The blocks that hold the ROM's own blocks (flag, body, checksum: a TAP
// block without its length word), offsets from the byte after the ID:
//   10h standard speed   0-1 pause, 2-3 length, then the bytes
//   11h turbo speed      0-11 pulses, 12 used bits of the last byte,
//                        13-14 pause, 15-17 length, then the bytes
//   14h pure data        0-3 pulses, 4 used bits of the last byte,
//                        5-6 pause, 7-9 length, then the bytes
// Every other block is passed over.
#pragma once

#include "tap/tap_reader.h"

namespace quornax {

// Reads the next block of the tape, TAP or TZX as its first bytes say, as
// read_tap_block does: the TAP blocks of a TZX tape are handed on in file
// order. After a -1 the tape stands past the block that gave it.
int read_tape_block(tap_stream& stream);

}  // namespace quornax
