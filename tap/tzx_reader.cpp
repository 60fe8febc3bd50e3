#include "tap/tzx_reader.h"

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/common.h"

namespace quornax {

namespace {

constexpr uint8_t tzx_signature[] = {'Z', 'X', 'T', 'a', 'p', 'e', '!', 0x1A};
constexpr size_t tzx_header_size = 10;

constexpr uint8_t id_standard = 0x10;
constexpr uint8_t id_turbo = 0x11;
constexpr uint8_t id_pure_data = 0x14;
constexpr uint8_t id_direct_recording = 0x15;
constexpr uint8_t id_csw_recording = 0x18;
constexpr uint8_t id_generalized = 0x19;

constexpr size_t turbo_used_bits = 12;
constexpr size_t pure_data_used_bits = 4;
constexpr uint8_t all_bits_used = 8;

constexpr size_t longest_tap_block = 65535;

// A block's body: `head` bytes that every block of its ID has, in which a
// count of count_size bytes (little-endian) at count_at tells how many
// units of `unit` bytes follow the head.
struct block_layout {
    uint8_t head;
    uint8_t count_at;
    uint8_t count_size;
    uint8_t unit;
};

// A block of head bytes and nothing after them.
constexpr block_layout fixed(uint8_t head) { return {head, 0, 0, 0}; }

block_layout layout_of(uint8_t id) {
    switch (id) {
        case 0x10: return {4, 2, 2, 1};      // standard speed data
        case 0x11: return {18, 15, 3, 1};    // turbo speed data
        case 0x12: return fixed(4);          // pure tone
        case 0x13: return {1, 0, 1, 2};      // pulses
        case 0x14: return {10, 7, 3, 1};     // pure data
        case 0x15: return {8, 5, 3, 1};      // direct recording
        case 0x20: return fixed(2);          // pause
        case 0x21: return {1, 0, 1, 1};      // group start
        case 0x22: return fixed(0);          // group end
        case 0x23: return fixed(2);          // jump, not followed
        case 0x24: return fixed(2);          // loop start, not expanded
        case 0x25: return fixed(0);          // loop end
        case 0x26: return {2, 0, 2, 2};      // call sequence
        case 0x27: return fixed(0);          // return from sequence
        case 0x28: return {2, 0, 2, 1};      // select
        case 0x30: return {1, 0, 1, 1};      // text
        case 0x31: return {2, 1, 1, 1};      // message
        case 0x32: return {2, 0, 2, 1};      // archive info
        case 0x33: return {1, 0, 1, 3};      // hardware type
        case 0x34: return fixed(8);          // emulation info
        case 0x35: return {20, 16, 4, 1};    // custom info
        case 0x40: return {4, 1, 3, 1};      // snapshot
        case 0x5A: return fixed(9);          // glue: the rest of a header
        // 16h-19h, 2Ah, 2Bh, 4Bh and every ID to come: a 4-byte length.
        default: return {4, 0, 4, 1};
    }
}

uint64_t get_le(const uint8_t* bytes, size_t size) {
    uint64_t value = 0;
    for (size_t i = size; i > 0; --i) value = value << 8 | bytes[i - 1];
    return value;
}

// Bytes inside a block: 0 when all count came, -1 after a report.
int take_body(tap_stream& stream, uint8_t* to, size_t count) {
    ssize_t got = take_tap_bytes(stream, to, count);
    if (got < 0) return -1;
    stream.position += got;
    if (static_cast<size_t>(got) < count)
        return report_tap_error("TZX block is cut short by end of TZX file");
    return 0;
}

int skip_body(tap_stream& stream, uint64_t count) {
    while (count > 0) {
        size_t piece = static_cast<size_t>(
            std::min<uint64_t>(count, work_buffer_size));
        if (take_body(stream, work_buffer, piece) != 0) return -1;
        count -= piece;
    }
    return 0;
}

// A TZX tape's header is taken here; a TAP's first bytes are left for its
// reader.
int recognise_tape(tap_stream& stream) {
    stream.container = tape_tap;
    if (stream.position >= tap_size) return 0;
    ssize_t held = peek_tap_bytes(stream, tzx_header_size);
    if (held < 0) return -1;
    if (static_cast<size_t>(held) < sizeof tzx_signature ||
        std::memcmp(stream.buffer + stream.next, tzx_signature,
                    sizeof tzx_signature) != 0)
        return 0;
    stream.container = tape_tzx;
    if (static_cast<size_t>(held) < tzx_header_size) {
        // Taken, so that the tape ends here.
        stream.next = stream.end;
        stream.position += held;
        return report_tap_error("TZX header is cut short by end of TZX file");
    }
    return take_body(stream, work_buffer, tzx_header_size);
}

constexpr int no_tap_block = 2;

// Reads the bytes of a 10h, 11h or 14h block to the work buffer and judges
// them as a TAP block; no_tap_block when they give none.
int read_rom_block(tap_stream& stream, uint8_t id, const uint8_t* head,
                   uint64_t length) {
    uint8_t used_bits = id == id_turbo       ? head[turbo_used_bits]
                        : id == id_pure_data ? head[pure_data_used_bits]
                                             : all_bits_used;
    // A last byte of no bits is no byte; a lone byte of pure data stays.
    uint64_t tap_length = length;
    if (used_bits == 0 && length > 0 && (id != id_pure_data || length > 1))
        --tap_length;
    if (tap_length > longest_tap_block) {
        if (skip_body(stream, length) != 0) return -1;
        // Passed over whole: -k may read on after it.
        tap_block_damaged = true;
        return report_tap_error("TZX data block is longer than 65535 bytes");
    }
    if (take_body(stream, work_buffer, static_cast<size_t>(length)) != 0)
        return -1;
    if (tap_length == 0) return no_tap_block;
    stream.tzx_rom_data = true;
    return judge_tap_block(static_cast<size_t>(tap_length));
}

int end_of_tzx(tap_stream& stream) {
    if (stream.tzx_rom_data || !stream.tzx_other_data ||
        stream.tzx_without_rom_data)
        return tap_end;
    stream.tzx_without_rom_data = true;
    return report_tap_error("no data blocks in ROM form on this TZX tape");
}

int read_tzx_block(tap_stream& stream) {
    for (;;) {
        if (stream.position >= tap_size) return end_of_tzx(stream);
        uint8_t id;
        ssize_t got = take_tap_bytes(stream, &id, 1);
        if (got < 0) return -1;
        if (got == 0) return end_of_tzx(stream);
        stream.position += got;
        block_layout layout = layout_of(id);
        // Room for any head a layout can name.
        uint8_t head[UINT8_MAX + 1] = {};
        if (take_body(stream, head, layout.head) != 0) return -1;
        uint64_t rest =
            get_le(head + layout.count_at, layout.count_size) * layout.unit;
        if (id == id_standard || id == id_turbo || id == id_pure_data) {
            int result = read_rom_block(stream, id, head, rest);
            if (result != no_tap_block) return result;
            continue;
        }
        if (id == id_direct_recording || id == id_csw_recording ||
            id == id_generalized)
            stream.tzx_other_data = true;
        if (skip_body(stream, rest) != 0) return -1;
    }
}

}  // namespace

int read_tape_block(tap_stream& stream) {
    tap_block_damaged = false;
    if (stream.container == tape_tap) return read_tap_block(stream);
    if (stream.container == tape_unknown) {
        int result = recognise_tape(stream);
        if (result != 0) return result;
        if (stream.container == tape_tap) return read_tap_block(stream);
    }
    return read_tzx_block(stream);
}

}  // namespace quornax
