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

// Basic lines from here on mean no autostart line; so does 0, TR-DOS's
// word for none.
constexpr int no_autostart = 0x8000;
constexpr uint8_t array_kind_mask = 0xC0;
constexpr char first_letter_base = 0x60;  // array letter 1 is 'a'
// The file TR-DOS runs on a bare RUN: this name, type Basic.
constexpr char boot_name[] = "boot    ";  // as stored, 8 bytes

// One line of the listing, of any length the lines here reach, built in
// pieces: names are stored bytes, NUL included, so no format takes them.
constexpr size_t line_size = 256;
char line[line_size];
size_t line_length;

void add_v(const char* format, va_list arguments) {
    int length = std::vsnprintf(line + line_length, line_size - line_length,
                                format, arguments);
    if (length < 0) return;
    line_length += static_cast<size_t>(length);
    if (line_length >= line_size) line_length = line_size - 1;
}

void add(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    add_v(format, arguments);
    va_end(arguments);
}

// Stored bytes, control bytes made safe where standard output is a terminal.
void add_bytes(const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count && line_length + 1 < line_size; ++i)
        line[line_length++] = shown_byte(STDOUT_FILENO, bytes[i]);
}

void end_line() {
    write_listing(line, line_length);
    line_length = 0;
}

void print_line(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    add_v(format, arguments);
    va_end(arguments);
    end_line();
}

// The name as typed in a command: without the blanks TR-DOS pads it with.
size_t typed_length(const catalogue_file& file) {
    size_t end = entry_name_chars;
    while (end > 0 && file.stored[entry_name + end - 1] == ' ') --end;
    return end;
}

// A control byte has no key, and a quote would end the name in a command.
bool can_be_typed(const catalogue_file& file) {
    for (size_t i = 0; i < entry_name_chars; ++i) {
        uint8_t byte = file.stored[entry_name + i];
        if (byte < ' ' || byte == '"') return false;
    }
    return true;
}

// "a()" or "a$()" from an array byte; '?' for what is not a letter.
void array_variable(int trailer, char* to, size_t size) {
    uint8_t byte = static_cast<uint8_t>(trailer);
    char letter = static_cast<char>(first_letter_base + (byte & array_letter_mask));
    if (letter < 'a' || letter > 'z') letter = '?';
    bool characters = (byte & array_kind_mask) == char_array_bits;
    std::snprintf(to, size, "%c%s()", letter, characters ? "$" : "");
}

// The start column: the autostart line, the address or the array's
// variable; '?' where a Basic program's or an array's trailer cannot be
// read, and for other types what bytes 9 and 10 hold.
void describe_start(const catalogue_file& file, char* start, size_t size) {
    uint8_t type = file.stored[entry_type];
    bool known = file.trailer >= 0;
    if (type == type_letter_basic && !known)
        std::snprintf(start, size, "?");
    else if (type == type_letter_basic &&
             (file.trailer == 0 || file.trailer >= no_autostart))
        std::snprintf(start, size, "-");
    else if (type == type_letter_basic)
        std::snprintf(start, size, "%d", file.trailer);
    else if (type == type_letter_array && known)
        array_variable(file.trailer >> 8, start, size);
    else if (type == type_letter_array)
        std::snprintf(start, size, "?");
    else
        std::snprintf(start, size, "%u", get_le16(file.stored + entry_param1));
}

// RUN "name", LOAD "name" CODE or LOAD "name" DATA a(), the name as typed.
void add_load_command(const catalogue_file& file, const char* start) {
    uint8_t type = file.stored[entry_type];
    add(type == type_letter_basic ? "RUN \"" : "LOAD \"");
    add_bytes(file.stored + entry_name, typed_length(file));
    if (type == type_letter_basic)
        add("\"");
    else if (type == type_letter_code)
        // Start 0 is where a block the tape gave no address for is put, and
        // the ROM lies there: the user has to name an address.
        add("\" CODE%s",
            get_le16(file.stored + entry_param1) == 0 ? " address" : "");
    else
        add("\" DATA %s", std::strcmp(start, "?") == 0 ? "?()" : start);
}

// The command that loads the file, or what the entry is where none does.
void add_command(const catalogue_file& file, const char* start, bool boot) {
    uint8_t type = file.stored[entry_type];
    bool known_type = type == type_letter_basic || type == type_letter_code ||
                      type == type_letter_array;
    if (is_deleted(file))
        add("(deleted)");
    else if (file.stored[entry_sector_count] == 0)
        add("(title)");  // what disks use entries without data for
    else if (!known_type)
        add("-");
    else if (boot)
        add("RUN (boot)");
    else if (!can_be_typed(file))
        add("(name cannot be typed)");
    else
        add_load_command(file, start);
}

// Whether its start shows '?' for a Basic program.
bool print_file(int number, const catalogue_file& file, bool boot) {
    uint8_t stored_name[entry_name_chars];
    std::memcpy(stored_name, file.stored + entry_name, entry_name_chars);
    if (is_deleted(file)) stored_name[0] = '?';  // the mark, not a letter
    char start[line_size];
    describe_start(file, start, sizeof start);
    bool basic = file.stored[entry_type] == type_letter_basic;
    add("%3d  ", number);
    add_bytes(stored_name, entry_name_chars);
    add("  ");
    add_bytes(file.stored + entry_type, 1);
    add("     %5s  %6u  %7u  %3u:%-3u  ", start,
        get_le16(file.stored + (basic ? entry_param1 : entry_param2)),
        file.stored[entry_sector_count], file.stored[entry_first_track],
        file.stored[entry_first_sector]);
    add_command(file, start, boot);
    add("\n");
    end_line();
    return basic && std::strcmp(start, "?") == 0;
}

