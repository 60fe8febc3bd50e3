// The image writer, fed by files staged in-process and judged by reading the
// image back the way a disk reader would, apart from the writer's own code.
#include <gtest/gtest.h>

#include <fcntl.h>
#ifndef _WIN32
#include <poll.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/common.h"
#include "tap/block_descriptor.h"
#include "trd/disk_layout.h"
#include "trd/staging.h"
#include "trd/trd_image.h"
#include "support/disk_image.h"
#include "support/fixture.h"

using namespace quornax;
using namespace quornax_test;

namespace {

const char* const image = "t.trd";
constexpr size_t info = info_sector_offset;

// Where a field of catalogue entry i lies.
constexpr size_t entry(size_t i, size_t field) {
    return i * catalogue_entry_size + field;
}

struct staged_file {
    uint8_t type;
    const char* name;
    size_t length;  // of a pattern() payload
    uint16_t param1;
    uint16_t param2;
    uint8_t array_name;
};

staged_file code(const char* name, size_t length, uint16_t address = 0x8000) {
    return {block_code, name, length, address, 0x8000, 0};
}

staged_file basic(const char* name, size_t length, uint16_t autostart = 10) {
    return {block_basic, name, length, autostart,
            static_cast<uint16_t>(length), 0};
}

// The payload staged as file i: no two files alike, so a file written to the
// wrong place cannot pass for the right one.
bytes payload_of(const staged_file& f, int i) {
    return pattern(f.length, static_cast<uint8_t>(i * 29 + 1));
}

class image_writer : public temp_dir_test {
protected:
    void SetUp() override {
        temp_dir_test::SetUp();
        tap_name = "t.tap";
    }

    void stage(const staged_file& f) {
        descriptor = block_descriptor{};
        descriptor.valid = 1;
        descriptor.type = f.type;
        std::snprintf(descriptor.name, sizeof descriptor.name, "%-10s", f.name);
        descriptor.array_name = f.array_name;
        descriptor.length = static_cast<uint16_t>(f.length);
        descriptor.param1 = f.param1;
        descriptor.param2 = f.param2;
        bytes payload = payload_of(f, staged_count);
        std::copy(payload.begin(), payload.end(), work_buffer + payload_offset);
        data_length = static_cast<uint16_t>(f.length);
        ASSERT_EQ(stage_block(), 0);
        ++staged_count;
    }

    void stage_all(const std::vector<staged_file>& files) {
        for (const staged_file& f : files) stage(f);
    }

    // Writes the image and keeps what went to standard error.
    int write(const char* name = image) {
        capture captured(stderr);
        int result = write_trd_image(name);
        err = captured.text();
        return result;
    }

