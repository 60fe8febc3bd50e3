#include "tap/tap_reader.h"

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "tap/block_descriptor.h"

namespace quornax {

int64_t tap_size = -1;
tap_stream tape;
bool tap_block_damaged = false;

namespace {

constexpr size_t length_word_size = 2;

constexpr uint8_t header_flag = 0x00;
constexpr uint8_t data_flag = 0xFF;

// Header block, offsets from the flag byte.
constexpr size_t block_flag = 0;
constexpr size_t header_type = 1;
constexpr size_t header_name = 2;
constexpr size_t header_data_length = 12;
constexpr size_t header_param1 = 14;
constexpr size_t header_array_name = 15;
constexpr size_t header_param2 = 16;
constexpr size_t header_checksum = 18;
constexpr size_t header_block_length = 19;

// The block was read whole: the tape goes on after it.
int report_damaged_block(const char* message) {
    tap_block_damaged = true;
    return report_tap_error(message);
}

// Decoded into a copy: a header refused leaves the descriptor, and a
// header waiting in it, as they were.
int decode_header(size_t block_length) {
    const uint8_t* block = work_buffer;
    if (block_length != header_block_length)
        return report_damaged_block("TAP header is too short");
    block_descriptor header = descriptor;
    header.type = block[header_type];
    if (header.type > block_code)
        return report_damaged_block("unknown block type in TAP header");
    std::memcpy(header.name, block + header_name, name_chars);
    header.name[name_chars] = '\0';
    header.length = get_le16(block + header_data_length);
    bool array = header.type == block_number_array ||
                 header.type == block_char_array;
    header.param1 = array ? 0 : get_le16(block + header_param1);
    header.param2 = array ? 0 : get_le16(block + header_param2);
    // Basic and code headers leave the variable byte as it was.
    if (array) header.array_name = block[header_array_name];
    if (tap_checksum(block, header_checksum) != block[header_checksum])
        return report_damaged_block("bad checksum of TAP header");
    descriptor = header;
    descriptor.valid = 1;
    return tap_header;
}

// A data block of length 0 never gets here: its flag position still holds
// the zero low byte of its length word, so it reads as a header.
int check_data_block(size_t block_length) {
    size_t checksum_at = block_length - 1;
    if (tap_checksum(work_buffer, checksum_at) != work_buffer[checksum_at])
        return report_damaged_block("bad checksum of TAP data block");
    data_length = static_cast<uint16_t>(block_length - 2);
    return tap_data;
}

// One read of the system, again when a signal cut it short: the bytes it
// gave, 0 at the end, -1 after a report naming the tape.
ssize_t read_tape(int fd, uint8_t* to, size_t count) {
    for (;;) {
        ssize_t got = read(fd, to, count);
        if (got >= 0) return got;
        if (errno != EINTR) {
            report_system_error(tap_name);
            return -1;
        }
    }
}

ssize_t fill_buffer(tap_stream& stream) {
    ssize_t got = read_tape(stream.fd, stream.buffer, sizeof stream.buffer);
    stream.next = 0;
    stream.end = got > 0 ? static_cast<size_t>(got) : 0;
    return got;
}

}  // namespace

// What the buffer holds first, then a long rest straight from the file and a
// short one through the buffer.
ssize_t take_tap_bytes(tap_stream& stream, uint8_t* to, size_t count) {
    size_t taken = 0;
    while (taken < count) {
        if (stream.next == stream.end) {
            size_t rest = count - taken;
            ssize_t got = rest >= sizeof stream.buffer / 2
                              ? read_tape(stream.fd, to + taken, rest)
                              : fill_buffer(stream);
            if (got < 0) return -1;
            if (got == 0) break;
            if (rest >= sizeof stream.buffer / 2) {
                taken += static_cast<size_t>(got);
                continue;
            }
        }
        size_t piece = std::min(count - taken, stream.end - stream.next);
        std::memcpy(to + taken, stream.buffer + stream.next, piece);
        stream.next += piece;
        taken += piece;
    }
    return static_cast<ssize_t>(taken);
}

ssize_t peek_tap_bytes(tap_stream& stream, size_t count) {
    while (stream.end - stream.next < count &&
           stream.end < sizeof stream.buffer) {
        ssize_t got = read_tape(stream.fd, stream.buffer + stream.end,
                                sizeof stream.buffer - stream.end);
        if (got < 0) return -1;
        if (got == 0) break;
        stream.end += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(stream.end - stream.next);
}

uint8_t tap_checksum(const uint8_t* bytes, size_t count) {
    uint8_t sum = 0;
    if (bytes == nullptr) return 0;
    for (size_t i = 0; i < count; ++i) sum ^= bytes[i];
    return sum;
}

int report_tap_error(const char* message) {
    flush_listing();
    if (tap_name != nullptr) std::fputs(tap_name, stderr);
    if (message != nullptr && *message != '\0')
        std::fprintf(stderr, ": %s", message);
    std::fputs(" !\n", stderr);
    return -1;
}

void start_tap_stream(tap_stream& stream, int fd) {
    stream.fd = fd;
    stream.position = 0;
    stream.next = 0;
    stream.end = 0;
    stream.container = tape_unknown;
    stream.tzx_rom_data = false;
    stream.tzx_other_data = false;
    stream.tzx_without_rom_data = false;
}

int read_tap_chunk(tap_stream& stream, size_t count) {
    if (stream.position >= tap_size) return tap_end;
    // A stream tells where it ends only by ending: one that ends before a
    // length word or a block ends the tape, as a regular file's size does.
    if (tap_size == tap_size_unknown && stream.next == stream.end) {
        ssize_t got = fill_buffer(stream);
        if (got < 0) return -1;
        if (got == 0) return tap_end;
    }
    ssize_t got = take_tap_bytes(stream, work_buffer, count);
    if (got < 0) return -1;
    stream.position += got;
    // Judging a short block over what the buffer held before would be
    // judging bytes that are not on the tape.
    if (static_cast<size_t>(got) < count)
        return report_tap_error("TAP block is cut short by end of TAP file");
    return 0;
}

int read_tap_block(tap_stream& stream) {
    tap_block_damaged = false;
    int result = read_tap_chunk(stream, length_word_size);
    if (result != 0) return result;
    size_t block_length = get_le16(work_buffer);
    // Measured against the whole file, not what is left of it: a block that
    // passes but runs past the end is caught as cut short.
    if (static_cast<int64_t>(block_length) > tap_size)
        return report_tap_error(
            "TAP block length is greater than size of TAP file");
    result = read_tap_chunk(stream, block_length);
    if (result != 0) return result;
    return judge_tap_block(block_length);
}

int judge_tap_block(size_t block_length) {
    switch (work_buffer[block_flag]) {
        case header_flag:
            return decode_header(block_length);
        case data_flag:
            return check_data_block(block_length);
        default:
            return report_damaged_block("flag byte 00h or FFh is expected");
    }
}

}  // namespace quornax
