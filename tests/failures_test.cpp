// Runs that fail, end to end: the command line, tapes that cannot be read,
// and file-system faults (a full disk, file size limits, folders standing
// under the names the program writes). Each row states what the run must
// print, its exit status and everything it leaves in its directory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "driver/driver.h"
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

// Nine files of 255 sectors fill all but 249 sectors of the disk; the
// tenth needs 250, and an eleventh comes after it.
bytes too_big_tape(std::string* listing) {
    bytes tape;
    auto add = [&](const std::string& name, size_t length) {
        tape = join({tape, code_pair(name, pattern(length), 0)});
        char line[80];
        std::snprintf(line, sizeof line,
                      "Code       %-10s, %5zu byte(s), start address 0x0000\n",
                      name.c_str(), length);
        *listing += line;
    };
    for (int i = 1; i <= 9; ++i) add("fill" + std::to_string(i), 65280);
    add("refused_10", 63745);
    add("after", 10);
    return tape;
}
std::string too_big_listing;
const bytes too_big = too_big_tape(&too_big_listing);
const bytes earlier_image = pattern(1000, 9);

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

const std::string usage =
    "Usage : quornax file1.tap [file2.tap ...]\n"
    "\tcreates TRD file[s] file1.trd ...\n";

const failure_case failure_cases[] = {
    {.what = "no argument",
     .tapes = {},
     .args = {},
     .err = usage,
     .left = {}},
    // Alone, an option answers; beside another name it is a tape's name.
    // --help tells a newcomer what the program does and where to read more.
    {.what = "--help alone",
     .tapes = {},
     .args = {"--help"},
     .status = 0,
     .out = help_text,
     .left = {}},
    {.what = "-h alone",
     .tapes = {},
     .args = {"-h"},
     .status = 0,
     .out = help_text,
     .left = {}},
    {.what = "--version alone",
     .tapes = {},
     .args = {"--version"},
     .status = 0,
     .out = "quornax " QUORNAX_VERSION "\n",
     .left = {}},
    {.what = "--help beside a tape",
     .tapes = {{"other.tap", other}},
     .args = {"--help", "other.tap"},
     .err = "--help: No such file or directory\n",
     .left = {"other.tap"}},
    // Options stand before the first tape; with none after them, the usage.
    {.what = "options without a tape",
     .tapes = {},
     .args = {"--boot", "-k", "--"},
     .err = usage,
     .left = {}},
    {.what = "--help after an option is a tape",
     .tapes = {},
     .args = {"--boot", "--help"},
     .err = "--help: No such file or directory\n",
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
    // Both staging files fit under the limit, the image does not: the
    // image of an earlier run stays as it was.
    {.what = "file size limit met by the image",
     .prepare = [] { write_file("game.trd", earlier_image); },
     .in_child = file_size_limit(100000),
     .out = game_listing,
     .err = "game.trd: File too large\n",
     .left = {"game.tap", "game.trd", "other.tap"},
     .contents = {{"game.trd", earlier_image}}},
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
            "t.tap: bad checksum of TAP data block !\n"
            "missing.tap: No such file or directory\n",
     .left = {"t.tap", "t.trd"}},
    // The tenth file needs 250 of the 249 sectors left; it is named though
    // it is not the last staged. Refused before the image is created, the
    // tape leaves the earlier image as it was; the message stands after the
    // listing lines (2>&1).
    {.what = "a tape too big for the disk keeps the earlier image",
     .tapes = {{"big.tap", too_big}},
     .prepare = [] { write_file("big.trd", earlier_image); },
     .in_child = [] { dup2(1, 2); },
     .args = {"big.tap", "other.tap"},
     .out = too_big_listing +
            "Pro ulozeni bloku 'refused_10' z TAP souboru big.tap je "
            "nedostatek mista !\n",
     .left = {"big.tap", "big.trd"},
     .contents = {{"big.trd", earlier_image}}},
    // The listing cannot be written: said once, the images are made all
    // the same, and the run fails.
    {.what = "listing on a full device",
     .in_child = [] { dup2(open("/dev/full", O_WRONLY), 1); },
     .status = 1,
     .err = "No space left on device\n",
     .left = {"game.tap", "game.trd", "other.tap", "other.trd"}},
    {.what = "help on a full device",
     .in_child = [] { dup2(open("/dev/full", O_WRONLY), 1); },
     .args = {"--help"},
     .err = "No space left on device\n",
     .left = {"game.tap", "other.tap"}},
    // What a killed run left under the program's own names goes, a link
    // without its target; a name past the last staging number is not its.
    {.what = "leftovers of a killed run",
     .prepare =
         [] {
             for (const char* name : {"_ZX0000_.@@@", "_ZX007F_.@@@",
                                      "_ZXT00012345_.@@@", "_ZX0080_.@@@",
                                      "target"})
                 write_file(name, earlier_image);
             ASSERT_EQ(symlink("target", "_ZX0002_.@@@"), 0);
         },
     .status = 0,
     .out = game_listing + other_listing,
     .left = {"_ZX0080_.@@@", "game.tap", "game.trd", "other.tap", "other.trd",
              "target"},
     .contents = {{"target", earlier_image}}},
    // A later tape's report comes after the earlier tape's listing.
    {.what = "a later tape's report after the earlier listing",
     .tapes = {{"other.tap", other}},
     .in_child = [] { dup2(1, 2); },
     .args = {"other.tap", "missing.tap"},
     .out = other_listing + "missing.tap: No such file or directory\n",
     .left = {"other.tap", "other.trd"}},
};

