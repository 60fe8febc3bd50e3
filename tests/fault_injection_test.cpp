// File-system faults met end to end: each gives its report, exit status 1,
// and leaves no staging file behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "support/fixture.h"

using namespace quornax_test;

namespace {

const char basic_line[] = "Basic      run       ,   100 byte(s), start line 10\n";
const char screen_line[] =
    "Code       screen01  ,  6912 byte(s), start address 0x4000\n";

// Staged as 120 and 6932 bytes; the image is written after both.
bytes game_tape() {
    return join({basic_pair("run", pattern(100, 3), 10),
                 data_block(pattern(6912, 5))});
}

struct fault_case {
    const char* label;
    std::function<void(const std::string& dir)> prepare;  // after the tapes
    std::function<void()> in_child;                       // before exec
    std::string out;
    std::string err;
    std::vector<std::string> left;  // every entry of the directory afterwards
};

void PrintTo(const fault_case& c, std::ostream* os) { *os << c.label; }

// other.tap would convert; it must not be opened after game.tap failed.
const fault_case fault_cases[] = {
    {"image on a full disk",
     [](const std::string& dir) { symlink("/dev/full", (dir + "/game.trd").c_str()); },
     {},
     std::string(basic_line) + screen_line,
     "game.trd: No space left on device\n",
     {"game.tap", "game.trd", "other.tap"}},
    // Both staging files fit under the limit, the image does not; the part
    // written stays.
    {"file size limit met by the image",
     {},
     file_size_limit(100000),
     std::string(basic_line) + screen_line,
     "game.trd: File too large\n",
     {"game.tap", "game.trd", "other.tap"}},
    // The second staging file, of 6932 bytes, is cut at 1000; the first,
    // already staged, is deleted as well.
    {"file size limit met by a staging file",
     {},
     file_size_limit(1000),
     std::string(basic_line) + screen_line,
     "_ZX0001_.@@@: File too large\n",
     {"game.tap", "other.tap"}},
    // A directory cannot be removed to make room for the staging file.
    {"staging name taken by a directory",
     [](const std::string& dir) { mkdir((dir + "/_ZX0001_.@@@").c_str(), 0755); },
     {},
     std::string(basic_line) + screen_line,
     "_ZX0001_.@@@: File exists\n",
     {"_ZX0001_.@@@/", "game.tap", "other.tap"}},
    {"tape that is a directory",
     [](const std::string& dir) {
         unlink((dir + "/game.tap").c_str());
         mkdir((dir + "/game.tap").c_str(), 0755);
     },
     {},
     "",
     "game.tap: Is a directory\n",
     {"game.tap/", "other.tap"}},
};

class fault_injection : public temp_dir_test,
                        public ::testing::WithParamInterface<fault_case> {};

TEST_P(fault_injection, ReportsFailsAndCleansUp) {
    const fault_case& c = GetParam();
    write_file(path("game.tap"), game_tape());
    write_file(path("other.tap"), code_pair("other", pattern(10), 32768));
    if (c.prepare) c.prepare(dir);
    run_result r = run({"game.tap", "other.tap"}, c.in_child);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(entries_of(dir), c.left);
}

INSTANTIATE_TEST_SUITE_P(faults, fault_injection,
                         ::testing::ValuesIn(fault_cases));

class file_size_limit_test : public temp_dir_test {};

// The limit falls inside the first staging file's payload.
TEST_F(file_size_limit_test, StagingFileCutPartWay) {
    write_file(path("big.tap"), code_pair("big", pattern(2000), 32768));
    run_result r = run({"big.tap"}, file_size_limit(1000));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Code       big       ,  2000 byte(s), start address 0x8000\n");
    EXPECT_EQ(r.err, "_ZX0000_.@@@: File too large\n");
    EXPECT_EQ(entries_of(dir), std::vector<std::string>{"big.tap"});
}

}  // namespace
