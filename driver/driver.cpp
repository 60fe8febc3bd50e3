#include "driver/driver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/common.h"
#include "driver/boot_file.h"
#include "tap/block_descriptor.h"
#include "tap/listing.h"
#include "tap/tap_reader.h"
#include "tap/tzx_reader.h"
#include "trd/staging.h"
#include "trd/trd_image.h"
#include "trd/trd_name.h"

namespace quornax {

int headerless_counter = 0;
bool boot_option = false;
bool keep_going = false;
bool pair_dropped = false;
bool block_passed_over = false;
bool reading_failed = false;
int pairs_past_limit = 0;

namespace {

// Without arguments this, on standard error, exactly as it always was:
// scripts may look for it.
constexpr char usage_text[] =
    "Usage : quornax file1.tap [file2.tap ...]\n"
    "\tcreates TRD file[s] file1.trd ...\n";

// A lone data block of exactly this length is taken for a loading screen.
constexpr uint16_t screen_length = 6912;
constexpr uint16_t screen_address = 0x4000;
constexpr uint16_t headerless_param2 = 0x8000;

// Opening a directory for reading succeeds on Linux; refuse it here rather
// than let it read as a broken tape. Sets tap_size; -1 after a report.
int open_tap_file(const char* name) {
    int fd = open(name, O_RDONLY | O_CLOEXEC | O_BINARY);
    if (fd < 0) {
        explain_open_failure(name);
        report_system_error(name);
        return -1;
    }
    bool directory = false;
    tap_size = get_file_size(fd, &directory);
    if (directory) {
        close(fd);
        errno = EISDIR;
        report_system_error(name);
        return -1;
    }
    return fd;
}

// From the 256th headerless block on the number has three digits; the name
// is then cut to the 10 characters the descriptor holds.
void describe_headerless_block() {
    ++headerless_counter;
    bool screen = data_length == screen_length;
    descriptor.valid = 1;
    descriptor.type = block_code;
    std::snprintf(descriptor.name, sizeof descriptor.name,
                  screen ? "screen%02X  " : "code%02X    ",
                  static_cast<unsigned>(headerless_counter));
    descriptor.array_name = 0;
    descriptor.length = data_length;
    descriptor.param1 = screen ? screen_address : 0;
    descriptor.param2 = headerless_param2;
}

void report_length_mismatch() {
    char name[sizeof descriptor.name];
    shown_name(STDERR_FILENO, descriptor.name, name, sizeof name);
    flush_listing();
    std::fprintf(stderr,
                 "V TAP souboru %s za hlavickou %s nasleduje blok s jinou "
                 "delkou,\nnez deklaruje hlavicka ! Hlavicka i blok budou "
                 "ignorovany !\n",
                 tap_name, name);
}

// Passes over a block read whole that failed a test of its content, under
// -k, as if it were not on the tape. Only in a regular file: a stream may
// never end (a device of zeros), and a read error or a block beyond the
// file's end leaves nothing to read on.
bool read_on_past_error() {
    if (!keep_going || !tap_block_damaged || tap_size == tap_size_unknown)
        return false;
    block_passed_over = true;
    return true;
}

void forget_pair() {
    data_length = 0;
    descriptor.valid = 0;
}

// Lists a complete pair and stages it while the catalogue has room.
int emit_pair(bool had_header) {
    print_block_listing(descriptor);
    if (staged_count < max_staged_blocks) {
        if (stage_block() == -1) return -1;
        if (boot_option) note_staged_file(had_header);
        ++staged_count;
    } else {
        ++pairs_past_limit;
    }
    forget_pair();
    return 0;
}

// Pairs every header with the data block after it until the tape ends.
// A reader error ends the tape too: what was staged before it still counts.
// Under -k a damaged block is passed over: a header waiting before it
// still waits.
int read_block_pairs() {
    bool have_header = false;
    for (;;) {
        int block = read_tape_block(tape);
        if (block == tap_end) return 0;
        if (block == -1) {
            if (read_on_past_error()) continue;
            reading_failed = true;
            return 0;
        }
        if (block == tap_header) {
            have_header = true;  // replaces a header already waiting
            continue;
        }
        bool had_header = have_header;
        if (!have_header) {
            describe_headerless_block();
        } else if (data_length != descriptor.length) {
            report_length_mismatch();
            pair_dropped = true;
            forget_pair();
            have_header = false;
            continue;
        }
        have_header = false;
        if (emit_pair(had_header) == -1) return -1;
    }
}

// Said once, after the tape's listing; the disk is made all the same.
void report_pairs_past_limit() {
    if (pairs_past_limit == 0) return;
    flush_listing();
    std::fprintf(stderr,
                 "%s: %d file(s) past the 128th are not on the disk !\n",
                 tap_name, pairs_past_limit);
}

// The staging files and an unfinished image are this run's own; a signal
// that ends the run takes them along, then ends it as it would have: the
// handler was reset to the default on entry, and the signal raised again is
// delivered as soon as the handler returns. Async-signal-safe calls only.
void end_on_signal(int signal_number) {
    remove_staging_files_on_signal();
    remove_unfinished_image();
    raise(signal_number);
}

// Given alone, --help (or -h) and --version answer and nothing is
// converted; as one of several names they are tapes like any other.
int answer_option(const char* option) {
    if (std::strcmp(option, "--help") == 0 || std::strcmp(option, "-h") == 0) {
        std::fputs(help_text, stdout);
        return 0;
    }
    if (std::strcmp(option, "--version") == 0) {
        std::puts("quornax " QUORNAX_VERSION);
        return 0;
    }
    return -1;
}

// Options come before the first tape name, and "--" ends them; anything
// else is a tape, as every argument once was. The index of the first tape.
int take_options(int argc, char** argv) {
    boot_option = false;
    keep_going = false;
    int i = 1;
    for (; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strcmp(argument, "--") == 0) return i + 1;
        if (std::strcmp(argument, "--boot") == 0) {
            boot_option = true;
        } else if (std::strcmp(argument, "-k") == 0 ||
                   std::strcmp(argument, "--keep-going") == 0) {
            keep_going = true;
        } else {
            break;
        }
    }
    return i;
}

}  // namespace