    std::string err;
};

// One file alone on the disk: its catalogue entry, and its sectors from
// payload through trailer to zero fill.
struct layout_case {
    const char* what;
    staged_file file;
    bytes params;   // entry bytes 9..12
    int sectors;
    bytes trailer;  // follows the payload; none for code
    size_t zeros;   // fill after payload and trailer
};

void PrintTo(const layout_case& c, std::ostream* os) { *os << c.what; }

class file_layout : public image_writer,
                    public testing::WithParamInterface<layout_case> {};

TEST_P(file_layout, EntryAndSectors) {
    const layout_case& c = GetParam();
    stage(c.file);
    ASSERT_EQ(write(), 0);
    EXPECT_EQ(err, "");
    bytes disk = read_file(image);
    ASSERT_TRUE(image_is_consistent(disk));
    // Both kinds of array are D; the type, not the variable byte, decides.
    EXPECT_EQ(disk[entry_type], "BDDC"[c.file.type]);
    EXPECT_EQ(slice(disk, entry_param1, 4), c.params);
    EXPECT_EQ(disk[entry_sector_count], c.sectors);
    EXPECT_EQ(le16_at(disk, info + info_free_sectors), data_sectors - c.sectors);
    bytes payload = payload_of(c.file, 0);
    EXPECT_EQ(slice(disk, data_offset, payload.size()), payload);
    size_t at = data_offset + payload.size();
    EXPECT_EQ(slice(disk, at, c.trailer.size()), c.trailer);
    at += c.trailer.size();
    EXPECT_TRUE(all_zero(disk, at, at + c.zeros));
    EXPECT_EQ(at + c.zeros, data_offset + c.sectors * sector_size);
}

INSTANTIATE_TEST_SUITE_P(
    table, file_layout,
    testing::Values(
        layout_case{"basic 252 fills one sector to the last byte",
                    basic("prog", 252), {252, 0, 252, 0}, 1,
                    {0x80, 0xAA, 10, 0}, 0},
        layout_case{"basic 253 spills the trailer into a second sector",
                    basic("prog", 253), {253, 0, 253, 0}, 2,
                    {0x80, 0xAA, 10, 0}, 255},
        layout_case{"empty basic is a trailer alone",
                    basic("prog", 0), {0, 0, 0, 0}, 1, {0x80, 0xAA, 10, 0}, 252},
        layout_case{"basic 65276 is the largest in 255 sectors",
                    basic("prog", 65276), {0xFC, 0xFE, 0xFC, 0xFE}, 255,
                    {0x80, 0xAA, 10, 0}, 0},
        // TR-DOS takes 0, not the tape's 32768 or more, for no autostart.
        layout_case{"no autostart is stored as 0",
                    basic("prog", 100, 32768), {100, 0, 100, 0}, 1,
                    {0x80, 0xAA, 0, 0}, 152},
        layout_case{"basic keeps its own second parameter",
                    {block_basic, "prog", 100, 1, 60, 0}, {100, 0, 60, 0}, 1,
                    {0x80, 0xAA, 1, 0}, 152},
        layout_case{"code 256 fills one sector", code("c", 256),
                    {0x00, 0x80, 0x00, 0x01}, 1, {}, 0},
        layout_case{"code 257 takes a second sector for one byte",
                    code("c", 257), {0x00, 0x80, 0x01, 0x01}, 2, {}, 255},
        layout_case{"code 65280 is the largest in 255 sectors",
                    code("c", 65280, 0), {0, 0, 0x00, 0xFF}, 255, {}, 0},
        layout_case{"empty code takes no sector", code("c", 0, 0x1234),
                    {0x34, 0x12, 0, 0}, 0, {}, 0},
        // The type, not the variable byte, decides the top two bits.
        layout_case{"number array 0xC1 gets 0x81",
                    {block_number_array, "arr", 50, 0, 0, 0xC1}, {0, 0, 50, 0},
                    1, {0x80, 0xAA, 0x00, 0x81}, 202},
        layout_case{"char array 0x81 gets 0xC1",
                    {block_char_array, "arr", 50, 0, 0, 0x81}, {0, 0, 50, 0},
                    1, {0x80, 0xAA, 0x00, 0xC1}, 202},
        layout_case{"char array 0x41 gets 0xC1",
                    {block_char_array, "arr", 252, 0, 0, 0x41},
                    {0, 0, 252, 0}, 1, {0x80, 0xAA, 0x00, 0xC1}, 0}));

TEST_F(image_writer, LoadingScreenAlone) {
    stage(code("screen01", 6912, 16384));
    ASSERT_EQ(write(), 0);
    bytes disk = read_file(image);
    ASSERT_TRUE(image_is_consistent(disk));
    EXPECT_EQ(slice(disk, 0, catalogue_entry_size),
              bytes({'s', 'c', 'r', 'e', 'e', 'n', '0', '1', 'C', 0x00, 0x40,
                     0x00, 0x1B, 0x1B, 0x00, 0x01}));
    EXPECT_EQ(slice(disk, info + info_first_free_sector, 6),
              bytes({11, 2, 0x16, 1, 0xD5, 0x09}));
}

TEST_F(image_writer, BasicAfterScreenStartsWhereTheScreenEnds) {
    stage_all({code("screen01", 6912, 16384), basic("run", 100)});
    ASSERT_EQ(write(), 0);
    bytes disk = read_file(image);
    ASSERT_TRUE(image_is_consistent(disk));
    EXPECT_EQ(slice(disk, entry(1, entry_sector_count), 3), bytes({1, 11, 2}));
    EXPECT_EQ(slice(disk, info + info_first_free_sector, 6),
              bytes({12, 2, 0x16, 2, 0xD4, 0x09}));
    bytes program = payload_of(basic("run", 100), 1);
    EXPECT_EQ(slice(disk, data_offset + 27 * sector_size, 100), program);
}

// An array's trailer is built whole over a longer block staged after it.
TEST_F(image_writer, ArrayTrailerOverALongerBlockAfterIt) {
    stage_all({{block_char_array, "arr", 50, 0, 0, 0x41}, code("long", 9000)});
    ASSERT_EQ(write(), 0);
    EXPECT_EQ(slice(read_file(image), data_offset + 50, 4), bytes({0x80, 0xAA, 0, 0xC1}));
}

TEST_F(image_writer, EmptyCodeFileSharesItsStartWithTheNextFile) {
    stage_all({code("one", 256), code("empty", 0), code("next", 10)});
    ASSERT_EQ(write(), 0);
    bytes disk = read_file(image);
    ASSERT_TRUE(image_is_consistent(disk));
    EXPECT_EQ(slice(disk, entry(1, entry_sector_count), 3), bytes({0, 1, 1}));
    EXPECT_EQ(slice(disk, entry(2, entry_sector_count), 3), bytes({1, 1, 1}));
    EXPECT_EQ(slice(disk, data_offset + sector_size, 10),
              payload_of(code("next", 10), 2));
}

// Nine files of 255 sectors and one of 249 take all 2544 sectors.
std::vector<staged_file> disk_filling(size_t last_length) {
    std::vector<staged_file> files(9, code("big", 65280));
    files.push_back(code("last", last_length));
    return files;
}

TEST_F(image_writer, FilesFillingTheDiskExactly) {
    stage_all(disk_filling(63744));
    ASSERT_EQ(write(), 0);
    EXPECT_EQ(err, "");
    bytes disk = read_file(image);
    ASSERT_TRUE(image_is_consistent(disk));
    EXPECT_EQ(slice(disk, info + info_first_free_sector, 6),
              bytes({0, 160, 0x16, 10, 0, 0}));
    bytes last = payload_of(code("last", 63744), 9);
    EXPECT_EQ(slice(disk, image_size - last.size(), last.size()), last);
}

TEST_F(image_writer, EveryCatalogueEntryUsed) {
    for (int i = 0; i < 128; ++i) stage(code("f", 1));
    ASSERT_EQ(write(), 0);
    bytes disk = read_file(image);
    ASSERT_TRUE(image_is_consistent(disk));
    EXPECT_EQ(disk[info + info_file_count], 0x80);
    EXPECT_EQ(slice(disk, entry(127, entry_sector_count), 3), bytes({1, 15, 8}));
}

// A file the disk cannot take: the space message names it, and the image is
// never created, since the catalogue pass finds it first.
struct refusal_case {
    const char* what;
    std::vector<staged_file> files;
    const char* refused;  // name as the message shows it
};

void PrintTo(const refusal_case& c, std::ostream* os) { *os << c.what; }

class refusal : public image_writer,
                public testing::WithParamInterface<refusal_case> {};

TEST_P(refusal, SpaceMessageAndNoImage) {
    const refusal_case& c = GetParam();
    stage_all(c.files);
    ASSERT_EQ(write(), -1);
    EXPECT_EQ(err, std::string("Pro ulozeni bloku '") + c.refused +
                       "' z TAP souboru t.tap je nedostatek mista !\n");
    EXPECT_EQ(entries_of(dir), staging_files_in(dir));
}

INSTANTIATE_TEST_SUITE_P(
    table, refusal,
    testing::Values(
        refusal_case{"one sector more than the disk holds",
                     disk_filling(63745), "last      "},
        // A catalogue entry counts sectors in one byte: never wrap to 0.
        refusal_case{"code of 256 sectors", {code("huge", 65281)},
                     "huge      "},
        refusal_case{"basic of 256 sectors", {basic("huge", 65277)},
                     "huge      "},
        refusal_case{"array of 256 sectors after a file",
                     {code("big", 65280),
                      {block_number_array, "huge", 65277, 0, 0, 0x81}},
                     "huge      "}));

// A staging file rewritten in place, as the descriptor kept open sees it,
// that does not read back whole fails the image, named in the report with
// EIO's text, and no image: a descriptor is found wanting in the catalogue
// pass, a payload only in the data pass, when the image is half written.
struct broken_staging_case {
    const char* what;
    long keep_bytes;      // cut the second staging file to this; -1 keeps it
    size_t poke_at;       // and set this byte of it...
    int poke_value;       // ...to this; -1 for none
};

void PrintTo(const broken_staging_case& c, std::ostream* os) { *os << c.what; }

class broken_staging : public image_writer,
                       public testing::WithParamInterface<broken_staging_case> {};

TEST_P(broken_staging, FailsNamingTheStagingFile) {
    const broken_staging_case& c = GetParam();
    stage_all({code("first", 300), basic("second", 100)});
    const char* second = "_ZX0001_.@@@";
    bytes stored = read_file(second);
    if (c.keep_bytes >= 0) stored.resize(static_cast<size_t>(c.keep_bytes));
    if (c.poke_value >= 0) stored[c.poke_at] = static_cast<uint8_t>(c.poke_value);
    write_file(second, stored);
    EXPECT_EQ(write(), -1);
    EXPECT_EQ(err, std::string(second) + ": Input/output error\n");
    EXPECT_EQ(entries_of(dir), staging_files_in(dir));  // and no image
}

INSTANTIATE_TEST_SUITE_P(
    table, broken_staging,
    testing::Values(
        broken_staging_case{"empty", 0, 0, -1},
        broken_staging_case{"descriptor cut short", 19, 0, -1},
        broken_staging_case{"valid 0", -1, 0, 0},
        broken_staging_case{"type no header can give", -1, 1, 4},
        broken_staging_case{"payload one byte short", 20 + 99, 0, -1},
        broken_staging_case{"payload missing", 20, 0, -1}));

// Out of descriptors, the staging files kept open are given back one by
// one and opened again by name, each checked to be this run's own: the
// image comes out the same.
TEST_F(image_writer, NoDescriptorToSpareGivesTheSameImage) {
    stage_all({code("first", 300), basic("second", 100), code("third", 9000)});
    ASSERT_EQ(write(), 0);
    bytes plenty = read_file(image);
    capture captured(stderr);
    int result;
    {
        descriptors_used_up none;
        result = write_trd_image(image);
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(captured.text(), "");
    EXPECT_TRUE(read_file(image) == plenty);
}

#ifndef _WIN32  // where no open file can be replaced
// The second staging file grows between the two passes. The catalogue
// pass reads it through the descriptor kept open; then the image takes the
// last descriptor the process may have, the staging file gives its own
// back and the data pass opens it by name, where a grown version stands.
// With the directory held, names are trusted. Its data must not land where
// the catalogue does not say, nor the image grow past its size.
TEST_F(image_writer, StagingFileChangedBetweenThePasses) {
    stage_all({code("first", 300), code("second", 256)});
    const char* second = "_ZX0001_.@@@";
    bytes grown = read_file(second);
    grown[stored_length + 1] = 2;  // 512 bytes
    grown.resize(stored_descriptor_size + 512, 0x55);
    ASSERT_EQ(unlink(second), 0);
    write_file(second, grown);
    lock_staging_directory();
    capture captured(stderr);
    int result;
    {
        descriptors_used_up none;
        result = write_trd_image(image);
    }
    unlock_staging_directory();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(captured.text(), std::string(second) + ": Input/output error\n");
    EXPECT_EQ(entries_of(dir), staging_files_in(dir));  // and no image
}
#endif

#ifndef _WIN32  // where no FIFO is made, nor a file's change time kept
// Someone else rewrites the second staging file in place while the image
// is written, held writing track 0 and the first file into a FIFO of one
// page. Kept open, it reads back 310 bytes where the catalogue planned
// 300, in the same two sectors; given back for the image's descriptor, it
// keeps its size and inode, and only its change time tells it apart.
struct rewrite_case {
    const char* what;
    bool given_back;
    uint16_t new_length;
};

void PrintTo(const rewrite_case& c, std::ostream* os) { *os << c.what; }

class rewritten_in_place : public image_writer,
                           public testing::WithParamInterface<rewrite_case> {};

TEST_P(rewritten_in_place, FailsTheImage) {
    const rewrite_case& c = GetParam();
    // Rewritten within the second of its writing, past that clock tick.
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_nsec > 500000000)
        std::this_thread::sleep_for(std::chrono::nanoseconds(1000000000 - now.tv_nsec));
    stage_all({code("first", 61000), code("second", 300)});
    const char* second = "_ZX0001_.@@@";
    bytes rewritten = read_file(second);
    rewritten.resize(stored_descriptor_size + c.new_length);
    std::fill(rewritten.begin() + stored_descriptor_size, rewritten.end(), 0xEE);
    put_le16(rewritten.data() + stored_length, c.new_length);
    int in_place = open(second, O_WRONLY);
    ASSERT_EQ(mkfifo(image, 0600), 0);
    int fifo = open(image, O_RDONLY | O_NONBLOCK);
    ASSERT_GT(fcntl(fifo, F_SETPIPE_SZ, 4096), 0);
    std::thread someone_else([&] {
        pollfd written{fifo, POLLIN, 0};
        poll(&written, 1, 10000);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(pwrite(in_place, rewritten.data(), rewritten.size(), 0),
                  static_cast<ssize_t>(rewritten.size()));
        fcntl(fifo, F_SETFL, 0);
        char chunk[4096];
        while (read(fifo, chunk, sizeof chunk) > 0) {}
    });
    capture captured(stderr);
    int result;
    {
        std::optional<descriptors_used_up> none;
        if (c.given_back) none.emplace();
        result = write_trd_image(image);
    }
    someone_else.join();
    close(fifo);
    close(in_place);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(captured.text(), std::string(second) + ": Input/output error\n");
}

INSTANTIATE_TEST_SUITE_P(
    table, rewritten_in_place,
    testing::Values(rewrite_case{"longer, kept open", false, 310},
                    rewrite_case{"same size, given back", true, 300}));
#endif

TEST(put_le16, LowByteFirstAndNothingBeyond) {
    uint8_t bytes[3] = {0xEE, 0xEE, 0xEE};
    EXPECT_EQ(put_le16(bytes, 0x1BD5), bytes);
    EXPECT_EQ(bytes[0], 0xD5);
    EXPECT_EQ(bytes[1], 0x1B);
    EXPECT_EQ(bytes[2], 0xEE);
    put_le16(bytes + 1, 0xFFFF);
    EXPECT_EQ(bytes[0], 0xD5);
    EXPECT_EQ(bytes[1], 0xFF);
    EXPECT_EQ(bytes[2], 0xFF);
}

}  // namespace
