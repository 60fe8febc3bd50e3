// Tapes made by other programs than ours: zmakebas (Basic from text) and
// pasmo (assembled code, alone or behind a Basic loader of its own), and
// the sample tape our own script makes. tools/make-real-tapes remakes the
// first from the sources in tests/data/real.
//
// Each is converted end to end, and its image is checked against the one
// laid out from the tape's own blocks, read here by a parser of the test's
// own: catalogue, info sector, trailers and payloads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "support/disk_image.h"
#include "support/fixture.h"
#include "support/tap_builder.h"

using namespace quornax;
using namespace quornax_test;

namespace {

struct real_tape {
    const char* file;  // below the top folder of the repository
    const char* made_by;
    std::string listing;
    bytes info;  // first free sector and track, disk type, files, free sectors
};

std::string base_name(const char* file) {
    std::string name = file;
    return name.substr(name.rfind('/') + 1);
}

bytes tape_of(const real_tape& t) {
    return read_file(std::string(QUORNAX_SOURCE_DIR) + "/" + t.file);
}

void PrintTo(const real_tape& t, std::ostream* os) {
    *os << base_name(t.file) << " (" << t.made_by << ")";
}

const real_tape real_tapes[] = {
    // 385 bytes and the trailer take 2 sectors.
    {"tests/data/real/hello.tap",
     "zmakebas -n hello, no autostart",
     "Basic      hello     ,   385 byte(s)\n",
     {2, 1, 0x16, 1, 0xEE, 0x09}},
    {"tests/data/real/loader.tap",
     "zmakebas -a 10 -n loader",
     "Basic      loader    ,    86 byte(s), start line 10\n",
     {1, 1, 0x16, 1, 0xEF, 0x09}},
    // pasmo names a block after the file it writes: ".tap" and all.
    {"tests/data/real/screen.tap",
     "pasmo --tap, a screen at 16384",
     "Code       screen.tap,  6912 byte(s), start address 0x4000\n",
     {11, 2, 0x16, 1, 0xD5, 0x09}},
    {"tests/data/real/code.tap",
     "pasmo --tap",
     "Code       code.tap  ,    33 byte(s), start address 0x8000\n",
     {1, 1, 0x16, 1, 0xEF, 0x09}},
    {"tests/data/real/codebas.tap",
     "pasmo --tapbas",
     "Basic      loader    ,    71 byte(s), start line 10\n"
     "Code       codebas.ta,    33 byte(s), start address 0x8000\n",
     {2, 1, 0x16, 2, 0xEE, 0x09}},
    // 1 + 27 + 1 sectors.
    {"tests/data/real/game.tap",
     "the three joined",
     "Basic      loader    ,    86 byte(s), start line 10\n"
     "Code       screen.tap,  6912 byte(s), start address 0x4000\n"
     "Code       code.tap  ,    33 byte(s), start address 0x8000\n",
     {13, 2, 0x16, 3, 0xD3, 0x09}},
    // An array, and a headerless block at the end.
    {"examples/demo.tap",
     "examples/make_demo_tape.py",
     "Basic      demo      ,    40 byte(s), start line 10\n"
     "Code       screen    ,  6912 byte(s), start address 0x4000\n"
     "Code       border    ,     5 byte(s), start address 0x8000\n"
     "Array A[]  table     ,    28 byte(s)\n"
     "Code       code01    ,   300 byte(s), start address 0x0000\n",
     {0, 3, 0x16, 5, 0xD0, 0x09}}};

class real_tapes_test : public temp_dir_test,
                        public testing::WithParamInterface<real_tape> {};

TEST_P(real_tapes_test, ConvertsToTheTapesOwnBytes) {
    const real_tape& t = GetParam();
    std::string name = base_name(t.file);
    bytes tape = tape_of(t);
    ASSERT_FALSE(tape.empty()) << t.file << " is missing";
    std::vector<disk_file> files;
    ASSERT_TRUE(tape_files(tape, &files));
    write_file(path(name), tape);

    run_result r = run({name});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, t.listing);
    std::string image = name.substr(0, name.size() - 3) + "trd";
    EXPECT_EQ(entries_of(dir), (names{name, image}));
    bytes disk = read_file(path(image));
    ASSERT_EQ(disk.size(), image_size);
    EXPECT_EQ(slice(disk, info_sector_offset + info_first_free_sector, t.info.size()),
              t.info);
    bytes want = expected_image(files);
    EXPECT_TRUE(disk == want)
        << "first difference at " << first_difference(disk, want);
}

