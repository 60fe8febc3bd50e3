// Naming of the disk image: the TAP name without its directory part, with a
// ".tap" or ".tzx" ending (any case) replaced by ".trd", or ".trd" appended.
#pragma once

#include <cstddef>

namespace quornax {

// Linux passes no command-line argument longer than 128 KiB, so every name
// the command line can give fits, ending and all.
constexpr size_t trd_name_size = 131072 + 4;

// The last image name derived.
extern char trd_name[trd_name_size];

// Derives the image name into trd_name and returns it; nullptr only for a
// name longer than any command line can hold.
const char* make_trd_name(const char* tap_name);

}  // namespace quornax
