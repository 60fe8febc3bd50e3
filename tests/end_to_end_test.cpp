#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "run_program.h"
#include "tap_builder.h"

using namespace quornax_test;

namespace fs = std::filesystem;

namespace {

class end_to_end : public temp_dir_test {};

// Every file below dir, as paths relative to it, sorted.
std::vector<std::string> files_below(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (!entry.is_directory())
            names.push_back(entry.path().lexically_relative(dir).string());
    std::sort(names.begin(), names.end());
    return names;
}

// game.tap of the golden test: a Basic program "run", then a lone screen.
bytes game_tape() {
    return join({header_block(0, "run", 100, 10, 100),
                 data_block(pattern(100, 3)), data_block(pattern(6912, 5))});
}

const char* const game_listing =
    "Basic      run       ,   100 byte(s), start line 10\n"
    "Code       screen01  ,  6912 byte(s), start address 0x4000\n";

TEST_F(end_to_end, UsageWithoutArguments) {
    run_result r = run({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "Usage : quornax file1.tap [file2.tap ...]\n"
              "\tcreates TRD file[s] file1.trd ...\n");
    EXPECT_TRUE(entries_of(dir).empty());
}

// game.trd, byte for byte: the catalogue entries, the disk info sector, the
// program with its trailer at 4096 and the screen at 4352.
bytes game_image() {
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
    bytes program = pattern(100, 3);
    std::copy(program.begin(), program.end(), expected.begin() + 4096);
    const bytes trailer = {0x80, 0xAA, 0x0A, 0x00};
    std::copy(trailer.begin(), trailer.end(), expected.begin() + 4196);
    bytes screen = pattern(6912, 5);
    std::copy(screen.begin(), screen.end(), expected.begin() + 4352);
    return expected;
}

TEST_F(end_to_end, GameTapToTheByte) {
    write_file(path("game.tap"), game_tape());
    run_result r = run({"game.tap"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, game_listing);
    EXPECT_EQ(entries_of(dir), (std::vector<std::string>{"game.tap", "game.trd"}));
    bytes image = read_file(path("game.trd"));
    ASSERT_EQ(image.size(), 655360u);
    EXPECT_TRUE(image == game_image());
}

// With both streams on one file (2>&1) every message stands after the
// listing lines of the pairs read before it.
TEST_F(end_to_end, MessagesKeepTheirPlaceAmongTheListingLines) {
    write_file(path("t.tap"),
               join({code_pair("one", pattern(10), 1),
                     header_block(3, "two", 9, 2, 0), data_block(pattern(8)),
                     code_pair("three", pattern(10), 3),
                     bad_checksum(data_block(pattern(4)))}));
    run_result r = run({"t.tap", "missing.tap"}, [] { dup2(1, 2); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "Code       one       ,    10 byte(s), start address 0x0001\n"
              "V TAP souboru t.tap za hlavickou two        nasleduje blok s "
              "jinou delkou,\nnez deklaruje hlavicka ! Hlavicka i blok budou "
              "ignorovany !\n"
              "Code       three     ,    10 byte(s), start address 0x0003\n"
              ": bad checksum of TAP data block !\n"
              "missing.tap: No such file or directory\n");
}

TEST_F(end_to_end, ExistingFileOfTheImageNameIsReplaced) {
    write_file(path("game.tap"), game_tape());
    write_file(path("game.trd"), bytes(700000, 0xEE));
    run_result r = run({"game.tap"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(read_file(path("game.trd")) == game_image());
    EXPECT_TRUE(staging_files_in(dir).empty());
}

// Both give game.trd in the working directory: the later tape's image wins.
TEST_F(end_to_end, SameBaseNameTwiceLaterTapeWins) {
    fs::create_directories(path("tapes/a"));
    fs::create_directories(path("tapes/b"));
    write_file(path("tapes/a/game.tap"), code_pair("other", pattern(5000), 0));
    write_file(path("tapes/b/game.tap"), game_tape());
    run_result r = run({"tapes/a/game.tap", "tapes/b/game.tap"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(read_file(path("game.trd")) == game_image());
    EXPECT_TRUE(staging_files_in(dir).empty());
}

// Where the image lands: the TAP name's directory part is dropped, so the
// image is made in the working directory, unless a backslash comes before
// the last slash.
struct landing_case {
    const char* what;
    std::string tap;
    std::string image;
};

void PrintTo(const landing_case& c, std::ostream* os) { *os << c.what; }

class image_landing : public end_to_end,
                      public testing::WithParamInterface<landing_case> {};

TEST_P(image_landing, ImageInTheWorkingDirectory) {
    const landing_case& c = GetParam();
    for (const std::string& file : {c.tap, c.image}) {
        fs::path parent = fs::path(file).parent_path();
        if (!parent.empty()) fs::create_directories(path(parent.string()));
    }
    write_file(path(c.tap), game_tape());
    run_result r = run({c.tap});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, game_listing);
    std::vector<std::string> expected{c.tap, c.image};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(files_below(dir), expected);
    EXPECT_TRUE(read_file(path(c.image)) == game_image());
}

const std::string long_part(200, 'n');

INSTANTIATE_TEST_SUITE_P(
    table, image_landing,
    testing::Values(
        landing_case{"directories dropped", "tapes/old/game.tap", "game.trd"},
        landing_case{"ending in capitals", "GAME.TAP", "GAME.trd"},
        landing_case{"backslash in a file name", "tapes\\game.tap", "game.trd"},
        landing_case{"backslash decides, the slash stays", "a\\b/game.tap",
                     "b/game.trd"},
        // Longer than a file name may be, shorter than a path: never cut.
        landing_case{"410-character image name",
                     "x\\" + long_part + "/" + long_part + "/game.tap",
                     long_part + "/" + long_part + "/game.trd"}));

// An image that cannot be written fails its tape: the listing has been
// printed, one report names the image, the staging files are gone, and the
// tape after it is never converted.
struct unwritable_image_case {
    const char* what;
    std::string tap;
    void (*prepare)();
    std::string report;
    std::vector<std::string> files_left;
};

void PrintTo(const unwritable_image_case& c, std::ostream* os) { *os << c.what; }

class unwritable_image : public end_to_end,
                         public testing::WithParamInterface<unwritable_image_case> {};

TEST_P(unwritable_image, FailsAndStopsTheRun) {
    const unwritable_image_case& c = GetParam();
    fs::path parent = fs::path(c.tap).parent_path();
    if (!parent.empty()) fs::create_directories(path(parent.string()));
    write_file(path(c.tap), game_tape());
    write_file(path("second.tap"), code_pair("second", pattern(10), 0));
    c.prepare();
    run_result r = run({c.tap, "second.tap"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, game_listing);
    EXPECT_EQ(r.err, c.report);
    EXPECT_EQ(files_below(dir), c.files_left);
}

INSTANTIATE_TEST_SUITE_P(
    table, unwritable_image,
    testing::Values(
        unwritable_image_case{
            "disk full", "game.tap",
            [] { ASSERT_EQ(symlink("/dev/full", "game.trd"), 0); },
            "game.trd: No space left on device\n",
            {"game.tap", "game.trd", "second.tap"}},
        unwritable_image_case{
            "a directory of that name", "game.tap",
            [] { ASSERT_EQ(mkdir("game.trd", 0755), 0); },
            "game.trd: Is a directory\n", {"game.tap", "second.tap"}},
        unwritable_image_case{
            "the directory the name asks for is missing", "a\\b/game.tap",
            [] {}, "b/game.trd: No such file or directory\n",
            {"a\\b/game.tap", "second.tap"}}));

// The sample tape that `make demo` converts.
TEST_F(end_to_end, DemoTape) {
    write_file(path("demo.tap"),
               read_file(QUORNAX_SOURCE_DIR "/examples/demo.tap"));
    run_result r = run({"demo.tap"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "Basic      demo      ,    40 byte(s), start line 10\n"
              "Code       screen    ,  6912 byte(s), start address 0x4000\n"
              "Code       border    ,     5 byte(s), start address 0x8000\n"
              "Array A[]  table     ,    28 byte(s)\n"
              "Code       code01    ,   300 byte(s), start address 0x0000\n");
    EXPECT_EQ(entries_of(dir), (std::vector<std::string>{"demo.tap", "demo.trd"}));
    bytes image = read_file(path("demo.trd"));
    ASSERT_EQ(image.size(), 655360u);
    const bytes catalogue = {
        'd', 'e', 'm', 'o', ' ', ' ', ' ', ' ', 'B', 40,   0, 40,   0, 1, 0,  1,
        's', 'c', 'r', 'e', 'e', 'n', ' ', ' ', 'C', 0,    0x40, 0, 0x1B, 0x1B, 1,  1,
        'b', 'o', 'r', 'd', 'e', 'r', ' ', ' ', 'C', 0,    0x80, 5, 0, 1, 12, 2,
        't', 'a', 'b', 'l', 'e', ' ', ' ', ' ', 'D', 0,    0,    28, 0, 1, 13, 2,
        'c', 'o', 'd', 'e', '0', '1', ' ', ' ', 'C', 0,    0,    0x2C, 1, 2, 14, 2};
    EXPECT_EQ(bytes(image.begin(), image.begin() + 96),
              join({catalogue, bytes(16, 0)}));
    // First free sector 0 of track 3, 5 files, 2512 free sectors.
    EXPECT_EQ(bytes(image.begin() + 2048 + 0xE1, image.begin() + 2048 + 0xE8),
              bytes({0, 3, 0x16, 5, 0xD0, 0x09, 0x10}));
    EXPECT_EQ(bytes(image.begin() + 4096 + 40, image.begin() + 4096 + 44),
              bytes({0x80, 0xAA, 10, 0}));
    EXPECT_EQ(bytes(image.begin() + 45 * 256 + 28, image.begin() + 45 * 256 + 32),
              bytes({0x80, 0xAA, 0, 0x81}));
}

}  // namespace
