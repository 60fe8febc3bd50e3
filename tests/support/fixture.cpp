#include "fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "common/common.h"
#include "driver/driver.h"
#include "tap/block_descriptor.h"
#include "tap/tap_reader.h"
#include "trd/staging.h"

namespace fs = std::filesystem;

namespace quornax_test {

using namespace quornax;

namespace {

// A directory of its own under the system's temporary one, private as
// mkdtemp would make it; by the standard library alone, which Windows has.
std::string make_temp_dir() {
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = fs::temp_directory_path() /
                             ("quornax-test-" + std::to_string(random() % 1000000000));
        if (!fs::create_directory(candidate)) continue;
        fs::permissions(candidate, fs::perms::owner_all, fs::perm_options::replace);
        return candidate.string();
    }
    throw std::runtime_error("no temporary directory");
}

}  // namespace

void temp_dir_test::SetUp() {
    dir = make_temp_dir();
    old_cwd = fs::current_path().string();
    fs::current_path(dir);
    work_buffer = static_cast<uint8_t*>(std::calloc(work_buffer_size, 1));
    staged_count = 0;
    headerless_counter = 0;
    data_length = 0;
    descriptor = block_descriptor{};
    for (auto& entry : staging_table) entry[0] = '\0';
}

void temp_dir_test::TearDown() {
    remove_staging_files();  // closes the staging files kept open
    close_staging_directory();
    if (tape_fd >= 0) close(tape_fd);
    tape_fd = -1;
    std::free(work_buffer);
    work_buffer = nullptr;
    fs::current_path(old_cwd);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

void temp_dir_test::open_tape(const bytes& content, const std::string& name) {
    write_file(name, content);
    if (tape_fd >= 0) close(tape_fd);
    tape_fd = open(name.c_str(), O_RDONLY | O_BINARY);
    tape_name = name;
    tap_name = tape_name.c_str();
    tap_size = get_file_size(tape_fd);
    start_tap_stream(tape, tape_fd);
}

// On POSIX the limit is lowered to the lowest descriptor free, which is
// then taken; Windows has a fixed number, taken one by one.
descriptors_used_up::descriptors_used_up() {
#ifdef _WIN32
    // Wine's C runtime says ENFILE where Windows' says EMFILE.
    for (int fd; (fd = open("NUL", O_RDONLY)) >= 0;) taken.push_back(fd);
    if (errno != EMFILE && errno != ENFILE) {
        for (int fd : taken) close(fd);
        throw std::runtime_error("cannot use up descriptors");
    }
#else
    int lowest_free = open("/dev/null", O_RDONLY);
    if (lowest_free < 0 || getrlimit(RLIMIT_NOFILE, &old_limit) != 0)
        throw std::runtime_error("cannot use up descriptors");
    taken.push_back(lowest_free);
    rlimit tight{static_cast<rlim_t>(lowest_free) + 1, old_limit.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &tight) != 0)
        throw std::runtime_error("cannot use up descriptors");
#endif
}

descriptors_used_up::~descriptors_used_up() {
#ifndef _WIN32
    setrlimit(RLIMIT_NOFILE, &old_limit);
#endif
    for (int fd : taken) close(fd);
}

capture::capture(FILE* stream) : stream(stream), file(std::tmpfile()) {
    std::fflush(stream);
    saved = dup(fileno(stream));
    if (file == nullptr || saved < 0 || dup2(fileno(file), fileno(stream)) < 0)
        throw std::runtime_error("cannot capture a stream");
}

capture::~capture() {
    restore();
    if (file != nullptr) std::fclose(file);
}

void capture::restore() {
    if (saved < 0) return;
    std::fflush(stream);
    dup2(saved, fileno(stream));
    close(saved);
    saved = -1;
}

std::string capture::text() {
    restore();
    std::string text;
    if (file == nullptr) return text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) text.push_back(static_cast<char>(c));
    std::fclose(file);
    file = nullptr;
    return text;
}

}  // namespace quornax_test
