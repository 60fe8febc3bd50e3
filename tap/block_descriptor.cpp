#include "tap/block_descriptor.h"

#include <cstring>

#include "common/common.h"

namespace quornax {

block_descriptor descriptor;
uint16_t data_length = 0;

void store_descriptor(const block_descriptor& block, uint8_t* out) {
    out[stored_valid] = block.valid;
    out[stored_type] = block.type;
    std::memcpy(out + stored_name, block.name, name_chars + 1);
    out[stored_array_name] = block.array_name;
    put_le16(out + stored_length, block.length);
    put_le16(out + stored_param1, block.param1);
    put_le16(out + stored_param2, block.param2);
}

void load_descriptor(const uint8_t* stored, block_descriptor& block) {
    block.valid = stored[stored_valid];
    block.type = stored[stored_type];
    std::memcpy(block.name, stored + stored_name, name_chars);
    block.name[name_chars] = '\0';
    block.array_name = stored[stored_array_name];
    block.length = get_le16(stored + stored_length);
    block.param1 = get_le16(stored + stored_param1);
    block.param2 = get_le16(stored + stored_param2);
}

}  // namespace quornax
