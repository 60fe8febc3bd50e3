#!/usr/bin/env python3
"""Times quornax against the input/output floor of this machine.

Generates a corpus of synthetic tapes into a temporary directory, converts
all of them in one quornax run, and compares that with `split -b 655360` of
a file as large as all the images together, which writes as many bytes into
as many files. Each is run several times, alternating, and the medians are
printed with the peak resident memory of the quornax process.

Usage: bench.py QUORNAX [--tapes N] [--repeats N] [--seed N] [--dir DIR]
                [--keep]
"""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile

IMAGE_SIZE = 655360
DATA_SECTORS = 2544          # sectors for files on an empty disk
SECTOR = 256
MAX_FILE_SECTORS = 255       # a catalogue entry counts sectors in one byte
CATALOGUE_ENTRIES = 128
SCREEN_LENGTH = 6912
BIGGEST_BLOCK = 48 * 1024

HERE = os.path.dirname(os.path.abspath(__file__))

RATIO_TARGET = 1.5
RSS_TARGET_KIB = 4 * 1024

BASIC, NUMBER_ARRAY, CHAR_ARRAY, CODE = 0, 1, 2, 3


# ---------------------------------------------------------------- tapes

def checksum(data):
    value = 0
    for byte in data:
        value ^= byte
    return value


def tap_block(flag, body):
    content = bytes([flag]) + body
    content += bytes([checksum(content)])
    return len(content).to_bytes(2, "little") + content


def header(kind, name, length, param1, param2):
    body = bytes([kind]) + name.encode("ascii").ljust(10)[:10]
    body += length.to_bytes(2, "little") + param1.to_bytes(2, "little")
    body += param2.to_bytes(2, "little")
    return tap_block(0x00, body)


def data(payload):
    return tap_block(0xFF, payload)


