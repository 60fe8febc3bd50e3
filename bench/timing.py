"""Timing: three contenders over the whole corpus, each in one run per
round, in rounds that alternate them so that a change in the machine's load
falls on all three:

- quornax itself;
- the design floor, bench/floor.cpp (CMake target quornax_floor): only the
  file-system work that quornax's design forces, on the same tapes and in
  the same folder layout;
- `split -b 655360` of a file as large as all the images together, which
  writes as many bytes into as many files.

Every folder that a timed run works in is made before the first run: a copy
of the tapes for quornax and for the floor, an empty folder for split, one
of each per round. What a round wrote is deleted only after its last run,
and the next round waits --settle seconds after that, so that no run pays
for freeing what an earlier one wrote. Keeping every round's images instead
(some 5 GB) is no better on a virtual machine: memory that the guest has not
touched for long comes from the host only when first written, and made every
run there several times slower once the images passed about 2 GB.

Every run goes through the measuring helper (bench/measure.cpp, CMake target
quornax_measure), which reports the wall time, exit status, peak resident
memory and processor time of its child alone.
"""

import os
import re
import random
import shutil
import subprocess
import sys
import time

IMAGE_SIZE = 655360
CONTENDERS = ("quornax", "floor", "split")


class Measured:
    """What the timed runs of one contender left, one entry per round."""

    def __init__(self):
        self.seconds, self.cpu, self.rss = [], [], []

    def add(self, seconds, cpu, rss):
        self.seconds.append(seconds)
        self.cpu.append(cpu)
        self.rss.append(rss)


class Setup:
    """The programs and the corpus that every run shares."""

    def __init__(self, work, measure, quornax, floor, tapes):
        self.work = work
        self.measure = measure
        self.quornax = quornax
        self.floor = floor
        self.tapes = tapes
        self.names = [tape.name for tape in tapes]
        self.pairs = sum(tape.pairs for tape in tapes)
        self.big = os.path.join(work, "split.bin")


def timed_run(setup, tag, argv, cwd, stdout):
    """Runs argv under the measuring helper; returns (seconds, exit status,
    peak RSS in KiB, standard error, processor seconds). The helper's files
    are new for every run, in the benchmark's own folder, never beside the
    helper, which lives in a build folder."""
    result_path = os.path.join(setup.work, "measure-%s.txt" % tag)
    err_path = os.path.join(setup.work, "stderr-%s.txt" % tag)
    with open(err_path, "wb") as err:
        status = subprocess.call([setup.measure, result_path] + argv, cwd=cwd,
                                 stdout=stdout, stderr=err)
    with open(err_path, "rb") as err:
        messages = err.read()
    if status != 0:
        sys.exit("bench: measuring %s failed: %r" % (argv[0], messages))
    with open(result_path) as result:
        seconds, code, rss, cpu = result.read().split()
    return float(seconds), int(code), int(rss), messages, float(cpu)


def make_big_file(path, size):
    chunk = random.Random(1).randbytes(1 << 20)
    with open(path, "wb") as out:
        left = size
        while left > 0:
            out.write(chunk[:min(left, len(chunk))])
            left -= len(chunk)


def copy_tapes(tapes_dir, names, folder):
    os.makedirs(folder)
    for name in names:
        shutil.copyfile(os.path.join(tapes_dir, name),
                        os.path.join(folder, name))


def room_needed(tapes, repeats, extra_copies):
    """Bytes that the prepared folders and one round's output take, with
    extra_copies of the corpus and its images besides."""
    tape_bytes = sum(tape.size for tape in tapes)
    image_bytes = len(tapes) * IMAGE_SIZE
    return (2 * repeats * tape_bytes + 4 * image_bytes
            + extra_copies * (tape_bytes + image_bytes))


def check_room(directory, needed):
    stat = os.statvfs(directory)
    free = stat.f_bavail * stat.f_frsize
    if free < needed * 1.1:
        sys.exit("bench: %s has %.0f MB free, the runs need %.0f MB: fewer "
                 "--repeats or --tapes, or another --dir"
                 % (directory, free / 1e6, needed / 1e6))


def round_folder(setup, number):
    return os.path.join(setup.work, "round%02d" % number)


