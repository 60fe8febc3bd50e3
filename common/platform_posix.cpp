#include <sys/file.h>

#include <cerrno>
#include <csignal>
#include <initializer_list>

#include "common/platform.h"

namespace quornax {

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
