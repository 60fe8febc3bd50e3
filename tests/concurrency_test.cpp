// Conversions started at the same moment in one directory: every staging
// file name is shared, so only the directory lock keeps the images right.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "run_program.h"
#include "tap_builder.h"

using namespace quornax_test;

namespace {

constexpr int runs = 4;

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

std::string tape_name(int k) { return "tape" + std::to_string(k) + ".tap"; }
std::string image_name(int k) { return "tape" + std::to_string(k) + ".trd"; }

// Starts quornax in dir on one tape, held back until the parent closes the
// start pipe so that all of them begin together. Its output is discarded.
pid_t spawn_held(const std::string& dir, const std::string& tape,
                 const int start[2]) {
    pid_t child = fork();
    if (child != 0) return child;
    char go;
    close(start[1]);
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd < 0 || chdir(dir.c_str()) != 0 || read(start[0], &go, 1) != 0)
        _exit(127);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    execl(QUORNAX_BINARY, QUORNAX_BINARY, tape.c_str(), static_cast<char*>(nullptr));
    _exit(127);
}

class concurrent_runs : public temp_dir_test {};

TEST_F(concurrent_runs, SameDirectoryGivesTheImagesOfSeparateRuns) {
    std::vector<bytes> reference(runs);
    for (int k = 0; k < runs; ++k) {
        std::string alone = path("alone" + std::to_string(k));
        std::filesystem::create_directory(alone);
        write_file(alone + "/" + tape_name(k), many_block_tape(k));
        ASSERT_EQ(run_binary(alone, {tape_name(k)}).status, 0);
        reference[k] = read_file(alone + "/" + image_name(k));
    }

    std::string shared = path("shared");
    std::filesystem::create_directory(shared);
    for (int k = 0; k < runs; ++k)
        write_file(shared + "/" + tape_name(k), many_block_tape(k));
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    std::vector<pid_t> children;
    for (int k = 0; k < runs; ++k) {
        pid_t child = spawn_held(shared, tape_name(k), start);
        ASSERT_GT(child, 0);
        children.push_back(child);
    }
    close(start[0]);
    close(start[1]);
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    for (int k = 0; k < runs; ++k)
        EXPECT_TRUE(read_file(shared + "/" + image_name(k)) == reference[k])
            << image_name(k) << " differs from the image of a run on its own";
    EXPECT_TRUE(staging_files_in(shared).empty());
    EXPECT_EQ(entries_of(shared).size(), 2u * runs);
}

// While another holds the directory, a conversion stages nothing and
// writes nothing; it finishes once the lock is released.
TEST_F(concurrent_runs, ConversionWaitsWhileTheDirectoryIsHeld) {
    write_file(path("game.tap"), code_pair("game", pattern(300), 32768));
    int held = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    pid_t child = spawn_held(dir, "game.tap", start);
    close(start[0]);
    close(start[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "did not wait";
    EXPECT_EQ(entries_of(dir), std::vector<std::string>{"game.tap"});
    close(held);
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(entries_of(dir), (std::vector<std::string>{"game.tap", "game.trd"}));
}

// A directory the program may write in but not read cannot be opened for
// the lock; the conversion goes on without it and says nothing. Root reads
// any directory, so as root the program runs as nobody.
TEST_F(concurrent_runs, UnreadableDirectoryConvertsWithoutTheLock) {
    write_file(path("game.tap"), code_pair("game", pattern(300), 32768));
    bool root = geteuid() == 0;
    ASSERT_EQ(chmod(dir.c_str(), root ? 0333 : 0300), 0);
    run_result r = run({"game.tap"}, [root] {
        if (root && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(126);
    });
    chmod(dir.c_str(), 0700);
    if (r.status == 126) GTEST_SKIP() << "cannot run the program as nobody";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Code       game      ,   300 byte(s), start address 0x8000\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(entries_of(dir), (std::vector<std::string>{"game.tap", "game.trd"}));
    EXPECT_EQ(read_file(path("game.trd")).size(), 655360u);
}

}  // namespace
