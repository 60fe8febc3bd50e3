#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tap/block_descriptor.h"
#include "support/disk_image.h"
#include "support/fixture.h"

using namespace quornax;
using namespace quornax_test;

namespace fs = std::filesystem;

namespace {

class end_to_end : public temp_dir_test {};

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

bytes game_image() {
    return expected_image({{block_basic, "run", 10, 100, pattern(100, 3)},
                           {block_code, "screen01", 0x4000, 0x8000,
                            pattern(6912, 5)}});
}

TEST_F(end_to_end, GameTapToTheByte) {
    write_file(path("game.tap"), game_tape());
    run_result r = run({"game.tap"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, game_listing);
    EXPECT_EQ(entries_of(dir), (std::vector<std::string>{"game.tap", "game.trd"}));
    EXPECT_TRUE(read_file(path("game.trd")) == game_image());
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
    std::set<std::string> expected;
    for (fs::path file : {c.tap, c.image}) {
        expected.insert(file.string());
        for (file = file.parent_path(); !file.empty(); file = file.parent_path())
            expected.insert(file.string() + "/");
    }
    for (const std::string& name : expected)
        if (name.back() == '/') fs::create_directories(path(name));
    write_file(path(c.tap), game_tape());
    run_result r = run({c.tap});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, game_listing);
    EXPECT_EQ(entries_of(dir), names(expected.begin(), expected.end()));
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
    EXPECT_EQ(entries_of(dir), c.files_left);
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
            "game.trd: Is a directory\n", {"game.tap", "game.trd/", "second.tap"}},
        unwritable_image_case{
            "the directory the name asks for is missing", "a\\b/game.tap",
            [] {}, "b/game.trd: No such file or directory\n",
            {"a\\b/", "a\\b/game.tap", "second.tap"}}));

}  // namespace
