#include "driver/cat.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "trd/catalogue.h"

namespace quornax {

namespace {

constexpr char usage_text[] =
    "Usage : quornax-cat image1.trd [image2.trd ...]\n"
    "\tlists the files on TR-DOS disk images\n";

constexpr char table_head[] =
    " No  Name      Type  Start  Length  Sectors  Trk:Sec  Load with\n";

// Basic lines from here on mean no autostart line.
constexpr int no_autostart = 0x8000;
constexpr uint8_t array_kind_mask = 0xC0;
constexpr char first_letter_base = 0x60;  // array letter 1 is 'a'

// One line of the listing, of any length the lines here reach.
constexpr size_t line_size = 256;

void print_line(const char* format, ...) {
    char line[line_size];
    va_list arguments;
    va_start(arguments, format);
    int length = std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (length < 0) return;
    if (static_cast<size_t>(length) >= sizeof line) length = sizeof line - 1;
    write_listing(line, static_cast<size_t>(length));
}

// A stored name of `size` bytes, for standard output: a NUL-terminated
// copy, control bytes made safe where it is a terminal.
const char* shown(const uint8_t* stored, size_t size, char* to) {
    char name[entry_name_chars + 1] = {};
    std::memcpy(name, stored, size);
    return shown_name(STDOUT_FILENO, name, to, size + 1);
}

// The name as typed in a command: without the blanks TR-DOS pads it with.
const char* typed_name(const catalogue_file& file, char* to) {
    shown(file.stored + entry_name, entry_name_chars, to);
    size_t end = std::strlen(to);
    while (end > 0 && to[end - 1] == ' ') --end;
    to[end] = '\0';
    return to;
}

// "a()" or "a$()" from an array byte; '?' for what is not a letter.
void array_variable(int trailer, char* to, size_t size) {
    uint8_t byte = static_cast<uint8_t>(trailer);
    char letter = static_cast<char>(first_letter_base + (byte & array_letter_mask));
    if (letter < 'a' || letter > 'z') letter = '?';
    bool characters = (byte & array_kind_mask) == char_array_bits;
    std::snprintf(to, size, "%c%s()", letter, characters ? "$" : "");
}

// The start column and the command that loads the file. A Basic program
// or an array whose trailer cannot be read has '?' for its start.
void describe_file(const catalogue_file& file, char* start, char* command) {
    char name[entry_name_chars + 1];
    typed_name(file, name);
    uint8_t type = file.stored[entry_type];
    bool known = file.trailer >= 0;
    std::strcpy(start, "-");
    std::strcpy(command, "-");
    if (type == type_letter_basic) {
        if (!known)
            std::strcpy(start, "?");
        else if (file.trailer < no_autostart)
            std::snprintf(start, line_size, "%d", file.trailer);
        std::snprintf(command, line_size, "RUN \"%s\"", name);
    } else if (type == type_letter_code) {
        unsigned address = get_le16(file.stored + entry_param1);
        std::snprintf(start, line_size, "%u", address);
        // Start 0 is where a block the tape gave no address for is put, and
        // the ROM lies there: the user has to name an address.
        std::snprintf(command, line_size, "LOAD \"%s\" CODE%s", name,
                      address == 0 ? " address" : "");
    } else if (type == type_letter_array) {
        if (known)
            array_variable(file.trailer >> 8, start, line_size);
        else
            std::strcpy(start, "?");
        std::snprintf(command, line_size, "LOAD \"%s\" DATA %s", name,
                      known ? start : "?()");
    }
    if (is_deleted(file)) std::strcpy(command, "(deleted)");
}

void print_file(int number, const catalogue_file& file) {
    uint8_t stored_name[entry_name_chars];
    std::memcpy(stored_name, file.stored + entry_name, entry_name_chars);
    if (is_deleted(file)) stored_name[0] = '?';  // the mark, not a letter
    char name[entry_name_chars + 1];
    char type[2];
    char start[line_size];
    char command[line_size];
    describe_file(file, start, command);
    bool basic = file.stored[entry_type] == type_letter_basic;
    print_line("%3d  %-8s  %-4s  %5s  %6u  %7u  %3u:%-3u  %s\n", number,
               shown(stored_name, entry_name_chars, name),
               shown(file.stored + entry_type, 1, type), start,
               get_le16(file.stored + (basic ? entry_param1 : entry_param2)),
               file.stored[entry_sector_count], file.stored[entry_first_track],
               file.stored[entry_first_sector], command);
}

int live_files(const disk_catalogue& disk) {
    int count = 0;
    for (int i = 0; i < disk.entries; ++i)
        if (!is_deleted(disk.files[i])) ++count;
    return count;
}

// One line that a script can read too: the label, the files, the free and
// the total sectors for files; the geometry where it is not ours.
void print_summary(const char* image_name, const disk_catalogue& disk) {
    char label[info_label_chars + 1];
    int files = live_files(disk);
    int deleted = disk.entries - files;
    char deleted_part[32] = "";
    if (deleted > 0)
        std::snprintf(deleted_part, sizeof deleted_part, " and %d deleted",
                      deleted);
    char geometry[48] = "";
    if (disk.geometry.type != disk_type_80_double)
        std::snprintf(geometry, sizeof geometry, " (%d tracks x %d side%s)",
                      disk.geometry.cylinders, disk.geometry.sides,
                      disk.geometry.sides == 1 ? "" : "s");
    print_line("%s: disk \"%s\", %d file%s%s, %u of %d sectors free%s\n",
               image_name, shown(disk.info + info_label, info_label_chars, label),
               files, files == 1 ? "" : "s", deleted_part,
               get_le16(disk.info + info_free_sectors),
               disk_sectors_of(disk) - first_data_sector, geometry);
}

bool same_name_and_type(const catalogue_file& a, const catalogue_file& b) {
    return std::memcmp(a.stored + entry_name, b.stored + entry_name,
                       entry_name_chars + 1) == 0;  // the type follows
}

// TR-DOS finds a file by its name and type, taking the first match.
void warn_duplicates(const disk_catalogue& disk) {
    for (int i = 0; i < disk.entries; ++i) {
        const catalogue_file& file = disk.files[i];
        if (is_deleted(file)) continue;
        for (int j = 0; j < i; ++j) {
            if (is_deleted(disk.files[j]) ||
                !same_name_and_type(disk.files[j], file))
                continue;
            char name[entry_name_chars + 1];
            char type[2];
            print_line("warning: files %d and %d are both \"%s\" %s: "
                       "TR-DOS reaches only file %d\n",
                       j + 1, i + 1, typed_name(file, name),
                       shown(file.stored + entry_type, 1, type), j + 1);
            break;
        }
    }
}

void warn_about_file(const disk_catalogue& disk, int i) {
    const catalogue_file& file = disk.files[i];
    int sectors = file.stored[entry_sector_count];
    if (is_deleted(file))
        print_line("warning: file %d is deleted; its %d sector%s not free\n",
                   i + 1, sectors, sectors == 1 ? " is" : "s are");
    if (!fits_disk(disk, file)) {
        int last = disk_sectors_of(disk) - 1;
        print_line("warning: file %d does not fit the disk (%d:0 to %d:%d): "
                   "%d sector%s at %u:%u\n",
                   i + 1, first_data_sector / sectors_per_track,
                   last / sectors_per_track, last % sectors_per_track,
                   sectors, sectors == 1 ? "" : "s", file.stored[entry_first_track],
                   file.stored[entry_first_sector]);
    } else if (!fits_image(disk, file)) {
        print_line("warning: file %d ends past the image's %lld bytes: its "
                   "data are missing\n",
                   i + 1, static_cast<long long>(disk.image_size));
    }
}

// The free space runs from the first free sector to the end of the disk.
void warn_about_disk(const disk_catalogue& disk) {
    uint8_t type = disk.info[info_disk_type];
    if (!disk.known_type)
        print_line("warning: disk type 0x%02X is unknown: taken as %d tracks "
                   "x %d sides\n",
                   type, disk.geometry.cylinders, disk.geometry.sides);
    int count = disk.info[info_file_count];
    if (count != disk.entries)
        print_line("warning: the info sector counts %d files, the catalogue "
                   "holds %d\n",
                   count, disk.entries);
    int free = get_le16(disk.info + info_free_sectors);
    int first = first_free_sector(disk);
    if (first < first_data_sector || first + free != disk_sectors_of(disk))
        print_line("warning: the free space does not fit the disk of %d "
                   "sectors: %d from %u:%u\n",
                   disk_sectors_of(disk), free, disk.info[info_first_free_track],
                   disk.info[info_first_free_sector]);
}

void print_catalogue(const char* image_name, const disk_catalogue& disk) {
    print_summary(image_name, disk);
    if (disk.entries > 0) write_listing(table_head, sizeof table_head - 1);
    for (int i = 0; i < disk.entries; ++i) print_file(i + 1, disk.files[i]);
    warn_about_disk(disk);
    for (int i = 0; i < disk.entries; ++i) warn_about_file(disk, i);
    warn_duplicates(disk);
}

// 0, or -1 after a report. Listings after the first follow a blank line.
int list_image(const char* name, bool after_another) {
    int fd = open(name, O_RDONLY | O_CLOEXEC | O_BINARY);
    if (fd < 0) {
        explain_open_failure(name);
        report_system_error(name);
        return -1;
    }
    static disk_catalogue disk;  // 8 KiB: kept off the stack
    int result = read_catalogue(fd, name, &disk);
    close(fd);
    if (result == 0 && after_another) write_listing("\n", 1);
    if (result == 0) print_catalogue(name, disk);
    flush_listing();
    return result;
}

// Given alone, --help and --version answer; as one of several names they
// are images like any other.
int answer_option(const char* option) {
    if (std::strcmp(option, "--help") == 0) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    if (std::strcmp(option, "--version") == 0) {
        std::puts("quornax-cat " QUORNAX_VERSION);
        return 0;
    }
    return -1;
}

}  // namespace

int run_quornax_cat(int argc, char** argv) {
    if (argc <= 1) {
        std::fputs(usage_text, stderr);
        return 1;
    }
    if (argc == 2 && answer_option(argv[1]) == 0) return 0;
    int status = 0;
    bool listed = false;
    for (int i = 1; i < argc; ++i) {
        if (list_image(argv[i], listed) == 0)
            listed = true;
        else
            status = 1;
    }
    flush_listing();
    return status;
}

}  // namespace quornax
