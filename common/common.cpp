#include "common/common.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace quornax {

uint8_t* work_buffer = nullptr;
const char* tap_name = nullptr;

namespace {

// A pipe takes a write of up to PIPE_BUF bytes in one piece.
#ifdef PIPE_BUF
constexpr size_t listing_buffer_size = PIPE_BUF;
#else
constexpr size_t listing_buffer_size = 512;  // the least any system gives
#endif

char listing_buffer[listing_buffer_size];
size_t listing_waiting = 0;  // bytes of whole lines in listing_buffer
int listing_error = 0;       // errno of the first failed write, 0 if none

// Said once: every later line would meet the same fault.
void report_listing_error(int error) {
    if (listing_error != 0) return;
    listing_error = error;
    std::fprintf(stderr, "%s\n", error_text(error));
}

}  // namespace

void write_listing(const char* line, size_t length) {
    if (listing_waiting + length > listing_buffer_size) flush_listing();
    if (length > listing_buffer_size) length = listing_buffer_size;
    std::memcpy(listing_buffer + listing_waiting, line, length);
    listing_waiting += length;
}

void flush_listing() {
    int saved_errno = errno;  // a report may be about to print it
    size_t written = 0;
    while (written < listing_waiting) {
        ssize_t count = write(STDOUT_FILENO, listing_buffer + written,
                              listing_waiting - written);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            report_listing_error(count < 0 ? errno : EIO);
            break;
        }
        written += static_cast<size_t>(count);
    }
    listing_waiting = 0;
    errno = saved_errno;
}

bool listing_failed() { return listing_error != 0; }

int finish_standard_output() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        report_listing_error(errno != 0 ? errno : EIO);
    return listing_failed() ? -1 : 0;
}

void report_system_error(const char* prefix) {
    const char* text = error_text(errno);
    flush_listing();
    if (prefix != nullptr && *prefix != '\0')
        std::fprintf(stderr, "%s: %s\n", prefix, text);
    else
        std::fprintf(stderr, "%s\n", text);
}

namespace {

// Moves past done bytes of the pieces; returns how many pieces are left
// and advances *pieces to the first of them.
int skip_done(iovec** pieces, int count, size_t done) {
    while (count > 0 && done >= (*pieces)->iov_len) {
        done -= (*pieces)->iov_len;
        ++*pieces;
        --count;
    }
    if (count > 0) {
        (*pieces)->iov_base = static_cast<uint8_t*>((*pieces)->iov_base) + done;
        (*pieces)->iov_len -= done;
    }
    return count;
}

// Pieces past IOV_MAX go in the next call.
int at_most_iov_max(int count) { return count < IOV_MAX ? count : IOV_MAX; }

}  // namespace

int write_pieces(int fd, iovec* pieces, int count) {
    count = skip_done(&pieces, count, 0);
    while (count > 0) {
        ssize_t written = writev(fd, pieces, at_most_iov_max(count));
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return -1;
        count = skip_done(&pieces, count, static_cast<size_t>(written));
    }
    return 0;
}

ssize_t read_pieces_at(int fd, iovec* pieces, int count, off_t offset) {
    ssize_t total = 0;
    count = skip_done(&pieces, count, 0);
    while (count > 0) {
        ssize_t got = preadv(fd, pieces, at_most_iov_max(count), offset);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        total += got;
        offset += got;
        count = skip_done(&pieces, count, static_cast<size_t>(got));
    }
    return total;
}

bool is_terminal(int fd) {
    // 0 unknown, 1 a terminal, 2 not; for standard output and error.
    static int known[3];
    if (fd < 0 || fd > 2) return isatty(fd) == 1;
    if (known[fd] == 0) known[fd] = isatty(fd) == 1 ? 1 : 2;
    return known[fd] == 1;
}

const char* shown_name(int fd, const char* name, char* shown, size_t size) {
    if (size == 0) return shown;
    size_t i = 0;
    for (; name[i] != '\0' && i + 1 < size; ++i)
        shown[i] = shown_byte(fd, static_cast<uint8_t>(name[i]));
    shown[i] = '\0';
    return shown;
}

char shown_byte(int fd, uint8_t byte) {
    bool control = byte < 0x20 || (byte >= 0x7F && byte <= 0x9F);
    return control && is_terminal(fd) ? '?' : static_cast<char>(byte);
}

uint16_t get_le16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

uint8_t* put_le16(uint8_t* to, uint16_t value) {
    to[0] = static_cast<uint8_t>(value & 0xFF);
    to[1] = static_cast<uint8_t>(value >> 8);
    return to;
}

}  // namespace quornax
