// The catalogue reader: what a TRD image holds, as TR-DOS sees it, for
// images of any origin. Another tool's image may store only the tracks in
// use, be of another disk type, hold deleted entries or be damaged, so
// nothing read is trusted: every figure is checked before it is used.
#pragma once

#include <cstdint>

#include "trd/disk_layout.h"

namespace quornax {

// One catalogue entry, as stored, and what its file's data add to it.
struct catalogue_file {
    uint8_t stored[catalogue_entry_size];
    int first;    // its first logical sector: track * 16 + sector
    // Basic and arrays: bytes 2 and 3 of the trailer behind the data (the
    // autostart line, or 0 and the array byte); -1 where the file has none
    // or it cannot be read.
    int trailer;
};

struct disk_catalogue {
    int64_t image_size;
    uint8_t info[sector_size];
    // The info sector's disk type, or the 80-track double-sided one when
    // the type is unknown (known_type false).
    disk_geometry geometry;
    bool known_type;
    int entries;  // up to the end of the catalogue, deleted ones included
    catalogue_file files[catalogue_entries];
};

// Refuses, after a one-line report (-1), a name that is neither a regular
// file nor a folder, before anything opens it: a FIFO without a writer
// would keep the open waiting, and opening a device may act on it. 0 for
// anything else, a name that cannot be looked at included (the open then
// says why).
int refuse_special_file(const char* name);

// Reads the catalogue, the info sector and the trailers of the image open
// as fd; name is for messages. 0, or -1 after a one-line report: a file
// too short for a catalogue, not a regular file, without the TR-DOS mark
// in its info sector, or unreadable.
int read_catalogue(int fd, const char* name, disk_catalogue* disk);

// Logical sectors of the disk its type gives, track 0 included.
int disk_sectors_of(const disk_catalogue& disk);

// The tracks the image holds, a part track counted whole; more than the
// disk type's where a disk was formatted past them.
int64_t image_tracks(const disk_catalogue& disk);

// The sectors files may reach: the disk type's, or the image's whole
// sectors where it holds more.
int64_t reachable_sectors(const disk_catalogue& disk);

bool is_deleted(const catalogue_file& file);

// Whether the file starts in track 0 before the first sector behind the
// info sector: on the catalogue's or the info sector's own.
bool overlaps_catalogue(const catalogue_file& file);

// Whether the file lies behind the info sector and within the sectors files
// may reach, and whether the image holds all its sectors (an image cut to
// its used tracks may not).
bool fits_disk(const disk_catalogue& disk, const catalogue_file& file);
bool fits_image(const disk_catalogue& disk, const catalogue_file& file);

// Where the free space starts, as a logical sector.
int first_free_sector(const disk_catalogue& disk);

}  // namespace quornax
