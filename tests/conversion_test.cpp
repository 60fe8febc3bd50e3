// Conversions that succeed, run end to end: how blocks pair up, what is
// listed and staged, where the image lands and what it holds to the byte.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "common/common.h"
#include "tap/block_descriptor.h"
#include "support/disk_image.h"
#include "support/fixture.h"

using namespace quornax;
using namespace quornax_test;

namespace fs = std::filesystem;

namespace {

// The first 8 name bytes of every file in the image's catalogue.
names catalogue_of(const bytes& image) {
    names out;
    for (int i = 0; i < image[info_sector_offset + info_file_count]; ++i) {
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

const std::string mismatch_message =
    "V TAP souboru t.tap za hlavickou prog       nasleduje blok s jinou "
    "delkou,\nnez deklaruje hlavicka ! Hlavicka i blok budou ignorovany !\n";

class conversion : public temp_dir_test {
protected:
    // Checks an image left in the directory: its size and catalogue.
    void expect_image(const std::string& name, const names& files) {
        bytes image = read_file(path(name));
        ASSERT_EQ(image.size(), image_size) << name;
        EXPECT_EQ(catalogue_of(image), files) << name;
    }
};

// One tape through the pairing machine: what is listed, reported and
// staged (the image's catalogue; none means no image), given after the
// options, and the exit status.
struct pairing_case {
    const char* what;
    bytes tape;
    std::string out;
    std::string err;
    names catalogue;
    names options = {};
    int status = 0;
};

void PrintTo(const pairing_case& c, std::ostream* os) { *os << c.what; }

class pairing : public conversion,
                public testing::WithParamInterface<pairing_case> {};

TEST_P(pairing, ListsReportsAndStages) {
    const pairing_case& c = GetParam();
    write_file(path("t.tap"), c.tape);
    names args = c.options;
    args.push_back("t.tap");
    run_result r = run(args);
    EXPECT_EQ(r.status, c.status);
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
const bytes bad_data = bad_checksum(data_block(pattern(10)));
const std::string bad_data_message = "t.tap: bad checksum of TAP data block !\n";
const names keep_going = {"-k"};

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
        // The screen form counts in upper-case hex too.
        pairing_case{"tenth lone block a screen",
                     join({lone_blocks(9), data_block(pattern(6912))}),
                     lone_lines(9) + code_line("screen0A", 6912, "0x4000"),
                     "",
                     {"code01  ", "code02  ", "code03  ", "code04  ",
                      "code05  ", "code06  ", "code07  ", "code08  ",
                      "code09  ", "screen0A"}},
        // The array letter byte 0x80 - 0x80 is a zero byte: the line is
        // written whole all the same.
        pairing_case{"zero byte in a listing line",
                     join({array_header(2, "z", 2, 0x80),
                           data_block(pattern(2))}),
                     std::string("Array \0$[] z         ,     2 byte(s)\n", 37),
                     "", {"z       "}},
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
        // No disk for an error: the run fails; for a mismatch it does not.
        pairing_case{"error at the first block",
                     checked_block(0x01, pattern(3)), "",
                     "t.tap: flag byte 00h or FFh is expected !\n", {}, {}, 1},
        pairing_case{"a mismatch alone", join({prog_header, data_block({1})}),
                     "", mismatch_message, {}},
        pairing_case{"two pairs, then a bad checksum",
                     join({code_pair("one", pattern(4), 9),
                           code_pair("two", pattern(4), 9), prog_header,
                           bad_data, code_pair("three", pattern(4), 9)}),
                     code_line("one", 4, "0x0009") +
                         code_line("two", 4, "0x0009"),
                     bad_data_message, {"one     ", "two     "}},
        pairing_case{"-k: two pairs, a bad checksum, a pair",
                     join({code_pair("one", pattern(4), 9),
                           code_pair("two", pattern(4), 9), prog_header,
                           bad_data, code_pair("three", pattern(4), 9)}),
                     code_line("one", 4, "0x0009") +
                         code_line("two", 4, "0x0009") +
                         code_line("three", 4, "0x0009"),
                     bad_data_message, {"one     ", "two     ", "three   "},
                     keep_going},
        // -k passes over what was read whole, as if it were not there.
        pairing_case{"-k: a header waits past a bad header; data after a bad "
                     "header is headerless",
                     join({header_block(3, "wait", 4, 9, 0),
                           bad_checksum(header_block(3, "bad", 5, 1, 0)),
                           data_block(pattern(4)), checked_block(0, bytes(34)),
                           data_block(pattern(5)), checked_block(0x01, {})}),
                     code_line("wait", 4, "0x0009") +
                         code_line("code01", 5, "0x0000"),
                     "t.tap: bad checksum of TAP header !\n"
                     "t.tap: TAP header is too short !\n"
                     "t.tap: flag byte 00h or FFh is expected !\n",
                     {"wait    ", "code01  "}, keep_going},
        pairing_case{"-k: every block passed over", join({bad_data, bad_data}),
                     "", bad_data_message + bad_data_message, {}, keep_going, 1},
        // No next block to read after these: the tape ends there.
        pairing_case{"-k: a block beyond the file's end after a bad one",
                     join({bad_data, bytes{0x40, 0x00}, code_pair("x", {1}, 0)}),
                     "",
                     bad_data_message +
                         "t.tap: TAP block length is greater than size of TAP "
                         "file !\n",
                     {}, keep_going, 1},
        pairing_case{"-- ends the options: -k is a tape", data_block({1}), "",
                     "-k: No such file or directory\n", {}, {"--", "-k"}, 1},
        pairing_case{"two pairs, then a block cut short",
                     join({code_pair("one", pattern(4), 9),
                           code_pair("two", pattern(4), 9),
                           bytes{0x20, 0x00, 0xFF, 0x01, 0x02}}),
                     code_line("one", 4, "0x0009") +
                         code_line("two", 4, "0x0009"),
                     "t.tap: TAP block is cut short by end of TAP file !\n",
                     {"one     ", "two     "}, keep_going}));

// Headerless numbers, staging numbers and what reading met restart with
// each tape (the empty c.tap fails for no error of a.tap), and the bytes
// of a tape that a bad block stopped, read but never taken, stay with it.
TEST_F(conversion, TwoTapesOneImageEach) {
    const bytes lone = data_block(pattern(20));
    write_file(path("a.tap"), join({lone, bad_checksum(data_block({1})),
                                    {0xFF, 0xFF},
                                    code_pair("later", pattern(9), 0)}));
    write_file(path("b.tap"), join({lone, data_block(pattern(6912))}));
    write_file(path("c.tap"), {});
    run_result r = run({"-k", "a.tap", "b.tap", "c.tap"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, code_line("code01", 20, "0x0000") +
                         code_line("code01", 20, "0x0000") +
                         code_line("screen02", 6912, "0x4000"));
    EXPECT_EQ(r.err, "a.tap: bad checksum of TAP data block !\na.tap: TAP "
                     "block length is greater than size of TAP file !\n");
    EXPECT_EQ(entries_of(dir),
              (names{"a.tap", "a.trd", "b.tap", "b.trd", "c.tap"}));
    expect_image("a.trd", {"code01  "});
    expect_image("b.trd", {"code01  ", "screen02"});
}

// The rest are counted afresh for each tape, and said after its listing
// (2>&1).
TEST_F(conversion, OnlyTheFirst128PairsAreStaged) {
    write_file(path("t.tap"), pairs(130));
    run_result r = run({"t.tap", "t.tap"}, [] { dup2(1, 2); });
    const std::string past =
        "t.tap: 2 file(s) past the 128th are not on the disk !\n";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, pair_lines(130) + past + pair_lines(130) + past);
    EXPECT_EQ(entries_of(dir), (names{"t.tap", "t.trd"}));
    bytes image = read_file(path("t.trd"));
    ASSERT_EQ(image.size(), image_size);
    EXPECT_EQ(catalogue_of(image).size(), 128u);
    EXPECT_EQ(catalogue_of(image).back(), "p127    ");
}

// From the 256th headerless block on the number has three digits and the
// name is cut to the 10 characters the descriptor holds.
TEST_F(conversion, HeaderlessNamesPastFFAreCut) {
    write_file(path("t.tap"), join({lone_blocks(255), data_block(pattern(6912)),
                                    lone_blocks(1)}));
    run_result r = run({"t.tap"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "t.tap: 129 file(s) past the 128th are not on the disk !\n");
    EXPECT_EQ(r.out, lone_lines(255) + code_line("screen100", 6912, "0x4000") +
                         code_line("code101", 1, "0x0000"));
    EXPECT_EQ(entries_of(dir), (names{"t.tap", "t.trd"}));
    EXPECT_EQ(catalogue_of(read_file(path("t.trd"))).size(), 128u);
}

// A tape past 2 GiB must not read as empty: its blocks are read, and the
// zeros after the first pair read as a block of length 0.
TEST_F(conversion, TapeLargerThan2GiBIsRead) {
    write_file(path("t.tap"), code_pair("big", pattern(4), 1));
    ASSERT_EQ(truncate(path("t.tap").c_str(), 3LL << 30), 0);
    run_result r = run({"t.tap"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, code_line("big", 4, "0x0001"));
    EXPECT_EQ(r.err, "t.tap: TAP header is too short !\n");
    expect_image("t.trd", {"big     "});
}

// game.tap, the golden tape: a Basic program "run", then a lone screen.
bytes game_tape() {
    return join({header_block(0, "run", 100, 10, 100),
                 data_block(pattern(100, 3)), data_block(pattern(6912, 5))});
}

bytes game_image() {
    return expected_image({{block_basic, "run", 10, 100, pattern(100, 3)},
                           {block_code, "screen01", 0x4000, 0x8000,
                            pattern(6912, 5)}});
}

const char* const game_listing =
    "Basic      run       ,   100 byte(s), start line 10\n"
    "Code       screen01  ,  6912 byte(s), start address 0x4000\n";

// A tape that is not a regular file has no size to go by: it is read until
// it ends. A feeder process writes the tape into a pipe on standard input
// or into a FIFO, as `cat game.tap | quornax /dev/stdin` would.
struct stream_case {
    const char* what;
    names args;
    bool fifo;    // feed the FIFO t.tap; else a pipe on standard input
    bytes tape;
    std::string out;
    std::string err;
    names left;
    bytes image;  // of the image left, if any
    int status = 0;
};

void PrintTo(const stream_case& c, std::ostream* os) { *os << c.what; }

class stream_tape : public conversion,
                    public testing::WithParamInterface<stream_case> {};

void feed(const bytes& tape, bool fifo) {
    int ends[2] = {-1, -1};
    if (!fifo && pipe(ends) != 0) _exit(125);
    if (fork() == 0) {
        int to = fifo ? open("t.tap", O_WRONLY) : ends[1];
        bool whole = to >= 0 && write(to, tape.data(), tape.size()) ==
                                    static_cast<ssize_t>(tape.size());
        _exit(whole ? 0 : 1);
    }
    if (!fifo && (dup2(ends[0], 0) < 0 || close(ends[0]) || close(ends[1])))
        _exit(125);
}

TEST_P(stream_tape, IsReadUntilItEnds) {
    const stream_case& c = GetParam();
    if (c.fifo) {
        ASSERT_EQ(mkfifo(path("t.tap").c_str(), 0600), 0);
    }
    run_result r = run(c.args, [&c] { feed(c.tape, c.fifo); });
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(entries_of(dir), c.left);
    if (!c.image.empty()) {
        EXPECT_TRUE(read_file(path(c.left.back())) == c.image);
    }
}

bytes cut(bytes tape, size_t bytes_less) {
    tape.resize(tape.size() - bytes_less);
    return tape;
}

// The tape's blocks as standard speed blocks of a TZX tape.
bytes tzx_of(const bytes& tap) {
    bytes tzx = {'Z', 'X', 'T', 'a', 'p', 'e', '!', 0x1A, 1, 20};
    for (size_t at = 0; at < tap.size(); at += 2 + get_le16(&tap[at])) {
        tzx.insert(tzx.end(), {0x10, 0xE8, 0x03});
        tzx.insert(tzx.end(), tap.begin() + at,
                   tap.begin() + at + 2 + get_le16(&tap[at]));
    }
    return tzx;
}

INSTANTIATE_TEST_SUITE_P(
    table, stream_tape,
    testing::Values(
        stream_case{"a pipe", {"/dev/stdin"}, false, game_tape(), game_listing,
                    "", {"stdin.trd"}, game_image()},
        stream_case{"a FIFO", {"t.tap"}, true, game_tape(), game_listing, "",
                    {"t.tap", "t.trd"}, game_image()},
        stream_case{"a TZX tape from a pipe", {"/dev/stdin"}, false,
                    tzx_of(game_tape()), game_listing, "", {"stdin.trd"},
                    game_image()},
        stream_case{"a pipe that ends inside a block", {"/dev/stdin"}, false,
                    cut(game_tape(), 10),
                    "Basic      run       ,   100 byte(s), start line 10\n",
                    "/dev/stdin: TAP block is cut short by end of TAP file !\n",
                    {"stdin.trd"},
                    expected_image({{block_basic, "run", 10, 100,
                                     pattern(100, 3)}})},
        // Zeros are blocks of length 0: the first ends the tape at once.
        stream_case{"/dev/zero", {"/dev/zero"}, false, {}, "",
                    "/dev/zero: TAP header is too short !\n", {}, {}, 1},
        // A stream may never end: -k does not read on in one.
        stream_case{"-k: a pipe ends at its first bad block",
                    {"-k", "/dev/stdin"}, false,
                    join({game_tape(), bad_data, game_tape()}), game_listing,
                    "/dev/stdin: bad checksum of TAP data block !\n",
                    {"stdin.trd"}, game_image()}));

// An earlier file of the image name is replaced by a new one with its
// permission bits; one with a second name is written in place, so that
// both names see the new image.
TEST_F(conversion, ExistingFileOfTheImageNameIsReplaced) {
    write_file(path("game.tap"), game_tape());
    write_file(path("game.trd"), bytes(700000, 0xEE));
    ASSERT_EQ(chmod(path("game.trd").c_str(), 0604), 0);
    write_file(path("linked.tap"), game_tape());
    write_file(path("linked.trd"), bytes(700000, 0xEE));
    ASSERT_EQ(link(path("linked.trd").c_str(), path("second").c_str()), 0);
    run_result r = run({"game.tap", "linked.tap"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(read_file(path("game.trd")) == game_image());
    EXPECT_TRUE(read_file(path("second")) == game_image());
    struct stat status;
    ASSERT_EQ(stat(path("game.trd").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0604u);
    EXPECT_EQ(entries_of(dir), (names{"game.tap", "game.trd", "linked.tap",
                                      "linked.trd", "second"}));
}

// Names are raw tape bytes: on a terminal their control bytes show as '?',
// one for one, in the listing and in messages, each by its own stream.
TEST_F(conversion, ControlBytesOfNamesNeverReachATerminal) {
    const std::string name = "\x1b[2J\a \x7f\x85\x9f\xa0";
    write_file(path("t.tap"), join({header_block(3, name, 5, 0, 0),
                                    data_block(pattern(6)),
                                    code_pair(name, pattern(5), 0)}));
    auto said = [](const std::string& shown) {
        return "V TAP souboru t.tap za hlavickou " + shown +
               " nasleduje blok s jinou delkou,\nnez deklaruje hlavicka ! "
               "Hlavicka i blok budou ignorovany !\n";
    };
    const std::string shown = "?[2J? ???\xa0";
    for (bool both : {true, false}) {
        int terminal = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(terminal, 0);
        ASSERT_EQ(grantpt(terminal), 0);
        ASSERT_EQ(unlockpt(terminal), 0);
        std::string side = ptsname(terminal);
        run_result r = run({"t.tap"}, [side, both] {
            int fd = open(side.c_str(), O_RDWR | O_NOCTTY);
            dup2(fd, 1);
            if (both) dup2(fd, 2);
        });
        EXPECT_EQ(r.status, 0);
        std::string seen;
        char chunk[1024];
        for (ssize_t got; (got = read(terminal, chunk, sizeof chunk)) > 0;)
            seen.append(chunk, static_cast<size_t>(got));
        close(terminal);
        std::erase(seen, '\r');
        EXPECT_EQ(seen, (both ? said(shown) : "") + "Code       " + shown +
                            ",     5 byte(s), start address 0x0000\n");
        EXPECT_EQ(r.err, both ? "" : said(name));
    }
}

// Both give game.trd in the working directory: the later tape's image wins.
TEST_F(conversion, SameBaseNameTwiceLaterTapeWins) {
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
// the last slash. Whatever the name, the image is the golden one.
struct landing_case {
    const char* what;
    std::string tap;
    std::string image;
};

void PrintTo(const landing_case& c, std::ostream* os) { *os << c.what; }

class image_landing : public conversion,
                      public testing::WithParamInterface<landing_case> {};

TEST_P(image_landing, GoldenImageInTheWorkingDirectory) {
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
    bytes image = read_file(path(c.image));
    EXPECT_TRUE(image == game_image())
        << "first difference at " << first_difference(image, game_image());
}

const std::string long_part(200, 'n');

INSTANTIATE_TEST_SUITE_P(
    table, image_landing,
    testing::Values(
        landing_case{"plain name", "game.tap", "game.trd"},
        landing_case{"directories dropped", "tapes/old/game.tap", "game.trd"},
        landing_case{"ending in capitals", "GAME.TAP", "GAME.trd"},
        landing_case{"backslash in a file name", "tapes\\game.tap", "game.trd"},
        landing_case{"backslash decides, the slash stays", "a\\b/game.tap",
                     "b/game.trd"},
        // Longer than a file name may be, shorter than a path: never cut.
        landing_case{"410-character image name",
                     "x\\" + long_part + "/" + long_part + "/game.tap",
                     long_part + "/" + long_part + "/game.trd"}));

}  // namespace
