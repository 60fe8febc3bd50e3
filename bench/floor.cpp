// The design floor of the benchmark: the file-system work that a converter
// built like quornax cannot avoid, and nothing else, so that `make bench`
// can tell how far quornax is from the limit of its own design rather than
// only from a plain copy.
//
// For every tape named on the command line, in order, in the working
// folder, as quornax does:
//   - takes the folder's lock: open(".", O_RDONLY|O_DIRECTORY|O_CLOEXEC)
//     and flock(LOCK_EX);
//   - reads the tape whole: open, fstat, one read of its size, close;
//   - walks the blocks by their length words alone. A header (flag byte 0,
//     length 19) and the block after it, or a block with no header before
//     it, make one pair; the first 128 pairs are staged, while their data
//     fits the 2544 free sectors of an empty disk;
//   - per staged pair: creates _ZXnnnn_.@@@ exclusively (open O_RDWR|
//     O_CREAT|O_EXCL|O_CLOEXEC, 0666; a leftover of that name is unlinked
//     and the create tried once more) and writes a 20-byte descriptor and
//     the payload with one writev, keeping the file open;
//   - when the tape is walked: reads every staged file back with one preadv
//     of both pieces, the payloads into an image of the data sectors;
//   - when at least one pair was staged, writes the 655360-byte image NAME.trd
//     (NAME the tape's name without its folder and its .tap ending) with one
//     open(O_WRONLY|O_CREAT|O_TRUNC), one writev (the first track as zeros,
//     the payloads read back, each from a sector boundary, and zeros up to
//     the end) and one close;
//   - per staged pair: close and unlink;
//   - releases the lock: close.
// That is 5 system calls per staged pair and 10 per tape.
//
// Skipped on purpose, since the design does not force them: checksums and
// every other check of the blocks beyond finding the pairs; the listing and
// all messages (a failed call is reported once and ends the run with exit
// status 1); the catalogue and disk information sector (the first track is
// zeros); the file trailers, names and any other catalogue logic beyond the
// sizes. The images are the right size, not the right content.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t sector = 256;
constexpr size_t first_track = 16 * sector;
constexpr size_t image_size = 655360;
constexpr size_t data_area = image_size - first_track;
constexpr int max_pairs = 128;
constexpr size_t descriptor_size = 20;
constexpr size_t header_length = 19;
constexpr size_t zero_piece = 65536;

struct pair {
    uint8_t descriptor[descriptor_size];
    const uint8_t* payload;
    size_t length;
    size_t offset;       // in the data area, on a sector boundary
    int fd;
    char name[16];
};

pair pairs[max_pairs];
uint8_t descriptors_back[max_pairs][descriptor_size];
uint8_t data_sectors[data_area];     // the payloads read back
const uint8_t zeros[zero_piece] = {};

uint8_t* tape = nullptr;
size_t tape_capacity = 0;

int fail(const char* name) {
    std::perror(name);
    return -1;
}

// The buffer only grows, so a run over many tapes allocates a few times.
bool make_room(size_t size) {
    if (size <= tape_capacity) return true;
    size_t capacity = tape_capacity ? tape_capacity : 1 << 20;
    while (capacity < size) capacity *= 2;
    std::free(tape);
    tape = static_cast<uint8_t*>(std::malloc(capacity));
    tape_capacity = tape ? capacity : 0;
    return tape != nullptr;
}

// Returns the tape's size, -1 after a report.
long read_tape(const char* name) {
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(name);
    struct stat status;
    if (fstat(fd, &status) != 0 || !make_room(status.st_size)) {
        close(fd);
        return fail(name);
    }
    size_t size = status.st_size;
    ssize_t got = size ? read(fd, tape, size) : 0;
    close(fd);
    if (got != static_cast<ssize_t>(size)) return fail(name);
    return static_cast<long>(size);
}

