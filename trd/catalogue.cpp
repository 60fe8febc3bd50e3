#include "trd/catalogue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/common.h"

namespace quornax {

namespace {

// The catalogue and the info sector behind it: less than this is no image.
constexpr size_t catalogue_and_info = info_sector_offset + sector_size;

int report_not_an_image(const char* name, const char* why) {
    flush_listing();
    std::fprintf(stderr, "%s: not a TRD image: %s\n", name, why);
    return -1;
}

// Reads size bytes at offset: 0, or -1 after a report. The image's size
// was checked first, so a short read means it shrank meanwhile.
int read_at(int fd, const char* name, void* to, size_t size, int64_t offset) {
    iovec piece{to, size};
    ssize_t got = read_pieces_at(fd, &piece, 1, static_cast<off_t>(offset));
    if (got == static_cast<ssize_t>(size)) return 0;
    if (got >= 0) errno = EIO;
    report_system_error(name);
    return -1;
}

void find_geometry(disk_catalogue* disk) {
    uint8_t type = disk->info[info_disk_type];
    disk->geometry = disk_geometries[0];
    disk->known_type = false;
    for (const disk_geometry& known : disk_geometries) {
        if (known.type != type) continue;
        disk->geometry = known;
        disk->known_type = true;
    }
}

// Basic programs and arrays carry their autostart line or array byte
// behind their data, inside their last sector; a trailer past the file's
// sectors or the image's end, or without its mark, is not read.
// 0, or -1 after a report.
int read_trailer(int fd, const char* name, const disk_catalogue& disk,
                 catalogue_file* file_read) {
    catalogue_file& file = *file_read;
    file.trailer = -1;
    uint8_t type = file.stored[entry_type];
    if (type != type_letter_basic && type != type_letter_array) return 0;
    size_t data = get_le16(file.stored + (type == type_letter_basic
                                              ? entry_param1
                                              : entry_param2));
    size_t sectors = file.stored[entry_sector_count];
    if (data + trailer_size > sectors * sector_size || !fits_image(disk, file))
        return 0;
    uint8_t trailer[trailer_size];
    int64_t at = static_cast<int64_t>(file.first) * sector_size + data;
    if (read_at(fd, name, trailer, trailer_size, at) != 0) return -1;
    if (trailer[trailer_mark] == trailer_mark0 &&
        trailer[trailer_mark + 1] == trailer_mark1)
        file.trailer = get_le16(trailer + trailer_autostart);
    return 0;
}

// Entries up to the end of the catalogue, each with its trailer.
int read_entries(int fd, const char* name, disk_catalogue* disk) {
    uint8_t catalogue[catalogue_size];
    if (read_at(fd, name, catalogue, catalogue_size, 0) != 0) return -1;
    disk->entries = 0;
    for (int i = 0; i < catalogue_entries; ++i) {
        const uint8_t* stored = catalogue + i * catalogue_entry_size;
        if (stored[entry_name] == end_of_catalogue) break;
        catalogue_file& file = disk->files[disk->entries++];
        std::memcpy(file.stored, stored, catalogue_entry_size);
        file.first = stored[entry_first_track] * sectors_per_track +
                     stored[entry_first_sector];
        if (read_trailer(fd, name, *disk, &file) != 0) return -1;
    }
    return 0;
}

}  // namespace

int refuse_special_file(const char* name) {
    struct stat status;
    if (stat(name, &status) != 0 || S_ISREG(status.st_mode) ||
        S_ISDIR(status.st_mode))
        return 0;
    return report_not_an_image(name, "not a regular file");
}

int read_catalogue(int fd, const char* name, disk_catalogue* disk) {
    struct stat status;
    if (fstat(fd, &status) != 0) {
        report_system_error(name);
        return -1;
    }
    if (S_ISDIR(status.st_mode)) {
        errno = EISDIR;
        report_system_error(name);
        return -1;
    }
    if (!S_ISREG(status.st_mode))
        return report_not_an_image(name, "not a regular file");
    disk->image_size = status.st_size;
    if (disk->image_size < static_cast<int64_t>(catalogue_and_info))
        return report_not_an_image(name, "too short for a catalogue");
    if (read_at(fd, name, disk->info, sector_size, info_sector_offset) != 0)
        return -1;
    if (disk->info[info_trdos_id] != trdos_id)
        return report_not_an_image(name, "no TR-DOS mark in its info sector");
    find_geometry(disk);
    return read_entries(fd, name, disk);
}

int disk_sectors_of(const disk_catalogue& disk) {
    return disk.geometry.cylinders * disk.geometry.sides * sectors_per_track;
}

bool is_deleted(const catalogue_file& file) {
    return file.stored[entry_name] == deleted_entry;
}

int64_t image_tracks(const disk_catalogue& disk) {
    auto track = static_cast<int64_t>(track_size);
    return (disk.image_size + track - 1) / track;
}

int64_t reachable_sectors(const disk_catalogue& disk) {
    int64_t in_image = disk.image_size / static_cast<int64_t>(sector_size);
    return in_image > disk_sectors_of(disk) ? in_image : disk_sectors_of(disk);
}

bool overlaps_catalogue(const catalogue_file& file) {
    return file.stored[entry_first_sector] < sectors_per_track &&
           file.first < after_info_sector;
}

bool fits_disk(const disk_catalogue& disk, const catalogue_file& file) {
    return file.stored[entry_first_sector] < sectors_per_track &&
           file.first >= after_info_sector &&
           file.first + file.stored[entry_sector_count] <= reachable_sectors(disk);
}

bool fits_image(const disk_catalogue& disk, const catalogue_file& file) {
    int64_t end = static_cast<int64_t>(file.first) +
                  file.stored[entry_sector_count];
    return end * static_cast<int64_t>(sector_size) <= disk.image_size;
}

int first_free_sector(const disk_catalogue& disk) {
    return disk.info[info_first_free_track] * sectors_per_track +
           disk.info[info_first_free_sector];
}

}  // namespace quornax
