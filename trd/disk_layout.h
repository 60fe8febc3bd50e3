// The TRD disk image: the raw content of an 80-track, double-sided TR-DOS
// floppy, 160 logical tracks of 16 sectors of 256 bytes, track after track.
// Sector s of track t begins at (16 * t + s) * 256.
//
//   offset                size         content
//   0                     2048         catalogue: 128 entries of 16 bytes
//   2048                  256          disk info sector (sector 8, track 0)
//   2304                  1792         zero (rest of track 0)
//   4096                  256 * used   file data, in catalogue order
//   4096 + 256 * used     256 * free   zero sectors
//
// Catalogue entry, 16 bytes; the catalogue ends at the first entry whose
// first byte is 0, and an entry whose first byte is 1 is a deleted file:
//    0-7   first 8 bytes of the name, blanks included, not zero-terminated
//    8     type letter: B (Basic), D (arrays), C (code)
//    9-10  Basic: length; arrays: 0; code: start address
//   11-12  Basic: length without variables; arrays and code: length
//   13     sectors the file takes (one byte: at most 255)
//   14     its first sector within the track (0..15)
//   15     its first track
//
// Disk info sector: zero but for the first free position, the disk type,
// the file count, the free sector count, the identification byte, nine
// blanks and the label (offsets below); the zero at 0xF4 is TR-DOS's count
// of deleted files.
//
// Basic programs and arrays end in a 4-byte trailer: 0x80 0xAA, then the
// autostart line (Basic) or a zero and the array byte (arrays); code files
// have none. Every file fills whole sectors, the rest zero.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quornax {

// Geometry.
constexpr size_t sector_size = 256;
constexpr int sectors_per_track = 16;
constexpr int disk_tracks = 160;  // 80 cylinders, two sides
constexpr int disk_sectors = disk_tracks * sectors_per_track;
constexpr size_t track_size = sectors_per_track * sector_size;
constexpr size_t image_size = disk_sectors * sector_size;  // 655360
// Track 0 holds the catalogue; files start at sector 0 of track 1.
constexpr int first_data_sector = sectors_per_track;
constexpr int data_sectors = disk_sectors - first_data_sector;  // 2544

// Catalogue, at the start of track 0. One entry per file, so this is also
// the most files, and staged pairs, one image can hold.
constexpr int catalogue_entries = 128;
constexpr size_t catalogue_entry_size = 16;
constexpr size_t catalogue_size = catalogue_entries * catalogue_entry_size;
constexpr size_t entry_name = 0;
constexpr size_t entry_name_chars = 8;
constexpr size_t entry_type = 8;
constexpr size_t entry_param1 = 9;   // little-endian
constexpr size_t entry_param2 = 11;  // little-endian
constexpr size_t entry_sector_count = 13;
constexpr size_t entry_first_sector = 14;
constexpr size_t entry_first_track = 15;
constexpr int max_file_sectors = 255;  // entry_sector_count is one byte
constexpr uint8_t type_letter_basic = 'B';
constexpr uint8_t type_letter_array = 'D';
constexpr uint8_t type_letter_code = 'C';
constexpr uint8_t end_of_catalogue = 0x00;  // as the first name byte
constexpr uint8_t deleted_entry = 0x01;     // as the first name byte

// Disk info sector.
constexpr size_t info_sector_offset = 8 * sector_size;  // sector 8, track 0
constexpr size_t info_first_free_sector = 0xE1;
constexpr size_t info_first_free_track = 0xE2;
constexpr size_t info_disk_type = 0xE3;
constexpr size_t info_file_count = 0xE4;
constexpr size_t info_free_sectors = 0xE5;  // little-endian
constexpr size_t info_trdos_id = 0xE7;
constexpr size_t info_blanks = 0xEB;
constexpr size_t info_blank_count = 9;
constexpr size_t info_deleted_count = 0xF4;
constexpr size_t info_label = 0xF5;
constexpr size_t info_label_chars = 8;
// Other tools' disks may hold a small file in track 0 behind the info sector.
constexpr int after_info_sector = info_sector_offset / sector_size + 1;
constexpr uint8_t disk_type_80_double = 0x16;
constexpr uint8_t trdos_id = 0x10;
constexpr char disk_label[] = "QUORNAX ";  // 8 bytes, no terminator stored

// The disk types other tools write (ours is always 80 tracks, two sides).
// An image of a smaller disk holds its logical tracks, cylinder after
// cylinder and side after side, as ours does, so only the count differs.
struct disk_geometry {
    uint8_t type;  // the info sector's disk type byte
    int cylinders;
    int sides;
};
constexpr disk_geometry disk_geometries[] = {
    {disk_type_80_double, 80, 2},
    {0x17, 40, 2},
    {0x18, 80, 1},
    {0x19, 40, 1},
};

// File trailer, after the payload of Basic programs and arrays.
constexpr size_t trailer_size = 4;
constexpr size_t trailer_mark = 0;      // 2 bytes: 0x80 0xAA
constexpr size_t trailer_autostart = 2; // Basic: line, little-endian
constexpr size_t trailer_array = 3;     // arrays: the array byte (byte 2 is 0)
constexpr uint16_t trailer_no_autostart = 0;  // TR-DOS runs from the start
constexpr uint8_t trailer_mark0 = 0x80;
constexpr uint8_t trailer_mark1 = 0xAA;
constexpr uint8_t number_array_bits = 0x80;
constexpr uint8_t char_array_bits = 0xC0;
constexpr uint8_t array_letter_mask = 0x3F;

}  // namespace quornax
