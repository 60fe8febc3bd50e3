// Conversions started at the same moment in one directory: every staging
// file name is shared, so only the directory lock keeps the images right.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/types.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tap/block_descriptor.h"
#include "trd/disk_layout.h"
#include "support/disk_image.h"
#include "support/fixture.h"

using namespace quornax_test;

namespace {

constexpr int runs = 4;
const bytes earlier = pattern(1000, 9);  // an image of an earlier run

// Tape k holds 60 + 20k code pairs of sizes and contents of its own.
bytes many_block_tape(int k) {
    bytes tape;
    int pairs = 60 + 20 * k;
    for (int i = 0; i < pairs; ++i) {
        size_t size = 100 + (i * 379 + k * 1013) % 2900;
        bytes pair = code_pair("t" + std::to_string(k) + "b" + std::to_string(i),
                               pattern(size, static_cast<uint8_t>(k * 50 + i)),
                               static_cast<uint16_t>(0x6000 + i));
        tape.insert(tape.end(), pair.begin(), pair.end());
    }
    return tape;
}

std::string tape_file(int k) { return "tape" + std::to_string(k) + ".tap"; }
std::string image_file(int k) { return "tape" + std::to_string(k) + ".trd"; }

// Held back until the parent closes the write end of start, so that all
// the children begin together.
std::function<void()> held_by(const int start[2]) {
    return [start] {
        char go;
        close(start[1]);
        if (read(start[0], &go, 1) != 0) _exit(127);
    };
}

class concurrent_runs : public temp_dir_test {};

// Makes the children become nobody, who can write in a folder of mode
// 0333 but not read it, so that no lock can be had; root reads any folder.
// Returns false where that cannot be arranged here.
bool run_as_nobody(child_setup& setup);

bool run_unlocked(const std::string& folder, child_setup& setup) {
    bool root = geteuid() == 0;
    if (chmod(folder.c_str(), root ? 0333 : 0300) != 0) return false;
    return !root || run_as_nobody(setup);
}

// Where the tests run as root, the child becomes nobody, whom permissions
// hold back as they would any user.
bool run_as_nobody(child_setup& setup) {
    setup.program = program_for_anyone();
    std::string program = setup.program;
    auto held = setup.before_exec;
    setup.before_exec = [held, program] {
        if (held) held();
        if (setgid(65534) != 0 || setuid(65534) != 0 ||
            access(program.c_str(), X_OK) != 0)
            _exit(125);
    };
    return !program.empty();
}

// Several runs at once in one folder each give the image of a run on its
// own: with the directory lock they take turns; without it (the folder
// cannot be read) each reads its staging files only through its own
// descriptors, and deletes only names that are still its own.
class concurrent_in_one_folder : public concurrent_runs,
                                 public testing::WithParamInterface<bool> {};

TEST_P(concurrent_in_one_folder, GiveTheImagesOfSeparateRuns) {
    bool locked = GetParam();
    std::vector<bytes> reference(runs);
    for (int k = 0; k < runs; ++k) {
        std::string alone = path("alone" + std::to_string(k));
        std::filesystem::create_directory(alone);
        write_file(alone + "/" + tape_file(k), many_block_tape(k));
        ASSERT_EQ(run_binary(alone, {tape_file(k)}).status, 0);
        reference[k] = read_file(alone + "/" + image_file(k));
    }
    std::string shared = path("shared");
    std::filesystem::create_directory(shared);
    for (int k = 0; k < runs; ++k)
        write_file(shared + "/" + tape_file(k), many_block_tape(k));
    ASSERT_EQ(chmod(dir.c_str(), 0711), 0);  // others may pass through
    for (int round = 0; round < (locked ? 1 : 3); ++round) {
        int start[2];
        ASSERT_EQ(pipe(start), 0);
        std::vector<pid_t> children;
        std::vector<child_setup> setups(runs);
        for (int k = 0; k < runs; ++k) {
            setups[k].err = dir + ".err" + std::to_string(k);
            setups[k].before_exec = held_by(start);
            if (!locked && !run_unlocked(shared, setups[k]))
                GTEST_SKIP() << "no way to run the program unlocked here";
            children.push_back(spawn(shared, {tape_file(k)}, setups[k]));
        }
        close(start[0]);
        close(start[1]);
        for (int k = 0; k < runs; ++k) {
            run_result r = wait_for(children[k], setups[k]);
            if (r.status == 125) GTEST_SKIP() << "cannot run the program as nobody";
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "");
        }
        chmod(shared.c_str(), 0755);
        for (int k = 0; k < runs; ++k) {
            EXPECT_TRUE(read_file(shared + "/" + image_file(k)) == reference[k])
                << image_file(k) << " differs from the image of a run on its own";
            unlink((shared + "/" + image_file(k)).c_str());
        }
        EXPECT_EQ(staging_files_in(shared), names{});
    }
}

