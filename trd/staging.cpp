#include "trd/staging.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/common.h"
#include "tap/block_descriptor.h"

namespace quornax {

int staged_count = 0;
char staging_table[max_staged_blocks][staging_name_size];

namespace {

constexpr mode_t staging_mode = 0666;  // reduced by the umask

// Something may already stand under the name: a leftover staging file, or
// a symbolic link planted there. Remove it and create the file anew,
// exclusively, so that no link is ever followed.
FILE* create_staging_file(const char* name) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL;
    int fd = open(name, flags, staging_mode);
    if (fd < 0 && errno == EEXIST) {
        unlink(name);
        fd = open(name, flags, staging_mode);
    }
    if (fd < 0) {
        report_system_error(name);
        return nullptr;
    }
    FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        report_system_error(name);
        close(fd);
        unlink(name);
        return nullptr;
    }
    // Two writes, both of whole pieces: a stream buffer would only add a
    // status query, an allocation and a copy.
    std::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

bool write_all(FILE* file, const uint8_t* bytes, size_t count) {
    return std::fwrite(bytes, 1, count, file) == count;
}

// A half-written staging file is useless and would not be cleaned up later,
// since it is not counted as staged.
int discard_staging_file(FILE* file, const char* name) {
    report_system_error(name);
    if (file != nullptr) std::fclose(file);
    unlink(name);
    return -1;
}

}  // namespace

int stage_block() {
    // The driver stages only while the table has room; the index is checked
    // all the same, since it picks the entry written.
    if (descriptor.valid == 0 || staged_count < 0 ||
        staged_count >= max_staged_blocks)
        return -1;
    char* name = staging_table[staged_count];
    std::snprintf(name, staging_name_size, "_ZX%04X_.@@@",
                  static_cast<unsigned>(staged_count));
    FILE* file = create_staging_file(name);
    if (file == nullptr) return -1;
    uint8_t stored[stored_descriptor_size];
    store_descriptor(descriptor, stored);
    if (!write_all(file, stored, sizeof stored) ||
        !write_all(file, work_buffer + payload_offset, data_length))
        return discard_staging_file(file, name);
    if (std::fclose(file) != 0) return discard_staging_file(nullptr, name);
    return 0;
}

void remove_staging_files() {
    for (int i = 0; i < staged_count; ++i) {
        char* name = staging_table[i];
        if (name[0] != '\0' && unlink(name) != 0)
            report_system_error(name);
        name[0] = '\0';
    }
}

void remove_staging_files_on_signal() {
    for (char* name : staging_table)
        if (name[0] != '\0') unlink(name);
}

}  // namespace quornax
