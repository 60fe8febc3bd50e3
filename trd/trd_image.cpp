#include "trd/trd_image.h"

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

// Opens staging file i and reads its descriptor back; nullptr after a report.
FILE* open_staged_file(int i) {
    const char* name = staging_table[i];
    FILE* file = std::fopen(name, "rb");
    if (file == nullptr) {
        report_system_error(name);
        return nullptr;
    }
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

// Builds the catalogue entry for the descriptor in the work buffer.
void build_catalogue_entry(int sectors, int free_sectors) {
    uint8_t* entry = work_buffer;
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

// One entry per staged file, each checked for room on the disk first.
int write_catalogue(FILE* image, const char* image_name, int* free_sectors) {
    for (int i = 0; i < staged_count; ++i) {
        FILE* file = open_staged_file(i);
        if (file == nullptr) return -1;
        std::fclose(file);
        int sectors = file_sectors(descriptor);
        if (sectors > max_file_sectors || sectors > *free_sectors)
            return report_no_space();
        build_catalogue_entry(sectors, *free_sectors);
        if (write_image(image, image_name, work_buffer, catalogue_entry_size))
            return -1;
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

// The unused catalogue entries, the disk info sector and the zero sectors
// after it.
int write_rest_of_track0(FILE* image, const char* image_name,
                         int free_sectors) {
    size_t unused = (catalogue_entries - staged_count) * catalogue_entry_size;
    size_t after_info = track_size - info_sector * sector_size;
    std::memset(work_buffer, 0, unused + after_info);
    build_info_sector(work_buffer + unused, free_sectors);
    return write_image(image, image_name, work_buffer, unused + after_info);
}

// Appends the trailer and the zero fill behind the payload in the work
// buffer, up to the file's last whole sector.
void build_file_tail(int sectors) {
    size_t end = descriptor.length;
    if (descriptor.type != block_code) {
        uint8_t* trailer = work_buffer + end;
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
    std::memset(work_buffer + end, 0, sectors * sector_size - end);
}

int write_file(FILE* image, const char* image_name, int i) {
    FILE* file = open_staged_file(i);
    if (file == nullptr) return -1;
    int sectors = file_sectors(descriptor);
    size_t length = descriptor.length;
    // The catalogue pass refused larger files; only a staging file changed
    // since then can show one here, and it must not overrun the buffer.
    if (sectors > max_file_sectors ||
        (sectors > 0 && std::fread(work_buffer, 1, length, file) != length)) {
        report_short_read(file, staging_table[i]);
        std::fclose(file);
        return -1;
    }
    std::fclose(file);
    if (sectors == 0) return 0;
    build_file_tail(sectors);
    return write_image(image, image_name, work_buffer, sectors * sector_size);
}

int write_free_sectors(FILE* image, const char* image_name, int free_sectors) {
    size_t left = free_sectors * sector_size;
    std::memset(work_buffer, 0, left < work_buffer_size ? left : work_buffer_size);
    while (left > 0) {
        size_t piece = left < work_buffer_size ? left : work_buffer_size;
        if (write_image(image, image_name, work_buffer, piece)) return -1;
        left -= piece;
    }
    return 0;
}

int write_image_content(FILE* image, const char* image_name) {
    int free_sectors = data_sectors;
    if (write_catalogue(image, image_name, &free_sectors) ||
        write_rest_of_track0(image, image_name, free_sectors))
        return -1;
    for (int i = 0; i < staged_count; ++i)
        if (write_file(image, image_name, i)) return -1;
    return write_free_sectors(image, image_name, free_sectors);
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
    int result = write_image_content(image, image_name);
    if (std::fclose(image) != 0 && result == 0) {
        report_system_error(image_name);
        result = -1;
    }
    return result;
}

}  // namespace quornax
