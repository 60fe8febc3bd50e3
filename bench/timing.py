"""Timing: quornax over the whole corpus in one run against the floor,
`split -b 655360` of a file as large as all the images together, which
writes as many bytes into as many files. The runs alternate so that a
change in the machine's load falls on both sides.

Every run goes through the measuring helper (bench/measure.cpp, built by
CMake as quornax_measure), which reports the wall time, exit status, peak
resident memory and processor time of its child alone.
"""

import os
import random
import subprocess
import sys

IMAGE_SIZE = 655360


class Measured:
    """What one timed run left: the list of each figure, one per run."""

    def __init__(self):
        self.seconds, self.cpu, self.rss = [], [], []

    def add(self, seconds, cpu, rss=None):
        self.seconds.append(seconds)
        self.cpu.append(cpu)
        if rss is not None:
            self.rss.append(rss)


def timed_run(measure, work, argv, cwd, stdout):
    """Runs argv under the measuring helper; returns (seconds, exit status,
    peak RSS in KiB, standard error, processor seconds)."""
    # In the benchmark's own temporary folder, never beside the helper,
    # which lives in a build folder.
    result_path = os.path.join(work, "measure.txt")
    err_path = os.path.join(work, "stderr.txt")
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


def alternate(measure, work, quornax, tapes_dir, names, pairs, repeats):
    """Times quornax over every tape and the split floor, repeats times
    each, alternating; returns (quornax, floor) as Measured."""
    split_dir = os.path.join(work, "split")
    os.mkdir(split_dir)
    big = os.path.join(work, "floor.bin")
    make_big_file(big, len(names) * IMAGE_SIZE)
    listing_path = os.path.join(work, "listing.txt")
    quornax_runs, split_runs = Measured(), Measured()
    for repeat in range(repeats):
        clear(tapes_dir, keep=set(names))
        with open(listing_path, "wb") as listing:
            seconds, status, peak, messages, cpu = timed_run(
                measure, work, [quornax] + names, tapes_dir, listing)
        with open(listing_path, "rb") as listing:
            check_conversion(status, messages, tapes_dir, names,
                             listing.read(), pairs)
        quornax_runs.add(seconds, cpu, peak)

        clear(split_dir)
        seconds, status, _, messages, cpu = timed_run(
            measure, work, ["split", "-b", str(IMAGE_SIZE), big, "piece."],
            split_dir, subprocess.DEVNULL)
        if status != 0:
            sys.exit("bench: split failed: %r" % messages)
        if len(os.listdir(split_dir)) != len(names):
            sys.exit("bench: split wrote %d files, not %d"
                     % (len(os.listdir(split_dir)), len(names)))
        split_runs.add(seconds, cpu)
    return quornax_runs, split_runs


def single_tape_rss(measure, work, quornax, tapes_dir, names):
    clear(tapes_dir, keep=set(names))
    return timed_run(measure, work, [quornax, names[0]], tapes_dir,
                     subprocess.DEVNULL)[2]


def empty_program_rss(measure, work):
    """Peak RSS of an empty C++ program built as quornax is, for scale."""
    source = os.path.join(work, "empty.cpp")
    binary = os.path.join(work, "empty")
    with open(source, "w") as out:
        out.write("int main() {}\n")
    if subprocess.call(["g++", "-O2", "-o", binary, source]) != 0:
        sys.exit("bench: cannot compile an empty program")
    return timed_run(measure, work, [binary], work, subprocess.DEVNULL)[2]
