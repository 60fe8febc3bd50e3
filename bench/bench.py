#!/usr/bin/env python3
"""Times quornax against the input/output floor of this machine.

Generates a corpus of synthetic tapes into a temporary directory, converts
all of them in one quornax run, and compares that with `split -b 655360` of
a file as large as all the images together, which writes as many bytes into
as many files. Each is run several times, alternating, and the medians are
printed with the peak resident memory of the quornax process.

Usage: bench.py QUORNAX [--tapes N] [--repeats N] [--seed N] [--dir DIR]
                [--keep] [--measure PATH]

The measuring helper is bench/measure.cpp, built by CMake as the target
quornax_measure; --measure names it (default: build/bench/quornax_measure
in the repository).
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
import timing  # noqa: E402

DEFAULT_MEASURE = os.path.join(HERE, os.pardir, "build", "bench",
                               "quornax_measure")


def run(args, measure):
    quornax = os.path.abspath(args.quornax)
    work = tempfile.mkdtemp(prefix="quornax-bench-", dir=args.dir)
    try:
        tapes_dir = os.path.join(work, "tapes")
        os.mkdir(tapes_dir)
        names, pairs, tape_bytes = corpus.make_corpus(tapes_dir, args.tapes,
                                                      args.seed)
        print(report.corpus_line(len(names), pairs, tape_bytes))
        quornax_runs, split_runs = timing.alternate(
            measure, work, quornax, tapes_dir, names, pairs, args.repeats)
        single_rss = timing.single_tape_rss(measure, work, quornax, tapes_dir,
                                            names)
        empty_rss = timing.empty_program_rss(measure, work)
        report.report(args.repeats, work, len(names), quornax_runs, split_runs,
                      single_rss, empty_rss)
    finally:
        if args.keep:
            print("kept", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


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
    parser.add_argument("--measure", default=None,
                        help="the measuring helper, CMake target "
                             "quornax_measure (default: "
                             "build/bench/quornax_measure in the repository)")
    args = parser.parse_args()
    if args.tapes < 1 or args.repeats < 1:
        parser.error("--tapes and --repeats must be at least 1")
    measure = os.path.abspath(args.measure or DEFAULT_MEASURE)
    if not os.access(measure, os.X_OK):
        parser.error("no measuring helper at %s: build the CMake target "
                     "quornax_measure, or name it with --measure" % measure)
    run(args, measure)


if __name__ == "__main__":
    main()