def prepare_rounds(setup, tapes_dir, repeats):
    """Makes every round's folders; returns a list of {contender: folder}."""
    make_big_file(setup.big, len(setup.names) * IMAGE_SIZE)
    rounds = []
    for number in range(repeats):
        base = round_folder(setup, number)
        folders = {name: os.path.join(base, name) for name in CONTENDERS}
        copy_tapes(tapes_dir, setup.names, folders["quornax"])
        copy_tapes(tapes_dir, setup.names, folders["floor"])
        os.makedirs(folders["split"])
        rounds.append(folders)
    return rounds


def check_images(who, directory, names):
    for name in names:
        image = os.path.join(directory, name[:-4] + ".trd")
        if not os.path.exists(image) or os.path.getsize(image) != IMAGE_SIZE:
            return ["%s left no image of %d bytes for %s"
                    % (who, IMAGE_SIZE, name)]
    return []


PAST_128 = re.compile(rb"^.+: \d+ file\(s\) past the 128th are not on the disk !$")


def check_quornax(status, messages, directory, names, listing, pairs):
    problems = []
    if status != 0:
        problems.append("exit status %d" % status)
    # The compilations of 130 blocks say that two are left off their disks.
    unexpected = [line for line in messages.splitlines()
                  if not PAST_128.match(line)]
    if unexpected:
        problems.append("standard error: %r" % b"\n".join(unexpected)[:200])
    problems += check_images("quornax", directory, names)
    lines = listing.count(b"\n")
    if lines != pairs:
        problems.append("%d listing lines for %d pairs" % (lines, pairs))
    if problems:
        sys.exit("bench: the conversion went wrong: " + "; ".join(problems))


def check_floor(status, messages, directory, names):
    problems = []
    if status != 0 or messages:
        problems.append("exit status %d, standard error %r"
                        % (status, messages[:200]))
    problems += check_images("the floor", directory, names)
    if problems:
        sys.exit("bench: the design floor went wrong: " + "; ".join(problems))


def check_split(status, messages, directory, names):
    pieces = len(os.listdir(directory))
    if status != 0 or pieces != len(names):
        sys.exit("bench: split failed (exit status %d, %d files for %d): %r"
                 % (status, pieces, len(names), messages[:200]))


def run_one(setup, number, contender, folder):
    tag = "%02d-%s" % (number, contender)
    if contender == "quornax":
        listing_path = os.path.join(setup.work, "listing-%02d.txt" % number)
        with open(listing_path, "wb") as listing:
            run = timed_run(setup, tag, [setup.quornax] + setup.names, folder,
                            listing)
        with open(listing_path, "rb") as listing:
            check_quornax(run[1], run[3], folder, setup.names, listing.read(),
                          setup.pairs)
    elif contender == "floor":
        run = timed_run(setup, tag, [setup.floor] + setup.names, folder,
                        subprocess.DEVNULL)
        check_floor(run[1], run[3], folder, setup.names)
    else:
        run = timed_run(setup, tag, ["split", "-b", str(IMAGE_SIZE), setup.big,
                                     "piece."], folder, subprocess.DEVNULL)
        check_split(run[1], run[3], folder, setup.names)
    return run


def alternate(setup, rounds, settle):
    """Times every contender once a round, in an order that turns by one
    each round so that none always runs first; returns {contender:
    Measured}, the rounds in the same order in each."""
    measured = {name: Measured() for name in CONTENDERS}
    for number, folders in enumerate(rounds):
        time.sleep(settle)
        turn = number % len(CONTENDERS)
        for contender in CONTENDERS[turn:] + CONTENDERS[:turn]:
            seconds, _, peak, _, cpu = run_one(setup, number, contender,
                                               folders[contender])
            measured[contender].add(seconds, cpu, peak)
        if number + 1 < len(rounds):
            shutil.rmtree(round_folder(setup, number))
    return measured


def prepare_single_tape(setup, tapes_dir):
    folder = os.path.join(setup.work, "single")
    copy_tapes(tapes_dir, setup.names[:1], folder)
    return folder


def single_tape_rss(setup, folder):
    return timed_run(setup, "single", [setup.quornax, setup.names[0]], folder,
                     subprocess.DEVNULL)[2]


def build_empty_program(work):
    """An empty C++ program built as quornax is, for scale."""
    source = os.path.join(work, "empty.cpp")
    binary = os.path.join(work, "empty")
    with open(source, "w") as out:
        out.write("int main() {}\n")
    if subprocess.call(["g++", "-O2", "-o", binary, source]) != 0:
        sys.exit("bench: cannot compile an empty program")
    return binary


def empty_program_rss(setup, binary):
    return timed_run(setup, "empty", [binary], setup.work,
                     subprocess.DEVNULL)[2]
