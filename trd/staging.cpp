#include "trd/staging.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "tap/block_descriptor.h"

namespace quornax {

int staged_count = 0;
char staging_table[max_staged_blocks][staging_name_size];

namespace {

constexpr mode_t staging_mode = 0666;  // reduced by the umask

// Created afresh, never through a link; read back through the descriptor.
constexpr int create_flags =
    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr int reopen_flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC;

// What the run keeps of each staging file besides its name.
struct staged_file {
    bool kept;       // fd is open; otherwise the file is read back by name
    int fd;
    bool identified; // device and inode are known
    dev_t device;
    ino_t inode;
};

staged_file staged[max_staged_blocks];

// The working directory, held locked while staging files exist; -1 when
// it is not held. Without the lock another run may replace a staging name
// at any time, so each file's identity is then kept and checked.
int directory_lock = -1;

bool directory_shared() { return directory_lock < 0; }

// Where the process has run out of descriptors, the last staging file still
// kept open is closed instead, to be read back by name.
bool give_back_descriptor() {
    for (int i = max_staged_blocks - 1; i >= 0; --i) {
        if (!staged[i].kept) continue;
        staged[i].kept = false;
        if (close(staged[i].fd) != 0) report_system_error(staging_table[i]);
        return true;
    }
    return false;
}

bool same_file(const struct stat& status, const staged_file& file) {
    return file.identified && status.st_dev == file.device &&
           status.st_ino == file.inode;
}

// Something may already stand under the name: a leftover staging file, or
// a symbolic link planted there. Remove it and create the file anew,
// exclusively, so that no link is ever followed. Where runs share the
// directory unlocked, another may take the name again in between: a few
// more tries, but not for ever, and never past what cannot be removed.
int create_staging_file(const char* name) {
    constexpr int tries = 8;
    int fd = open_sparing_descriptors(name, create_flags, staging_mode);
    for (int i = 1; i < tries && fd < 0 && errno == EEXIST; ++i) {
        if (unlink(name) != 0 && errno != ENOENT) {
            errno = EEXIST;
            break;
        }
        fd = open_sparing_descriptors(name, create_flags, staging_mode);
    }
    if (fd < 0) report_system_error(name);
    return fd;
}

// A half-written staging file is useless and would not be cleaned up later,
// since it is not counted as staged.
int discard_staging_file(int fd, const char* name) {
    report_system_error(name);
    close(fd);
    unlink(name);
    return -1;
}

// Where the name may be taken over, the file's identity tells at clean-up
// whether the name is still this run's.
int identify(staged_file& file, int fd) {
    struct stat status;
    if (fstat(fd, &status) != 0) return -1;
    file.identified = true;
    file.device = status.st_dev;
    file.inode = status.st_ino;
    return 0;
}

// A staging file given back to spare a descriptor is opened by name again;
// in a shared directory the name must still be this run's file.
int reopen_staged_file(int i) {
    int fd = open_sparing_descriptors(staging_table[i], reopen_flags, 0);
    if (fd < 0 || !directory_shared()) return fd;
    struct stat status;
    if (fstat(fd, &status) == 0 && same_file(status, staged[i])) return fd;
    close(fd);
    errno = EIO;
    return -1;
}

// Deletes staging file i's name unless another run has taken it over.
void unlink_staged_name(int i) {
    const char* name = staging_table[i];
    if (directory_shared()) {
        struct stat status;
        if (lstat(name, &status) != 0) {
            if (errno != ENOENT) report_system_error(name);
            return;
        }
        if (!same_file(status, staged[i])) return;
    }
    // Gone in the meantime is as good as deleted where others share it.
    if (unlink(name) != 0 && !(directory_shared() && errno == ENOENT))
        report_system_error(name);
}

}  // namespace

void lock_staging_directory() {
    directory_lock = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory_lock < 0) return;
    while (flock(directory_lock, LOCK_EX) != 0) {
        if (errno != EINTR) {
            unlock_staging_directory();
            return;
        }
    }
}

// Closing the only descriptor releases the lock.
void unlock_staging_directory() {
    if (directory_lock >= 0) close(directory_lock);
    directory_lock = -1;
}

int open_sparing_descriptors(const char* name, int flags, mode_t mode) {
    for (;;) {
        int fd = open(name, flags, mode);
        if (fd >= 0 || (errno != EMFILE && errno != ENFILE)) return fd;
        int saved_errno = errno;
        if (!give_back_descriptor()) {
            errno = saved_errno;
            return -1;
        }
    }
}

int stage_block() {
    // The driver stages only while the table has room; the index is checked
    // all the same, since it picks the entry written.
    if (descriptor.valid == 0 || staged_count < 0 ||
        staged_count >= max_staged_blocks)
        return -1;
    staged_file& file = staged[staged_count];
    file = staged_file{};
    char* name = staging_table[staged_count];
    std::snprintf(name, staging_name_size, "_ZX%04X_.@@@",
                  static_cast<unsigned>(staged_count));
    int fd = create_staging_file(name);
    if (fd < 0) return -1;
    uint8_t stored[stored_descriptor_size];
    store_descriptor(descriptor, stored);
    iovec pieces[] = {{stored, sizeof stored},
                      {work_buffer + payload_offset, data_length}};
    if (write_pieces(fd, pieces, 2) != 0 ||
        (directory_shared() && identify(file, fd) != 0))
        return discard_staging_file(fd, name);
    file.kept = true;
    file.fd = fd;
    return 0;
}

int read_staged_file(int i, uint8_t* stored, uint8_t* payload,
                     size_t payload_length) {
    const char* name = staging_table[i];
    bool reopened = !staged[i].kept;
    int fd = reopened ? reopen_staged_file(i) : staged[i].fd;
    if (fd < 0) {
        report_system_error(name);
        return -1;
    }
    if (payload == nullptr) payload_length = 0;
    iovec pieces[] = {{stored, stored_descriptor_size},
                      {payload, payload_length}};
    ssize_t got = read_pieces_at(fd, pieces, 2, 0);
    int read_errno = errno;
    // Only read from: a failed close loses nothing.
    if (reopened) close(fd);
    if (got == static_cast<ssize_t>(stored_descriptor_size + payload_length))
        return 0;
    // A file cut short gives no error of its own, but it lost data.
    errno = got < 0 ? read_errno : EIO;
    report_system_error(name);
    return -1;
}

void remove_staging_files() {
    for (int i = 0; i < staged_count; ++i) {
        char* name = staging_table[i];
        if (name[0] == '\0') continue;
        unlink_staged_name(i);
        if (staged[i].kept && close(staged[i].fd) != 0)
            report_system_error(name);
        staged[i].kept = false;
        name[0] = '\0';
    }
}

void remove_staging_files_on_signal() {
    // Up to the file being created, which is not counted yet.
    for (int i = 0; i <= staged_count && i < max_staged_blocks; ++i) {
        const char* name = staging_table[i];
        if (name[0] == '\0') continue;
        struct stat status;
        if (!directory_shared() ||
            (lstat(name, &status) == 0 && same_file(status, staged[i])))
            unlink(name);
    }
}

}  // namespace quornax
