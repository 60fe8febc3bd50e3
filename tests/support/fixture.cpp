#include "fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "common/common.h"
#include "driver/driver.h"
#include "tap/block_descriptor.h"
#include "tap/tap_reader.h"
#include "trd/staging.h"

namespace fs = std::filesystem;

namespace quornax_test {

using namespace quornax;

void temp_dir_test::SetUp() {
    std::string pattern = (fs::temp_directory_path() / "quornax-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = pattern;
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
    tape_fd = open(name.c_str(), O_RDONLY);
    tape_name = name;
    tap_name = tape_name.c_str();
    tap_size = get_file_size(tape_fd);
    start_tap_stream(tape, tape_fd);
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
