#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "common/common.h"
#include "driver/driver.h"
#include "tap/block_descriptor.h"
#include "tap/tap_reader.h"
#include "support/fixture.h"

using namespace quornax;
using namespace quornax_test;

namespace {

class tap_reader_test : public temp_dir_test {
protected:
    // Reads the next block; returns the result and keeps what the reader
    // printed on standard error.
    int read_next() {
        capture captured(stderr);
        int result = read_tap_block(tape);
        err = captured.text();
        return result;
    }
    int read_one(const bytes& content) {
        open_tape(content);
        return read_next();
    }
    std::string err;
};

TEST_F(tap_reader_test, HeaderIsDecodedIntoTheDescriptor) {
    EXPECT_EQ(read_one(header_block(3, "loader", 6912, 16384, 32768)), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(descriptor.valid, 1);
    EXPECT_EQ(descriptor.type, 3);
    EXPECT_EQ(std::string(descriptor.name, 11), std::string("loader    \0", 11));
    EXPECT_EQ(descriptor.length, 6912);
    EXPECT_EQ(descriptor.param1, 16384);
    EXPECT_EQ(descriptor.param2, 32768);
}

TEST_F(tap_reader_test, ArrayHeaderTakesItsVariableByteAndZeroParameters) {
    EXPECT_EQ(read_one(array_header(2, "names", 23, 0xC2)), 0);
    EXPECT_EQ(descriptor.type, 2);
    EXPECT_EQ(descriptor.array_name, 0xC2);
    EXPECT_EQ(descriptor.param1, 0);
    EXPECT_EQ(descriptor.param2, 0);
}

TEST_F(tap_reader_test, BasicHeaderAfterArrayKeepsTheVariableByte) {
    open_tape(join({array_header(1, "data", 50, 0x81),
                    header_block(0, "run", 10, 10, 10)}));
    EXPECT_EQ(read_tap_block(tape), 0);
    EXPECT_EQ(read_tap_block(tape), 0);
    EXPECT_EQ(descriptor.type, 0);
    EXPECT_EQ(descriptor.array_name, 0x81);
    EXPECT_EQ(descriptor.param1, 10);
}

TEST_F(tap_reader_test, DataBlockLeavesPayloadInTheWorkBuffer) {
    bytes payload = pattern(300);
    EXPECT_EQ(read_one(data_block(payload)), 255);
    EXPECT_EQ(data_length, 300);
    EXPECT_EQ(0, std::memcmp(work_buffer + 1, payload.data(), payload.size()));
}

TEST_F(tap_reader_test, LongestBlockIsReadWhole) {
    bytes payload = pattern(65533, 9);
    EXPECT_EQ(read_one(data_block(payload)), 255);
    EXPECT_EQ(data_length, 65533);
    EXPECT_EQ(0, std::memcmp(work_buffer + 1, payload.data(), payload.size()));
}

// The first read fills the buffer up to the third block's length word;
// the block, half the buffer long, is the shortest read straight into the
// work buffer.
TEST_F(tap_reader_test, HalfBufferBlockAfterAFullBuffer) {
    bytes third = data_block(pattern(32766, 7));
    open_tape(join({data_block(pattern(32763)), data_block(pattern(32763, 5)),
                    third}));
    for (int block = 0; block < 3; ++block) EXPECT_EQ(read_tap_block(tape), 255);
    EXPECT_EQ(0, std::memcmp(work_buffer, third.data() + 2, 32768));
}

TEST_F(tap_reader_test, EndOfTape) {
    EXPECT_EQ(read_one({}), 1);  // empty tape
    EXPECT_EQ(err, "");
    // The file ends right after a length word: the end, without a message.
    EXPECT_EQ(read_one({0x02, 0x00}), 1);
    EXPECT_EQ(err, "");
}

TEST_F(tap_reader_test, FailedSizeQueryReadsAsEmpty) {
    open_tape(data_block(pattern(10)));
    tap_size = -1;
    EXPECT_EQ(read_tap_block(tape), 1);
}

struct bad_block {
    const char* what;
    bytes tape;
    const char* message;
};

void PrintTo(const bad_block& c, std::ostream* os) { *os << c.what; }

class bad_blocks : public tap_reader_test,
                   public testing::WithParamInterface<bad_block> {};

TEST_P(bad_blocks, AreRejectedWithTheirMessage) {
    descriptor.valid = 0;
    EXPECT_EQ(read_one(GetParam().tape), -1) << GetParam().what;
    EXPECT_EQ(err, std::string("t.tap: ") + GetParam().message + " !\n");
    EXPECT_EQ(descriptor.valid, 0);
}

bytes header_with(size_t at, uint8_t value) {
    bytes block = header_block(0, "x", 1, 0, 1);
    block[2 + at] = value;
    return block;
}

const char* const cut_short = "TAP block is cut short by end of TAP file";

INSTANTIATE_TEST_SUITE_P(
    reader, bad_blocks,
    testing::Values(
        bad_block{"length beyond the whole file", {0x05, 0x00, 0xFF, 0x01},
                  "TAP block length is greater than size of TAP file"},
        bad_block{"block of length 0 before the end",
                  {0x00, 0x00, 0x02, 0x00, 0xFF, 0xFF},
                  "TAP header is too short"},
        bad_block{"data block of length 1", raw_block({0xFF}),
                  "bad checksum of TAP data block"},
        bad_block{"header of 18 bytes",
                  checked_block(0, bytes(16, 0x20)), "TAP header is too short"},
        bad_block{"header of 20 bytes",
                  checked_block(0, bytes(18, 0x20)), "TAP header is too short"},
        // The type is tested before the checksum.
        bad_block{"type 4 and a bad checksum", bad_checksum(header_with(1, 4)),
                  "unknown block type in TAP header"},
        bad_block{"header checksum", bad_checksum(header_block(0, "x", 1, 0, 1)),
                  "bad checksum of TAP header"},
        bad_block{"data checksum", bad_checksum(data_block(pattern(5))),
                  "bad checksum of TAP data block"},
        bad_block{"flag 0x01", checked_block(0x01, pattern(3)),
                  "flag byte 00h or FFh is expected"},
        bad_block{"flag 0xFE", checked_block(0xFE, pattern(3)),
                  "flag byte 00h or FFh is expected"},
        // Cut short: never judged over stale bytes in the buffer.
        bad_block{"a lone byte of a length word", {0x13}, cut_short},
        bad_block{"block cut short", {0x04, 0x00, 0xFF, 0x01}, cut_short}));

TEST_F(tap_reader_test, EmptyDataBlock) {
    EXPECT_EQ(read_one(raw_block({0xFF, 0xFF})), 255);
    EXPECT_EQ(data_length, 0);
}

TEST_F(tap_reader_test, StaleBufferNeverCompletesACutShortBlock) {
    // The first block fills the buffer with exactly the bytes the cut-short
    // copy of it would need to pass its checksum.
    bytes block = data_block(pattern(40));
    bytes cut(block.begin(), block.end() - 10);
    open_tape(join({block, cut}));
    EXPECT_EQ(read_tap_block(tape), 255);
    EXPECT_EQ(read_next(), -1);
    EXPECT_EQ(err, std::string("t.tap: ") + cut_short + " !\n");
}

#ifndef _WIN32  // where a folder cannot be opened at all
TEST_F(tap_reader_test, ReadErrorIsReportedWithTheTapName) {
    open_tape(data_block(pattern(10)));
    close(tape_fd);
    tape_fd = open(".", O_RDONLY);  // reading a directory fails with EISDIR
    start_tap_stream(tape, tape_fd);
    tap_size = 100;
    EXPECT_EQ(read_next(), -1);
    EXPECT_EQ(err, "t.tap: Is a directory\n");
}
#endif

TEST(tap_helpers, ChecksumAndLittleEndian) {
    const uint8_t bytes3[] = {0x12, 0x34, 0xFF};
    EXPECT_EQ(tap_checksum(bytes3, 3), 0x12 ^ 0x34 ^ 0xFF);
    EXPECT_EQ(tap_checksum(bytes3, 0), 0);
    EXPECT_EQ(tap_checksum(nullptr, 3), 0);
    EXPECT_EQ(get_le16(bytes3 + 1), 0xFF34);
}

TEST(tap_helpers, ReportTapError) {
    tap_name = nullptr;
    capture err(stderr);
    EXPECT_EQ(report_tap_error(""), -1);
    EXPECT_EQ(report_tap_error(nullptr), -1);
    EXPECT_EQ(report_tap_error("odd"), -1);
    EXPECT_EQ(err.text(), " !\n !\n: odd !\n");
}

// The tape's size bounds every block: past 2 GiB too.
TEST_F(tap_reader_test, FileSizeOfADescriptor) {
    write_file("small", pattern(1234));
    int small = open("small", O_RDONLY);
    EXPECT_EQ(get_file_size(small), 1234);
    close(small);

    write_file("big", {});
    std::filesystem::resize_file("big", 3LL << 30);
    int big = open("big", O_RDONLY);
    EXPECT_EQ(get_file_size(big), 3LL << 30);
    close(big);

    EXPECT_EQ(get_file_size(-1), -1);
}

}  // namespace