INSTANTIATE_TEST_SUITE_P(lock, concurrent_in_one_folder, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "locked" : "unlocked";
                         });

// While another holds the directory, a conversion stages nothing and
// writes nothing; it finishes once the lock is released.
TEST_F(concurrent_runs, ConversionWaitsWhileTheDirectoryIsHeld) {
    write_file(path("game.tap"), code_pair("game", pattern(300), 32768));
    int held = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    pid_t child = spawn(dir, {"game.tap"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "did not wait";
    EXPECT_EQ(entries_of(dir), names{"game.tap"});
    close(held);
    EXPECT_EQ(wait_for(child).status, 0);
    EXPECT_EQ(entries_of(dir), (names{"game.tap", "game.trd"}));
}

// A run waiting for its tape holds up no other: the directory is held from
// the first staging file on, not from the opening of the tape.
TEST_F(concurrent_runs, RunWaitingForItsTapeHoldsUpNoOther) {
    ASSERT_EQ(mkfifo(path("slow.tap").c_str(), 0600), 0);
    write_file(path("game.tap"), code_pair("game", pattern(300), 32768));
    pid_t waiting = spawn(dir, {"slow.tap"});
    int tape = open(path("slow.tap").c_str(), O_WRONLY);
    ASSERT_GE(tape, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pid_t other = spawn(dir, {"game.tap"});
    for (int i = 0; i < 500 && !std::filesystem::exists(path("game.trd")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    bool done = std::filesystem::exists(path("game.trd"));
    EXPECT_TRUE(done) << "held up";
    if (!done) kill(other, SIGTERM);
    bytes pair = code_pair("slow", pattern(10), 32768);
    EXPECT_EQ(write(tape, pair.data(), pair.size()), static_cast<ssize_t>(pair.size()));
    close(tape);
    EXPECT_EQ(wait_for(waiting).status, 0);
    EXPECT_EQ(wait_for(other).status, 0);
    EXPECT_EQ(entries_of(dir), (names{"game.tap", "game.trd", "slow.tap", "slow.trd"}));
}

// Unlocked runs stopped by a signal at any moment leave no staging file,
// not even the one whose creation the signal came in.
TEST_F(concurrent_runs, UnlockedRunsInterruptedAnywhereLeaveNothing) {
    std::string shared = path("shared");
    std::filesystem::create_directory(shared);
    write_file(shared + "/t.tap", many_block_tape(0));
    ASSERT_EQ(chmod(dir.c_str(), 0711), 0);
    for (int attempt = 0; attempt < 20; ++attempt) {
        child_setup setup;
        if (!run_unlocked(shared, setup))
            GTEST_SKIP() << "no way to run the program unlocked here";
        pid_t child = spawn(shared, {"t.tap"}, setup);
        std::this_thread::sleep_for(std::chrono::microseconds(500 * attempt));
        kill(child, SIGTERM);
        if (wait_for(child, setup).status == 125)
            GTEST_SKIP() << "cannot run the program as nobody";
        chmod(shared.c_str(), 0755);
        EXPECT_EQ(staging_files_in(shared), names{}) << "stopped after "
                                                     << 500 * attempt << " us";
        std::filesystem::remove(shared + "/t.trd");
    }
}

// Without the lock, runs whose tapes give one image name each write a
// whole image and rename it into place: the name ends up holding one of
// them, never a mixture.
TEST_F(concurrent_runs, UnlockedRunsOfOneImageNameLeaveOneWholeImage) {
    std::string shared = path("shared");
    std::vector<bytes> reference;
    for (int k = 0; k < 2; ++k) {
        std::string alone = path("alone" + std::to_string(k));
        std::filesystem::create_directories(alone);
        std::filesystem::create_directories(shared + "/" + std::to_string(k));
        bytes tape;
        for (int i = 0; i < 60; ++i)
            tape = join({tape, code_pair("g", pattern(9000, static_cast<uint8_t>(k)), 0)});
        write_file(alone + "/game.tap", tape);
        write_file(shared + "/" + std::to_string(k) + "/game.tap", tape);
        ASSERT_EQ(run_binary(alone, {"game.tap"}).status, 0);
        reference.push_back(read_file(alone + "/game.trd"));
    }
    ASSERT_EQ(chmod(dir.c_str(), 0711), 0);
    for (int round = 0; round < 5; ++round) {
        int start[2];
        ASSERT_EQ(pipe(start), 0);
        std::vector<child_setup> setups(2);
        std::vector<pid_t> children;
        for (int k = 0; k < 2; ++k) {
            setups[k].before_exec = held_by(start);
            if (!run_unlocked(shared, setups[k]))
                GTEST_SKIP() << "no way to run the program unlocked here";
            children.push_back(spawn(shared, {std::to_string(k) + "/game.tap"}, setups[k]));
        }
        close(start[0]);
        close(start[1]);
        for (int k = 0; k < 2; ++k) {
            run_result r = wait_for(children[k], setups[k]);
            if (r.status == 125) GTEST_SKIP() << "cannot run the program as nobody";
            EXPECT_EQ(r.status, 0);
        }
        chmod(shared.c_str(), 0755);
        bytes image = read_file(shared + "/game.trd");
        EXPECT_TRUE(image == reference[0] || image == reference[1]) << "a mixture";
        EXPECT_EQ(entries_of(shared), (names{"0/", "0/game.tap", "1/", "1/game.tap", "game.trd"}));
    }
}

// An image, the run's user's own or another's, keeps owner, group and mode:
// where it cannot be replaced (no new file in its folder, or another's file
// not to be given them), it is overwritten in place, or fails as an
// overwrite would. The run is nobody's under root; another's image needs root.
struct owned_image_case {
    const char* what;
    mode_t folder_mode;  // of the image's folder
    bool others;         // the image is another user's
    mode_t image_mode;
    bool by_root = false;  // the run stays root; the other user is nobody
    std::string err = "";
};

void PrintTo(const owned_image_case& c, std::ostream* os) { *os << c.what; }

class owned_image : public concurrent_runs,
                    public testing::WithParamInterface<owned_image_case> {};

TEST_P(owned_image, KeepsItsOwnerOrFailsAsAnOverwrite) {
    const owned_image_case& c = GetParam();
    bool root = geteuid() == 0;
    if (!root && (c.others || c.by_root))
        GTEST_SKIP() << "needs root and a second user, as in CI";
    std::string image = path("sub/game.trd");
    for (const char* sub : {"x\\sub", "sub"}) std::filesystem::create_directories(path(sub));
    write_file(path("x\\sub/game.tap"), code_pair("game", pattern(300), 32768));
    write_file(image, earlier);
    for (auto [name, mode] : {std::pair{dir, 0777}, {path("x\\sub"), 0755},
                              {path("x\\sub/game.tap"), 0644}})
        ASSERT_EQ(chmod(name.c_str(), mode), 0);
    uid_t user = root && !c.by_root ? 65534 : geteuid();
    uid_t owner = c.others ? (user == 0 ? 65534 : 0) : user;
    ASSERT_TRUE(!root || chown(image.c_str(), owner, owner) == 0);
    struct stat before, after;
    ASSERT_EQ(chmod(image.c_str(), c.image_mode) | stat(image.c_str(), &before), 0);
    ASSERT_EQ(chmod(path("sub").c_str(), c.folder_mode), 0);
    child_setup setup{.err = dir + ".err"};
    if (user != geteuid() && !run_as_nobody(setup))
        GTEST_SKIP() << "no way to run the program as nobody here";
    run_result r = wait_for(spawn(dir, {"x\\sub/game.tap"}, setup), setup);
    if (r.status == 125) GTEST_SKIP() << "cannot run the program as nobody";
    chmod(path("sub").c_str(), 0755);
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_TRUE(read_file(image) ==
                (c.err.empty() ? expected_image({{quornax::block_code, "game", 32768,
                                                  32768, pattern(300)}})
                               : earlier));
    ASSERT_EQ(stat(image.c_str(), &after), 0);
    EXPECT_EQ(std::tie(after.st_uid, after.st_gid, after.st_mode),
              std::tie(before.st_uid, before.st_gid, before.st_mode));
    EXPECT_EQ(entries_of(path("sub")), names{"game.trd"});
}

INSTANTIATE_TEST_SUITE_P(
    table, owned_image,
    testing::Values(
        owned_image_case{"own, in a folder that takes no new file", 0555, false, 0666},
        owned_image_case{"another's, writable, in a sticky shared folder", 01777, true, 0666},
        owned_image_case{"another's, replaced by root", 0755, true, 0640, true},
        owned_image_case{"own, read-only", 0777, false, 0444, false,
                         "sub/game.trd: Permission denied\n"}));

// A temporary held by a live run (of this process number in another container,
// first of the sequence) is never taken, nor swept after a killed run (its
// sign is there); in the image's folder, those of runs that are gone go.
TEST_F(concurrent_runs, LiveTemporariesAreSparedAbandonedOnesCleared) {
    for (const char* sub : {"x\\sub", "sub"}) std::filesystem::create_directories(path(sub));
    write_file(path("x\\sub/game.tap"), code_pair("game", pattern(300), 32768));
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    pid_t child = spawn(dir, {"x\\sub/game.tap"}, {.before_exec = held_by(start)});
    char own[24];
    std::snprintf(own, sizeof own, "sub/_ZXT%08X_.@@@", static_cast<unsigned>(child));
    names live{own, "sub/_ZXT00000000_.@@@", "_ZXT00000000_.@@@"};
    std::vector<int> held;
    for (const std::string& name : live) {
        write_file(path(name), earlier);
        held.push_back(open(path(name).c_str(), O_RDONLY | O_CLOEXEC));
        EXPECT_EQ(flock(held.back(), LOCK_EX), 0);
    }
    for (const char* gone : {"_ZX0000_.@@@", "sub/_ZXT00000001_.@@@", "sub/_ZXT0000003F_.@@@"})
        write_file(path(gone), earlier);
    close(start[0]);
    close(start[1]);
    EXPECT_EQ(wait_for(child).status, 0);
    for (int fd : held) close(fd);
    live.insert(live.end(), {"sub/", "sub/game.trd", "x\\sub/", "x\\sub/game.tap"});
    std::sort(live.begin(), live.end());
    EXPECT_EQ(entries_of(dir), live);
}

// With standard input and output closed, no file of the run takes their
// numbers, even unlocked: the listing cannot be written, and that is said.
TEST_F(concurrent_runs, ClosedStandardStreamsTakeNoFileOfTheRun) {
    write_file(path("t.tap"), join({code_pair("one", pattern(10), 1),
                                    bad_checksum(data_block(pattern(4)))}));
    child_setup setup{.err = dir + ".err", .before_exec = [] { close(0), close(1); }};
    if (!run_unlocked(dir, setup)) GTEST_SKIP() << "no way to run the program unlocked here";
    run_result r = wait_for(spawn(dir, {"t.tap"}, setup), setup);
    if (r.status == 125) GTEST_SKIP() << "cannot run the program as nobody";
    chmod(dir.c_str(), 0700);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Bad file descriptor\nt.tap: bad checksum of TAP data block !\n");
    EXPECT_EQ(entries_of(dir), (names{"t.tap", "t.trd"}));
}

// Without the lock, the clean-up deletes only what is still this run's
// own: a file another put under one of its staging names survives the end
// of the run, and its end by a signal.
class unlocked_clean_up : public concurrent_runs,
                          public testing::WithParamInterface<bool> {};

TEST_P(unlocked_clean_up, SparesAFileOfSomeoneElse) {
    bool signalled = GetParam();
    std::string shared = path("shared");
    std::filesystem::create_directory(shared);
    ASSERT_EQ(mkfifo((shared + "/t.tap").c_str(), 0666), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0711), 0);
    child_setup setup;
    if (!run_unlocked(shared, setup))
        GTEST_SKIP() << "no way to run the program unlocked here";
    pid_t child = spawn(shared, {"t.tap"}, setup);
    int tape = open((shared + "/t.tap").c_str(), O_WRONLY);
    ASSERT_GE(tape, 0);
    const bytes pairs = join({code_pair("one", pattern(300), 0),
                              code_pair("two", pattern(300), 0)});
    ASSERT_EQ(write(tape, pairs.data(), pairs.size()), static_cast<ssize_t>(pairs.size()));
    for (int i = 0; i < 1000 && staging_files_in(shared).size() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string staged = shared + "/_ZX0001_.@@@";
    const bytes someone_elses = pattern(50, 9);
    ASSERT_EQ(unlink(staged.c_str()), 0);
    write_file(staged, someone_elses);
    if (signalled) kill(child, SIGTERM);
    close(tape);
    run_result r = wait_for(child, setup);
    if (r.status == 125) GTEST_SKIP() << "cannot run the program as nobody";
    EXPECT_EQ(r.signal, signalled ? SIGTERM : 0);
    chmod(shared.c_str(), 0755);
    EXPECT_EQ(staging_files_in(shared), names{"_ZX0001_.@@@"});
    EXPECT_TRUE(read_file(staged) == someone_elses);
}

INSTANTIATE_TEST_SUITE_P(end, unlocked_clean_up, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "by_a_signal" : "normal";
                         });

// Another process replaces a staging name while the run stages (its tape
// is a FIFO, fed in two parts). A run that keeps the file open reads its
// own file through its descriptor: its image is the tape's. One short of
// descriptors has given that file's descriptor back, and finds by name a
// file that is not its own: it fails with a message, never taking the
// other file's bytes, even where the new file gets the old one's inode.
class replaced_staging_name : public concurrent_runs,
                              public testing::WithParamInterface<bool> {};

TEST_P(replaced_staging_name, OwnDataOrAClearFailure) {
    bool few_descriptors = GetParam();
    const bytes first = join({code_pair("first", pattern(3000, 1), 0x8000),
                              code_pair("middle", pattern(1000, 3), 0x8000),
                              code_pair("third", pattern(500, 4), 0x8000)});
    const bytes second = code_pair("second", pattern(2000, 2), 0x9000);
    std::string alone = path("alone");
    std::filesystem::create_directory(alone);
    write_file(alone + "/t.tap", join({first, second}));
    ASSERT_EQ(run_binary(alone, {"t.tap"}).status, 0);
    std::string shared = path("shared");
    std::filesystem::create_directory(shared);
    ASSERT_EQ(mkfifo((shared + "/t.tap").c_str(), 0600), 0);
    child_setup setup{.err = dir + ".err"};
    // Standard streams, the tape, the lock and two staging files: the
    // third staging file takes the second one's descriptor.
    if (few_descriptors)
        setup.before_exec = [] {
            rlimit seven{7, 7};
            if (setrlimit(RLIMIT_NOFILE, &seven) != 0) _exit(125);
        };
    pid_t child = spawn(shared, {"t.tap"}, setup);
    int tape = open((shared + "/t.tap").c_str(), O_WRONLY);
    ASSERT_GE(tape, 0);
    ASSERT_EQ(write(tape, first.data(), first.size()),
              static_cast<ssize_t>(first.size()));
    for (int i = 0; i < 1000 && staging_files_in(shared).size() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string staged = shared + "/_ZX0001_.@@@";
    bytes impostor = read_file(staged);
    std::fill(impostor.begin() + 20, impostor.end(), 0xEE);
    ASSERT_EQ(unlink(staged.c_str()), 0);
    write_file(staged, impostor);
    ASSERT_EQ(write(tape, second.data(), second.size()),
              static_cast<ssize_t>(second.size()));
    close(tape);
    run_result r = wait_for(child, setup);
    if (few_descriptors) {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "_ZX0001_.@@@: Input/output error\n");
        EXPECT_FALSE(std::filesystem::exists(shared + "/t.trd"));
    } else {
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(read_file(shared + "/t.trd") == read_file(alone + "/t.trd"));
    }
}

INSTANTIATE_TEST_SUITE_P(descriptors, replaced_staging_name, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "given_back" : "kept";
                         });

// Runs in folders of their own write their listings into one pipe at once:
// every line arrives whole.
TEST_F(concurrent_runs, ListingsSharingOnePipeKeepWholeLines) {
    int lines[2];
    ASSERT_EQ(pipe(lines), 0);
    // Full before it is read, a pipe of one page holds its writers
    // part-way: only writes it takes whole keep the lines whole.
    ASSERT_GT(fcntl(lines[0], F_SETPIPE_SZ, 4096), 0);
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    std::vector<pid_t> children;
    for (int k = 0; k < runs; ++k) {
        std::string own = path("own" + std::to_string(k));
        std::filesystem::create_directory(own);
        write_file(own + "/" + tape_file(k), many_block_tape(k));
        auto held = held_by(start);
        children.push_back(spawn(own, {tape_file(k)},
                                 {.before_exec = [held, &lines] {
                                      dup2(lines[1], 1);
                                      held();
                                  }}));
    }
    close(lines[1]);
    close(start[0]);
    close(start[1]);
    pollfd written{lines[0], POLLIN, 0};
    EXPECT_EQ(poll(&written, 1, 10000), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string out;
    char chunk[4096];
    for (ssize_t got; (got = read(lines[0], chunk, sizeof chunk)) > 0;)
        out.append(chunk, static_cast<size_t>(got));
    close(lines[0]);
    for (pid_t child : children) EXPECT_EQ(wait_for(child).status, 0);
    size_t count = 0;
    for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos;
         at = end + 1, ++count) {
        std::string line = out.substr(at, end - at);
        EXPECT_TRUE(line.size() == 58 && line.rfind("Code       t", 0) == 0)
            << "torn line: " << line;
    }
    EXPECT_EQ(count, 4u * 60 + 20u * (0 + 1 + 2 + 3));
}

}  // namespace
