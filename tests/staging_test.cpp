// Staging files written and removed in-process. What a failed write
// leaves is checked end to end, in failures_test.cpp.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <utility>

#include "common/common.h"
#include "tap/block_descriptor.h"
#include "tap/tap_reader.h"
#include "trd/staging.h"
#include "support/fixture.h"

using namespace quornax;
using namespace quornax_test;

namespace fs = std::filesystem;

namespace {

const char* const first_staging = "_ZX0000_.@@@";

class staging_test : public temp_dir_test {
protected:
    // Puts payload in the work buffer as the reader leaves a data block.
    void load_payload(const bytes& payload) {
        std::copy(payload.begin(), payload.end(), work_buffer + payload_offset);
        data_length = static_cast<uint16_t>(payload.size());
    }

    // Stages the current pair and keeps what was printed on standard error.
    int stage() {
        capture captured(stderr);
        int result = stage_block();
        err = captured.text();
        return result;
    }

    std::string err;
};

// The 20-byte stored descriptor as a test expects it, payload appended.
bytes stored(uint8_t type, std::string_view name11, uint8_t array_name,
             uint16_t length, uint16_t param1, uint16_t param2,
             const bytes& payload) {
    bytes out{1, type};
    for (char c : name11) out.push_back(static_cast<uint8_t>(c));
    out.push_back(array_name);
    for (uint16_t v : {length, param1, param2}) {
        out.push_back(static_cast<uint8_t>(v & 0xFF));
        out.push_back(static_cast<uint8_t>(v >> 8));
    }
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

TEST_F(staging_test, HeaderPairKeepsTheVariableByteOfAnEarlierArray) {
    bytes payload = pattern(5, 40);
    open_tape(join({array_header(1, "arr", 9, 0x81),
                    header_block(3, "code", 5, 0x8000, 0x1234),
                    data_block(payload)}));
    ASSERT_EQ(read_tap_block(tape), tap_header);
    ASSERT_EQ(read_tap_block(tape), tap_header);
    ASSERT_EQ(read_tap_block(tape), tap_data);
    EXPECT_EQ(stage(), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(std::string(staging_table[0]), first_staging);
    EXPECT_EQ(read_file(first_staging),
              stored(3, std::string_view("code      \0", 11), 0x81, 5, 0x8000,
                     0x1234, payload));
}

TEST_F(staging_test, HeaderlessScreenAndEmptyPayload) {
    descriptor = block_descriptor{1, block_code, "screen01  ", 0, 6912,
                                  0x4000, 0x8000};
    bytes screen = pattern(6912, 3);
    load_payload(screen);
    EXPECT_EQ(stage(), 0);
    bytes file = read_file(first_staging);
    EXPECT_EQ(file.size(), 6932u);
    EXPECT_EQ(file, stored(3, std::string_view("screen01  \0", 11), 0, 6912,
                           0x4000, 0x8000, screen));

    descriptor = block_descriptor{1, block_code, "code01    ", 0, 0, 0, 0x8000};
    load_payload({});
    staged_count = 1;
    EXPECT_EQ(stage(), 0);
    EXPECT_EQ(read_file("_ZX0001_.@@@").size(), 20u);
}

TEST_F(staging_test, CreatedWithModeReducedByUmask) {
    descriptor.valid = 1;
    for (auto [mask, mode] : {std::pair<mode_t, mode_t>{027, 0640}, {0, 0666}}) {
        mode_t old_mask = umask(mask);
        int result = stage_block();
        umask(old_mask);
        ASSERT_EQ(result, 0);
        struct stat status;
        ASSERT_EQ(stat(first_staging, &status), 0);
        EXPECT_EQ(status.st_mode & 0777, mode) << "umask " << mask;
        staged_count = 1;
        remove_staging_files();
        staged_count = 0;
    }
}

// Out of descriptors, the staging files kept open are given back one by
// one and read back by name: the image is the same.
TEST_F(staging_test, FewDescriptorsGiveTheSameImage) {
    bytes tape;
    for (int i = 0; i < 40; ++i)
        tape = join({tape, code_pair("f" + std::to_string(i),
                                     pattern(100 + 37 * i, i), 0)});
    write_file("t.tap", tape);
    ASSERT_EQ(run({"t.tap"}).status, 0);
    bytes plenty = read_file("t.trd");
    for (rlim_t limit : {16, 7}) {
        run_result r = run({"t.tap"}, [limit] {
            rlimit few{limit, limit};
            if (setrlimit(RLIMIT_NOFILE, &few) != 0) _exit(125);
        });
        EXPECT_EQ(r.status, 0) << limit;
        EXPECT_EQ(r.err, "") << limit;
        EXPECT_TRUE(read_file("t.trd") == plenty) << limit;
        EXPECT_EQ(entries_of(dir), (names{"t.tap", "t.trd"})) << limit;
    }
}

struct name_case {
    int index;
    const char* name;
};

void PrintTo(const name_case& c, std::ostream* os) { *os << "index " << c.index; }

class staging_names : public staging_test,
                      public testing::WithParamInterface<name_case> {};

TEST_P(staging_names, AreUpperCaseHexOfTheIndex) {
    descriptor.valid = 1;
    staged_count = GetParam().index;
    EXPECT_EQ(stage(), 0);
    EXPECT_EQ(std::string(staging_table[GetParam().index]), GetParam().name);
    EXPECT_EQ(entries_of(dir), names{GetParam().name});
}

INSTANTIATE_TEST_SUITE_P(staging, staging_names,
                         testing::Values(name_case{0, "_ZX0000_.@@@"},
                                         name_case{10, "_ZX000A_.@@@"},
                                         name_case{127, "_ZX007F_.@@@"}));

TEST_F(staging_test, NothingPendingStagesNothing) {
    descriptor.valid = 0;
    load_payload(pattern(10));
    EXPECT_EQ(stage(), -1);
    EXPECT_EQ(err, "");
    EXPECT_TRUE(entries_of(dir).empty());
    EXPECT_EQ(staging_table[0][0], '\0');
}

TEST_F(staging_test, LeftoverFileIsReplacedAndRemovedAtTheEnd) {
    write_file(first_staging, pattern(1000));
    descriptor = block_descriptor{1, block_code, "c         ", 0, 3, 0, 0};
    load_payload({7, 8, 9});
    EXPECT_EQ(stage(), 0);
    EXPECT_EQ(read_file(first_staging),
              stored(3, std::string_view("c         \0", 11), 0, 3, 0, 0,
                     {7, 8, 9}));
    staged_count = 1;
    remove_staging_files();
    EXPECT_TRUE(entries_of(dir).empty());
}

// A link under the staging name is replaced, never followed: whatever it
// points to stays as it was, and a missing target is not created.
TEST_F(staging_test, SymbolicLinkIsReplacedNotFollowed) {
    write_file("target", {'k', 'e', 'e', 'p'});
    for (const char* target : {"target", "absent"}) {
        ASSERT_EQ(symlink(target, first_staging), 0);
        descriptor.valid = 1;
        load_payload(pattern(30));
        EXPECT_EQ(stage(), 0) << target;
        EXPECT_EQ(err, "");
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(first_staging)));
        EXPECT_EQ(read_file(first_staging).size(), 50u);
        EXPECT_EQ(read_file("target"), (bytes{'k', 'e', 'e', 'p'}));
        EXPECT_FALSE(fs::exists(fs::symlink_status("absent")));
        staged_count = 1;
        remove_staging_files();
        staged_count = 0;
        EXPECT_EQ(entries_of(dir), names{"target"});
    }
}

// With the directory held, a staging name is deleted whatever stands
// there now.
TEST_F(staging_test, FailedDeletionIsReportedAndTheRestStillGo) {
    lock_staging_directory();
    descriptor.valid = 1;
    for (staged_count = 0; staged_count < 3; ++staged_count)
        ASSERT_EQ(stage_block(), 0);
    ASSERT_EQ(unlink("_ZX0001_.@@@"), 0);
    ASSERT_EQ(mkdir("_ZX0001_.@@@", 0777), 0);
    capture first(stderr);
    remove_staging_files();
    EXPECT_EQ(first.text(), "_ZX0001_.@@@: Is a directory\n");
    EXPECT_EQ(entries_of(dir), names{"_ZX0001_.@@@/"});
    for (int i = 0; i < 3; ++i) EXPECT_EQ(staging_table[i][0], '\0');

    capture again(stderr);
    remove_staging_files();
    EXPECT_EQ(again.text(), "");
    unlock_staging_directory();
}

}  // namespace
