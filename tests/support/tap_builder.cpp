#include "tap_builder.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace quornax_test {

bytes raw_block(const bytes& content) {
    bytes block{static_cast<uint8_t>(content.size() & 0xFF),
                static_cast<uint8_t>(content.size() >> 8)};
    block.insert(block.end(), content.begin(), content.end());
    return block;
}

bytes checked_block(uint8_t flag, const bytes& body) {
    bytes content{flag};
    content.insert(content.end(), body.begin(), body.end());
    uint8_t sum = 0;
    for (uint8_t b : content) sum ^= b;
    content.push_back(sum);
    return raw_block(content);
}

static void add_le16(bytes& to, uint16_t value) {
    to.push_back(static_cast<uint8_t>(value & 0xFF));
    to.push_back(static_cast<uint8_t>(value >> 8));
}

bytes header_block(uint8_t type, std::string_view name, uint16_t length,
                   uint16_t param1, uint16_t param2) {
    bytes body{type};
    for (size_t i = 0; i < 10; ++i)
        body.push_back(i < name.size() ? static_cast<uint8_t>(name[i]) : ' ');
    add_le16(body, length);
    add_le16(body, param1);
    add_le16(body, param2);
    return checked_block(0x00, body);
}

bytes array_header(uint8_t type, std::string_view name, uint16_t length,
                   uint8_t array_name) {
    return header_block(type, name, length,
                        static_cast<uint16_t>(array_name << 8), 0);
}

bytes data_block(const bytes& payload) { return checked_block(0xFF, payload); }

bytes bad_checksum(bytes block) {
    block.back() ^= 0x5A;
    return block;
}

bytes pattern(size_t n, uint8_t seed) {
    bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return out;
}

bytes code_pair(std::string_view name, const bytes& payload,
                uint16_t address) {
    auto size = static_cast<uint16_t>(payload.size());
    return join({header_block(3, name, size, address, 32768),
                 data_block(payload)});
}

bytes basic_pair(std::string_view name, const bytes& program,
                 uint16_t autostart) {
    auto size = static_cast<uint16_t>(program.size());
    return join({header_block(0, name, size, autostart, size),
                 data_block(program)});
}

bytes join(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

void write_file(const std::string& path, const bytes& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return bytes(std::istreambuf_iterator<char>(in),
                 std::istreambuf_iterator<char>());
}

}  // namespace quornax_test
