// Builds TAP bytes for tests, so that a test reads as the tape it makes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quornax_test {

using bytes = std::vector<uint8_t>;

// A block as stored on tape: the length word, then content as given.
bytes raw_block(const bytes& content);

// A block of flag and body, with its checksum added.
bytes checked_block(uint8_t flag, const bytes& body);

// A header block; name is padded with blanks (or cut) to 10 bytes.
bytes header_block(uint8_t type, std::string_view name, uint16_t length,
                   uint16_t param1, uint16_t param2);

// A number (type 1) or character (type 2) array header.
bytes array_header(uint8_t type, std::string_view name, uint16_t length,
                   uint8_t array_name);

bytes data_block(const bytes& payload);

// The same block with its checksum byte wrong.
bytes bad_checksum(bytes block);

// n payload bytes that differ from one position to the next.
bytes pattern(size_t n, uint8_t seed = 1);

// A header and its data block of the declared length.
bytes code_pair(std::string_view name, const bytes& payload,
                uint16_t address);
bytes basic_pair(std::string_view name, const bytes& program,
                 uint16_t autostart);

bytes join(std::initializer_list<bytes> parts);

void write_file(const std::string& path, const bytes& content);
bytes read_file(const std::string& path);

}  // namespace quornax_test
