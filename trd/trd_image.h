// The TRD disk image: the raw content of an 80-track, double-sided TR-DOS
// floppy, 160 logical tracks of 16 sectors of 256 bytes, track after track.
//
//   offset                size         content
//   0                     2048         catalogue: 128 entries of 16 bytes
//   2048                  256          disk info sector
//   2304                  1792         zero (rest of track 0)
//   4096                  256 * used   file data, in catalogue order
//   4096 + 256 * used     256 * free   zero sectors
//
// Catalogue entry:
//    0-7   first 8 bytes of the name, blanks included
//    8     type letter: B (Basic), D (arrays), C (code)
//    9-10  Basic: length; arrays: 0; code: start address
//   11-12  Basic: length without variables; arrays and code: length
//   13     sectors the file takes
//   14     its first sector within the track (0..15)
//   15     its first track
//
// Basic programs and arrays end in a 4-byte trailer (0x80 0xAA and two
// bytes by type); code files have none. Every file fills whole sectors.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tap/block_descriptor.h"

namespace quornax {

constexpr size_t sector_size = 256;
constexpr int sectors_per_track = 16;
constexpr int disk_tracks = 160;
constexpr int disk_sectors = disk_tracks * sectors_per_track;
constexpr size_t track_size = sectors_per_track * sector_size;
constexpr size_t image_size = disk_sectors * sector_size;  // 655360
constexpr int data_sectors = disk_sectors - sectors_per_track;  // 2544

// Catalogue, at the start of track 0.
constexpr int catalogue_entries = 128;
constexpr size_t catalogue_entry_size = 16;
constexpr size_t entry_name = 0;
constexpr size_t entry_name_chars = 8;
constexpr size_t entry_type = 8;
constexpr size_t entry_param1 = 9;
constexpr size_t entry_param2 = 11;
constexpr size_t entry_sectors = 13;
constexpr size_t entry_sector = 14;
constexpr size_t entry_track = 15;
constexpr int max_file_sectors = 255;  // entry_sectors is one byte

// Disk info sector: sector 8 of track 0.
constexpr size_t info_sector = 8;
constexpr size_t info_first_free_sector = 0xE1;
constexpr size_t info_first_free_track = 0xE2;
constexpr size_t info_disk_type = 0xE3;
constexpr size_t info_file_count = 0xE4;
constexpr size_t info_free_sectors = 0xE5;  // little-endian
constexpr size_t info_trdos_id = 0xE7;
constexpr size_t info_blanks = 0xEB;
constexpr size_t info_blank_count = 9;
constexpr size_t info_label = 0xF5;
constexpr uint8_t disk_type_80_double = 0x16;
constexpr uint8_t trdos_id = 0x10;
constexpr char disk_label[] = "QUORNAX ";

// File trailer, after the payload of Basic programs and arrays.
constexpr size_t trailer_size = 4;
constexpr uint8_t trailer_mark0 = 0x80;
constexpr uint8_t trailer_mark1 = 0xAA;
constexpr uint8_t number_array_bits = 0x80;
constexpr uint8_t char_array_bits = 0xC0;
constexpr uint8_t array_letter_mask = 0x3F;

// Stores a 16-bit value low byte first; returns to.
uint8_t* put_le16(uint8_t* to, uint16_t value);

// Reads a 20-byte stored descriptor into block.
void load_descriptor(const uint8_t* stored, block_descriptor& block);

// Sectors a file of this descriptor takes on the disk.
int file_sectors(const block_descriptor& block);

// Writes the image of staging files 0 to staged_count - 1 under image_name.
// 0 on success (nothing is created when nothing was staged), -1 after a
// report; a partly written image stays.
int write_trd_image(const char* image_name);

}  // namespace quornax
