#!/usr/bin/env python3
"""Times quornax against the limit of its own design and against split.

Generates a corpus of synthetic tapes, then times three contenders over all
of them, in one alternating series of rounds: quornax in one run, the design
floor (bench/floor.cpp: only the file-system work that quornax's design
forces) and `split -b 655360` of a file as large as all the images together.
Prints the median times, the medians of the per-round ratios, the system
calls per staged pair of quornax and of the floor (strace -c -f, when strace
is installed) and the peak resident memory of quornax, each against its
target.

Usage: bench.py QUORNAX [--tapes N] [--repeats N] [--seed N] [--dir DIR]
                [--settle S] [--keep] [--measure PATH]
                [--floor PATH]

The helpers are built by CMake from bench/: quornax_measure (measure.cpp)
times a command, quornax_floor (floor.cpp) is the floor; --measure and
--floor name them (default: build/bench/ in the repository).
"""

import argparse
import os
import shutil
import sys
import tempfile

sys.dont_write_bytecode = True     # no __pycache__ left in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import corpus  # noqa: E402
import report  # noqa: E402
import syscalls  # noqa: E402
import timing  # noqa: E402
import tzx  # noqa: E402

DEFAULT_HELPERS = os.path.join(HERE, os.pardir, "build", "bench")
DEFAULT_DIR = "/dev/shm"


def run(args, measure, floor):
    work = tempfile.mkdtemp(prefix="quornax-bench-", dir=args.dir)
    try:
        tapes_dir = os.path.join(work, "tapes")
        os.mkdir(tapes_dir)
        tapes = corpus.make_corpus(tapes_dir, args.tapes, args.seed)
        print(report.corpus_line(tapes))
        traced = syscalls.available()
        timing.check_room(work, timing.room_needed(tapes, args.repeats,
                                                   3 if traced else 0))
        setup = timing.Setup(work, measure, os.path.abspath(args.quornax),
                             floor, tapes)
        # Every folder is made before the first timed run; a round's output
        # is deleted after the round, --settle seconds before the next.
        rounds = timing.prepare_rounds(setup, tapes_dir, args.repeats)
        traced_runs = syscalls.prepare(setup, tapes_dir) if traced else None
        single = timing.prepare_single_tape(setup, tapes_dir)
        empty = timing.build_empty_program(work)
        tzx_folder, tzx_sizes = tzx.prepare(work, args.seed)
        os.sync()
        report.where(work)
        measured = timing.alternate(setup, rounds, args.settle)
        single_rss = timing.single_tape_rss(setup, single)
        empty_rss = timing.empty_program_rss(setup, empty)
        tzx_measured = tzx.alternate(setup, tzx_folder, 2 * args.repeats + 1)
        counted = syscalls.count_all(setup, traced_runs) if traced else None
        report.report(tapes, args.settle, measured, counted, single_rss,
                      empty_rss)
        tzx.report(tzx_measured, tzx_sizes)
    finally:
        if args.keep:
            print("kept", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


def helper(parser, given, name):
    path = os.path.abspath(given or os.path.join(DEFAULT_HELPERS, name))
    if not os.access(path, os.X_OK):
        parser.error("no %s at %s: build the CMake target %s, or name it "
                     "with --%s" % (name, path, name, name.split("_")[1]))
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("quornax", help="the quornax binary to time")
    parser.add_argument("--tapes", type=int, default=300)
    parser.add_argument("--repeats", type=int, default=9,
                        help="rounds of the three contenders (default 9)")
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--settle", type=float, default=1.0,
                        help="seconds to wait before each round, after the "
                             "folders are made or the last round's output "
                             "is deleted (default 1)")
    parser.add_argument("--dir", default=None,
                        help="where to make the temporary directory "
                             "(default: %s, a tmpfs, where there is one; "
                             "else $TMPDIR or /tmp)" % DEFAULT_DIR)
    parser.add_argument("--keep", action="store_true",
                        help="keep the temporary directory")
    parser.add_argument("--measure", default=None,
                        help="the measuring helper, CMake target "
                             "quornax_measure (default: "
                             "build/bench/quornax_measure in the repository)")
    parser.add_argument("--floor", default=None,
                        help="the design floor, CMake target quornax_floor "
                             "(default: build/bench/quornax_floor in the "
                             "repository)")
    args = parser.parse_args()
    if args.tapes < 1 or args.repeats < 1:
        parser.error("--tapes and --repeats must be at least 1")
    if args.settle < 0:
        parser.error("--settle cannot be negative")
    if args.dir is None and os.path.isdir(DEFAULT_DIR):
        args.dir = DEFAULT_DIR
    measure = helper(parser, args.measure, "quornax_measure")
    floor = helper(parser, args.floor, "quornax_floor")
    run(args, measure, floor)


if __name__ == "__main__":
    main()
