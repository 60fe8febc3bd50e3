#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "trd/disk_layout.h"
#include "support/fixture.h"

using namespace quornax;
using namespace quornax_test;

namespace {

constexpr size_t file_count_at = info_sector_offset + info_file_count;

// The first 8 name bytes of every file in the image's catalogue.
names catalogue_of(const bytes& image) {
    names out;
    for (int i = 0; i < image[file_count_at]; ++i) {
        auto entry = image.begin() + i * catalogue_entry_size + entry_name;
        out.emplace_back(entry, entry + entry_name_chars);
    }
    return out;
}

std::string code_line(const std::string& name, unsigned length,
                      const char* address) {
    char line[80];
    std::snprintf(line, sizeof line,
                  "Code       %-10s, %5u byte(s), start address %s\n",
                  name.c_str(), length, address);
    return line;
}

// n lone data blocks of one byte each, and their listing lines.
bytes lone_blocks(int n) {
    bytes tape;
    for (int i = 0; i < n; ++i)
        tape = join({tape, data_block({static_cast<uint8_t>(i)})});
    return tape;
}

std::string lone_lines(int n) {
    std::string out;
    char name[16];
    for (int i = 1; i <= n; ++i) {
        std::snprintf(name, sizeof name, "code%02X", i);
        out += code_line(name, 1, "0x0000");
    }
    return out;
}

const std::string mismatch_message =
    "V TAP souboru t.tap za hlavickou prog       nasleduje blok s jinou "
    "delkou,\nnez deklaruje hlavicka ! Hlavicka i blok budou ignorovany !\n";

class driver_test : public temp_dir_test {
protected:
    // Checks an image left in the directory: its size and catalogue.
    void expect_image(const std::string& name, const names& files) {
        bytes image = read_file(path(name));
        ASSERT_EQ(image.size(), image_size) << name;
        EXPECT_EQ(catalogue_of(image), files) << name;
    }
};

// One tape through the pairing machine: what is listed, reported and
// staged (the image's catalogue; none means no image).
struct pairing_case {
    const char* what;
    bytes tape;
    std::string out;
    std::string err;
    names catalogue;
};

void PrintTo(const pairing_case& c, std::ostream* os) { *os << c.what; }

class pairing : public driver_test,
                public testing::WithParamInterface<pairing_case> {};

TEST_P(pairing, ListsReportsAndStages) {
    const pairing_case& c = GetParam();
    write_file(path("t.tap"), c.tape);
    run_result r = run({"t.tap"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    if (c.catalogue.empty()) {
        EXPECT_EQ(entries_of(dir), names{"t.tap"});
    } else {
        EXPECT_EQ(entries_of(dir), (names{"t.tap", "t.trd"}));
        expect_image("t.trd", c.catalogue);
    }
}

const bytes prog_header = header_block(0, "prog", 10, 1, 10);

INSTANTIATE_TEST_SUITE_P(
    driver, pairing,
    testing::Values(
        pairing_case{"lone screen", data_block(pattern(6912)),
                     code_line("screen01", 6912, "0x4000"), "",
                     {"screen01"}},
        pairing_case{"lone block one short of a screen",
                     data_block(pattern(6911)),
                     code_line("code01", 6911, "0x0000"), "", {"code01  "}},
        pairing_case{"lone block one over a screen", data_block(pattern(6913)),
                     code_line("code01", 6913, "0x0000"), "", {"code01  "}},
        pairing_case{"one counter for both forms",
                     join({data_block(pattern(100)), data_block(pattern(6912)),
                           data_block(pattern(100))}),
                     code_line("code01", 100, "0x0000") +
                         code_line("screen02", 6912, "0x4000") +
                         code_line("code03", 100, "0x0000"),
                     "",
                     {"code01  ", "screen02", "code03  "}},
        pairing_case{"sixteen lone blocks count in hex", lone_blocks(16),
                     lone_lines(16), "",
                     {"code01  ", "code02  ", "code03  ", "code04  ",
                      "code05  ", "code06  ", "code07  ", "code08  ",
                      "code09  ", "code0A  ", "code0B  ", "code0C  ",
                      "code0D  ", "code0E  ", "code0F  ", "code10  "}},
        pairing_case{"empty lone block", data_block({}),
                     code_line("code01", 0, "0x0000"), "", {"code01  "}},
        // A waits, B replaces it; only B is seen.
        pairing_case{"header A, header B, B's data",
                     join({header_block(3, "aaaa", 7, 1, 0),
                           header_block(3, "bbbb", 5, 2, 0),
                           data_block(pattern(5))}),
                     code_line("bbbb", 5, "0x0002"), "", {"bbbb    "}},
        // The block after the discarded pair has the header's length but
        // no header of its own; the counter skipped the discarded block.
        pairing_case{"length mismatch",
                     join({prog_header, data_block(pattern(5)),
                           data_block(pattern(10))}),
                     code_line("code01", 10, "0x0000"), mismatch_message,
                     {"code01  "}},
        pairing_case{"pair after a mismatch",
                     join({prog_header, data_block(pattern(11)),
                           basic_pair("run", pattern(3), 10)}),
                     "Basic      run       ,     3 byte(s), start line 10\n",
                     mismatch_message, {"run     "}},
        pairing_case{"pair, then a lone block of the same length",
                     join({code_pair("one", pattern(4), 9),
                           data_block(pattern(4))}),
                     code_line("one", 4, "0x0009") +
                         code_line("code01", 4, "0x0000"),
                     "", {"one     ", "code01  "}},
        pairing_case{"header as the last block",
                     join({code_pair("one", pattern(4), 9), prog_header}),
                     code_line("one", 4, "0x0009"), "", {"one     "}},
        pairing_case{"empty tape", {}, "", "", {}},
        pairing_case{"headers only",
                     join({prog_header, header_block(3, "c", 1, 0, 0)}), "", "",
                     {}},
        pairing_case{"error at the first block",
                     checked_block(0x01, pattern(3)), "",
                     ": flag byte 00h or FFh is expected !\n", {}},
        pairing_case{"two pairs, then a bad checksum",
                     join({code_pair("one", pattern(4), 9),
                           code_pair("two", pattern(4), 9), prog_header,
                           bad_checksum(data_block(pattern(10)))}),
                     code_line("one", 4, "0x0009") +
                         code_line("two", 4, "0x0009"),
                     ": bad checksum of TAP data block !\n",
                     {"one     ", "two     "}},
        pairing_case{"two pairs, then a block cut short",
                     join({code_pair("one", pattern(4), 9),
                           code_pair("two", pattern(4), 9),
                           bytes{0x20, 0x00, 0xFF, 0x01, 0x02}}),
                     code_line("one", 4, "0x0009") +
                         code_line("two", 4, "0x0009"),
                     ": TAP block is cut short by end of TAP file !\n",
                     {"one     ", "two     "}}));

// Several tapes, or none, on one command line.
struct command_case {
    const char* what;
    std::map<std::string, bytes> tapes;  // written before the run
    names directories;                   // made before the run
    names args;
    int status;
    std::string out;
    std::string err;
    names left;                          // every entry afterwards
    std::map<std::string, names> images; // catalogue of each image left
};

void PrintTo(const command_case& c, std::ostream* os) { *os << c.what; }

class command_line : public driver_test,
                     public testing::WithParamInterface<command_case> {};

TEST_P(command_line, ConvertsInOrderAndStopsAtTheFirstFailure) {
    const command_case& c = GetParam();
    for (const auto& [name, content] : c.tapes) write_file(path(name), content);
    for (const std::string& name : c.directories)
        ASSERT_EQ(mkdir(path(name).c_str(), 0777), 0);
    run_result r = run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(entries_of(dir), c.left);
    for (const auto& [name, files] : c.images) expect_image(name, files);
}

const bytes one_lone = data_block(pattern(20));
const std::string one_lone_line = code_line("code01", 20, "0x0000");

bytes pairs(int n) {
    bytes tape;
    for (int i = 0; i < n; ++i)
        tape = join({tape, code_pair("p" + std::to_string(i), pattern(3), 0)});
    return tape;
}

std::string pair_lines(int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += code_line("p" + std::to_string(i), 3, "0x0000");
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    driver, command_line,
    testing::Values(
        command_case{"no argument", {}, {}, {}, 1, "",
                     "Usage : quornax file1.tap [file2.tap ...]\n"
                     "\tcreates TRD file[s] file1.trd ...\n",
                     {}, {}},
        command_case{"first cannot be opened",
                     {{"b.tap", one_lone}}, {}, {"a.tap", "b.tap"}, 1, "",
                     "a.tap: No such file or directory\n", {"b.tap"}, {}},
        command_case{"second cannot be opened",
                     {{"a.tap", one_lone}}, {}, {"a.tap", "b.tap"}, 1,
                     one_lone_line, "b.tap: No such file or directory\n",
                     {"a.tap", "a.trd"}, {{"a.trd", {"code01  "}}}},
        command_case{"a directory for a tape",
                     {{"b.tap", one_lone}}, {"d.tap"}, {"d.tap", "b.tap"}, 1,
                     "", "d.tap: Is a directory\n", {"b.tap", "d.tap/"}, {}},
        // An empty name gives the system's text alone.
        command_case{"an empty argument",
                     {{"b.tap", one_lone}}, {}, {"", "b.tap"}, 1, "",
                     "No such file or directory\n", {"b.tap"}, {}},
        // Headerless numbers and staging numbers restart with each tape.
        command_case{"two tapes",
                     {{"a.tap", one_lone},
                      {"b.tap", join({one_lone, data_block(pattern(6912))})}},
                     {}, {"a.tap", "b.tap"}, 0,
                     one_lone_line + one_lone_line +
                         code_line("screen02", 6912, "0x4000"),
                     "",
                     {"a.tap", "a.trd", "b.tap", "b.trd"},
                     {{"a.trd", {"code01  "}},
                      {"b.trd", {"code01  ", "screen02"}}}},
        // The fifth pair is listed, then cannot be staged; staging files 0
        // to 3 go, no image is written and the next name is never opened
        // (it would be reported as missing).
        command_case{"staging fails on the fifth pair",
                     {{"t.tap", pairs(6)}}, {"_ZX0004_.@@@"},
                     {"t.tap", "missing.tap"}, 1, pair_lines(5),
                     "_ZX0004_.@@@: File exists\n",
                     {"_ZX0004_.@@@/", "t.tap"}, {}},
        command_case{"image cannot be written",
                     {{"t.tap", pairs(2)}}, {"t.trd"},
                     {"t.tap", "missing.tap"}, 1, pair_lines(2),
                     "t.trd: Is a directory\n", {"t.tap", "t.trd/"}, {}}));

TEST_F(driver_test, OnlyTheFirst128PairsAreStaged) {
    write_file(path("t.tap"), pairs(130));
    run_result r = run({"t.tap"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, pair_lines(130));
    EXPECT_EQ(entries_of(dir), (names{"t.tap", "t.trd"}));
    bytes image = read_file(path("t.trd"));
    ASSERT_EQ(image.size(), image_size);
    EXPECT_EQ(image[file_count_at], 128);
    EXPECT_EQ(catalogue_of(image).back(), "p127    ");
}

// From the 256th headerless block on the number has three digits and the
// name is cut to the 10 characters the descriptor holds.
TEST_F(driver_test, HeaderlessNamesPastFFAreCut) {
    write_file(path("t.tap"), join({lone_blocks(255), data_block(pattern(6912)),
                                    lone_blocks(1)}));
    run_result r = run({"t.tap"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, lone_lines(255) + code_line("screen100", 6912, "0x4000") +
                         code_line("code101", 1, "0x0000"));
    EXPECT_EQ(entries_of(dir), (names{"t.tap", "t.trd"}));
    EXPECT_EQ(read_file(path("t.trd"))[file_count_at], 128);
}

// A tape past 2 GiB must not read as empty: its blocks are read, and the
// zeros after the first pair read as a block of length 0.
TEST_F(driver_test, TapeLargerThan2GiBIsRead) {
    write_file(path("t.tap"), code_pair("big", pattern(4), 1));
    ASSERT_EQ(truncate(path("t.tap").c_str(), 3LL << 30), 0);
    run_result r = run({"t.tap"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, code_line("big", 4, "0x0001"));
    EXPECT_EQ(r.err, ": TAP header is too short !\n");
    expect_image("t.trd", {"big     "});
}

}  // namespace
