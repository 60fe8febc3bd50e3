#include "trd/trd_name.h"

#include <cstring>

namespace quornax {

char trd_name[trd_name_size];

namespace {

// The endings of a tape's name that the image's replaces.
constexpr const char* tape_endings[] = {".tap", ".tzx"};
constexpr char trd_ending[] = ".trd";
constexpr size_t ending_chars = sizeof trd_ending - 1;

// Folds only A to Z: every other byte must match exactly.
char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool ends_in(const char* name, size_t length, const char* tape_ending) {
    // A name of the ending alone keeps it and gets ".trd" appended.
    if (length <= ending_chars) return false;
    const char* ending = name + length - ending_chars;
    for (size_t i = 0; i < ending_chars; ++i)
        if (ascii_lower(ending[i]) != tape_ending[i]) return false;
    return true;
}

bool ends_in_tape_ending(const char* name, size_t length) {
    for (const char* ending : tape_endings)
        if (ends_in(name, length, ending)) return true;
    return false;
}

// A backslash anywhere decides; the slash counts only without one.
const char* base_name(const char* name) {
    const char* separator = std::strrchr(name, '\\');
    if (separator == nullptr) separator = std::strrchr(name, '/');
    return separator == nullptr ? name : separator + 1;
}

// Slashes after the backslash stay in the image name, which must still lie
// below the working directory: slashes at its start are dropped rather than
// taken for the root, and so are "." and ".." folders, with the slashes
// after them. Copies to trd_name and sets *length; false when it does not
// fit with an ending appended.
bool copy_below_working_directory(const char* base, size_t* length_out) {
    size_t length = 0;
    while (*base != '\0') {
        if (length == 0 && *base == '/') {
            ++base;
            continue;
        }
        size_t part = std::strcspn(base, "/");
        bool dots = base[part] == '/' && part <= 2 && base[0] == '.' &&
                    base[part - 1] == '.';
        size_t keep = dots ? 0 : part + std::strspn(base + part, "/");
        if (length + keep + ending_chars >= trd_name_size) return false;
        std::memcpy(trd_name + length, base, keep);
        length += keep;
        base += dots ? part + std::strspn(base + part, "/") : keep;
    }
    trd_name[length] = '\0';
    *length_out = length;
    return true;
}

}  // namespace

const char* make_trd_name(const char* tap_name) {
    size_t length = 0;
    if (!copy_below_working_directory(base_name(tap_name), &length))
        return nullptr;
    if (ends_in_tape_ending(trd_name, length))
        std::memcpy(trd_name + length - ending_chars, trd_ending,
                    ending_chars);
    else
        std::memcpy(trd_name + length, trd_ending, ending_chars + 1);
    return trd_name;
}

}  // namespace quornax
