// What the systems the program runs on do differently, behind one small
// interface: platform_posix.cpp for Linux and its kin, platform_windows.cpp
// for Windows. Everything else is written once, against POSIX calls and
// these functions.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

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
// An exclusive create fails on a link already standing under the name, as
// on POSIX; the program opens nothing else by a name that it does not want
// to follow.
#define O_NOFOLLOW 0
// No O_DIRECTORY: the C runtime cannot open a folder at all, and the one
// folder the program opens, to lock it, is handled below.

struct iovec {
    void* iov_base;
    size_t iov_len;
};
ssize_t writev(int fd, const iovec* pieces, int count);
// As on POSIX, neither moves the descriptor's position.
ssize_t pread(int fd, void* buffer, size_t count, off_t offset);
ssize_t preadv(int fd, const iovec* pieces, int count, off_t offset);
#else
#include <sys/uio.h>
#endif

namespace quornax {

// Standard output and standard error carry exactly the bytes written, and
// standard error is unbuffered, as C has it (the Windows C runtime buffers
// it fully when it is not a console, which would move messages behind
// later listing lines in a file that takes both). For the program's main,
// before anything is printed.
void prepare_standard_streams();

// The text for an errno value, worded as glibc words it, so that messages
// read the same on every system.
const char* error_text(int error_number);

// After an open of name failed: a folder under the name sets errno to
// EISDIR, as Linux does, where Windows says EACCES.
void explain_open_failure(const char* name);

// unlink() that also removes a read-only file, as Linux does when the
// folder is writable; a folder under the name fails with EISDIR. Windows
// removes no file that is still open, by this process or another: close
// it first.
int remove_file(const char* name);

// The working directory held for one conversion, so that a second
// conversion there waits until the first lets go. Holding ends with
// unlock_working_directory, or with the holder's death. A directory that
// cannot be held gives not_locked, and the conversion goes on without.
using directory_lock = intptr_t;
constexpr directory_lock not_locked = -1;
directory_lock lock_working_directory();
void unlock_working_directory(directory_lock lock);

// handler runs when a signal ends the run (SIGINT, SIGTERM and, where the
// system has them, SIGHUP and SIGPIPE), with the signal's disposition reset
// to the default on entry, so that raising it again ends the run as the
// signal would have. A signal ignored by whoever started the run, as for a
// background job, stays ignored.
void catch_ending_signals(void (*handler)(int));

// Past a file size limit, writes fail with EFBIG instead of the signal
// ending the run unreported. Windows knows no such limit.
void ignore_file_size_signal();

}  // namespace quornax
