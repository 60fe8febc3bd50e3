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

#include "trd/disk_layout.h"
#include "support/fixture.h"

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

TEST_F(concurrent_runs, SameDirectoryGivesTheImagesOfSeparateRuns) {
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
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    std::vector<pid_t> children;
    for (int k = 0; k < runs; ++k)
        children.push_back(spawn(shared, {tape_file(k)}, {.before_exec = held_by(start)}));
    close(start[0]);
    close(start[1]);
    for (pid_t child : children) EXPECT_EQ(wait_for(child).status, 0);

    for (int k = 0; k < runs; ++k)
        EXPECT_TRUE(read_file(shared + "/" + image_file(k)) == reference[k])
            << image_file(k) << " differs from the image of a run on its own";
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
    pid_t child = spawn(dir, {"game.tap"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "did not wait";
    EXPECT_EQ(entries_of(dir), names{"game.tap"});
    close(held);
    EXPECT_EQ(wait_for(child).status, 0);
    EXPECT_EQ(entries_of(dir), (names{"game.tap", "game.trd"}));
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
    EXPECT_EQ(entries_of(dir), (names{"game.tap", "game.trd"}));
    EXPECT_EQ(read_file(path("game.trd")).size(), quornax::image_size);
}

}  // namespace
