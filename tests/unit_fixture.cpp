#include "unit_fixture.h"

#include <cstdlib>

#include "tap/block_descriptor.h"
#include "tap/tap_reader.h"
#include "trd/staging.h"

namespace quornax_test {

using namespace quornax;

void unit_test::SetUp() {
    temp_dir_test::SetUp();
    work_buffer = static_cast<uint8_t*>(std::calloc(work_buffer_size, 1));
    staged_count = 0;
    headerless_counter = 0;
    data_length = 0;
    descriptor = block_descriptor{};
    for (auto& entry : staging_table) entry[0] = '\0';
}

void unit_test::TearDown() {
    if (tape != nullptr) std::fclose(tape);
    tape = nullptr;
    std::free(work_buffer);
    work_buffer = nullptr;
    temp_dir_test::TearDown();
}

FILE* unit_test::open_tape(const bytes& content, const std::string& name) {
    write_file(name, content);
    if (tape != nullptr) std::fclose(tape);
    tape = std::fopen(name.c_str(), "rb");
    tape_name = name;
    tap_name = tape_name.c_str();
    tap_size = get_file_size(tape);
    return tape;
}

}  // namespace quornax_test
