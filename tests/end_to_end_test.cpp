#include <gtest/gtest.h>

#include <string>

#include "run_program.h"
#include "tap_builder.h"

using namespace quornax_test;

namespace {

class end_to_end : public temp_dir_test {};

TEST_F(end_to_end, UsageWithoutArguments) {
    run_result r = run({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "Usage : quornax file1.tap [file2.tap ...]\n"
              "\tcreates TRD file[s] file1.trd ...\n");
    EXPECT_TRUE(entries_of(dir).empty());
}

// A Basic program "run" with autostart line 10, then a lone screen.
TEST_F(end_to_end, GameTapToTheByte) {
    bytes program = pattern(100, 3);
    bytes screen = pattern(6912, 5);
    write_file(path("game.tap"),
               join({header_block(0, "run", 100, 10, 100), data_block(program),
                     data_block(screen)}));
    run_result r = run({"game.tap"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "Basic      run       ,   100 byte(s), start line 10\n"
              "Code       screen01  ,  6912 byte(s), start address 0x4000\n");
    EXPECT_EQ(entries_of(dir), (std::vector<std::string>{"game.tap", "game.trd"}));

    bytes image = read_file(path("game.trd"));
    ASSERT_EQ(image.size(), 655360u);
    bytes expected(655360, 0);
    const bytes entries = {
        0x72, 0x75, 0x6E, 0x20, 0x20, 0x20, 0x20, 0x20, 0x42, 0x64, 0x00, 0x64,
        0x00, 0x01, 0x00, 0x01, 0x73, 0x63, 0x72, 0x65, 0x65, 0x6E, 0x30, 0x31,
        0x43, 0x00, 0x40, 0x00, 0x1B, 0x1B, 0x01, 0x01};
    std::copy(entries.begin(), entries.end(), expected.begin());
    uint8_t* info = expected.data() + 2048;
    info[0xE1] = 12;
    info[0xE2] = 2;
    info[0xE3] = 0x16;
    info[0xE4] = 2;
    info[0xE5] = 0xD4;
    info[0xE6] = 0x09;
    info[0xE7] = 0x10;
    for (int i = 0; i < 9; ++i) info[0xEB + i] = ' ';
    std::string label = "QUORNAX ";
    std::copy(label.begin(), label.end(), info + 0xF5);
    std::copy(program.begin(), program.end(), expected.begin() + 4096);
    const bytes trailer = {0x80, 0xAA, 0x0A, 0x00};
    std::copy(trailer.begin(), trailer.end(), expected.begin() + 4196);
    std::copy(screen.begin(), screen.end(), expected.begin() + 4352);
    EXPECT_TRUE(image == expected);
}

}  // namespace