INSTANTIATE_TEST_SUITE_P(made_by_tools, real_tapes_test,
                         testing::ValuesIn(real_tapes));

// All of them on one command line: one image each, in the order given.
class real_tapes_together : public temp_dir_test {};

TEST_F(real_tapes_together, OneRunOneImageEach) {
    names tapes;
    std::string listing;
    for (const real_tape& t : real_tapes) {
        tapes.push_back(base_name(t.file));
        write_file(path(tapes.back()), tape_of(t));
        listing += t.listing;
    }
    run_result r = run(tapes);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, listing);
    EXPECT_EQ(entries_of(dir).size(), 2 * tapes.size());
    EXPECT_TRUE(staging_files_in(dir).empty());
}

// Loaders as games have them (tools/make-real-tapes), given --boot: the
// boot as Debian's listbasic lists it, or why there is none.
struct boot_case {
    const char* tape;  // below tests/data/real
    std::string listing;  // of the boot; empty: the loader's own
    std::string refusal;
    uint16_t autostart = 10;
    size_t variables = 0;  // bytes kept behind the lines
};

void PrintTo(const boot_case& c, std::ostream* os) { *os << c.tape; }

const std::string via_trdos = "RANDOMIZE USR 15619: REM : LOAD ";
const boot_case boot_cases[] = {
    // What moves off a load's line keeps the line's number; 24845 hides 0Dh.
    {"boot/colours.tap",
     "   10 BORDER 0: PAPER 0: INK 0: CLEAR 24845: " + via_trdos +
         "\"screen.t\"CODE 16384,6912\n   10 POKE 23739,111: " + via_trdos +
         "\"code.tap\"CODE \n   10 RANDOMIZE USR 32768\n"},
    {"boot/named.tap",
     "   10 CLEAR 32767\n   20 " + via_trdos + "\"intro\"CODE \n   30 " +
         via_trdos + "\"screen.t\"CODE 40000\n   30 " + via_trdos +
         "\"code.tap\"CODE 32768,33\n   40 RANDOMIZE USR 32768\n"},
    {"boot/data.tap", "   10 " + via_trdos + "\"a\" DATA a()\n   10 " +
                          via_trdos + "\"n\" DATA n$()\n   20 PRINT a(1);n$(1)\n"},
    // The digits say 0, the number Basic uses 32768; a variable is saved.
    {"boot/faked.tap", "   10 CLEAR 0: " + via_trdos + "\"code.tap\"CODE 32768\n"
     "   20 RANDOMIZE USR 0\n   30 RANDOMIZE USR VAL \"32768\"\n", "", 10, 6},
    // A loop before the loads, and a subroutine that comes straight back.
    {"boot/wait.tap",
     "   10 PRINT \"press a key\": PAUSE 0: IF INKEY$=\"\" THEN GO TO 10\n"
     "   20 GO SUB 100: " + via_trdos + "\"code.tap\"CODE \n"
     "   30 RANDOMIZE USR 32768\n  100 CLS : RETURN \n"},
    {"hello.tap", "", "", 0},  // no loads, no autostart
    {"boot/basic.tap", "   10 " + via_trdos + "\"hello\"\n"},
    {"boot/bootname.tap", "", "the tape already has a Basic file named boot"},
    {"boot/chain.tap", "", "a program the loader loads holds load statements of its own"},
    {"boot/computed.tap", "", "a load statement's name, address or length is computed"},
    {"boot/gosub.tap", "", "the statements after a load on its line hold FOR, NEXT, GO SUB or RETURN"},
    {"boot/ifload.tap", "", "a load statement follows IF ... THEN on its line"},
    {"boot/loop.tap", "", "a jump or a loop may run a load statement twice or pass it by"},
    {"boot/goback.tap", "", "a jump or a loop may run a load statement twice or pass it by"},
    {"boot/more.tap", "", "the loader's machine code loads the rest of the tape"},
    {"boot/remcode.tap", "", "the loader calls machine code inside the Basic program, which TR-DOS moves"},
    {"boot/twice.tap", "", "a load would name a file that an earlier file of the same name and type hides"},
    {"boot/verify.tap", "", "the loader uses MERGE or VERIFY"},
    {"loader.tap", "", "a load statement finds no file on the tape"},
    {"game-checksum.tap", "", "part of the tape was dropped or passed over"},
    {"code.tap", "", "the tape's first file is not a Basic program"}};

