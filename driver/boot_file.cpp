#include "driver/boot_file.h"

#include <cstdio>
#include <cstring>

#include "basic/boot.h"
#include "common/common.h"
#include "driver/driver.h"
#include "tap/block_descriptor.h"
#include "tap/listing.h"
#include "trd/disk_layout.h"
#include "trd/staging.h"
#include "trd/trd_image.h"

namespace quornax {

namespace {

constexpr char boot_name[] = "boot      ";  // as a tape would name it

// The longest Basic file a catalogue entry can give sectors to.
constexpr size_t boot_room = max_file_sectors * sector_size - trailer_size;

// What the boot needs of the tape: its files as staged, and a copy of the
// loader, whose staging file the work buffer cannot hold beside the boot.
tape_file boot_files[max_staged_blocks];
bool boot_name_taken = false;
int used_sectors = 0;
uint8_t loader[work_buffer_size];
size_t loader_length = 0;
size_t loader_program_length = 0;
uint16_t loader_autostart = 0;

bool is_array(uint8_t type) {
    return type == block_number_array || type == block_char_array;
}

// TR-DOS finds a file by its 8-character name and its type letter, which
// both kinds of array share.
bool hides(const tape_file& earlier, const tape_file& file) {
    bool same_type = earlier.type == file.type ||
                     (is_array(earlier.type) && is_array(file.type));
    return same_type &&
           std::memcmp(earlier.name, file.name, entry_name_chars) == 0;
}

void keep_loader() {
    loader_length = data_length;
    loader_program_length = descriptor.param2 < data_length
                                ? descriptor.param2
                                : data_length;
    loader_autostart = descriptor.param1;
    std::memcpy(loader, work_buffer + payload_offset, data_length);
}

int why_no_boot(boot_program* boot) {
    if (boot_files[0].type != block_basic) return refusal_not_basic;
    // Loads could then take the wrong files.
    if (pair_dropped || block_passed_over || reading_failed)
        return refusal_tape_not_whole;
    if (boot_name_taken) return refusal_boot_exists;
    if (staged_count >= max_staged_blocks) return refusal_full_catalogue;
    if (make_boot(loader, loader_length, loader_program_length, boot_files,
                  staged_count, work_buffer + payload_offset, boot_room,
                  boot) != 0)
        return boot->refusal;
    return boot_made;
}

void describe_boot(const boot_program& boot) {
    descriptor.valid = 1;
    descriptor.type = block_basic;
    std::memcpy(descriptor.name, boot_name, sizeof boot_name);
    descriptor.array_name = 0;
    descriptor.length = static_cast<uint16_t>(boot.length);
    descriptor.param1 = loader_autostart;
    descriptor.param2 = static_cast<uint16_t>(boot.program_length);
    data_length = descriptor.length;
}

}  // namespace

void start_boot_notes() {
    boot_name_taken = false;
    used_sectors = 0;
}

void note_staged_file(bool had_header) {
    int i = staged_count;
    tape_file& file = boot_files[i];
    file.type = descriptor.type;
    std::memcpy(file.name, descriptor.name, name_chars);
    file.had_header = had_header;
    file.hidden = false;
    for (int earlier = 0; earlier < i && !file.hidden; ++earlier)
        file.hidden = hides(boot_files[earlier], file);
    bool basic = descriptor.type == block_basic;
    file.loads_more =
        basic && holds_tape_loads(work_buffer + payload_offset,
                                  descriptor.param2 < data_length
                                      ? descriptor.param2
                                      : data_length);
    if (basic && std::memcmp(file.name, boot_name, entry_name_chars) == 0)
        boot_name_taken = true;
    if (i == 0 && basic) keep_loader();
    used_sectors += file_sectors(descriptor);
}

int add_boot_file() {
    boot_program boot{};
    int refusal = why_no_boot(&boot);
    if (refusal == boot_made) {
        describe_boot(boot);
        if (used_sectors + file_sectors(descriptor) > data_sectors)
            refusal = refusal_no_room;
    }
    if (refusal != boot_made) {
        descriptor.valid = 0;
        data_length = 0;
        flush_listing();
        std::fprintf(stderr, "%s: no boot file: %s !\n", tap_name,
                     boot_refusal_text(refusal));
        return 0;
    }
    print_block_listing(descriptor);
    if (stage_block() != 0) return -1;
    ++staged_count;
    descriptor.valid = 0;
    data_length = 0;
    return 0;
}

}  // namespace quornax
