// Tapes made by other programs than ours: zmakebas (Basic from text) and
// pasmo (assembled code, alone or behind a Basic loader of its own).
// tools/make-real-tapes remakes them from the sources in tests/data/real.
//
// Each is converted end to end, and its image is checked against the tape
// itself, read here by a parser of the test's own: one catalogue entry per
// block pair, each file where the one before it ends, the trailers, and the
// data bytes equal to the tape's payloads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "disk_layout.h"
#include "run_program.h"
#include "tap_builder.h"

using namespace quornax_test;

namespace {


struct tape_pair {
    uint8_t type;
    std::string name;  // the 10 bytes of the header
    uint16_t length, param1, param2;
    bytes payload;
};

// Every block of these tapes is a header followed by its data block.
testing::AssertionResult read_pairs(const bytes& tape,
                                    std::vector<tape_pair>* pairs) {
    std::vector<bytes> blocks;
    for (size_t at = 0; at < tape.size();) {
        if (at + 2 > tape.size())
            return testing::AssertionFailure() << "stray byte";
        size_t length = le16_at(tape, at);
        if (length < 2 || at + 2 + length > tape.size())
            return testing::AssertionFailure()
                   << "block at " << at << " cut short";
        bytes block(tape.begin() + at + 2, tape.begin() + at + 2 + length);
        uint8_t sum = 0;
        for (uint8_t byte : block) sum ^= byte;
        if (sum != 0)
            return testing::AssertionFailure() << "checksum at " << at;
        blocks.push_back(block);
        at += 2 + length;
    }
    for (size_t i = 0; i + 1 < blocks.size(); i += 2) {
        const bytes& h = blocks[i];
        const bytes& d = blocks[i + 1];
        if (h.size() != 19 || h[0] != 0x00 || d[0] != 0xFF)
            return testing::AssertionFailure()
                   << "block " << i << " is no header pair";
        tape_pair p{h[1],
                    std::string(h.begin() + 2, h.begin() + 12),
                    static_cast<uint16_t>(le16_at(h, 12)),
                    static_cast<uint16_t>(le16_at(h, 14)),
                    static_cast<uint16_t>(le16_at(h, 16)),
                    bytes(d.begin() + 1, d.end() - 1)};
        if (p.payload.size() != p.length)
            return testing::AssertionFailure()
                   << "block " << i + 1 << " length";
        pairs->push_back(p);
    }
    if (blocks.size() % 2 != 0)
        return testing::AssertionFailure() << "odd block count";
    return testing::AssertionSuccess();
}

constexpr char type_letters[] = "BDDC";

bytes expected_entry(const tape_pair& p, int sectors, int position) {
    bytes entry(p.name.begin(), p.name.begin() + 8);
    entry.push_back(static_cast<uint8_t>(type_letters[p.type]));
    int first = p.type == 3 ? p.param1 : p.type == 0 ? p.length : 0;
    int second = p.type == 0 ? p.param2 : p.length;
    for (int value : {first, second}) {
        entry.push_back(static_cast<uint8_t>(value & 0xFF));
        entry.push_back(static_cast<uint8_t>(value >> 8));
    }
    entry.push_back(static_cast<uint8_t>(sectors));
    entry.push_back(static_cast<uint8_t>(position % 16));
    entry.push_back(static_cast<uint8_t>(position / 16));
    return entry;
}

// What file i holds on the disk: payload, trailer, zero fill.
bytes expected_file(const tape_pair& p, int sectors) {
    bytes file = p.payload;
    if (p.type == 0) {
        file.insert(file.end(),
                    {0x80, 0xAA, static_cast<uint8_t>(p.param1 & 0xFF),
                     static_cast<uint8_t>(p.param1 >> 8)});
    }
    file.resize(sectors * sector_bytes, 0);
    return file;
}

// The whole image these pairs must give.
bytes expected_image(const std::vector<tape_pair>& pairs) {
    bytes disk(disk_bytes, 0);
    int position = first_data_sector;
    for (size_t i = 0; i < pairs.size(); ++i) {
        const tape_pair& p = pairs[i];
        size_t stored = p.length + (p.type == 3 ? 0 : 4);
        int sectors =
            static_cast<int>((stored + sector_bytes - 1) / sector_bytes);
        bytes entry = expected_entry(p, sectors, position);
        std::copy(entry.begin(), entry.end(), disk.begin() + i * 16);
        bytes file = expected_file(p, sectors);
        std::copy(file.begin(), file.end(),
                  disk.begin() + position * sector_bytes);
        position += sectors;
    }
    int free = data_sector_total - (position - first_data_sector);
    uint8_t* info = disk.data() + info_at;
    info[0xE1] = static_cast<uint8_t>(position % 16);
    info[0xE2] = static_cast<uint8_t>(position / 16);
    info[0xE3] = 0x16;
    info[0xE4] = static_cast<uint8_t>(pairs.size());
    info[0xE5] = static_cast<uint8_t>(free & 0xFF);
    info[0xE6] = static_cast<uint8_t>(free >> 8);
    info[0xE7] = 0x10;
    std::fill(info + 0xEB, info + 0xF4, ' ');
    std::string label = "QUORNAX ";
    std::copy(label.begin(), label.end(), info + 0xF5);
    return disk;
}

// The first byte where two images differ, with its place on the disk.
std::string first_difference(const bytes& got, const bytes& want) {
    auto where = std::mismatch(got.begin(), got.end(), want.begin());
    size_t at = static_cast<size_t>(where.first - got.begin());
    if (at == got.size()) return "none";
    return "offset " + std::to_string(at) + " (track " +
           std::to_string(at / 4096) + ", sector " +
           std::to_string(at / 256 % 16) + "): " + std::to_string(got[at]) +
           " instead of " + std::to_string(want[at]);
}

struct real_tape {
    const char* file;
    const char* made_by;
    std::string listing;
    bytes info;  // first free sector and track, disk type, files, free sectors
};

void PrintTo(const real_tape& t, std::ostream* os) {
    *os << t.file << " (" << t.made_by << ")";
}

const real_tape real_tapes[] = {
    // 385 bytes and the trailer take 2 sectors.
    {"hello.tap",
     "zmakebas -n hello, no autostart",
     "Basic      hello     ,   385 byte(s)\n",
     {2, 1, 0x16, 1, 0xEE, 0x09}},
    {"loader.tap",
     "zmakebas -a 10 -n loader",
     "Basic      loader    ,    86 byte(s), start line 10\n",
     {1, 1, 0x16, 1, 0xEF, 0x09}},
    // pasmo names a block after the file it writes: ".tap" and all.
    {"screen.tap",
     "pasmo --tap, a screen at 16384",
     "Code       screen.tap,  6912 byte(s), start address 0x4000\n",
     {11, 2, 0x16, 1, 0xD5, 0x09}},
    {"code.tap",
     "pasmo --tap",
     "Code       code.tap  ,    33 byte(s), start address 0x8000\n",
     {1, 1, 0x16, 1, 0xEF, 0x09}},
    {"codebas.tap",
     "pasmo --tapbas",
     "Basic      loader    ,    71 byte(s), start line 10\n"
     "Code       codebas.ta,    33 byte(s), start address 0x8000\n",
     {2, 1, 0x16, 2, 0xEE, 0x09}},
    // 1 + 27 + 1 sectors.
    {"game.tap",
     "the three joined",
     "Basic      loader    ,    86 byte(s), start line 10\n"
     "Code       screen.tap,  6912 byte(s), start address 0x4000\n"
     "Code       code.tap  ,    33 byte(s), start address 0x8000\n",
     {13, 2, 0x16, 3, 0xD3, 0x09}}};

class real_tapes_test : public temp_dir_test,
                        public testing::WithParamInterface<real_tape> {};

TEST_P(real_tapes_test, ConvertsToTheTapesOwnBytes) {
    const real_tape& t = GetParam();
    bytes tape = read_file(std::string(QUORNAX_SOURCE_DIR) +
                           "/tests/data/real/" + t.file);
    ASSERT_FALSE(tape.empty()) << t.file << " is missing";
    std::vector<tape_pair> pairs;
    ASSERT_TRUE(read_pairs(tape, &pairs));
    write_file(path(t.file), tape);

    run_result r = run({t.file});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, t.listing);
    std::string image =
        std::string(t.file, std::string(t.file).size() - 3) + "trd";
    EXPECT_EQ(entries_of(dir), (std::vector<std::string>{t.file, image}));
    bytes disk = read_file(path(image));
    ASSERT_EQ(disk.size(), disk_bytes);
    EXPECT_EQ(
        bytes(disk.begin() + info_at + 0xE1, disk.begin() + info_at + 0xE7),
        t.info);
    bytes want = expected_image(pairs);
    EXPECT_TRUE(disk == want)
        << "first difference at " << first_difference(disk, want);
}

INSTANTIATE_TEST_SUITE_P(made_by_other_tools, real_tapes_test,
                         testing::ValuesIn(real_tapes));

// All of them on one command line: one image each, in the order given.
class real_tapes_together : public temp_dir_test {};

TEST_F(real_tapes_together, OneRunOneImageEach) {
    std::vector<std::string> names;
    std::string listing;
    for (const real_tape& t : real_tapes) {
        write_file(path(t.file), read_file(std::string(QUORNAX_SOURCE_DIR) +
                                           "/tests/data/real/" + t.file));
        names.push_back(t.file);
        listing += t.listing;
    }
    run_result r = run(names);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, listing);
    EXPECT_EQ(entries_of(dir).size(), 2 * names.size());
    EXPECT_TRUE(staging_files_in(dir).empty());
}

}  // namespace
