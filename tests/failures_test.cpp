// Runs that fail, end to end: the command line, tapes that cannot be read,
// and file-system faults (a full disk, file size limits, folders standing
// under the names the program writes). Each row states what the run must
// print, its exit status and everything it leaves in its directory.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "tap/block_descriptor.h"
#include "support/disk_image.h"
#include "support/fixture.h"

using namespace quornax;
using namespace quornax_test;

namespace fs = std::filesystem;

namespace {

// Staged as 120 and 6932 bytes; the image is written after both.
const bytes game = join({basic_pair("run", pattern(100, 3), 10),
                         data_block(pattern(6912, 5))});
const std::string game_listing =
    "Basic      run       ,   100 byte(s), start line 10\n"
    "Code       screen01  ,  6912 byte(s), start address 0x4000\n";
const bytes other = code_pair("other", pattern(10), 32768);
const std::string other_listing =
    "Code       other     ,    10 byte(s), start address 0x8000\n";

struct failure_case {
    const char* what;
    // Written first, their folders made. By default game.tap fails and
    // other.tap, which would convert, must never be opened after it.
    std::map<std::string, bytes> tapes{{"game.tap", game}, {"other.tap", other}};
    std::function<void()> prepare;   // then run in the test directory
    std::function<void()> in_child;  // run in the child before exec
    names args{"game.tap", "other.tap"};
    int status = 1;
    std::string out;
    std::string err;
    names left;                             // everything in the directory after
    std::map<std::string, bytes> contents;  // and the bytes of some of it
};

void PrintTo(const failure_case& c, std::ostream* os) { *os << c.what; }

class failure : public temp_dir_test,
                public testing::WithParamInterface<failure_case> {};

TEST_P(failure, ReportsAndLeavesOnlyWhatItShould) {
    const failure_case& c = GetParam();
    for (const auto& [name, content] : c.tapes) {
        fs::create_directories(fs::path(path(name)).parent_path());
        write_file(path(name), content);
    }
    if (c.prepare) c.prepare();
    run_result r = run(c.args, c.in_child);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(entries_of(dir), c.left);
    for (const auto& [name, content] : c.contents) {
        bytes got = read_file(path(name));
        EXPECT_TRUE(got == content)
            << name << ": first difference at " << first_difference(got, content);
    }
}

const failure_case failure_cases[] = {
    {.what = "no argument",
     .tapes = {},
     .args = {},
     .err = "Usage : quornax file1.tap [file2.tap ...]\n"
            "\tcreates TRD file[s] file1.trd ...\n",
     .left = {}},
    {.what = "first tape missing",
     .tapes = {{"other.tap", other}},
     .args = {"missing.tap", "other.tap"},
     .err = "missing.tap: No such file or directory\n",
     .left = {"other.tap"}},
    // The image of the tape before stays whole.
    {.what = "second tape missing",
     .tapes = {{"other.tap", other}},
     .args = {"other.tap", "missing.tap"},
     .out = other_listing,
     .err = "missing.tap: No such file or directory\n",
     .left = {"other.tap", "other.trd"},
     .contents = {{"other.trd", expected_image({{block_code, "other", 32768,
                                                 32768, pattern(10)}})}}},
    // An empty name gives the system's text alone.
    {.what = "an empty argument",
     .tapes = {{"other.tap", other}},
     .args = {"", "other.tap"},
     .err = "No such file or directory\n",
     .left = {"other.tap"}},
    {.what = "a folder as the tape",
     .tapes = {{"other.tap", other}},
     .prepare = [] { ASSERT_EQ(mkdir("game.tap", 0755), 0); },
     .err = "game.tap: Is a directory\n",
     .left = {"game.tap/", "other.tap"}},
    // The second pair is listed, then cannot be staged: a folder cannot be
    // removed to make room. The first staging file goes, no image is made.
    {.what = "a folder under a staging name",
     .prepare = [] { ASSERT_EQ(mkdir("_ZX0001_.@@@", 0755), 0); },
     .out = game_listing,
     .err = "_ZX0001_.@@@: File exists\n",
     .left = {"_ZX0001_.@@@/", "game.tap", "other.tap"}},
    // The second staging file, of 6932 bytes, is cut part-way through its
    // payload; not counted as staged, it is deleted at once, and the first
    // with the rest.
    {.what = "file size limit met by a staging file",
     .in_child = file_size_limit(1000),
     .out = game_listing,
     .err = "_ZX0001_.@@@: File too large\n",
     .left = {"game.tap", "other.tap"}},
    {.what = "a folder under the image name",
     .prepare = [] { ASSERT_EQ(mkdir("game.trd", 0755), 0); },
     .out = game_listing,
     .err = "game.trd: Is a directory\n",
     .left = {"game.tap", "game.trd/", "other.tap"}},
    {.what = "the image's folder missing",
     .tapes = {{"a\\b/game.tap", game}, {"other.tap", other}},
     .args = {"a\\b/game.tap", "other.tap"},
     .out = game_listing,
     .err = "b/game.trd: No such file or directory\n",
     .left = {"a\\b/", "a\\b/game.tap", "other.tap"}},
    // The image is written through the link; the part written stays.
    {.what = "image on a full disk",
     .prepare = [] { ASSERT_EQ(symlink("/dev/full", "game.trd"), 0); },
     .out = game_listing,
     .err = "game.trd: No space left on device\n",
     .left = {"game.tap", "game.trd", "other.tap"}},
    // Both staging files fit under the limit, the image does not.
    {.what = "file size limit met by the image",
     .in_child = file_size_limit(100000),
     .out = game_listing,
     .err = "game.trd: File too large\n",
     .left = {"game.tap", "game.trd", "other.tap"}},
    // With both streams on one file (2>&1) every message stands after the
    // listing lines of the pairs read before it.
    {.what = "messages in place among the listing lines",
     .tapes = {{"t.tap", join({code_pair("one", pattern(10), 1),
                               header_block(3, "two", 9, 2, 0),
                               data_block(pattern(8)),
                               code_pair("three", pattern(10), 3),
                               bad_checksum(data_block(pattern(4)))})}},
     .in_child = [] { dup2(1, 2); },
     .args = {"t.tap", "missing.tap"},
     .out = "Code       one       ,    10 byte(s), start address 0x0001\n"
            "V TAP souboru t.tap za hlavickou two        nasleduje blok s "
            "jinou delkou,\nnez deklaruje hlavicka ! Hlavicka i blok budou "
            "ignorovany !\n"
            "Code       three     ,    10 byte(s), start address 0x0003\n"
            ": bad checksum of TAP data block !\n"
            "missing.tap: No such file or directory\n",
     .left = {"t.tap", "t.trd"}},
};

INSTANTIATE_TEST_SUITE_P(table, failure, testing::ValuesIn(failure_cases));

}  // namespace
