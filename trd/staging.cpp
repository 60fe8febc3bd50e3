#include "trd/staging.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
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
    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_BINARY;
constexpr int reopen_flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_BINARY;

// What the run keeps of each staging file besides its name.
struct staged_file {
    bool kept;        // fd is open; otherwise the file is read back by name
    int fd;
    bool identified;  // identity is known: taken when fd was given back
    file_identity identity;
};

staged_file staged[max_staged_blocks];

// The working directory, held locked while staging files exist. Without
// the lock another run may replace a staging name at any time, so a name
// is deleted only while it still names this run's file.
lock_handle directory_lock = not_locked;
// Let go between conversions, the working directory stays open, to be
// held again for the next.
lock_handle directory_kept = not_locked;

bool directory_shared() { return directory_lock == not_locked; }

// The identity of staging file i: that of its descriptor while it is
// kept, else the one taken when the descriptor was given back. False where
// it cannot be known. Async-signal-safe.
bool own_identity(int i, file_identity* identity) {
    if (staged[i].kept) return identify_open_file(staged[i].fd, identity) == 0;
    *identity = staged[i].identity;
    return staged[i].identified;
}

// Closes staging file i's descriptor, its identity kept for reading it
// back by name and for deleting the name.
void let_go(int i) {
    if (!staged[i].kept) return;
    staged[i].identified =
        identify_open_file(staged[i].fd, &staged[i].identity) == 0;
    staged[i].kept = false;
    if (close(staged[i].fd) != 0) report_system_error(staging_table[i]);
}

// Where the process has run out of descriptors, the last staging file still
// kept open is closed instead, to be read back by name.
bool give_back_descriptor() {
    for (int i = max_staged_blocks - 1; i >= 0; --i) {
        if (!staged[i].kept) continue;
        let_go(i);
        return true;
    }
    return false;
}

// Whether name is what format makes of a number up to limit.
bool made_by(const char* format, const char* name, unsigned long limit) {
    const char* digits = name + std::strcspn(format, "%");
    if (std::strncmp(name, format, digits - name) != 0) return false;
    char* end = nullptr;
    unsigned long number = std::strtoul(digits, &end, 16);
    if (end == digits || number > limit) return false;
    char made[staging_name_size + sizeof image_temporary_format];
    std::snprintf(made, sizeof made, format, static_cast<unsigned>(number));
    return std::strcmp(made, name) == 0;
}

// Removes every staging file in the working directory: only a run holding
// it may, since they are then nobody's. An image temporary may be the live
// one of a run in another folder writing its image here: it goes only if
// nobody holds it. A link is removed, never followed. What cannot go is
// met, and reported, when its name is created again.
void remove_leftovers() {
    DIR* folder = opendir(".");
    if (folder == nullptr) return;
    while (dirent* entry = readdir(folder)) {
        const char* name = entry->d_name;
        if (made_by(staging_name_format, name, max_staged_blocks - 1))
            remove_file(name);
        else if (made_by(image_temporary_format, name, UINT_MAX))
            remove_if_abandoned(name);
    }
    closedir(folder);
}

