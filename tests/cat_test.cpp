// quornax-cat end to end: images of ours, images of another TR-DOS writer
// (tools/make-trd-images, with scl2trd), damaged images and files that are
// no image at all. Each row states the whole output and the exit status.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>

#include "support/disk_image.h"
#include "support/fixture.h"

using namespace quornax;
using namespace quornax_test;
using namespace std::string_literals;  // names may hold NUL

namespace {

bytes committed(const std::string& file) {
    return read_file(std::string(QUORNAX_SOURCE_DIR) + "/" + file);
}

// Ours, as the tests' own image builder lays them out (real_tapes_test
// holds quornax's images to it byte for byte).
bytes ours(const std::string& tape) {
    std::vector<disk_file> files;
    EXPECT_TRUE(tape_files(committed(tape), &files));
    return expected_image(files);
}

// A copy of image changed at some offsets and cut to size bytes.
bytes damaged(bytes image, const std::map<size_t, uint8_t>& changes,
              size_t size) {
    for (const auto& [at, value] : changes) image[at] = value;
    image.resize(size);
    return image;
}

bytes whole_disk(bytes image) {
    image.resize(image_size);
    return image;
}

constexpr size_t info = info_sector_offset;
constexpr size_t entry3 = 2 * catalogue_entry_size;
constexpr size_t entry5 = 4 * catalogue_entry_size;

const std::string head =
    " No  Name      Type  Start  Length  Sectors  Trk:Sec  Load with\n";
const std::string scl2trd_files =
    "  1  boot      B        10       9        1    1:0    RUN (boot)\n"
    "  2  screen    C     16384    6912       27    1:1    LOAD \"screen\" CODE\n"
    "  3  names     D      n$()      20        1    2:12   LOAD \"names\" DATA n$()\n"
    "  4  levelone  C     32768     500        2    2:13   LOAD \"levelone\" CODE\n"
    "  5  levelone  C     40000     300        2    2:15   LOAD \"levelone\" CODE\n"
    "  6  menu      B         -       9        1    3:1    RUN \"menu\"\n"
    "warning: files 4 and 5 are both \"levelone\" C: TR-DOS reaches only file 4\n";
const std::string deleted_listing =
    "deleted.trd: disk \"Fuse    \", 2 files and 1 deleted, 2536 of 2544 sectors free\n" +
    head +
    "  1  run       B         1       9        1    1:0    RUN \"run\"\n"
    "  2  ?ld       C     32768     600        3    1:1    (deleted)\n"
    "  3  game      C     24576    1000        4    1:4    LOAD \"game\" CODE\n"
    "warning: the disk information counts 0 deleted files, the catalogue 1\n"
    "warning: file 2 is deleted; its 3 sectors are not free\n";

struct cat_case {
    const char* what;
    std::map<std::string, bytes> files;  // written to the test directory
    std::function<void()> prepare;       // then run there
    names args;
    int status = 0;
    std::string out;
    std::string err;
};

void PrintTo(const cat_case& c, std::ostream* os) { *os << c.what; }

class cat : public temp_dir_test, public testing::WithParamInterface<cat_case> {};

TEST_P(cat, ListsTheCatalogue) {
    const cat_case& c = GetParam();
    for (const auto& [name, content] : c.files) write_file(path(name), content);
    if (c.prepare) c.prepare();
    // A run that waits (on a FIFO, say) ends as a failure, not a hang.
    child_setup setup{dir + ".stdout", dir + ".stderr", [] { alarm(20); },
                      QUORNAX_CAT_BINARY};
    run_result r = wait_for(spawn(dir, c.args, setup), setup);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
}

const cat_case cat_cases[] = {
    {.what = "ours: the sample tape's image",
     .files = {{"demo.trd", ours("examples/demo.tap")}},
     .args = {"demo.trd"},
     .out = "demo.trd: disk \"QUORNAX \", 5 files, 2512 of 2544 sectors free\n" + head +
            "  1  demo      B        10      40        1    1:0    RUN \"demo\"\n"
            "  2  screen    C     16384    6912       27    1:1    LOAD \"screen\" CODE\n"
            "  3  border    C     32768       5        1    2:12   LOAD \"border\" CODE\n"
            "  4  table     D       a()      28        1    2:13   LOAD \"table\" DATA a()\n"
            "  5  code01    C         0     300        2    2:14   LOAD \"code01\" CODE address\n"},
    // A file may end on the disk's very last sector; one file is one. A
    // disk formatted past its type's tracks ends with its image.
    {.what = "ours, moved: one file on the last sector, of 160 and of 163 tracks",
     .files = {{"last.trd",
                damaged(expected_image({{3, "last", 32768, 32768, pattern(10)}}),
                        {{entry_first_sector, 15}, {entry_first_track, 159}},
                        image_size)},
               {"long.trd",
                damaged(expected_image({{3, "last", 32768, 32768, pattern(10)}}),
                        {{entry_first_sector, 15}, {entry_first_track, 162}},
                        163 * track_size)}},
     .args = {"last.trd", "long.trd"},
     .out = "last.trd: disk \"QUORNAX \", 1 file, 2543 of 2544 sectors free\n" + head +
            "  1  last      C     32768      10        1  159:15   LOAD \"last\" CODE\n\n"
            "long.trd: disk \"QUORNAX \", 1 file, 2543 of 2544 sectors free "
            "(163 tracks in the image)\n" + head +
            "  1  last      C     32768      10        1  162:15   LOAD \"last\" CODE\n"},
    // The tape names levelone_1 and levelone_2 both become levelone.
    {.what = "ours: two tape files of one name on the disk",
     .files = {{"levels.trd",
                expected_image({{3, "levelone_1", 32768, 32768, pattern(300)},
                                {3, "levelone_2", 32768, 32768, pattern(10)}})}},
     .args = {"levels.trd"},
     .out = "levels.trd: disk \"QUORNAX \", 2 files, 2541 of 2544 sectors free\n" + head +
            "  1  levelone  C     32768     300        2    1:0    LOAD \"levelone\" CODE\n"
            "  2  levelone  C     32768      10        1    1:2    LOAD \"levelone\" CODE\n"
            "warning: files 1 and 2 are both \"levelone\" C: TR-DOS reaches only file 1\n"},
    {.what = "scl2trd: a whole disk, and the same cut to its used tracks",
     .files = {{"whole.trd", whole_disk(committed("tests/data/trd/scl2trd.trd"))},
               {"cut.trd", committed("tests/data/trd/scl2trd.trd")}},
     .args = {"whole.trd", "cut.trd"},
     .out = "whole.trd: disk \"Fuse    \", 6 files, 2510 of 2544 sectors free\n" +
            head + scl2trd_files + "\n" +
            "cut.trd: disk \"Fuse    \", 6 files, 2510 of 2544 sectors free\n" +
            head + scl2trd_files},
    // A loader and its code share a name but not a type: no twins. Titles
    // are often at 0:0, a place they do not use.
    {.what = "scl2trd: a boot file, a title, a type of another tool's",
     .files = {{"disk.trd", damaged(committed("tests/data/trd/disk.trd"),
                                    {{16 + entry_first_track, 0}, {16 + entry_first_sector, 0}},
                                    2 * track_size)}},
     .args = {"disk.trd"},
     .out = "disk.trd: disk \"Fuse    \", 6 files, 2529 of 2544 sectors free\n" + head +
            "  1  boot      B        10       9        1    1:0    RUN (boot)\n"
            "  2  ---Demos  !         0       0        0    0:0    (title)\n"
            "  3  game      B        10       9        1    1:1    RUN \"game\"\n"
            "  4  game      C     24576    1000        4    1:2    LOAD \"game\" CODE\n"
            "  5  intro     B         ?       9        1    1:6    RUN \"intro\"\n"
            "  6  music     M     49152    2000        8    1:7    -\n"
            "note: ? = no autostart line stored behind the program\n"},
    {.what = "scl2trd: a deleted entry",
     .files = {{"deleted.trd", committed("tests/data/trd/deleted.trd")}},
     .args = {"deleted.trd"},
     .out = deleted_listing},
    // Track 200 is off any disk; file 5 ends at byte 12288, past the cut.
    {.what = "damaged: disk type, counts and places that do not fit",
     .files = {{"bad.trd",
                damaged(ours("examples/demo.tap"),
                        {{info + info_disk_type, 0x17},
                         {info + info_file_count, 7},
                         {entry3 + entry_first_track, 200}},
                        12000)}},
     .args = {"bad.trd"},
     .out = "bad.trd: disk \"QUORNAX \", 5 files, 2512 of 1264 sectors free "
            "(40 tracks x 2 sides)\n" + head +
            "  1  demo      B        10      40        1    1:0    RUN \"demo\"\n"
            "  2  screen    C     16384    6912       27    1:1    LOAD \"screen\" CODE\n"
            "  3  border    C     32768       5        1  200:12   LOAD \"border\" CODE\n"
            "  4  table     D       a()      28        1    2:13   LOAD \"table\" DATA a()\n"
            "  5  code01    C         0     300        2    2:14   LOAD \"code01\" CODE address\n"
            "warning: the info sector counts 7 files, the catalogue holds 5\n"
            "warning: the free space does not fit the disk of 1280 sectors: 2512 from 3:0\n"
            "warning: file 3 does not fit the disk (0:9 to 79:15): 1 sector at 200:12\n"
            "warning: file 5 ends past the image's 12000 bytes: its data are missing\n"},
    // Names are their 8 bytes; a trailer may fill its sector to the end
    // (autostart 0: none); track 0 behind the info sector holds files too;
    // nothing after the catalogue's end mark is listed.
    {.what = "damaged: stored bytes, track 0, the catalogue's end",
     .files = {{"names.trd",
                damaged(expected_image({{0, "prog", 0, 252, pattern(252)},
                                        {3, "GXLEVEL", 32768, 32768, pattern(10)},
                                        {3, "\"say", 32768, 32768, pattern(10)},
                                        {3, "intrack0", 32768, 32768, pattern(10)},
                                        {3, "over", 32768, 32768, pattern(10)},
                                        {3, "gone", 32768, 32768, pattern(10)},
                                        {3, "after", 32768, 32768, pattern(10)}}),
                        {{catalogue_entry_size + 7, 0}, {entry5 - 16 + entry_first_track, 0},
                         {entry5 - 16 + entry_first_sector, 9}, {entry5 + entry_first_track, 0},
                         {entry5 + entry_first_sector, 3}, {entry5 + 16, 0},
                         {info + info_file_count, 5}, {info + info_label + 3, 0},
                         {info + info_label + 4, 0}, {info + info_label + 5, 0},
                         {info + info_label + 6, 0}, {info + info_label + 7, 0}},
                        image_size)}},
     .args = {"names.trd"},
     .out = "names.trd: disk \"QUO\0\0\0\0\0\", 5 files, 2537 of 2544 sectors free\n"s + head +
            "  1  prog      B         -     252        1    1:0    RUN \"prog\"\n"
            "  2  GXLEVEL\0  C     32768      10        1    1:1    (name cannot be typed)\n"s +
            "  3  \"say      C     32768      10        1    1:2    (name cannot be typed)\n"
            "  4  intrack0  C     32768      10        1    0:9    LOAD \"intrack0\" CODE\n"
            "  5  over      C     32768      10        1    0:3    LOAD \"over\" CODE\n"
            "warning: file 5 overlaps the catalogue and the disk information "
            "(0:0 to 0:8): 1 sector at 0:3\n"},
    {.what = "no image at all, and an image after them still listed",
     .files = {{"short.trd", bytes(info_sector_offset + 255)},
               {"zeros.trd", bytes(image_size)},
               {"tiny.trd", damaged(expected_image({}), {}, info_sector_offset + 256)},
               {"deleted.trd", committed("tests/data/trd/deleted.trd")}},
     .prepare = [] {
         ASSERT_EQ(mkdir("folder.trd", 0755), 0);
         ASSERT_EQ(mkfifo("fifo.trd", 0644), 0);  // no writer will come
     },
     .args = {"missing.trd", "folder.trd", "fifo.trd", "short.trd", "zeros.trd", "tiny.trd",
              "deleted.trd"},
     .status = 1,
     .out = "tiny.trd: disk \"QUORNAX \", 0 files, 2544 of 2544 sectors free\n\n" +
            deleted_listing,
     .err = "missing.trd: No such file or directory\n"
            "folder.trd: Is a directory\n"
            "fifo.trd: not a TRD image: not a regular file\n"
            "short.trd: not a TRD image: too short for a catalogue\n"
            "zeros.trd: not a TRD image: no TR-DOS mark in its info sector\n"},
    {.what = "no argument",
     .status = 1,
     .err = "Usage : quornax-cat image1.trd [image2.trd ...]\n"
            "\tlists the files on TR-DOS disk images\n"}};

INSTANTIATE_TEST_SUITE_P(images, cat, testing::ValuesIn(cat_cases));

}  // namespace