// The first Basic program named boot that is not deleted, or -1.
int boot_file(const disk_catalogue& disk) {
    for (int i = 0; i < disk.entries; ++i) {
        const catalogue_file& file = disk.files[i];
        if (!is_deleted(file) && file.stored[entry_type] == type_letter_basic &&
            std::memcmp(file.stored + entry_name, boot_name, entry_name_chars) == 0)
            return i;
    }
    return -1;
}

int live_files(const disk_catalogue& disk) {
    int count = 0;
    for (int i = 0; i < disk.entries; ++i)
        if (!is_deleted(disk.files[i])) ++count;
    return count;
}

// One line that a script can read too: the label, the files, the free and
// the total sectors for files; the geometry where it is not ours, and the
// image's tracks where it holds more than the disk type's.
void print_summary(const char* image_name, const disk_catalogue& disk) {
    int files = live_files(disk);
    int deleted = disk.entries - files;
    // The name may be longer than a line here holds.
    write_listing(image_name, std::strlen(image_name));
    add(": disk \"");
    add_bytes(disk.info + info_label, info_label_chars);
    add("\", %d file%s", files, files == 1 ? "" : "s");
    if (deleted > 0) add(" and %d deleted", deleted);
    add(", %u of %d sectors free", get_le16(disk.info + info_free_sectors),
        disk_sectors_of(disk) - first_data_sector);
    if (disk.geometry.type != disk_type_80_double)
        add(" (%d tracks x %d side%s)", disk.geometry.cylinders,
            disk.geometry.sides, disk.geometry.sides == 1 ? "" : "s");
    if (disk.image_size > static_cast<int64_t>(disk_sectors_of(disk)) *
                              static_cast<int64_t>(sector_size))
        add(" (%lld tracks in the image)",
            static_cast<long long>(image_tracks(disk)));
    add("\n");
    end_line();
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
            add("warning: files %d and %d are both \"", j + 1, i + 1);
            add_bytes(file.stored + entry_name, typed_length(file));
            add("\" ");
            add_bytes(file.stored + entry_type, 1);
            print_line(": TR-DOS reaches only file %d\n", j + 1);
            break;
        }
    }
}

// An entry without sectors holds nothing that could be out of place.
void warn_about_file(const disk_catalogue& disk, int i) {
    const catalogue_file& file = disk.files[i];
    int sectors = file.stored[entry_sector_count];
    if (sectors == 0) return;
    const char* plural = sectors == 1 ? "" : "s";
    unsigned track = file.stored[entry_first_track];
    unsigned sector = file.stored[entry_first_sector];
    if (is_deleted(file))
        print_line("warning: file %d is deleted; its %d sector%s not free\n",
                   i + 1, sectors, sectors == 1 ? " is" : "s are");
    if (overlaps_catalogue(file)) {
        print_line("warning: file %d overlaps the catalogue and the disk "
                   "information (0:0 to 0:%d): %d sector%s at %u:%u\n",
                   i + 1, after_info_sector - 1, sectors, plural, track, sector);
    } else if (!fits_disk(disk, file)) {
        int64_t last = reachable_sectors(disk) - 1;
        print_line("warning: file %d does not fit the disk (0:%d to %lld:%lld): "
                   "%d sector%s at %u:%u\n",
                   i + 1, after_info_sector,
                   static_cast<long long>(last / sectors_per_track),
                   static_cast<long long>(last % sectors_per_track), sectors,
                   plural, track, sector);
    } else if (!fits_image(disk, file)) {
        print_line("warning: file %d ends past the image's %lld bytes: its "
                   "data are missing\n",
                   i + 1, static_cast<long long>(disk.image_size));
    }
}

// The free space runs from the first free sector to the end of the disk,
// or of the image where it holds more tracks.
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
    int deleted = disk.info[info_deleted_count];
    int found = disk.entries - live_files(disk);
    if (deleted != found)
        print_line("warning: the disk information counts %d deleted file%s, "
                   "the catalogue %d\n",
                   deleted, deleted == 1 ? "" : "s", found);
    int free = get_le16(disk.info + info_free_sectors);
    int first = first_free_sector(disk);
    if (first < after_info_sector || (first + free != disk_sectors_of(disk) &&
                                      first + free != reachable_sectors(disk)))
        print_line("warning: the free space does not fit the disk of %d "
                   "sectors: %d from %u:%u\n",
                   disk_sectors_of(disk), free, disk.info[info_first_free_track],
                   disk.info[info_first_free_sector]);
}

void print_catalogue(const char* image_name, const disk_catalogue& disk) {
    print_summary(image_name, disk);
    if (disk.entries > 0) write_listing(table_head, sizeof table_head - 1);
    int boot = boot_file(disk);
    bool unknown_start = false;
    for (int i = 0; i < disk.entries; ++i)
        if (print_file(i + 1, disk.files[i], i == boot)) unknown_start = true;
    if (unknown_start)
        print_line("note: ? = no autostart line stored behind the program\n");
    warn_about_disk(disk);
    for (int i = 0; i < disk.entries; ++i) warn_about_file(disk, i);
    warn_duplicates(disk);
}

// 0, or -1 after a report. Listings after the first follow a blank line.
int list_image(const char* name, bool after_another) {
    if (refuse_special_file(name) != 0) return -1;
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
