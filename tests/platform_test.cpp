// The system interface, which must behave as POSIX and glibc do wherever the
// program runs: these run under wine too.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "common/common.h"
#include "common/platform.h"
#include "support/fixture.h"

using namespace quornax;
using namespace quornax_test;

namespace fs = std::filesystem;

namespace {

class platform : public temp_dir_test {};

// Bytes that a text mode would change: LF, CR LF, and the 0x1A that ends a
// text file on Windows.
TEST_F(platform, GatheredWritesAndReadsAtAnOffsetKeepEveryByte) {
    const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_BINARY;
    int fd = open("f", flags, 0666);
    ASSERT_GE(fd, 0);
    char first[] = "ab\n", second[] = "\r\n\x1a" "z";
    iovec pieces[] = {{first, 3}, {second, 4}};
    EXPECT_EQ(writev(fd, pieces, 2), 7);
    char got[8] = {};
    EXPECT_EQ(pread(fd, got, 3, 2), 3);
    EXPECT_EQ(std::string(got, 3), "\n\r\n");
    // The read at an offset left the position at the end.
    char third[] = "!";
    iovec last[] = {{third, 1}};
    EXPECT_EQ(writev(fd, last, 1), 1);
    char head[2] = {}, tail[5] = {};
    iovec into[] = {{head, 2}, {tail, 5}};
    EXPECT_EQ(preadv(fd, into, 2, 5), 3);
    EXPECT_EQ(std::string(head, 2), "\x1a" "z");
    EXPECT_EQ(tail[0], '!');
    EXPECT_EQ(pread(fd, got, 1, 8), 0);
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(read_file("f"), (bytes{'a', 'b', '\n', '\r', '\n', 0x1a, 'z', '!'}));
    errno = 0;
    EXPECT_EQ(open("f", flags, 0666), -1);
    EXPECT_EQ(errno, EEXIST);
}

#ifndef _WIN32  // where no signal cuts a write short
void interrupt(int) {}

// A signal cuts writes blocked on a pipe of one page short, part-way
// through a piece: each goes on at the byte after the last one written.
TEST(write_pieces, GoOnAtTheByteAfterAShortWrite) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_GT(fcntl(ends[1], F_SETPIPE_SZ, 4096), 0);
    struct sigaction no_restart {}, old {};
    no_restart.sa_handler = interrupt;
    sigaction(SIGUSR1, &no_restart, &old);
    bytes first = pattern(10000, 1), second = pattern(7001, 2), got;
    pthread_t writer = pthread_self();
    std::thread reader([&] {
        uint8_t chunk[1000];
        for (ssize_t n; (n = read(ends[0], chunk, sizeof chunk)) > 0;) {
            got.insert(got.end(), chunk, chunk + n);
            pthread_kill(writer, SIGUSR1);
        }
    });
    iovec pieces[] = {{first.data(), first.size()}, {second.data(), second.size()}};
    EXPECT_EQ(write_pieces(ends[1], pieces, 2), 0);
    close(ends[1]);
    reader.join();
    close(ends[0]);
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_TRUE(got == join({first, second}));
}
#endif

struct error_case {
    int number;
    const char* text;
};

void PrintTo(const error_case& c, std::ostream* os) { *os << c.text; }

class error_texts : public testing::TestWithParam<error_case> {};

TEST_P(error_texts, AreWordedAsOnLinux) {
    EXPECT_STREQ(error_text(GetParam().number), GetParam().text);
}

// Every text the program's messages can carry.
INSTANTIATE_TEST_SUITE_P(
    table, error_texts,
    testing::Values(error_case{ENOENT, "No such file or directory"},
                    error_case{EACCES, "Permission denied"},
                    error_case{EISDIR, "Is a directory"},
                    error_case{ENOTDIR, "Not a directory"},
                    error_case{EEXIST, "File exists"},
                    error_case{ENOSPC, "No space left on device"},
                    error_case{EFBIG, "File too large"},
                    error_case{EIO, "Input/output error"},
                    error_case{ENAMETOOLONG, "File name too long"},
                    error_case{ENOMEM, "Cannot allocate memory"},
                    error_case{EINVAL, "Invalid argument"},
                    error_case{EROFS, "Read-only file system"},
                    error_case{EPIPE, "Broken pipe"}));

TEST_F(platform, RemovingAFileReadOnlyOrNot) {
    write_file("read-only", {1});
    fs::permissions("read-only", fs::perms::owner_read, fs::perm_options::replace);
    EXPECT_EQ(remove_file("read-only"), 0);
    EXPECT_FALSE(fs::exists("read-only"));
    fs::create_directory("folder");
    errno = 0;
    EXPECT_EQ(remove_file("folder"), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_TRUE(fs::is_directory("folder"));
    errno = 0;
    EXPECT_EQ(remove_file("absent"), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(platform, OpeningAFolderFailsAsADirectory) {
    fs::create_directory("folder");
    EXPECT_EQ(open("folder", O_WRONLY | O_CREAT | O_TRUNC, 0666), -1);
    explain_open_failure("folder");
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(open("absent/t.tap", O_RDONLY), -1);
    explain_open_failure("absent/t.tap");
    EXPECT_EQ(errno, ENOENT);
}

// One file through its descriptor and through its name, and another.
TEST_F(platform, FilesAreKnownByTheirIdentity) {
    write_file("one", {1});
    write_file("other", {1});
    int fd = open("one", O_RDONLY);
    file_identity by_fd{}, by_name{}, other{};
    EXPECT_EQ(identify_open_file(fd, &by_fd), 0);
    EXPECT_EQ(identify_name("one", &by_name), 0);
    EXPECT_EQ(identify_name("other", &other), 0);
    close(fd);
    EXPECT_TRUE(by_fd == by_name);
    EXPECT_FALSE(by_fd == other);
    errno = 0;
    EXPECT_EQ(identify_name("absent", &other), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(platform, SecondHolderOfTheDirectoryWaits) {
    lock_handle first = lock_working_directory();
    ASSERT_NE(first, not_locked);
    std::atomic<bool> held{false};
    std::thread second([&] {
        lock_handle lock = lock_working_directory();
        held = true;
        unlock_working_directory(lock);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(held);
    unlock_working_directory(first);
    second.join();
    EXPECT_TRUE(held);
}

#ifdef _WIN32
// Windows lets go of a lock whose holder ended without letting go itself.
TEST_F(platform, LockOfAHolderThatEndedIsFree) {
    std::thread([] { lock_working_directory(); }).join();
    lock_handle lock = lock_working_directory();
    EXPECT_NE(lock, not_locked);
    unlock_working_directory(lock);
}
#endif

int caught = 0;
void catch_signal(int signal_number) { caught = signal_number; }

TEST(ending_signals, AreCaughtOnceUnlessIgnored) {
    caught = 0;
    std::signal(SIGINT, SIG_IGN);
    prepare_ending_signals(catch_signal);
    std::raise(SIGTERM);
    EXPECT_EQ(caught, SIGTERM);
    // Back to the default: raised again, the signal would end the run.
    EXPECT_EQ(std::signal(SIGTERM, SIG_DFL), SIG_DFL);
    caught = 0;
    std::raise(SIGINT);
    EXPECT_EQ(caught, 0);
    std::signal(SIGINT, SIG_DFL);
}

}  // namespace
