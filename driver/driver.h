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
    "Usage: quornax [--boot] [-k] [--] file1.tap [file2.tzx ...]\n"
    "       quornax --help | --version\n"
    "\n"
    "Each tape gives one disk image, made in the current folder and named\n"
    "after the tape: tapes/game.tap or game.tzx gives game.trd. The tapes\n"
    "are converted in the order given; the run stops at the first one that\n"
    "fails.\n"
    "For every file put on a disk one line is listed; messages go to stderr,\n"
    "each naming its tape. A tape that gives no disk because it is damaged\n"
    "makes the exit status 1, but the run goes on.\n"
    "\n"
    "  --boot     put a boot file on each disk, made from the tape's loader,\n"
    "             so that the disk starts by itself\n"
    "  -k, --keep-going\n"
    "             read on past a damaged block (a bad checksum or flag byte,\n"
    "             an odd header); without it a tape ends at the first one\n"
    "  --         ends the options: every name after it is a tape\n"
    "  --help     show this text\n"
    "  --version  show the version\n"
    "\n"
    "Two messages are in Czech:\n"
    "  V TAP souboru FILE za hlavickou NAME nasleduje blok s jinou delkou, ...\n"
    "             \"In TAP file FILE the header NAME is followed by a block of\n"
    "             another length than the header declares! Header and block\n"
    "             will both be ignored!\" Reading goes on.\n"
    "  Pro ulozeni bloku 'NAME' z TAP souboru FILE je nedostatek mista !\n"
    "             \"There is not enough space to store block 'NAME' from TAP\n"
    "             file FILE!\" No disk is made for this tape, and the tapes\n"
    "             after it are not converted.\n"
    "\n"
    "More: man quornax (on Windows: README.txt beside quornax.exe)\n";

// The options, set from the command line before the first tape: --boot
// adds a boot file made from the tape's loader to every disk; -k
// (--keep-going) reads on past a damaged block.
extern bool boot_option;
extern bool keep_going;

// What reading the current tape met, set afresh for each tape: a pair
// dropped because its data block is not the length its header declares; a
// damaged block passed over (-k); an error that ended the reading.
extern bool pair_dropped;
extern bool block_passed_over;
extern bool reading_failed;

// Pairs of the current tape listed past the 128 the catalogue holds.
extern int pairs_past_limit;

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