std::string listbasic(const std::string& tape) {
    std::string text, command = "listbasic '" + tape + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    for (int c; pipe != nullptr && (c = std::fgetc(pipe)) != EOF;) text += char(c);
    if (pipe != nullptr) pclose(pipe);
    return text;
}

// TR-DOS takes a load as "RANDOMIZE USR 15619:", the number with its
// hidden form, then "REM : LOAD" to the end of the line, with no hidden
// form in its numbers; each line's length must lead to the next.
void expect_trdos_loads(const bytes& boot, size_t program_length) {
    const bytes entry = {0xF9, 0xC0, '1', '5', '6', '1', '9', 0x0E, 0, 0,
                         0x03, 0x3D, 0, ':', 0xEA, ':', 0xEF};
    size_t at = 0;
    while (at + 4 <= program_length) {
        auto text = boot.begin() + at + 4;
        auto end = text + (boot[at + 2] | boot[at + 3] << 8);
        ASSERT_LE(size_t(end - boot.begin()), program_length);
        ASSERT_EQ(end[-1], 0x0D);
        auto rem = std::search(text, end, entry.end() - 3, entry.end());
        if (rem != end) {
            ASSERT_GE(rem - text, 14);
            EXPECT_TRUE(std::equal(entry.begin(), entry.end(), rem - 14));
            EXPECT_EQ(std::find(rem, end, 0x0E), end);
        }
        at = end - boot.begin();
    }
    EXPECT_EQ(at, program_length);
}

class boot_test : public temp_dir_test,
                  public testing::WithParamInterface<boot_case> {};

TEST_P(boot_test, ListsAsTheLoaderLoadingFromDisk) {
    const boot_case& c = GetParam();
    std::string tape = std::string(QUORNAX_SOURCE_DIR) + "/tests/data/real/" + c.tape;
    run_result r = run({"--boot", tape});
    EXPECT_EQ(r.status, 0);
    std::string image = base_name(c.tape).substr(0, base_name(c.tape).size() - 3) + "trd";
    bytes disk = read_file(path(image));
    ASSERT_EQ(disk.size(), image_size);
    int files = disk[info_sector_offset + info_file_count];
    const uint8_t* entry = &disk[(files - 1) * catalogue_entry_size];
    bool made = std::equal(entry, entry + 9, "boot    B");
    if (!c.refusal.empty()) {
        EXPECT_FALSE(made);
        EXPECT_TRUE(r.err.ends_with(tape + ": no boot file: " + c.refusal + " !\n")) << r.err;
        return;
    }
    ASSERT_TRUE(made) << r.err;
    EXPECT_EQ(r.err, "");
    size_t length = entry[9] | entry[10] << 8;
    size_t at = (entry[15] * sectors_per_track + entry[14]) * sector_size;
    bytes boot = slice(disk, at, length);
    char line[64];
    std::snprintf(line, sizeof line, "Basic      boot      , %5zu byte(s)%s\n",
                  length, c.autostart ? ", start line 10" : "");
    EXPECT_TRUE(r.out.ends_with(line)) << r.out;
    EXPECT_EQ(slice(disk, at + length, 4), (bytes{0x80, 0xAA, uint8_t(c.autostart), 0}));
    size_t program_length = entry[11] | entry[12] << 8;
    EXPECT_EQ(length - program_length, c.variables);
    expect_trdos_loads(boot, program_length);
    write_file(path("boot.tap"), join({header_block(0, "boot", length, 0, program_length),
                                       data_block(boot)}));
    EXPECT_EQ(listbasic(path("boot.tap")), c.listing.empty() ? listbasic(tape) : c.listing);
}