// Something may already stand under the name: a leftover staging file, or
// a symbolic link planted there. Remove it and create the file anew,
// exclusively, so that no link is ever followed. Where runs share the
// directory unlocked, another may take the name again in between: a few
// more tries, but not for ever, and never past what cannot be removed.
int create_staging_file(const char* name) {
    constexpr int tries = 8;
    int fd = open_sparing_descriptors(name, create_flags, staging_mode);
    // A run that was killed left its first staging file before anything
    // else: meeting it is the sign to clear whatever such a run left.
    if (fd < 0 && errno == EEXIST && staged_count == 0 && !directory_shared()) {
        remove_leftovers();
        fd = open_sparing_descriptors(name, create_flags, staging_mode);
    }
    for (int i = 1; i < tries && fd < 0 && errno == EEXIST; ++i) {
        if (remove_file(name) != 0 && errno != ENOENT) {
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
    remove_file(name);
    return -1;
}

// A staging file given back to spare a descriptor is opened by name again:
// the name must still be this run's file, whoever may have replaced it.
int reopen_staged_file(int i) {
    int fd = open_sparing_descriptors(staging_table[i], reopen_flags, 0);
    if (fd < 0) return fd;
    file_identity found;
    if (staged[i].identified && identify_open_file(fd, &found) == 0 &&
        found == staged[i].identity)
        return fd;
    close(fd);
    errno = EIO;
    return -1;
}

// Deletes staging file i's name; where others share the directory, only
// while it still names this run's file (own).
void unlink_staged_name(int i, const file_identity* own) {
    const char* name = staging_table[i];
    if (own != nullptr) {
        file_identity found;
        if (identify_name(name, &found) != 0) {
            if (errno != ENOENT) report_system_error(name);
            return;
        }
        if (!(found == *own)) return;
    }
    // Gone in the meantime is as good as deleted where others share it.
    if (remove_file(name) != 0 && !(own != nullptr && errno == ENOENT))
        report_system_error(name);
}

}  // namespace

void lock_staging_directory() {
    if (directory_lock != not_locked) return;
    directory_lock = lock_working_directory(directory_kept);
    directory_kept = not_locked;
}

void unlock_staging_directory() {
    if (directory_lock == not_locked) return;
    unlock_working_directory(directory_lock, true);
    directory_kept = directory_lock;
    directory_lock = not_locked;
}

void close_staging_directory() {
    unlock_staging_directory();
    unlock_working_directory(directory_kept);
    directory_kept = not_locked;
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
    std::snprintf(name, staging_name_size, staging_name_format,
                  static_cast<unsigned>(staged_count));
    // Runs in one directory take turns from their first staging file on,
    // so that a run waiting for its tape holds up no other.
    if (staged_count == 0) lock_staging_directory();
    // A signal handler deletes the file being created by its name alone
    // where the directory is held and open files can be deleted; elsewhere
    // it must know the file, so signals wait until it is recorded.
    bool guarded = directory_shared() || !removes_open_files;
    if (guarded) block_ending_signals();
    int fd = create_staging_file(name);
    if (fd >= 0) {
        // Kept from here on: a signal handler may have to close it.
        file.kept = true;
        file.fd = fd;
    }
    if (guarded) unblock_ending_signals();
    if (fd < 0) return -1;
    uint8_t stored[stored_descriptor_size];
    store_descriptor(descriptor, stored);
    iovec pieces[] = {{stored, sizeof stored},
                      {work_buffer + payload_offset, data_length}};
    if (write_pieces(fd, pieces, 2) != 0) {
        file.kept = false;
        return discard_staging_file(fd, name);
    }
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
    for (int i = staged_count - 1; i >= 0; --i) {
        char* name = staging_table[i];
        if (name[0] == '\0') continue;
        file_identity own;
        bool shared = directory_shared();
        bool known = !shared || own_identity(i, &own);
        // Where open files cannot be deleted the descriptor goes first.
        // Elsewhere it stays open until the name is gone, so that no file
        // of another run can get its inode and pass for this one.
        if (!removes_open_files) let_go(i);
        if (known) unlink_staged_name(i, shared ? &own : nullptr);
        if (staged[i].kept && close(staged[i].fd) != 0)
            report_system_error(name);
        staged[i].kept = false;
        staged[i].identified = false;
        name[0] = '\0';
    }
}

void remove_staging_files_on_signal() {
    // From the file being created, which is not counted yet, down to the
    // first, which goes last.
    int last = staged_count < max_staged_blocks ? staged_count
                                                 : max_staged_blocks - 1;
    for (int i = last; i >= 0; --i) {
        const char* name = staging_table[i];
        if (name[0] == '\0') continue;
        file_identity own, found;
        bool shared = directory_shared();
        bool known = !shared || own_identity(i, &own);
        if (!removes_open_files && staged[i].kept) {
            release_on_signal(staged[i].fd);
            staged[i].kept = false;
        }
        if (known && (!shared || (identify_name(name, &found) == 0 &&
                                  found == own)))
            remove_file(name);
    }
}

}  // namespace quornax
