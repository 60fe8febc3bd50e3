#include <io.h>
#include <windows.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include "common/platform.h"

namespace {

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

int errno_of_read_failure(DWORD error) {
    switch (error) {
        case ERROR_INVALID_HANDLE:
        case ERROR_ACCESS_DENIED:  // not open for reading
            return EBADF;
        default:
            return EIO;
    }
}

int errno_of_lookup_failure(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return EACCES;
        default:
            return EIO;
    }
}

int identify_handle(HANDLE file, quornax::file_identity* identity) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file, &information)) {
        errno = errno_of_lookup_failure(GetLastError());
        return -1;
    }
    // The index's high bits count the reuses of the file's record, so
    // volume and index alone tell a file from one made after it.
    *identity = quornax::file_identity{};
    identity->volume = information.dwVolumeSerialNumber;
    identity->index = static_cast<uint64_t>(information.nFileIndexHigh) << 32 |
                      information.nFileIndexLow;
    return 0;
}

bool is_folder(const char* name) {
    DWORD attributes = GetFileAttributesA(name);
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

// A single read at an offset moves the Windows file position, so it is put
// back: the descriptor's next write must land where POSIX would put it.
ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
    HANDLE file = handle_of(fd);
    if (file == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
        errno = ESPIPE;
        return -1;
    }
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    LARGE_INTEGER position{};
    if (!SetFilePointerEx(file, LARGE_INTEGER{}, &position, FILE_CURRENT)) {
        errno = EBADF;
        return -1;
    }
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    DWORD wanted = count > MAXDWORD / 2 ? MAXDWORD / 2 : static_cast<DWORD>(count);
    DWORD got = 0;
    BOOL read = ReadFile(file, buffer, wanted, &got, &at);
    DWORD error = read ? ERROR_SUCCESS : GetLastError();
    SetFilePointerEx(file, position, nullptr, FILE_BEGIN);
    if (!read && error != ERROR_HANDLE_EOF) {
        errno = errno_of_read_failure(error);
        return -1;
    }
    return static_cast<ssize_t>(got);
}

ssize_t preadv(int fd, const iovec* pieces, int count, off_t offset) {
    ssize_t total = 0;
    for (int i = 0; i < count; ++i) {
        ssize_t got = pread(fd, pieces[i].iov_base, pieces[i].iov_len,
                            offset + total);
        if (got < 0) return total > 0 ? total : -1;
        total += got;
        if (static_cast<size_t>(got) < pieces[i].iov_len) break;
    }
    return total;
}

ssize_t writev(int fd, const iovec* pieces, int count) {
    ssize_t total = 0;
    for (int i = 0; i < count; ++i) {
        size_t length = pieces[i].iov_len;
        if (length == 0) continue;
        int written = _write(fd, pieces[i].iov_base, static_cast<unsigned>(length));
        if (written < 0) return total > 0 ? total : -1;
        total += written;
        if (static_cast<size_t>(written) < length) break;
    }
    return total;
}

namespace quornax {

// Standard input too, for a tape that comes through it.
void prepare_standard_streams() {
    std::fflush(stdout);
    std::fflush(stderr);
    for (int fd : {0, 1, 2}) _setmode(fd, O_BINARY);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

// The C runtime's own wording differs from glibc's only for these.
const char* error_text(int error_number) {
    switch (error_number) {
        case 0: return "Success";
        case EINTR: return "Interrupted system call";
        case E2BIG: return "Argument list too long";
        case ENOMEM: return "Cannot allocate memory";
        case EBUSY: return "Device or resource busy";
        case EXDEV: return "Invalid cross-device link";
        case ENOTTY: return "Inappropriate ioctl for device";
        case ESPIPE: return "Illegal seek";
        case EDOM: return "Numerical argument out of domain";
        case ERANGE: return "Numerical result out of range";
        case ENAMETOOLONG: return "File name too long";
        case EILSEQ: return "Invalid or incomplete multibyte or wide character";
        default: return std::strerror(error_number);
    }
}

// A name still holding * or ? is a pattern that matched no file (the C
// runtime leaves such a one as it was): missing, as a POSIX shell has it.
void explain_open_failure(const char* name) {
    if (errno == EACCES && is_folder(name)) errno = EISDIR;
    if (errno == EINVAL && std::strpbrk(name, "*?") != nullptr) errno = ENOENT;
}

// Windows refuses to delete a read-only file, whatever the folder allows.
// The attribute comes back if the file still cannot go.
int remove_file(const char* name) {
    if (_unlink(name) == 0) return 0;
    if (errno != EACCES) return -1;
    if (is_folder(name)) {
        errno = EISDIR;
        return -1;
    }
    DWORD attributes = GetFileAttributesA(name);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
        !SetFileAttributesA(name, attributes & ~FILE_ATTRIBUTE_READONLY)) {
        errno = EACCES;
        return -1;
    }
    if (_unlink(name) == 0) return 0;
    int error = errno;
    SetFileAttributesA(name, attributes);
    errno = error;
    return -1;
}

// The C runtime's stat knows no inode: the file index stands in for it.
int identify_open_file(int fd, file_identity* identity) {
    HANDLE file = handle_of(fd);
    if (file == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    return identify_handle(file, identity);
}

// Opened for its attributes alone, which no sharing mode refuses; a link
// is looked at itself, not followed.
int identify_name(const char* name, file_identity* identity) {
    HANDLE file = CreateFileA(
        name, FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errno = errno_of_lookup_failure(GetLastError());
        return -1;
    }
    int result = identify_handle(file, identity);
    CloseHandle(file);
    return result;
}

namespace {

// Abandoned: the holder died, and the folder is ours now.
lock_handle hold_mutex(HANDLE mutex) {
    DWORD waited = WaitForSingleObject(mutex, INFINITE);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return not_locked;
    }
    return reinterpret_cast<lock_handle>(mutex);
}

}  // namespace

// A named mutex stands in for flock on the folder: it is waited on the same
// way, no file is added to the folder, and Windows hands it on when its
// holder dies. Its name comes from the folder's final path, so that runs
// reaching one folder by different names (a link, another letter case, a
// drive letter and a mount point) still wait for each other; the path is
// hashed, since a mutex name is limited and may hold no backslash.
lock_handle lock_working_directory(lock_handle kept) {
    if (kept != not_locked) return hold_mutex(reinterpret_cast<HANDLE>(kept));
    HANDLE folder = CreateFileW(
        L".", FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) return not_locked;
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = 0;
    // The device name is the same through every drive letter and mount
    // point; a volume without one still has its letter.
    for (DWORD volume : {VOLUME_NAME_NT, VOLUME_NAME_DOS}) {
        for (;;) {
            length = GetFinalPathNameByHandleW(
                folder, path.data(), static_cast<DWORD>(path.size()),
                FILE_NAME_NORMALIZED | volume);
            if (length < path.size()) break;
            path.resize(length + 1);
        }
        if (length != 0) break;
    }
    CloseHandle(folder);
    if (length == 0) return not_locked;
    LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, path.data(),
                  static_cast<int>(length), path.data(),
                  static_cast<int>(length), nullptr, nullptr, 0);
    uint64_t hash = 0xcbf29ce484222325u;  // FNV-1a
    for (DWORD i = 0; i < length; ++i) {
        hash ^= static_cast<uint16_t>(path[i]);
        hash *= 0x100000001b3u;
    }
    wchar_t name[40];
    std::swprintf(name, sizeof name / sizeof name[0], L"quornax-folder-%016llx",
                  static_cast<unsigned long long>(hash));
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (mutex == nullptr) return not_locked;
    return hold_mutex(mutex);
}

