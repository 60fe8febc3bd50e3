// What the systems the program runs on do differently, behind one small
// interface: POSIX calls inline here and in platform_posix.cpp, Windows in
// platform_windows.cpp. Everything else is written once, against POSIX
// calls and these functions.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

// A tape may be larger than 4 GiB, and its size and every position in it
// must come out right: 32-bit offsets would misread it quietly.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

// Only Windows has a text mode, which would turn every newline written into
// CR LF and every byte 0x1A read into an end of file.
#ifndef O_BINARY
#define O_BINARY 0
#endif

#ifdef _WIN32
// What the Windows C runtime lacks, with the POSIX names and meanings.

// Children do not inherit the descriptor.
#define O_CLOEXEC O_NOINHERIT
// An exclusive create fails on a link standing under the name, as on
// POSIX; a staging file opened again by name is checked by its identity
// where that matters (see staging.cpp).
#define O_NOFOLLOW 0

struct iovec {
    void* iov_base;
    size_t iov_len;
};
#define IOV_MAX 1024
ssize_t writev(int fd, const iovec* pieces, int count);
// Neither moves the descriptor's position, as on POSIX.
ssize_t pread(int fd, void* buffer, size_t count, off_t offset);
ssize_t preadv(int fd, const iovec* pieces, int count, off_t offset);
#else
#include <sys/uio.h>
#endif

namespace quornax {

// What tells one file from another, whatever name it is reached by: on
// POSIX its device and inode, and since a file deleted leaves its inode
// number to the next one made, its change time and size too; on Windows
// its volume's serial number and its file index, whose high bits count
// the reuses of its record.
struct file_identity {
    uint64_t volume;
    uint64_t index;
    uint64_t changed;
    uint64_t size;
};

inline bool operator==(const file_identity& a, const file_identity& b) {
    return a.volume == b.volume && a.index == b.index &&
           a.changed == b.changed && a.size == b.size;
}

#ifdef _WIN32
// Windows deletes no file that is open, in this process or another: a
// file is closed before it is deleted.
constexpr bool removes_open_files = false;

// Described with their POSIX versions below.
void prepare_standard_streams();
const char* error_text(int error_number);
void explain_open_failure(const char* name);
int remove_file(const char* name);
int identify_open_file(int fd, file_identity* identity);
int identify_name(const char* name, file_identity* identity);
void release_on_signal(int fd);
#else
constexpr bool removes_open_files = true;

// Standard output and standard error carry exactly the bytes written, and
// standard error is unbuffered, as C has it. For the program's main,
// before anything is printed.
inline void prepare_standard_streams() {}

// The text for an errno value, worded as glibc words it, so that messages
// read the same on every system.
inline const char* error_text(int error_number) {
    return std::strerror(error_number);
}

// After an open of name failed: a folder under the name sets errno to
// EISDIR, where Windows says EACCES.
inline void explain_open_failure(const char*) {}

// unlink() that also deletes a read-only file, as POSIX does when the
// folder is writable; a folder under the name fails with EISDIR.
inline int remove_file(const char* name) { return unlink(name); }

// The identity of an open file, or of whatever stands under name, a link
// not followed. 0, or -1 with errno set; async-signal-safe on POSIX.
inline file_identity identity_of(const struct stat& status) {
    return {static_cast<uint64_t>(status.st_dev),
            static_cast<uint64_t>(status.st_ino),
            static_cast<uint64_t>(status.st_ctim.tv_sec) * 1000000000u +
                static_cast<uint64_t>(status.st_ctim.tv_nsec),
            static_cast<uint64_t>(status.st_size)};
}

inline int identify_open_file(int fd, file_identity* identity) {
    struct stat status;
    if (fstat(fd, &status) != 0) return -1;
    *identity = identity_of(status);
    return 0;
}

inline int identify_name(const char* name, file_identity* identity) {
    struct stat status;
    if (lstat(name, &status) != 0) return -1;
    *identity = identity_of(status);
    return 0;
}

// Closes fd in a signal handler, so that its file can be deleted where
// open files cannot, without waiting for a write on it that the run was
// in the middle of. Nothing else may use fd afterwards.
inline void release_on_signal(int fd) { close(fd); }
#endif

// What stands under the name an image is to be written to. A new image
// is written under a name of its own and renamed over a replaceable file,
// so that a failure leaves the earlier file as it was; anything else (a
// link, a FIFO or device, a file with more hard links, a folder, a file
// this process may not write, or a name that cannot be looked at) is
// written in place, or fails as an overwrite would.
enum class name_use { absent, replaceable, in_place };

// What a new image takes over from the file it replaces.
struct replaced_file {
    mode_t mode;     // its permission bits
    uint32_t owner;  // its owner and group, where the system has them
    uint32_t group;
};
name_use examine_image_name(const char* name, replaced_file* replaced);

// Gives the file under fd the owner, group and permission bits of the
// replaced file; 0, or -1 with errno set: EPERM where this process may not
// give a file to that owner or group. Windows keeps only a read-only flag,
// and a file replaced was writable: nothing to do there.
int take_over_file(int fd, const replaced_file& replaced);

// Renames from over to, replacing a file of that name in one step.
// 0, or -1 with errno set.
int replace_file(const char* from, const char* to);

// An image's temporary file belongs to the run that holds it, for as long
// as that run lives; another run that meets its name leaves it alone.
// hold_temporary holds the file just created under fd: 0, or -1 where
// another process holds it or has removed its name already (a run that
// met it as an abandoned one), so that the name is not this run's.
int hold_temporary(int fd);

// Deletes the temporary file under name unless a live run holds it; a
// link, or anything else but a regular file, goes unasked (a link without
// its target). 0 when deleted, -1 otherwise; async-signal-safe on POSIX.
int remove_if_abandoned(const char* name);

// Opens the null device under whichever of descriptors 0, 1 and 2 is
// closed, so that no file of the run takes its number: read-only, so that
// standard input reads as empty and a write to standard output or
// standard error fails with EBADF, as it would have. For the program's
// main, first thing.
void fill_standard_descriptors();

// The signals that end a run wait from block_ending_signals until
// unblock_ending_signals: a file created in between is recorded before
// the handler can look for it, and a signal that came meanwhile is handled
// then, with the file known.
void block_ending_signals();
void unblock_ending_signals();

// The working directory held for one conversion, so that a second
// conversion there waits until the first lets go. Holding ends with
// unlock_working_directory, or with the holder's death. A directory that
// cannot be held gives not_locked, and the conversion goes on without.
// Let go with keep, the handle stays open, to be given back as kept and
// held again for the next conversion at less cost than a new one.
using lock_handle = intptr_t;
constexpr lock_handle not_locked = -1;
lock_handle lock_working_directory(lock_handle kept = not_locked);
void unlock_working_directory(lock_handle lock, bool keep = false);

// handler runs when a signal ends the run (SIGINT, SIGTERM and, where the
// system has them, SIGHUP and SIGPIPE), with the signal's disposition reset
// to the default on entry, so that raising it again ends the run as the
// signal would have. A signal ignored by whoever started the run, as for a
// background job, stays ignored. Past a file size limit, writes fail with
// EFBIG instead of the signal ending the run unreported.
void prepare_ending_signals(void (*handler)(int));

}  // namespace quornax