INSTANTIATE_TEST_SUITE_P(table, failure, testing::ValuesIn(failure_cases));

// A run ended by a signal deletes its staging files, then dies of that
// signal; the image of an earlier tape stays. The run is held where the
// test wants it: its second tape is a FIFO fed two pairs, or its image
// name a FIFO, or a link to one, read a little. Such an image is written
// in place, and the name stays as it was.
struct interrupt_case {
    const char* what;
    int signal_number;
    bool in_image;  // held writing its image; otherwise while it stages
    bool through_link = false;  // the image name a link to the FIFO
};

void PrintTo(const interrupt_case& c, std::ostream* os) { *os << c.what; }

class interrupted : public temp_dir_test,
                    public testing::WithParamInterface<interrupt_case> {};

// Opens a FIFO once the program has opened the other end; -1 after a while.
int open_fifo(const std::string& name, int flags) {
    for (int tries = 0; tries < 1000; ++tries) {
        int fd = open(name.c_str(), flags | O_NONBLOCK);
        if (fd >= 0) {
            pollfd ready{fd, static_cast<short>(flags == O_RDONLY ? POLLIN : POLLOUT), 0};
            if (poll(&ready, 1, 10000) == 1 &&
                fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0)
                return fd;
            close(fd);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

bool wait_for_staging_files(const std::string& dir, size_t count) {
    for (int tries = 0; tries < 1000; ++tries) {
        if (staging_files_in(dir).size() == count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST_P(interrupted, LeavesNothingBehindAndDiesOfTheSignal) {
    const interrupt_case& c = GetParam();
    const bytes two_pairs = join({code_pair("one", pattern(5000), 0),
                                  code_pair("two", pattern(5000), 0)});
    std::string fifo_name = c.through_link ? "pipe" : c.in_image ? "t.trd" : "t.tap";
    ASSERT_EQ(mkfifo(path(fifo_name).c_str(), 0600), 0);
    if (c.through_link) ASSERT_EQ(symlink("pipe", path("t.trd").c_str()), 0);
    if (c.in_image) write_file(path("t.tap"), two_pairs);
    write_file(path("a.tap"), other);
    pid_t child = spawn(dir, {"a.tap", "t.tap"});
    int fifo = -1;
    if (c.in_image) {
        // The image is far larger than a pipe holds: the program blocks
        // writing it once the pipe is full.
        fifo = open_fifo(path(fifo_name), O_RDONLY);
        char some[4096];
        EXPECT_GT(fifo >= 0 ? read(fifo, some, sizeof some) : -1, 0);
        // Closing the reading end makes the next write raise SIGPIPE.
        if (c.signal_number == SIGPIPE) close(fifo), fifo = -1;
    } else {
        fifo = open_fifo(path("t.tap"), O_WRONLY);
        EXPECT_EQ(write(fifo, two_pairs.data(), two_pairs.size()),
                  static_cast<ssize_t>(two_pairs.size()));
        EXPECT_TRUE(wait_for_staging_files(dir, 2));
    }
    if (!c.in_image || c.signal_number != SIGPIPE) kill(child, c.signal_number);
    run_result r = wait_for(child);
    if (fifo >= 0) close(fifo);
    EXPECT_EQ(r.signal, c.signal_number);
    names left{"a.tap", "a.trd", "t.tap", "t.trd"};
    if (!c.in_image) left.pop_back();
    if (c.through_link) left.insert(left.begin() + 2, "pipe");
    EXPECT_EQ(entries_of(dir), left);
    EXPECT_TRUE(read_file(path("a.trd")) ==
                expected_image({{block_code, "other", 32768, 32768, pattern(10)}}));
    struct stat status;
    EXPECT_TRUE(lstat(path("t.trd").c_str(), &status) != 0 ||
                S_ISLNK(status.st_mode) == c.through_link);
}

INSTANTIATE_TEST_SUITE_P(
    signals, interrupted,
    testing::Values(interrupt_case{"SIGINT while staging", SIGINT, false},
                    interrupt_case{"SIGTERM while staging", SIGTERM, false},
                    interrupt_case{"SIGHUP while staging", SIGHUP, false},
                    interrupt_case{"SIGPIPE while staging", SIGPIPE, false},
                    interrupt_case{"SIGINT in the image", SIGINT, true},
                    interrupt_case{"SIGTERM in the image", SIGTERM, true},
                    interrupt_case{"SIGHUP through a link", SIGHUP, true, true},
                    interrupt_case{"reader of the image gone", SIGPIPE, true}));

// Starts the program in dir and sends it signal_number once inotify shows
// an event of mask on a name beginning with prefix; *seen: whether one did.
pid_t spawn_signalled(const std::string& dir, const names& args, uint32_t mask,
                      const std::string& prefix, int signal_number, bool* seen) {
    int watch = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(watch, dir.c_str(), mask);
    pid_t child = spawn(dir, args);
    *seen = false;
    alignas(inotify_event) char events[4096];
    pollfd ready{watch, POLLIN, 0};
    while (!*seen && poll(&ready, 1, 10000) == 1) {
        ssize_t got = read(watch, events, sizeof events);
        for (ssize_t at = 0; at < got;) {
            auto* event = reinterpret_cast<inotify_event*>(events + at);
            if (event->len > 0 && std::string(event->name).rfind(prefix, 0) == 0)
                *seen = true;
            at += sizeof(inotify_event) + event->len;
        }
    }
    if (*seen) kill(child, signal_number);
    close(watch);
    return child;
}

// A signal while a new image is written under its temporary name leaves
// the earlier image as it was and no temporary file. The run is stopped as
// soon as the temporary file appears; where it was quicker and has renamed
// it already, it is tried again.
class interrupted_replacing : public temp_dir_test {};

TEST_F(interrupted_replacing, KeepsTheEarlierImage) {
    bytes tape;
    for (int i = 0; i < 100; ++i)
        tape = join({tape, code_pair("f" + std::to_string(i), pattern(6000), 0)});
    write_file(path("t.tap"), tape);
    for (int attempt = 0; attempt < 50; ++attempt) {
        write_file(path("t.trd"), earlier_image);
        bool seen;
        pid_t child = spawn_signalled(dir, {"t.tap"}, IN_CREATE, "_ZXT", SIGSTOP, &seen);
        bool caught = false;
        for (const std::string& name : entries_of(dir))
            caught = caught || name.rfind("_ZXT", 0) == 0;
        kill(child, SIGTERM);
        kill(child, SIGCONT);
        run_result r = wait_for(child);
        ASSERT_TRUE(seen) << "no temporary file was written";
        if (!caught) continue;
        EXPECT_EQ(r.signal, SIGTERM);
        EXPECT_EQ(entries_of(dir), (names{"t.tap", "t.trd"}));
        EXPECT_TRUE(read_file(path("t.trd")) == earlier_image);
        return;
    }
    GTEST_SKIP() << "the run was never stopped before its image was in place";
}

// A run killed once it has deleted one of its 11 staging files leaves the
// first, which goes last: the sign on which the next run clears the rest.
TEST_F(interrupted_replacing, KilledWhileCleaningUpLeavesTheSign) {
    write_file(path("t.tap"), too_big);
    for (int attempt = 0; attempt < 50; ++attempt) {
        bool seen;
        wait_for(spawn_signalled(dir, {"t.tap"}, IN_DELETE, "_ZX0", SIGKILL, &seen));
        ASSERT_TRUE(seen) << "no staging file was deleted";
        names left = staging_files_in(dir);
        if (left.empty()) continue;
        EXPECT_EQ(left.front(), "_ZX0000_.@@@");
        run({"t.tap"});  // refused, as before, but it clears them
        EXPECT_EQ(staging_files_in(dir), names{});
        return;
    }
    GTEST_SKIP() << "the run was never killed before it had cleaned up";
}

}  // namespace
