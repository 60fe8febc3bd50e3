// The conversion driver: the command line, the work buffer, and the
// conversion of one TAP file into one TRD image.
//
// One conversion runs at a time, so its state lives in program-wide
// variables, declared with the lowest module that reads them: work_buffer
// and tap_name in common/, tap_size in tap/, staged_count in trd/. The
// driver sets them all afresh for each TAP file.
#pragma once

#include <cstdint>

namespace quornax {

// --help speaks to someone who has never used the program. One text for
// every build, so that the Windows build answers as the Linux one does.
inline constexpr char help_text[] =
    "quornax turns ZX Spectrum tape images (TAP or TZX) into TR-DOS disk images\n"
    "(.trd).\n"
    "\n"
    "Usage: quornax file1.tap [file2.tzx ...]\n"
    "       quornax --help | --version\n"
    "\n"
    "Each tape gives one disk image, made in the current folder and named\n"
    "after the tape: tapes/game.tap or game.tzx gives game.trd. The tapes\n"
    "are converted in the order given; the run stops at the first one that\n"
    "fails.\n"
    "For every file put on a disk one line is listed; messages go to stderr.\n"
    "\n"
    "  --help     show this text\n"
    "  --version  show the version\n"
    "\n"
    "More: man quornax (on Windows: README.txt beside quornax.exe)\n";

// Headerless blocks met so far in the current TAP file; they are numbered
// by it.
extern int headerless_counter;

// Size of the tape under an open descriptor, from its status: the size of
// a regular file, tap_size_unknown for anything else (a pipe, a device), -1
// when the status cannot be had. Tells whether it is a directory too.
int64_t get_file_size(int fd, bool* directory = nullptr);

// Converts one TAP file into its image: 0 when converted, -1 when it failed
// (already reported).
int convert_tap_file(const char* name);

// The whole program: converts every named file, returns the exit status.
int run_quornax(int argc, char** argv);

// Ignores SIGXFSZ, and makes the signals that end a run (SIGINT, SIGTERM,
// SIGHUP, SIGPIPE) clean up its files first. For the program's main only.
void prepare_signals();

}  // namespace quornax