int64_t get_file_size(int fd, bool* directory) {
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0) return -1;
    if (directory != nullptr) *directory = S_ISDIR(status.st_mode);
    return S_ISREG(status.st_mode) ? status.st_size : tap_size_unknown;
}

int convert_tap_file(const char* name) {
    headerless_counter = 0;
    staged_count = 0;
    pairs_past_limit = 0;
    pair_dropped = false;
    block_passed_over = false;
    reading_failed = false;
    if (name == nullptr) return -1;
    tap_name = name;
    int fd = open_tap_file(name);
    if (fd < 0) return -1;
    start_tap_stream(tape, fd);
    descriptor.valid = 0;
    start_boot_notes();
    int result = read_block_pairs();
    close(fd);
    if (result == 0) report_pairs_past_limit();
    if (result == 0 && staged_count > 0 && boot_option)
        result = add_boot_file();
    if (result == 0 && staged_count > 0) {
        const char* image_name = make_trd_name(name);
        if (image_name == nullptr) {
            errno = ENAMETOOLONG;
            report_system_error(name);
            result = -1;
        } else {
            result = write_trd_image(image_name);
        }
    }
    remove_staging_files();
    // Runs that share the directory, and perhaps one pipe, take turns here.
    flush_listing();
    unlock_staging_directory();
    return result;
}

void prepare_signals() { prepare_ending_signals(end_on_signal); }

int run_quornax(int argc, char** argv) {
    if (argc == 2 && answer_option(argv[1]) == 0)
        return finish_standard_output() == 0 ? 0 : 1;
    int first_tape = take_options(argc, argv);
    if (first_tape >= argc) {
        std::fputs(usage_text, stderr);
        return 1;
    }
    work_buffer = static_cast<uint8_t*>(std::calloc(work_buffer_size, 1));
    if (work_buffer == nullptr) {
        report_system_error("BUFF");
        return 1;
    }
    int status = 0;
    for (int i = first_tape; i < argc; ++i) {
        if (convert_tap_file(argv[i]) == -1) {
            status = 1;
            break;
        }
        // A tape that errors left without a disk fails; the run goes on.
        if (staged_count == 0 && (reading_failed || block_passed_over))
            status = 1;
    }
    flush_listing();
    std::free(work_buffer);
    work_buffer = nullptr;
    return listing_failed() ? 1 : status;
}

}  // namespace quornax
