#include "trd/trd_name.h"

#include <cstring>

namespace quornax {

char trd_name[trd_name_size];

namespace {

constexpr char tap_ending[] = ".tap";
constexpr char trd_ending[] = ".trd";
constexpr size_t ending_chars = sizeof tap_ending - 1;

// Folds only A to Z: every other byte must match exactly.
char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool ends_in_tap(const char* name, size_t length) {
    // A name of the ending alone keeps it and gets ".trd" appended.
    if (length <= ending_chars) return false;
    const char* ending = name + length - ending_chars;
    for (size_t i = 0; i < ending_chars; ++i)
        if (ascii_lower(ending[i]) != tap_ending[i]) return false;
    return true;
}

// A backslash anywhere decides; the slash counts only without one. Slashes
// after the backslash stay in the name, which must still lie below the
// working directory: slashes at its start are dropped, not taken for the
// root.
const char* base_name(const char* name) {
    const char* separator = std::strrchr(name, '\\');
    if (separator == nullptr) separator = std::strrchr(name, '/');
    const char* base = separator == nullptr ? name : separator + 1;
    while (*base == '/') ++base;
    return base;
}

}  // namespace

const char* make_trd_name(const char* tap_name) {
    const char* base = base_name(tap_name);
    size_t length = std::strlen(base);
    if (length + ending_chars >= trd_name_size) return nullptr;
    std::memcpy(trd_name, base, length + 1);
    if (ends_in_tap(trd_name, length))
        std::memcpy(trd_name + length - ending_chars, trd_ending,
                    ending_chars);
    else
        std::memcpy(trd_name + length, trd_ending, ending_chars + 1);
    return trd_name;
}

}  // namespace quornax
