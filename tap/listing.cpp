#include "tap/listing.h"

#include <unistd.h>

#include <cstdio>

#include "common/common.h"

namespace quornax {

namespace {

// Basic lines stop showing a start line from here: such a program has no
// autostart line.
constexpr unsigned no_autostart = 0x8000;

// The array letter is the variable byte less these, taken modulo 256.
constexpr uint8_t number_array_base = 0x40;
constexpr uint8_t char_array_base = 0x80;

// Moves *used past what snprintf wrote, never past the end of the line.
void advance(size_t* used, int written) {
    if (written > 0) *used += static_cast<size_t>(written);
    if (*used >= listing_line_size) *used = listing_line_size - 1;
}

size_t format_type_column(const block_descriptor& block, char* line) {
    int written = 0;
    switch (block.type) {
        case block_basic:
            written = std::snprintf(line, listing_line_size, "Basic     ");
            break;
        case block_number_array:
            written = std::snprintf(
                line, listing_line_size, "Array %c[] ",
                static_cast<uint8_t>(block.array_name - number_array_base));
            break;
        case block_char_array:
            written = std::snprintf(
                line, listing_line_size, "Array %c$[]",
                static_cast<uint8_t>(block.array_name - char_array_base));
            break;
        case block_code:
            written = std::snprintf(line, listing_line_size, "Code      ");
            break;
    }
    return written > 0 ? static_cast<size_t>(written) : 0;
}

}  // namespace

size_t format_block_listing(const block_descriptor& block, char* line) {
    if (block.type > block_code)
        return static_cast<size_t>(std::snprintf(
            line, listing_line_size, "Unknown header type %u\n",
            static_cast<unsigned>(block.type)));
    size_t used = format_type_column(block, line);
    advance(&used,
           std::snprintf(line + used, listing_line_size - used,
                         " %10s, %5u byte(s)", block.name,
                         static_cast<unsigned>(block.length)));
    if (block.type == block_basic && block.param1 < no_autostart)
        advance(&used,
               std::snprintf(line + used, listing_line_size - used,
                             ", start line %u",
                             static_cast<unsigned>(block.param1)));
    if (block.type == block_code)
        advance(&used,
               std::snprintf(line + used, listing_line_size - used,
                             ", start address 0x%04x",
                             static_cast<unsigned>(block.param1)));
    advance(&used,
           std::snprintf(line + used, listing_line_size - used, "\n"));
    return used;
}

void print_block_listing(const block_descriptor& block) {
    block_descriptor shown = block;
    shown_name(STDOUT_FILENO, block.name, shown.name, sizeof shown.name);
    char line[listing_line_size];
    size_t length = format_block_listing(shown, line);
    write_listing(line, length);
}

}  // namespace quornax