// Fills pairs[]; returns how many are staged.
int find_pairs(size_t size) {
    int count = 0;
    size_t used = 0;
    const uint8_t* header = nullptr;
    size_t at = 0;
    while (count < max_pairs && at + 2 <= size) {
        size_t length = tape[at] | tape[at + 1] << 8;
        const uint8_t* block = tape + at + 2;
        at += 2 + length;
        if (at > size || length < 2) break;
        if (length == header_length && block[0] == 0) {
            header = block;
            continue;
        }
        size_t payload = length - 2;
        size_t sectors = (payload + sector - 1) / sector;
        if (used + sectors * sector > data_area) break;
        pair& p = pairs[count];
        std::memset(p.descriptor, 0, descriptor_size);
        if (header != nullptr) std::memcpy(p.descriptor, header + 1, 17);
        p.descriptor[17] = 1;
        p.descriptor[18] = payload & 0xFF;
        p.descriptor[19] = payload >> 8;
        p.payload = block + 1;
        p.length = payload;
        p.offset = used;
        p.fd = -1;
        std::snprintf(p.name, sizeof p.name, "_ZX%04X_.@@@",
                      static_cast<unsigned>(count));
        used += sectors * sector;
        header = nullptr;
        ++count;
    }
    return count;
}

int stage(pair& p) {
    const int flags = O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC;
    p.fd = open(p.name, flags, 0666);
    if (p.fd < 0 && errno == EEXIST) {
        unlink(p.name);
        p.fd = open(p.name, flags, 0666);
    }
    if (p.fd < 0) return fail(p.name);
    iovec pieces[2] = {{p.descriptor, descriptor_size},
                       {const_cast<uint8_t*>(p.payload), p.length}};
    ssize_t size = descriptor_size + p.length;
    if (writev(p.fd, pieces, 2) != size) return fail(p.name);
    return 0;
}

int read_back(pair& p, uint8_t* descriptor) {
    iovec pieces[2] = {{descriptor, descriptor_size},
                       {data_sectors + p.offset, p.length}};
    ssize_t size = descriptor_size + p.length;
    if (preadv(p.fd, pieces, 2, 0) != size) return fail(p.name);
    return 0;
}

// NAME.tap, in any folder, gives NAME.trd here; any other name gets .trd.
bool image_name(const char* tape_name, char* name, size_t room) {
    const char* base = std::strrchr(tape_name, '/');
    base = base ? base + 1 : tape_name;
    size_t length = std::strlen(base);
    if (length >= 4 && strcasecmp(base + length - 4, ".tap") == 0) length -= 4;
    int made = std::snprintf(name, room, "%.*s.trd", static_cast<int>(length),
                             base);
    return made < static_cast<int>(room);
}

int write_image(const char* tape_name, int count) {
    char name[4096];
    if (!image_name(tape_name, name, sizeof name)) return fail(tape_name);
    const pair& last = pairs[count - 1];
    size_t used = last.offset + (last.length + sector - 1) / sector * sector;
    // The first track, the data sectors in use, then zeros to the end.
    iovec pieces[2 + (data_area + zero_piece - 1) / zero_piece];
    int n = 0;
    pieces[n++] = {const_cast<uint8_t*>(zeros), first_track};
    pieces[n++] = {data_sectors, used};
    for (size_t left = data_area - used; left > 0;) {
        size_t piece = left < zero_piece ? left : zero_piece;
        pieces[n++] = {const_cast<uint8_t*>(zeros), piece};
        left -= piece;
    }
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return fail(name);
    bool written = writev(fd, pieces, n) == static_cast<ssize_t>(image_size);
    if (close(fd) != 0 || !written) return fail(name);
    return 0;
}

int convert(const char* tape_name) {
    int lock = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock < 0) return fail(".");
    if (flock(lock, LOCK_EX) != 0) {
        close(lock);
        return fail(".");
    }
    long size = read_tape(tape_name);
    int count = size < 0 ? 0 : find_pairs(size);
    int result = size < 0 ? -1 : 0;
    int staged = 0;
    while (result == 0 && staged < count) {
        result = stage(pairs[staged]);
        if (pairs[staged].fd >= 0) ++staged;
    }
    for (int i = 0; result == 0 && i < count; ++i)
        result = read_back(pairs[i], descriptors_back[i]);
    if (result == 0 && count > 0) result = write_image(tape_name, count);
    for (int i = 0; i < staged; ++i) {
        const char* name = pairs[i].name;
        if (close(pairs[i].fd) != 0 && result == 0) result = fail(name);
        if (unlink(name) != 0 && result == 0) result = fail(name);
    }
    close(lock);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (convert(argv[i]) != 0) return 1;
    return 0;
}
