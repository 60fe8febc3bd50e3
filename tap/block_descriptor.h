// The block descriptor: the one record describing the tape block pair being
// converted, shared by the reader, the driver, the listing, staging and the
// image writer.
//
// It travels through the staging files byte for byte, so its stored form
// is a file format. Stored layout, 20 bytes, the head of every staging file
// (16-bit values are little-endian):
//
//   offset  size  field
//        0     1  valid       0 or 1
//        1     1  type        0 to 3
//        2    10  name        raw name bytes from the tape header
//       12     1  (zero)      terminator of name
//       13     1  array_name  the array's variable byte
//       14     2  length      bytes of data
//       16     2  param1
//       18     2  param2
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/common.h"  // block types, name_chars

namespace quornax {


// A Basic program's autostart line from here on means it has none.
constexpr uint16_t first_no_autostart_line = 0x8000;

struct block_descriptor {
    uint8_t valid;                 // 1: describes a pending pair; 0: nothing
    uint8_t type;                  // block_basic .. block_code
    char name[name_chars + 1];     // 10 raw bytes, then always a zero byte
    uint8_t array_name;            // variable byte; types 1 and 2 only
    uint16_t length;               // bytes of data the header declares
    uint16_t param1;               // autostart line or start address
    uint16_t param2;               // program length without variables, or 32768
};

// Offsets of the stored layout.
constexpr size_t stored_valid = 0;
constexpr size_t stored_type = 1;
constexpr size_t stored_name = 2;  // name_chars + 1 bytes
constexpr size_t stored_array_name = 13;
constexpr size_t stored_length = 14;
constexpr size_t stored_param1 = 16;
constexpr size_t stored_param2 = 18;
constexpr size_t stored_descriptor_size = 20;

// The pending pair; written by the reader and the driver, read by everyone,
// reloaded from each staging file by the image writer.
extern block_descriptor descriptor;

// Payload length of the pending pair's data block: written by the reader
// for each data block, read by the driver and by staging, set to 0 by the
// driver after every pair.
extern uint16_t data_length;

// Where that payload starts in the work buffer: after the block's flag.
constexpr size_t payload_offset = 1;

// Writes the stored layout of block to out (stored_descriptor_size bytes).
void store_descriptor(const block_descriptor& block, uint8_t* out);

// Reads a stored layout back into block; the name keeps its terminator
// whatever byte 12 holds.
void load_descriptor(const uint8_t* stored, block_descriptor& block);

}  // namespace quornax
