#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <initializer_list>

#include "common/platform.h"

namespace quornax {

namespace {

constexpr mode_t permission_bits = 0777;

// The signals prepare_ending_signals catches.
sigset_t ending_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaddset(&set, signal_number);
    return set;
}

}  // namespace

name_use examine_image_name(const char* name, mode_t* mode) {
    struct stat status;
    if (lstat(name, &status) != 0)
        return errno == ENOENT ? name_use::absent : name_use::in_place;
    if (!S_ISREG(status.st_mode) || status.st_nlink != 1 ||
        faccessat(AT_FDCWD, name, W_OK, AT_EACCESS) != 0)
        return name_use::in_place;
    *mode = status.st_mode & permission_bits;
    return name_use::replaceable;
}

int set_file_mode(int fd, mode_t mode) { return fchmod(fd, mode); }

int replace_file(const char* from, const char* to) { return rename(from, to); }

void block_ending_signals() {
    sigset_t set = ending_signals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

void unblock_ending_signals() {
    sigset_t set = ending_signals();
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// flock on the directory itself: no file is added to it, and the lock goes
// with the last descriptor, closed by the system when the holder dies.
lock_handle lock_working_directory() {
    int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return not_locked;
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(fd);
            return not_locked;
        }
    }
    return fd;
}

void unlock_working_directory(lock_handle lock) {
    if (lock != not_locked) close(static_cast<int>(lock));
}

void prepare_ending_signals(void (*handler)(int)) {
    std::signal(SIGXFSZ, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        struct sigaction old {};
        if (sigaction(signal_number, nullptr, &old) == 0 &&
            old.sa_handler == SIG_IGN)
            continue;
        sigaction(signal_number, &action, nullptr);
    }
}

}  // namespace quornax
