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

name_use examine_image_name(const char* name, replaced_file* replaced) {
    struct stat status;
    if (lstat(name, &status) != 0)
        return errno == ENOENT ? name_use::absent : name_use::in_place;
    if (!S_ISREG(status.st_mode) || status.st_nlink != 1 ||
        faccessat(AT_FDCWD, name, W_OK, AT_EACCESS) != 0)
        return name_use::in_place;
    *replaced = {status.st_mode & permission_bits, status.st_uid,
                 status.st_gid};
    return name_use::replaceable;
}

// The owner first: a change of owner may clear permission bits.
int take_over_file(int fd, const replaced_file& replaced) {
    if (fchown(fd, replaced.owner, replaced.group) != 0) return -1;
    return fchmod(fd, replaced.mode);
}

int replace_file(const char* from, const char* to) { return rename(from, to); }

// flock on the file: it goes with the holder's last descriptor, closed by
// the system when the holder dies. A run that meets the file as abandoned
// holds it while it deletes the name; the name gone, nlink tells.
int hold_temporary(int fd) {
    struct stat status;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &status) != 0)
        return -1;
    if (status.st_nlink == 0) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

// Held, the file is deleted only while its name still leads to it: the
// name cannot change hands meanwhile, since the one run that may delete
// it holds the file now.
int remove_if_abandoned(const char* name) {
    struct stat status;
    if (lstat(name, &status) != 0) return -1;
    if (!S_ISREG(status.st_mode)) return unlink(name);
    int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    file_identity held, named;
    int result = -1;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        identify_open_file(fd, &held) == 0 &&
        identify_name(name, &named) == 0 && held == named)
        result = unlink(name);
    close(fd);
    return result;
}

void fill_standard_descriptors() {
    for (;;) {
        int fd = open("/dev/null", O_RDONLY);
        if (fd < 0) return;
        if (fd > STDERR_FILENO) {
            close(fd);
            return;
        }
    }
}

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
lock_handle lock_working_directory(lock_handle kept) {
    int fd = kept != not_locked
                 ? static_cast<int>(kept)
                 : open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return not_locked;
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(fd);
            return not_locked;
        }
    }
    return fd;
}

void unlock_working_directory(lock_handle lock, bool keep) {
    if (lock == not_locked) return;
    if (keep)
        flock(static_cast<int>(lock), LOCK_UN);
    else
        close(static_cast<int>(lock));
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
