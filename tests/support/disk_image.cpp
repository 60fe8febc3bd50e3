#include "disk_image.h"

#include <algorithm>
#include <cstdio>

#include "tap/block_descriptor.h"

namespace quornax_test {

using namespace quornax;

bytes slice(const bytes& b, size_t at, size_t n) {
    return bytes(b.begin() + static_cast<long>(at),
                 b.begin() + static_cast<long>(at + n));
}

bool all_zero(const bytes& b, size_t from, size_t to) {
    return std::all_of(b.begin() + static_cast<long>(from),
                       b.begin() + static_cast<long>(to),
                       [](uint8_t x) { return x == 0; });
}

testing::AssertionResult image_is_consistent(const bytes& disk) {
    if (disk.size() != image_size)
        return testing::AssertionFailure() << "image of " << disk.size() << " bytes";
    const size_t info = info_sector_offset;
    int files = disk[info + info_file_count];
    int position = first_data_sector;
    for (int i = 0; i < catalogue_entries; ++i) {
        size_t at = i * catalogue_entry_size;
        bool empty = all_zero(disk, at, at + catalogue_entry_size);
        if (i >= files && !empty)
            return testing::AssertionFailure() << "entry " << i << " beyond "
                                               << files << " files";
        if (i >= files) continue;
        if (empty) return testing::AssertionFailure() << "entry " << i << " empty";
        int sector = disk[at + entry_first_sector];
        int start = disk[at + entry_first_track] * sectors_per_track + sector;
        if (sector >= sectors_per_track || start != position)
            return testing::AssertionFailure()
                   << "entry " << i << " starts at sector " << start
                   << ", the file before ends at " << position;
        position += disk[at + entry_sector_count];
    }
    int free = le16_at(disk, info + info_free_sectors);
    if (position - first_data_sector + free != data_sectors)
        return testing::AssertionFailure() << "used + free = "
                                           << position - first_data_sector + free;
    if (disk[info + info_first_free_track] * sectors_per_track +
            disk[info + info_first_free_sector] != position)
        return testing::AssertionFailure() << "first free position is not "
                                           << position;
    if (!all_zero(disk, info + sector_size, data_offset) ||
        !all_zero(disk, position * sector_size, image_size))
        return testing::AssertionFailure() << "stray bytes outside the files";
    return testing::AssertionSuccess();
}

namespace {

void put16(uint8_t* to, size_t value) {
    to[0] = static_cast<uint8_t>(value & 0xFF);
    to[1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

bytes expected_image(const std::vector<disk_file>& files) {
    bytes disk(image_size, 0);
    int position = first_data_sector;
    for (size_t i = 0; i < files.size(); ++i) {
        const disk_file& f = files[i];
        bytes stored = f.payload;
        size_t length = f.payload.size();
        uint8_t letter = type_letter_code;
        size_t first = f.param1, second = length;
        if (f.type == block_basic) {
            letter = type_letter_basic;
            first = length;
            second = f.param2;
            stored.insert(stored.end(), {trailer_mark0, trailer_mark1, 0, 0});
            put16(&stored[length + 2], f.param1 < 0x8000 ? f.param1 : 0);
        } else if (f.type != block_code) {
            letter = type_letter_array;
            first = 0;
            uint8_t bits = f.type == block_number_array ? number_array_bits
                                                        : char_array_bits;
            stored.insert(stored.end(),
                          {trailer_mark0, trailer_mark1, 0,
                           static_cast<uint8_t>(bits | ((f.param1 >> 8) & array_letter_mask))});
        }
        int sectors = static_cast<int>((stored.size() + sector_size - 1) / sector_size);
        uint8_t* entry = disk.data() + i * catalogue_entry_size;
        for (size_t c = 0; c < entry_name_chars; ++c)
            entry[entry_name + c] = c < f.name.size() ? f.name[c] : ' ';
        entry[entry_type] = letter;
        put16(entry + entry_param1, first);
        put16(entry + entry_param2, second);
        entry[entry_sector_count] = static_cast<uint8_t>(sectors);
        entry[entry_first_sector] = static_cast<uint8_t>(position % sectors_per_track);
        entry[entry_first_track] = static_cast<uint8_t>(position / sectors_per_track);
        std::copy(stored.begin(), stored.end(), disk.begin() + position * sector_size);
        position += sectors;
    }
    uint8_t* info = disk.data() + info_sector_offset;
    info[info_first_free_sector] = static_cast<uint8_t>(position % sectors_per_track);
    info[info_first_free_track] = static_cast<uint8_t>(position / sectors_per_track);
    info[info_disk_type] = disk_type_80_double;
    info[info_file_count] = static_cast<uint8_t>(files.size());
    put16(info + info_free_sectors, data_sectors - (position - first_data_sector));
    info[info_trdos_id] = trdos_id;
    std::fill_n(info + info_blanks, info_blank_count, ' ');
    std::copy_n(disk_label, entry_name_chars, info + info_label);
    return disk;
}

testing::AssertionResult tape_files(const bytes& tape,
                                    std::vector<disk_file>* files) {
    std::vector<bytes> blocks;  // flag to checksum
    for (size_t at = 0; at < tape.size();) {
        if (at + 2 > tape.size())
            return testing::AssertionFailure() << "stray byte";
        size_t length = le16_at(tape, at);
        if (length < 2 || at + 2 + length > tape.size())
            return testing::AssertionFailure() << "block at " << at << " cut short";
        bytes block = slice(tape, at + 2, length);
        uint8_t sum = 0;
        for (uint8_t byte : block) sum ^= byte;
        if (sum != 0) return testing::AssertionFailure() << "checksum at " << at;
        blocks.push_back(block);
        at += 2 + length;
    }
    int headerless = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const bytes& b = blocks[i];
        if (b[0] == 0xFF) {
            bool screen = b.size() - 2 == 6912;
            char name[16];
            std::snprintf(name, sizeof name, screen ? "screen%02X" : "code%02X",
                          ++headerless);
            files->push_back({block_code, name, uint16_t(screen ? 0x4000 : 0),
                              0x8000, slice(b, 1, b.size() - 2)});
            continue;
        }
        if (b.size() != 19 || b[0] != 0x00 || b[1] > block_code ||
            i + 1 == blocks.size() || blocks[i + 1][0] != 0xFF ||
            blocks[i + 1].size() - 2 != static_cast<size_t>(le16_at(b, 12)))
            return testing::AssertionFailure()
                   << "block " << i << " is neither a header pair nor a lone data block";
        const bytes& d = blocks[++i];
        files->push_back({b[1], std::string(b.begin() + 2, b.begin() + 12),
                          static_cast<uint16_t>(le16_at(b, 14)),
                          static_cast<uint16_t>(le16_at(b, 16)),
                          slice(d, 1, d.size() - 2)});
    }
    return testing::AssertionSuccess();
}

std::string first_difference(const bytes& got, const bytes& want) {
    auto where = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    size_t at = static_cast<size_t>(where.first - got.begin());
    if (at == got.size() && where.second == want.end()) return "none";
    if (at == got.size() || where.second == want.end()) return "the end, at " + std::to_string(at);
    return "offset " + std::to_string(at) + " (track " +
           std::to_string(at / track_size) + ", sector " +
           std::to_string(at / sector_size % sectors_per_track) + "): " +
           std::to_string(got[at]) + " instead of " + std::to_string(want[at]);
}

}  // namespace quornax_test