INSTANTIATE_TEST_SUITE_P(loaders, boot_test, testing::ValuesIn(boot_cases));

// TZX tapes beside the TAP that tapeconv writes of each, or ours where it
// refuses one or is wrong (tools/make-tzx-tapes): the TZX converts as its
// TAP does, with the .tzx name in its messages, and its own errors after.
struct tzx_case {
    const char* name;
    const char* more_err = "";
    int status = 0;
};

void PrintTo(const tzx_case& c, std::ostream* os) { *os << c.name; }

const char no_rom_data[] =
    "game.tzx: no data blocks in ROM form on this TZX tape !\n";

class tzx_tapes : public temp_dir_test,
                  public testing::WithParamInterface<tzx_case> {};

std::string tzx_named(std::string text) {
    for (size_t at = 0; (at = text.find("game.tap", at)) != std::string::npos;)
        text.replace(at, 8, "game.tzx");
    return text;
}

TEST_P(tzx_tapes, ConvertAsTheirTaps) {
    const tzx_case& c = GetParam();
    std::string data = std::string(QUORNAX_SOURCE_DIR) + "/tests/data/tzx/";
    write_file(path("game.tap"), read_file(data + c.name + ".tap"));
    write_file(path("game.tzx"), read_file(data + c.name + ".tzx"));
    run_result tap = run({"game.tap"});
    bool image = entries_of(dir).size() == 3;
    bytes tap_image = image ? read_file(path("game.trd")) : bytes{};
    std::remove(path("game.trd").c_str());
    run_result tzx = run({"game.tzx"});
    EXPECT_EQ(tzx.out, tap.out);
    EXPECT_EQ(tzx.err, tzx_named(tap.err) + c.more_err);
    EXPECT_EQ(tzx.status, c.status);
    EXPECT_EQ(entries_of(dir).size(), image ? 3u : 2u);
    if (image) EXPECT_TRUE(read_file(path("game.trd")) == tap_image);
}

INSTANTIATE_TEST_SUITE_P(
    differential, tzx_tapes,
    testing::Values(
        tzx_case{"game"}, tzx_case{"demo"}, tzx_case{"turbo"},
        tzx_case{"pure"}, tzx_case{"pure_two"}, tzx_case{"info"},
        tzx_case{"control"}, tzx_case{"loops"}, tzx_case{"generalized"},
        tzx_case{"glue"}, tzx_case{"headerless"}, tzx_case{"direct"},
        // The longest block a TAP holds; the disk has no room for it.
        tzx_case{"longest", "", 1},
        tzx_case{"empty_blocks"}, tzx_case{"passed_over"},
        tzx_case{"texts_only"}, tzx_case{"header_only"},
        tzx_case{"recorded_15", no_rom_data, 1},
        tzx_case{"recorded_18", no_rom_data, 1},
        tzx_case{"recorded_19", no_rom_data, 1},
        tzx_case{"cut", "game.tzx: TZX block is cut short by end of TZX file !\n"},
        tzx_case{"header_cut",
                 "game.tzx: TZX header is cut short by end of TZX file !\n", 1},
        tzx_case{"long", "game.tzx: TZX data block is longer than 65535 bytes !\n"}));

}  // namespace
