// Runs a whole conversion of arbitrary bytes as a tape (TAP, or TZX where
// they begin as one) and checks what must hold for any tape, read plain and
// with -k and --boot: exit status 0 or 1, nothing left in the directory but
// the tape and its image, and a converted image always of full size.
// Then quornax-cat lists the same bytes as an image, and the image made,
// if any: exit status 0 or 1, and no memory error, whatever it reads.
//
// The program works in its current directory, so the fuzzer moves into a
// private temporary one at start-up: give it corpus directories and
// -artifact_prefix as absolute paths (`make fuzz` does).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "driver/cat.h"
#include "driver/driver.h"
#include "trd/disk_layout.h"
#include "trd/staging.h"

namespace {

constexpr char tape_name[] = "fuzz.tap";
constexpr char image_name[] = "fuzz.trd";

std::string work_dir;  // the private directory, removed at exit

// Standard error as it was at start-up: -close_fd_mask silences the real
// one, but a failed check must still say what failed.
int message_fd = 2;

void remove_work_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(work_dir, ignored);
}

void enter_work_dir() {
    char pattern[] = "/tmp/quornax-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr || chdir(pattern) != 0) {
        std::perror("quornax fuzz: temporary directory");
        std::abort();
    }
    work_dir = pattern;
    std::atexit(remove_work_dir);
}

void check(bool holds, const char* what) {
    if (holds) return;
    dprintf(message_fd, "quornax fuzz: %s\n", what);
    std::abort();
}

void write_tape(const uint8_t* data, size_t size) {
    FILE* tape = std::fopen(tape_name, "wb");
    check(tape != nullptr, "cannot create the tape");
    check(std::fwrite(data, 1, size, tape) == size, "cannot write the tape");
    check(std::fclose(tape) == 0, "cannot close the tape");
}

// Staging files, or anything else the conversion forgot, are errors.
void check_nothing_else_left() {
    DIR* dir = opendir(".");
    check(dir != nullptr, "cannot list the directory");
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        check(std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
                  std::strcmp(name, tape_name) == 0 ||
                  std::strcmp(name, image_name) == 0,
              "a file other than the tape and its image was left behind");
    }
    closedir(dir);
}

// -1 when there is no image.
off_t image_file_size() {
    struct stat status;
    if (stat(image_name, &status) != 0) return -1;
    return status.st_size;
}

// The tape read as an image, and the image the conversion made (or a
// missing file).
void list_as_images() {
    char program[] = "quornax-cat";
    char tape[sizeof tape_name];
    char image[sizeof image_name];
    std::memcpy(tape, tape_name, sizeof tape_name);
    std::memcpy(image, image_name, sizeof image_name);
    char* argv[] = {program, tape, image, nullptr};
    int status = quornax::run_quornax_cat(3, argv);
    std::fflush(nullptr);
    check(status == 0 || status == 1, "quornax-cat: exit status other than 0 or 1");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    message_fd = fcntl(2, F_DUPFD_CLOEXEC, 3);
    enter_work_dir();
    return 0;
}

namespace {

// One conversion of the tape written, with options.
void convert(std::initializer_list<const char*> options) {
    char program[] = "quornax";
    char tape[sizeof tape_name];
    std::memcpy(tape, tape_name, sizeof tape_name);
    std::vector<char*> argv{program};
    std::vector<std::string> copies(options.begin(), options.end());
    for (std::string& option : copies) argv.push_back(option.data());
    argv.push_back(tape);
    argv.push_back(nullptr);
    int status = quornax::run_quornax(static_cast<int>(argv.size() - 1), argv.data());
    std::fflush(nullptr);

    check(status == 0 || status == 1, "exit status other than 0 or 1");
    check_nothing_else_left();
    off_t image = image_file_size();
    // A converted tape leaves a whole image when it staged a pair and none
    // otherwise; a refused file (no room on the disk) leaves the partial
    // image behind.
    if (status == 0 && quornax::staged_count > 0)
        check(image == static_cast<off_t>(quornax::image_size),
              "a converted image is missing or not of full size");
    else if (status == 0)
        check(image == -1, "an image was written without a staged pair");
    else
        check(image < static_cast<off_t>(quornax::image_size),
              "a failed conversion left an image of full size");
    list_as_images();
    unlink(image_name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    write_tape(data, size);
    // Each tape twice: as it is read by default, and read on past its
    // damaged blocks (-k) with a boot, which reads the tape's first program
    // as Basic, whatever it holds.
    convert({});
    convert({"-k", "--boot"});
    return 0;
}