def sectors_of(kind, length):
    if kind != CODE:
        length += 4                 # room for the file trailer
    return -(-length // SECTOR)


class Tape:
    """A tape being built, with the disk space that its files will take."""

    def __init__(self, rng):
        self.rng = rng
        self.parts = []
        self.pairs = 0
        self.sectors = 0            # of the pairs that will be staged

    def payload(self, length):
        return self.rng.randbytes(length)

    def add(self, kind, name, length, param1=0, param2=0x8000,
            with_header=True):
        if with_header:
            self.parts.append(header(kind, name, length, param1, param2))
        self.parts.append(data(self.payload(length)))
        if self.pairs < CATALOGUE_ENTRIES:
            self.sectors += sectors_of(kind, length)
        self.pairs += 1

    def room(self, blocks_after):
        """Bytes the next code block may take and leave a sector each for
        the blocks after it."""
        if self.pairs >= CATALOGUE_ENTRIES:
            return BIGGEST_BLOCK    # listed, never staged
        staged_after = min(blocks_after, CATALOGUE_ENTRIES - self.pairs - 1)
        sectors = DATA_SECTORS - self.sectors - staged_after
        # Less the trailer, which Basic programs and arrays add.
        return min(sectors, MAX_FILE_SECTORS) * SECTOR - 4

    def content(self):
        return b"".join(self.parts)


def block_size(rng, smallest, largest):
    """Sizes spread evenly on a log scale: many small blocks, a few large."""
    return int(round(smallest * (largest / smallest) ** rng.random()))


def basic_loader(tape, name):
    program = block_size(tape.rng, 40, 900)
    tape.add(BASIC, name, program, param1=tape.rng.choice([0, 1, 10, 9999]),
             param2=program)


# A Basic loader, a loading screen and one or two code blocks.
def loader_tape(tape, index):
    basic_loader(tape, "game%d" % index)
    tape.add(CODE, "screen", SCREEN_LENGTH, 0x4000, 0x8000,
             with_header=tape.rng.random() < 0.8)
    for part in range(tape.rng.choice([1, 2])):
        length = min(block_size(tape.rng, 2000, BIGGEST_BLOCK), tape.room(1))
        tape.add(CODE, "code%d" % part, length, 0x6000 + 0x100 * part, 0x8000,
                 with_header=tape.rng.random() < 0.9)


def some_block(tape, number, blocks_after, largest):
    rng = tape.rng
    length = min(block_size(rng, 3, largest), tape.room(blocks_after))
    roll = rng.random()
    if roll < 0.08:
        tape.add(BASIC, "part%d" % number, length, 10, length)
    elif roll < 0.12:
        kind = rng.choice([NUMBER_ARRAY, CHAR_ARRAY])
        letter = 0x41 + rng.randrange(26)
        array_byte = letter + (0x40 if kind == NUMBER_ARRAY else 0x80)
        tape.add(kind, "data%d" % number, length, array_byte << 8, 0)
    else:
        tape.add(CODE, "level%d" % number, length, rng.randrange(0x4000, 0xC000),
                 0x8000, with_header=rng.random() < 0.85)


# A multi-part game: a loader, then 10 to 40 blocks of every size.
def multipart_tape(tape, index):
    count = tape.rng.randint(10, 40)
    basic_loader(tape, "multi%d" % index)
    for number in range(1, count):
        some_block(tape, number, count - number - 1, BIGGEST_BLOCK)


# A compilation of 130 blocks: more than the catalogue holds.
def long_tape(tape, index):
    basic_loader(tape, "compil%d" % index)
    for number in range(1, 130):
        some_block(tape, number, 129 - number, 8 * 1024)


def make_corpus(directory, count, seed):
    rng = random.Random(seed)
    long_every = min(count, 60)     # 5 of 300
    names, pairs, tape_bytes = [], 0, 0
    for index in range(count):
        tape = Tape(rng)
        if index % long_every == long_every - 1:
            long_tape(tape, index)
        elif rng.random() < 0.35:
            multipart_tape(tape, index)
        else:
            loader_tape(tape, index)
        assert tape.sectors <= DATA_SECTORS
        name = "t%03d.tap" % index
        content = tape.content()
        with open(os.path.join(directory, name), "wb") as out:
            out.write(content)
        names.append(name)
        pairs += tape.pairs
        tape_bytes += len(content)
    return names, pairs, tape_bytes


# ---------------------------------------------------------------- timing

def build_helper(work, source, name, flags):
    binary = os.path.join(work, name)
    for extra in (["-static"], []):
        if subprocess.call(["g++", "-O2"] + flags + extra + ["-o", binary, source],
                           stderr=subprocess.DEVNULL) == 0:
            return binary
    sys.exit("bench: cannot compile %s with g++" % source)


def timed_run(measure, argv, cwd, stdout):
    """Runs argv under the measuring helper; returns (seconds, exit status,
    peak RSS in KiB, standard error, processor seconds)."""
    # Beside the helper, in the benchmark's own temporary folder.
    result_path = os.path.join(os.path.dirname(measure), "measure.txt")
    err_path = os.path.join(os.path.dirname(measure), "stderr.txt")
    with open(err_path, "wb") as err:
        status = subprocess.call([measure, result_path] + argv, cwd=cwd,
                                 stdout=stdout, stderr=err)
    with open(err_path, "rb") as err:
        messages = err.read()
    if status != 0:
        sys.exit("bench: measuring %s failed: %r" % (argv[0], messages))
    with open(result_path) as result:
        seconds, code, rss, cpu = result.read().split()
    return float(seconds), int(code), int(rss), messages, float(cpu)


def clear(directory, keep=()):
    for name in os.listdir(directory):
        if name not in keep:
            os.unlink(os.path.join(directory, name))


def make_big_file(path, size):
    chunk = random.Random(1).randbytes(1 << 20)
    with open(path, "wb") as out:
        left = size
        while left > 0:
            out.write(chunk[:min(left, len(chunk))])
            left -= len(chunk)


def check_conversion(status, messages, directory, names, listing, pairs):
    problems = []
    if status != 0:
        problems.append("exit status %d" % status)
    if messages:
        problems.append("standard error: %r" % messages[:200])
    for name in names:
        image = os.path.join(directory, name[:-4] + ".trd")
        if not os.path.exists(image) or os.path.getsize(image) != IMAGE_SIZE:
            problems.append("no image of %d bytes for %s" % (IMAGE_SIZE, name))
            break
    lines = listing.count(b"\n")
    if lines != pairs:
        problems.append("%d listing lines for %d pairs" % (lines, pairs))
    if problems:
        sys.exit("bench: the conversion went wrong: " + "; ".join(problems))


def file_system(path):
    """The type of the file system that holds path, from the mount table."""
    path = os.path.realpath(path)
    best, kind = "", "unknown file system"
    with open("/proc/self/mounts") as mounts:
        for line in mounts:
            fields = line.split()
            point = fields[1]
            inside = path == point or path.startswith(point.rstrip("/") + "/")
            if inside and len(point) >= len(best):
                best, kind = point, fields[2]
    return kind


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    return "%d cores (nproc), %s, %.1f GiB memory" % (
        os.cpu_count(), model, memory / (1 << 30))


def empty_program_rss(measure, work):
    """Peak RSS of an empty C++ program built as quornax is, for scale."""
    source = os.path.join(work, "empty.cpp")
    binary = os.path.join(work, "empty")
    with open(source, "w") as out:
        out.write("int main() {}\n")
    if subprocess.call(["g++", "-O2", "-o", binary, source]) != 0:
        sys.exit("bench: cannot compile an empty program")
    return timed_run(measure, [binary], work, subprocess.DEVNULL)[2]


def run(args):
    quornax = os.path.abspath(args.quornax)
    work = tempfile.mkdtemp(prefix="quornax-bench-", dir=args.dir)
    try:
        measure = build_helper(work, os.path.join(HERE, "measure.cpp"),
                               "measure", ["-std=c++17"])
        tapes_dir = os.path.join(work, "tapes")
        split_dir = os.path.join(work, "split")
        os.mkdir(tapes_dir)
        os.mkdir(split_dir)
        names, pairs, tape_bytes = make_corpus(tapes_dir, args.tapes, args.seed)
        image_bytes = len(names) * IMAGE_SIZE
        big = os.path.join(work, "floor.bin")
        make_big_file(big, image_bytes)
        print("corpus: %d tapes, %d block pairs, %.1f MB of tape; "
              "%.1f MB of image" % (len(names), pairs, tape_bytes / 1e6,
                                    image_bytes / 1e6))

        listing_path = os.path.join(work, "listing.txt")
        quornax_times, split_times, rss = [], [], []
        quornax_cpu, split_cpu = [], []
        for repeat in range(args.repeats):
            clear(tapes_dir, keep=set(names))
            with open(listing_path, "wb") as listing:
                seconds, status, peak, messages, cpu = timed_run(
                    measure, [quornax] + names, tapes_dir, listing)
            with open(listing_path, "rb") as listing:
                check_conversion(status, messages, tapes_dir, names,
                                 listing.read(), pairs)
            quornax_times.append(seconds)
            quornax_cpu.append(cpu)
            rss.append(peak)

            clear(split_dir)
            seconds, status, _, messages, cpu = timed_run(
                measure, ["split", "-b", str(IMAGE_SIZE), big, "piece."], split_dir,
                subprocess.DEVNULL)
            if status != 0:
                sys.exit("bench: split failed: %r" % messages)
            if len(os.listdir(split_dir)) != len(names):
                sys.exit("bench: split wrote %d files, not %d"
                         % (len(os.listdir(split_dir)), len(names)))
            split_times.append(seconds)
            split_cpu.append(cpu)

        clear(tapes_dir, keep=set(names))
        single = timed_run(measure, [quornax, names[0]], tapes_dir,
                           subprocess.DEVNULL)
        empty_rss = empty_program_rss(measure, work)
        report(args, work, names, image_bytes, quornax_times, split_times,
               quornax_cpu, split_cpu, rss, single[2], empty_rss)
    finally:
        if args.keep:
            print("kept", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


def report(args, work, names, image_bytes, quornax_times, split_times,
           quornax_cpu, split_cpu, rss, single_rss, empty_rss):
    q = statistics.median(quornax_times)
    s = statistics.median(split_times)
    ratio = q / s
    peak = statistics.median(rss)
    print("machine: %s" % machine())
    print("directory: %s (%s)" % (os.path.dirname(work), file_system(work)))
    with open("/proc/loadavg") as load:
        print("load average at the end: %s (other work on the machine slows "
              "both sides)" % " ".join(load.read().split()[:3]))
    print("runs: %d of each, alternating; medians below" % args.repeats)
    print("  quornax, all tapes in one run: %.3f s  (runs: %s)"
          % (q, " ".join("%.3f" % t for t in quornax_times)))
    print("  floor, split -b %d:      %.3f s  (runs: %s)"
          % (IMAGE_SIZE, s, " ".join("%.3f" % t for t in split_times)))
    print("  processor time (user + system): quornax %.3f s, floor %.3f s, "
          "ratio %.2f" % (statistics.median(quornax_cpu),
                          statistics.median(split_cpu),
                          statistics.median(quornax_cpu) /
                          statistics.median(split_cpu)))
    print("  tapes per second:              %.0f" % (len(names) / q))
    print("  MB of image per second:        %.0f  (floor %.0f)"
          % (image_bytes / 1e6 / q, image_bytes / 1e6 / s))
    print("  ratio quornax/floor:           %.2f  (target at most %.1f: %s)"
          % (ratio, RATIO_TARGET, "met" if ratio <= RATIO_TARGET else "MISSED"))
    print("  peak resident memory:          %.2f MiB  (target at most %d MiB: %s)"
          % (peak / 1024, RSS_TARGET_KIB // 1024,
             "met" if peak <= RSS_TARGET_KIB else "MISSED"))
    print("    with one tape instead:       %.2f MiB" % (single_rss / 1024))
    print("    an empty C++ program:        %.2f MiB" % (empty_rss / 1024))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("quornax", help="the quornax binary to time")
    parser.add_argument("--tapes", type=int, default=300)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--dir", default=None,
                        help="where to make the temporary directory "
                             "(default: $TMPDIR or /tmp)")
    parser.add_argument("--keep", action="store_true",
                        help="keep the temporary directory")
    args = parser.parse_args()
    if args.tapes < 1 or args.repeats < 1:
        parser.error("--tapes and --repeats must be at least 1")
    run(args)


if __name__ == "__main__":
    main()
