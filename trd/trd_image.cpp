#include "trd/trd_image.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "trd/disk_layout.h"
#include "trd/staging.h"
#include "trd/trd_name.h"

namespace quornax {

namespace {

// The image being written. Everything goes out of the work buffer: `built`
// bytes gathered at its start wait to be written as one piece.
struct image_output {
    int fd;
    const char* name;
    size_t built;
};

constexpr mode_t image_mode = 0666;  // reduced by the umask

// Set while an image is being written under its temporary name, for a
// signal handler to delete it (and close it first, where open files cannot
// be deleted). An image written in place is left as far as it got. Until
// the run holds the file, the name may be another run's.
const char* volatile unfinished_image = nullptr;
volatile int unfinished_image_fd = -1;
volatile bool unfinished_image_held = false;

// The temporary name: the image's folder, then a name of the sequence.
char temporary_name[trd_name_size + staging_name_size];
size_t temporary_folder = 0;  // the length of the folder part

void name_temporary(char* name, int number) {
    std::snprintf(name + temporary_folder, sizeof temporary_name - temporary_folder,
                  image_temporary_format, static_cast<unsigned>(number));
}

// Folders that take no new file still let a file in them be overwritten.
bool takes_no_new_file(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

// Creates temporary_name exclusively, never through a link, and holds it,
// recorded for a signal handler before a signal can be handled. The
// descriptor, or -1 with errno set: EEXIST where the name is another's.
int open_temporary() {
    constexpr int flags =
        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_BINARY;
    unfinished_image = temporary_name;
    if (!removes_open_files) block_ending_signals();
    int fd = open_sparing_descriptors(temporary_name, flags, image_mode);
    unfinished_image_fd = fd;
    bool held = fd >= 0 && hold_temporary(fd) == 0;
    unfinished_image_held = held;
    if (!removes_open_files) unblock_ending_signals();
    if (held) return fd;
    int error = fd >= 0 ? EEXIST : errno;
    if (fd >= 0) {
        unfinished_image_fd = -1;
        close(fd);
    }
    unfinished_image = nullptr;
    errno = error;
    return -1;
}

// Deletes the temporary file, while this run still holds it where open
// files can be deleted.
void discard_temporary(int fd) {
    if (!removes_open_files) {
        unfinished_image_fd = -1;
        close(fd);
    }
    remove_file(temporary_name);
    unfinished_image = nullptr;
    unfinished_image_held = false;
    if (removes_open_files) {
        unfinished_image_fd = -1;
        close(fd);
    }
}

// Takes the first free name of the sequence, never another run's: a file
// under a name that nobody holds was left by a run that is gone, and is
// cleared on the way. Where the first name was taken, the rest of the
// sequence is cleared of such files too, so that what a killed run left
// goes with the next run that writes an image there, even in a folder
// that cannot be listed or locked. 0, 1 where the image is to be written
// in place instead, or -1 after a report naming the image.
int create_temporary(image_output& image, const replaced_file& replaced,
                     name_use use, const char** temporary) {
    const char* slash = std::strrchr(image.name, '/');
    temporary_folder = slash == nullptr ? 0 : slash - image.name + 1;
    std::memcpy(temporary_name, image.name, temporary_folder);
    int fd = -1;
    int number = 0;
    bool first_taken = false;
    for (; number < image_temporary_names; ++number) {
        name_temporary(temporary_name, number);
        fd = open_temporary();
        if (fd >= 0 || errno != EEXIST) break;
        first_taken = true;
        if (remove_if_abandoned(temporary_name) != 0) continue;
        fd = open_temporary();
        if (fd >= 0 || errno != EEXIST) break;
    }
    if (fd < 0) {
        if (number == image_temporary_names) errno = EEXIST;
        if (takes_no_new_file(errno) && use == name_use::replaceable) return 1;
        report_system_error(image.name);
        return -1;
    }
    char other[sizeof temporary_name];
    std::memcpy(other, temporary_name, temporary_folder);
    for (int later = first_taken ? number + 1 : image_temporary_names;
         later < image_temporary_names; ++later) {
        name_temporary(other, later);
        remove_if_abandoned(other);
    }
    // Another user's file stays theirs: where it cannot be given to them,
    // it is written in place, as an overwrite would.
    if (use == name_use::replaceable && take_over_file(fd, replaced) != 0) {
        int error = errno;
        discard_temporary(fd);
        if (error == EPERM) return 1;
        errno = error;
        report_system_error(image.name);
        return -1;
    }
    image.fd = fd;
    *temporary = temporary_name;
    return 0;
}

constexpr uint8_t type_letters[] = {type_letter_basic, type_letter_array,
                                    type_letter_array, type_letter_code};

int report_no_space() {
    char name[sizeof descriptor.name];
    shown_name(STDERR_FILENO, descriptor.name, name, sizeof name);
    flush_listing();
    std::fprintf(stderr,
                 "Pro ulozeni bloku '%s' z TAP souboru %s je nedostatek "
                 "mista !\n",
                 name, tap_name);
    return -1;
}

// Writes the bytes built so far and starts the next piece.
int write_built(image_output& image) {
    iovec piece{work_buffer, image.built};
    image.built = 0;
    if (write_pieces(image.fd, &piece, 1) == 0) return 0;
    report_system_error(image.name);
    return -1;
}

// On the way out after a failure already reported, the image keeps what
// was built before it; a write that fails now has nothing to add.
void keep_built_part(image_output& image) {
    iovec piece{work_buffer, image.built};
    write_pieces(image.fd, &piece, 1);
}

// Reads staging file i's descriptor back into the block descriptor, and
// its payload to `payload` when one is given, `length` bytes; -1 after a
// report. Only a file changed behind our back fails the last two tests.
int load_staged_file(int i, uint8_t* payload, size_t length) {
    uint8_t stored[stored_descriptor_size];
    if (read_staged_file(i, stored, payload, length) != 0) return -1;
    if (stored[stored_valid] == 0 || stored[stored_type] > block_code) {
        errno = EIO;
        report_system_error(staging_table[i]);
        return -1;
    }
    load_descriptor(stored, descriptor);
    return 0;
}

// Files follow one another from the first data sector on, so the next free
// position follows from the sectors still free.
int next_free_sector(int free_sectors) {
    return first_data_sector + (data_sectors - free_sectors);
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
    entry[entry_sector_count] = static_cast<uint8_t>(sectors);
    entry[entry_first_sector] =
        static_cast<uint8_t>(position % sectors_per_track);
    entry[entry_first_track] =
        static_cast<uint8_t>(position / sectors_per_track);
}

// The catalogue pass: one entry per staged file, each checked for room on
// the disk first, built at its place at the start of the work buffer.
// planned[i] keeps what file i was given, for the data pass.
int build_catalogue(image_output& image, int* free_sectors,
                    block_descriptor* planned) {
    for (int i = 0; i < staged_count; ++i) {
        image.built = i * catalogue_entry_size;
        if (load_staged_file(i, nullptr, 0) != 0) return -1;
        int sectors = file_sectors(descriptor);
        if (sectors > max_file_sectors || sectors > *free_sectors)
            return report_no_space();
        build_catalogue_entry(work_buffer + image.built, sectors,
                              *free_sectors);
        planned[i] = descriptor;
        *free_sectors -= sectors;
    }
    image.built = staged_count * catalogue_entry_size;
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

// Completes track 0 behind the catalogue entries built: the unused
// entries, the disk info sector and the zero sectors after it.
void build_rest_of_track0(image_output& image, int free_sectors) {
    std::memset(work_buffer + image.built, 0, track_size - image.built);
    build_info_sector(work_buffer + info_sector_offset, free_sectors);
    image.built = track_size;
}

// Appends the trailer and the zero fill behind the payload at file, up to
// the file's last whole sector.
void build_file_tail(uint8_t* file, int sectors) {
    size_t end = descriptor.length;
    if (descriptor.type != block_code) {
        uint8_t* trailer = file + end;
        trailer[trailer_mark] = trailer_mark0;
        trailer[trailer_mark + 1] = trailer_mark1;
        if (descriptor.type == block_basic) {
            // TR-DOS refuses to load a program whose line is past the
            // last one Basic allows; 0 is its own "none".
            bool autostart = descriptor.param1 < first_no_autostart_line;
            put_le16(trailer + trailer_autostart,
                     autostart ? descriptor.param1 : trailer_no_autostart);
        } else {
            uint8_t bits = descriptor.type == block_number_array
                               ? number_array_bits
                               : char_array_bits;
            trailer[trailer_autostart] = 0;
            trailer[trailer_array] =
                bits | (descriptor.array_name & array_letter_mask);
        }
        end += trailer_size;
    }
    std::memset(file + end, 0, sectors * sector_size - end);
}

// Adds staging file i behind the bytes built, writing those first when the
// file would not fit behind them. The image thus goes out in pieces as
// large as the work buffer, whatever the sizes of the files.
int add_file(image_output& image, int i, const block_descriptor& planned) {
    int sectors = file_sectors(planned);
    size_t size = sectors * sector_size;
    if (image.built + size > work_buffer_size && write_built(image) != 0)
        return -1;
    uint8_t* at = work_buffer + image.built;
    if (load_staged_file(i, at, planned.length) != 0) return -1;
    // A staging file changed since the catalogue pass would put its data
    // where the catalogue does not say.
    if (descriptor.length != planned.length ||
        file_sectors(descriptor) != sectors) {
        errno = EIO;
        report_system_error(staging_table[i]);
        return -1;
    }
    if (sectors == 0) return 0;
    build_file_tail(at, sectors);
    image.built += size;
    return 0;
}

// The free sectors follow the bytes still in the work buffer, and the zero
// rest of the buffer stands for every piece of them: the end of the image
// goes out in one call. At least a track of zeros keeps the pieces few.
int write_free_sectors(image_output& image, int free_sectors) {
    constexpr int max_pieces = 1 + image_size / track_size;
    if (work_buffer_size - image.built < track_size &&
        write_built(image) != 0)
        return -1;
    uint8_t* zeros = work_buffer + image.built;
    size_t zero_bytes = work_buffer_size - image.built;
    std::memset(zeros, 0, zero_bytes);
    iovec pieces[max_pieces];
    int count = 0;
    pieces[count++] = iovec{work_buffer, image.built};
    for (size_t left = free_sectors * sector_size; left > 0;) {
        size_t piece = std::min(left, zero_bytes);
        pieces[count++] = iovec{zeros, piece};
        left -= piece;
    }
    image.built = 0;
    if (write_pieces(image.fd, pieces, count) == 0) return 0;
    report_system_error(image.name);
    return -1;
}

// The files and the free sectors are built in the work buffer behind
// track 0 and written as it fills up.
int write_image_content(image_output& image, const block_descriptor* planned,
                        int free_sectors) {
    for (int i = 0; i < staged_count; ++i) {
        if (add_file(image, i, planned[i]) != 0) {
            keep_built_part(image);
            return -1;
        }
    }
    return write_free_sectors(image, free_sectors);
}

// Where the image goes: beside its name under a temporary name, unless
// the name must be written in place (see examine_image_name), or its
// folder takes no new file, or it is another user's file that cannot be
// given to them. *temporary is then left nullptr. Either way image.fd is
// open for writing; -1 after a report naming the image.
int open_image(image_output& image, const char** temporary) {
    replaced_file replaced{image_mode, 0, 0};
    name_use use = examine_image_name(image.name, &replaced);
    int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_BINARY;
    if (use != name_use::in_place) {
        int result = create_temporary(image, replaced, use, temporary);
        if (result != 1) return result;
        // The file stands there, and may be another user's in a sticky
        // folder, where a create of it is refused even without O_EXCL.
        flags &= ~O_CREAT;
    }
    image.fd = open_sparing_descriptors(image.name, flags, image_mode);
    if (image.fd >= 0) return 0;
    explain_open_failure(image.name);
    report_system_error(image.name);
    return -1;
}

int close_image(image_output& image, int result) {
    unfinished_image_fd = -1;
    if (close(image.fd) != 0 && result == 0) {
        report_system_error(image.name);
        return -1;
    }
    return result;
}

}  // namespace

int file_sectors(const block_descriptor& block) {
    size_t bytes = block.length;
    if (block.type != block_code) bytes += trailer_size;
    return static_cast<int>((bytes + sector_size - 1) / sector_size);
}

int write_trd_image(const char* image_name) {
    if (staged_count <= 0) return 0;
    // Track 0 is built first: the catalogue pass finds every file that the
    // disk cannot take before anything is created.
    image_output image{-1, image_name, 0};
    int free_sectors = data_sectors;
    block_descriptor planned[catalogue_entries];
    if (build_catalogue(image, &free_sectors, planned) != 0) return -1;
    build_rest_of_track0(image, free_sectors);
    const char* temporary = nullptr;
    if (open_image(image, &temporary) != 0) return -1;
    int result = write_image_content(image, planned, free_sectors);
    if (temporary == nullptr) return close_image(image, result);
    // Renamed while this run still holds it, so that no other run can take
    // its name in between; a failed close is then reported with the image
    // in place. Where open files cannot be renamed, it is closed first.
    if (!removes_open_files) result = close_image(image, result);
    if (result == 0 && replace_file(temporary, image_name) != 0) {
        report_system_error(image_name);
        result = -1;
    }
    // Renamed into place, or failed: a signal from here on leaves the image
    // name as it is.
    if (result != 0) remove_file(temporary);
    unfinished_image = nullptr;
    unfinished_image_held = false;
    if (removes_open_files) result = close_image(image, result);
    return result;
}

// While this run holds its temporary file, the file is deleted as long as
// its name leads to it; until then, and where open files cannot be
// deleted, the run lets go of it first and deletes it as anyone may.
void remove_unfinished_image() {
    const char* name = unfinished_image;
    if (name == nullptr) return;
    int fd = unfinished_image_fd;
    if (unfinished_image_held && removes_open_files) {
        file_identity own, found;
        if (fd >= 0 && identify_open_file(fd, &own) == 0 &&
            identify_name(name, &found) == 0 && own == found)
            remove_file(name);
        return;
    }
    if (fd >= 0) release_on_signal(fd);
    remove_if_abandoned(name);
}

}  // namespace quornax
