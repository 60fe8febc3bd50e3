#include "trd/trd_image.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "driver/driver.h"
#include "tap/tap_reader.h"
#include "trd/staging.h"

namespace quornax {

namespace {

constexpr uint8_t type_letters[] = {'B', 'D', 'D', 'C'};

int report_no_space() {
    std::fflush(stdout);
    std::fprintf(stderr,
                 "Pro ulozeni bloku '%s' z TAP souboru %s je nedostatek "
                 "mista !\n",
                 descriptor.name, tap_name);
    return -1;
}

// A read that came up short without a system error still lost data.
void report_short_read(FILE* file, const char* name) {
    if (!std::ferror(file)) errno = EIO;
    report_system_error(name);
}

int write_image(FILE* image, const char* image_name, const uint8_t* bytes,
                size_t count) {
    if (std::fwrite(bytes, 1, count, image) == count) return 0;
    report_system_error(image_name);
    return -1;
}

// On the way out after a failure already reported, the image keeps what
// was built before it; a write that fails now has nothing to add.
int write_built_part(FILE* image, size_t count) {
    std::fwrite(work_buffer, 1, count, image);
    return -1;
}

// Opens staging file i and reads its descriptor back; nullptr after a report.
// The file is read in two pieces straight to where they are used, so a
// stream buffer would only add a copy and a status query.
FILE* open_staged_file(int i) {
    const char* name = staging_table[i];
    FILE* file = std::fopen(name, "rb");
    if (file == nullptr) {
        report_system_error(name);
        return nullptr;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);
    uint8_t stored[stored_descriptor_size];
    // Only a file changed behind our back fails the last two tests.
    if (std::fread(stored, 1, sizeof stored, file) != sizeof stored ||
        stored[stored_valid] == 0 || stored[stored_type] > block_code) {
        report_short_read(file, name);
        std::fclose(file);
        return nullptr;
    }
    load_descriptor(stored, descriptor);
    return file;
}

// Data starts at sector 0 of track 1 and files follow one another, so the
// next free position follows from the sectors used so far.
int next_free_sector(int free_sectors) {
    return sectors_per_track + (data_sectors - free_sectors);
}

void build_catalogue_entry(uint8_t* entry, int sectors, int free_sectors) {
    bool code = descriptor.type == block_code;
    bool basic = descriptor.type == block_basic;
    std::memcpy(entry + entry_name, descriptor.name, entry_name_chars);
    entry[entry_type] = type_letters[descriptor.type];
    put_le16(entry + entry_param1,
             code ? descriptor.param1 : basic ? descriptor.length : 0);
    put_le16(entry + entry_param2,
             basic ? descriptor.param2 : descriptor.length);
    int position = next_free_sector(free_sectors);
    entry[entry_sectors] = static_cast<uint8_t>(sectors);
    entry[entry_sector] = static_cast<uint8_t>(position % sectors_per_track);
    entry[entry_track] = static_cast<uint8_t>(position / sectors_per_track);
}

// One entry per staged file, each checked for room on the disk first, built
// at its place in the work buffer; *built counts the entries made, and
// sectors_of[i] keeps what file i was given.
int build_catalogue(int* free_sectors, int* built, uint8_t* sectors_of) {
    for (*built = 0; *built < staged_count; ++*built) {
        FILE* file = open_staged_file(*built);
        if (file == nullptr) return -1;
        std::fclose(file);
        int sectors = file_sectors(descriptor);
        if (sectors > max_file_sectors || sectors > *free_sectors)
            return report_no_space();
        build_catalogue_entry(work_buffer + *built * catalogue_entry_size,
                              sectors, *free_sectors);
        sectors_of[*built] = static_cast<uint8_t>(sectors);
        *free_sectors -= sectors;
    }
    return 0;
}

void build_info_sector(uint8_t* info, int free_sectors) {
    int position = next_free_sector(free_sectors);
    info[info_first_free_sector] =
        static_cast<uint8_t>(position % sectors_per_track);
    info[info_first_free_track] =
        static_cast<uint8_t>(position / sectors_per_track);
    info[info_disk_type] = disk_type_80_double;
    info[info_file_count] = static_cast<uint8_t>(staged_count);
    put_le16(info + info_free_sectors, static_cast<uint16_t>(free_sectors));
    info[info_trdos_id] = trdos_id;
    std::memset(info + info_blanks, ' ', info_blank_count);
    std::memcpy(info + info_label, disk_label, sizeof disk_label - 1);
}

// Completes track 0 behind the catalogue: the unused entries, the disk info
// sector and the zero sectors after it.
void build_rest_of_track0(int free_sectors) {
    size_t used = staged_count * catalogue_entry_size;
    std::memset(work_buffer + used, 0, track_size - used);
    build_info_sector(work_buffer + info_sector * sector_size, free_sectors);
}

// Appends the trailer and the zero fill behind the payload at file, up to
// the file's last whole sector.
void build_file_tail(uint8_t* file, int sectors) {
    size_t end = descriptor.length;
    if (descriptor.type != block_code) {
        uint8_t* trailer = file + end;
        trailer[0] = trailer_mark0;
        trailer[1] = trailer_mark1;
        if (descriptor.type == block_basic) {
            put_le16(trailer + 2, descriptor.param1);
        } else {
            uint8_t bits = descriptor.type == block_number_array
                               ? number_array_bits
                               : char_array_bits;
            trailer[2] = 0;
            trailer[3] = bits | (descriptor.array_name & array_letter_mask);
        }
        end += trailer_size;
    }
    std::memset(file + end, 0, sectors * sector_size - end);
}

// Writes the *built bytes gathered at the start of the work buffer.
int write_built(FILE* image, const char* image_name, size_t* built) {
    size_t count = *built;
    *built = 0;
    return write_image(image, image_name, work_buffer, count);
}

// Adds file i behind the *built bytes in the work buffer, writing those
// first when the file would not fit behind them. The image thus goes out in
// pieces as large as the work buffer, whatever the sizes of the files.
int add_file(FILE* image, const char* image_name, int i, int planned,
             size_t* built) {
    FILE* file = open_staged_file(i);
    if (file == nullptr) return -1;
    int sectors = file_sectors(descriptor);
    size_t length = descriptor.length;
    size_t size = sectors * sector_size;
    // A staging file changed since the catalogue pass would put its data
    // where the catalogue does not say, or overrun the work buffer.
    bool changed = sectors != planned;
    if (!changed && *built + size > work_buffer_size &&
        write_built(image, image_name, built) != 0) {
        std::fclose(file);
        return -1;
    }
    uint8_t* at = work_buffer + *built;
    if (changed ||
        (sectors > 0 && std::fread(at, 1, length, file) != length)) {
        report_short_read(file, staging_table[i]);
        std::fclose(file);
        return -1;
    }
    std::fclose(file);
    if (sectors == 0) return 0;
    build_file_tail(at, sectors);
    *built += size;
    return 0;
}

// The free sectors follow the bytes still in the work buffer; once those
// are written, the buffer is zero throughout and every later piece is a
// whole buffer of zero sectors, or what is left of them.
int write_free_sectors(FILE* image, const char* image_name, size_t built,
                       int free_sectors) {
    size_t left = free_sectors * sector_size;
    size_t first = std::min(left, work_buffer_size - built);
    std::memset(work_buffer + built, 0, first);
    if (write_image(image, image_name, work_buffer, built + first)) return -1;
    left -= first;
    std::memset(work_buffer, 0, std::min(built, left));
    while (left > 0) {
        size_t piece = std::min(left, work_buffer_size);
        if (write_image(image, image_name, work_buffer, piece)) return -1;
        left -= piece;
    }
    return 0;
}

// Track 0, the files and the free sectors are built in the work buffer and
// written as it fills up.
int write_image_content(FILE* image, const char* image_name) {
    int free_sectors = data_sectors;
    int entries = 0;
    uint8_t sectors_of[catalogue_entries];
    if (build_catalogue(&free_sectors, &entries, sectors_of) != 0)
        return write_built_part(image, entries * catalogue_entry_size);
    build_rest_of_track0(free_sectors);
    size_t built = track_size;
    for (int i = 0; i < staged_count; ++i)
        if (add_file(image, image_name, i, sectors_of[i], &built) != 0)
            return write_built_part(image, built);
    return write_free_sectors(image, image_name, built, free_sectors);
}

}  // namespace

uint8_t* put_le16(uint8_t* to, uint16_t value) {
    to[0] = static_cast<uint8_t>(value & 0xFF);
    to[1] = static_cast<uint8_t>(value >> 8);
    return to;
}

void load_descriptor(const uint8_t* stored, block_descriptor& block) {
    block.valid = stored[stored_valid];
    block.type = stored[stored_type];
    std::memcpy(block.name, stored + stored_name, name_chars);
    block.name[name_chars] = '\0';
    block.array_name = stored[stored_array_name];
    block.length = get_le16(stored + stored_length);
    block.param1 = get_le16(stored + stored_param1);
    block.param2 = get_le16(stored + stored_param2);
}

int file_sectors(const block_descriptor& block) {
    size_t bytes = block.length;
    if (block.type != block_code) bytes += trailer_size;
    return static_cast<int>((bytes + sector_size - 1) / sector_size);
}

int write_trd_image(const char* image_name) {
    if (staged_count <= 0) return 0;
    FILE* image = std::fopen(image_name, "wb");
    if (image == nullptr) {
        report_system_error(image_name);
        return -1;
    }
    // Everything is written from the work buffer in large pieces already.
    std::setvbuf(image, nullptr, _IONBF, 0);
    int result = write_image_content(image, image_name);
    if (std::fclose(image) != 0 && result == 0) {
        report_system_error(image_name);
        result = -1;
    }
    return result;
}

}  // namespace quornax