void unlock_working_directory(lock_handle lock, bool keep) {
    if (lock == not_locked) return;
    HANDLE mutex = reinterpret_cast<HANDLE>(lock);
    ReleaseMutex(mutex);
    if (!keep) CloseHandle(mutex);
}

// The C runtime's stat knows neither links nor the count of a file's
// names: the file's own information tells both.
name_use examine_image_name(const char* name, replaced_file* replaced) {
    DWORD attributes = GetFileAttributesA(name);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? name_use::absent
                                                      : name_use::in_place;
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                       FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_READONLY)) != 0)
        return name_use::in_place;
    HANDLE file = CreateFileA(
        name, FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return name_use::in_place;
    BY_HANDLE_FILE_INFORMATION information;
    bool one_name = GetFileInformationByHandle(file, &information) &&
                    information.nNumberOfLinks == 1 &&
                    GetFileType(file) == FILE_TYPE_DISK;
    CloseHandle(file);
    *replaced = {0666, 0, 0};
    return one_name ? name_use::replaceable : name_use::in_place;
}

int take_over_file(int, const replaced_file&) { return 0; }

int replace_file(const char* from, const char* to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return 0;
    errno = errno_of_lookup_failure(GetLastError());
    return -1;
}

// Windows deletes no file that another process has open: being open holds
// it, and a file that can be deleted is nobody's.
int hold_temporary(int) { return 0; }

int remove_if_abandoned(const char* name) { return remove_file(name); }

// The C runtime keeps descriptors 0 to 2 for the standard streams, also
// where the program was started without one: no file takes their numbers.
void fill_standard_descriptors() {}

namespace {

// Held by the main thread while ending signals wait, and by the thread a
// Ctrl+C comes on before it stops the main thread.
CRITICAL_SECTION signal_gate;
bool signal_gate_ready = false;

}  // namespace

void block_ending_signals() {
    if (signal_gate_ready) EnterCriticalSection(&signal_gate);
}

void unblock_ending_signals() {
    if (signal_gate_ready) LeaveCriticalSection(&signal_gate);
}

void release_on_signal(int fd) {
    HANDLE file = handle_of(fd);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

namespace {

void (*ending_handler)(int) = nullptr;
HANDLE main_thread = nullptr;
DWORD main_thread_id = 0;

// Ctrl+C and Ctrl+Break reach the program on a thread of their own while
// the program goes on: it is stopped first, as a POSIX signal stops it, so
// that the handler finds everything as it was and nothing is printed
// after it; a read or write it waits in is cancelled, since the file could
// not be deleted before that ends. SIGTERM, raised by the program itself,
// comes on its own thread.
void stop_then_handle(int signal_number) {
    if (GetCurrentThreadId() != main_thread_id && main_thread != nullptr) {
        // Never left: the process ends in the handler.
        if (signal_gate_ready) EnterCriticalSection(&signal_gate);
        SuspendThread(main_thread);
        CancelSynchronousIo(main_thread);
    }
    ending_handler(signal_number);
}

}  // namespace

// The C runtime resets a handler to the default before calling it, as
// SA_RESETHAND does, and the default ends the process. Windows has no
// SIGHUP or SIGPIPE: a write to a closed pipe fails with EPIPE or EINVAL
// and is reported; Ctrl+Break comes as SIGBREAK. Windows knows no file
// size limit.
void prepare_ending_signals(void (*handler)(int)) {
    ending_handler = handler;
    InitializeCriticalSection(&signal_gate);
    signal_gate_ready = true;
    main_thread_id = GetCurrentThreadId();
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(),
                         GetCurrentProcess(), &main_thread, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        main_thread = nullptr;
    for (int signal_number : {SIGINT, SIGTERM, SIGBREAK})
        if (std::signal(signal_number, stop_then_handle) == SIG_IGN)
            std::signal(signal_number, SIG_IGN);
}

}  // namespace quornax
