#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/common.h"
#include "tap/block_descriptor.h"
#include "tap/listing.h"
#include "support/fixture.h"

using namespace quornax;
using quornax_test::capture;

namespace {

block_descriptor make(uint8_t type, const char* name, uint16_t length,
                      uint16_t param1, uint8_t array_name = 0) {
    block_descriptor block{};
    block.valid = 1;
    block.type = type;
    std::memset(block.name, ' ', name_chars);
    std::memcpy(block.name, name, std::strlen(name));
    block.length = length;
    block.param1 = param1;
    block.array_name = array_name;
    return block;
}

std::string line_of(const block_descriptor& block) {
    char line[listing_line_size];
    size_t length = format_block_listing(block, line);
    return std::string(line, length);
}

struct listing_case {
    const char* what;
    block_descriptor block;
    std::string line;
};

void PrintTo(const listing_case& c, std::ostream* os) { *os << c.what; }

class listing : public testing::TestWithParam<listing_case> {};

TEST_P(listing, LineIsExact) {
    EXPECT_EQ(line_of(GetParam().block), GetParam().line) << GetParam().what;
}

block_descriptor with_zero_in_name() {
    block_descriptor block = make(3, "abc", 1, 0);
    block.name[3] = '\0';
    return block;
}

INSTANTIATE_TEST_SUITE_P(
    lines, listing,
    testing::Values(
        listing_case{"basic with autostart", make(0, "run", 1234, 10),
                     "Basic      run       ,  1234 byte(s), start line 10\n"},
        listing_case{"basic without autostart", make(0, "loader", 87, 32768),
                     "Basic      loader    ,    87 byte(s)\n"},
        listing_case{"headerless screen", make(3, "screen01", 6912, 16384),
                     "Code       screen01  ,  6912 byte(s), start address 0x4000\n"},
        listing_case{"number array", make(1, "data", 50, 0, 0x81),
                     "Array A[]  data      ,    50 byte(s)\n"},
        listing_case{"character array", make(2, "names", 23, 0, 0xC2),
                     "Array B$[] names     ,    23 byte(s)\n"},
        listing_case{"start line 32767", make(0, "p", 0, 32767),
                     "Basic      p         ,     0 byte(s), start line 32767\n"},
        listing_case{"lowest address", make(3, "c", 65535, 0),
                     "Code       c         , 65535 byte(s), start address 0x0000\n"},
        listing_case{"highest address", make(3, "c", 1, 0xFFFF),
                     "Code       c         ,     1 byte(s), start address 0xffff\n"},
        listing_case{"zero byte in the name", with_zero_in_name(),
                     "Code              abc,     1 byte(s), start address 0x0000\n"},
        // The letter wraps modulo 256 and is written as the raw byte.
        listing_case{"array letter wraps", make(1, "w", 2, 0, 0x20),
                     "Array \xE0[]  w         ,     2 byte(s)\n"},
        listing_case{"array letter zero", make(2, "z", 2, 0, 0x80),
                     std::string("Array \0$[] z         ,     2 byte(s)\n", 37)},
        listing_case{"unknown type", make(4, "x", 1, 1),
                     "Unknown header type 4\n"}));

TEST(listing_output, PrintsTheLineOnStandardOutput) {
    capture out(stdout);
    print_block_listing(make(0, "run", 100, 10));
    flush_listing();
    EXPECT_EQ(out.text(),
              "Basic      run       ,   100 byte(s), start line 10\n");
}

}  // namespace
