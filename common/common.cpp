#include "common/common.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/platform.h"

namespace quornax {

uint8_t* work_buffer = nullptr;
const char* tap_name = nullptr;

void flush_listing() { std::fflush(stdout); }

void report_system_error(const char* prefix) {
    const char* text = error_text(errno);
    flush_listing();
    if (prefix != nullptr && *prefix != '\0')
        std::fprintf(stderr, "%s: %s\n", prefix, text);
    else
        std::fprintf(stderr, "%s\n", text);
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
