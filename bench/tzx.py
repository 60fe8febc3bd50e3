"""The TZX case: one tape whose reading is most of the run, as a TAP and as
the same blocks in a TZX (standard speed blocks), timed in turn in rounds
whose order turns. 128 small pairs go on the disk; 300 pairs of 48 KB after
them are read, checked and listed but not staged, so that the tape, not the
image, is what the runs spend their time on. The ratio that counts is the
processor time per byte of tape, TZX over TAP: the TZX is a little longer
(an ID, a pause and a length word more a block, and its header), and its
reader must cost no more for each of its bytes.
"""

import os
import random
import statistics
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                os.pardir, "tools"))
import tapwriter  # noqa: E402
import tzxwriter  # noqa: E402

import timing  # noqa: E402

SMALL_PAIRS = 128
LARGE_PAIRS = 300
LARGE = 48 * 1024
PER_BYTE_TARGET = 1.05    # TZX over TAP, with room for the runs' noise
FORMATS = ("tap", "tzx")


def blocks(seed):
    rng = random.Random(seed)
    made = []
    for number in range(SMALL_PAIRS + LARGE_PAIRS):
        size = 1 if number < SMALL_PAIRS else LARGE
        made.append(tapwriter.header(tapwriter.CODE, "b%d" % number, size,
                                     32768, 32768))
        made.append(tapwriter.data(rng.randbytes(size)))
    return made


def prepare(work, seed):
    """Writes read.tap and read.tzx into a folder of their own; returns the
    folder and {format: size in bytes}."""
    folder = os.path.join(work, "tzx")
    os.makedirs(folder)
    made = blocks(seed)
    contents = {"tap": b"".join(made),
                "tzx": tzxwriter.tzx(*(tzxwriter.standard(b) for b in made))}
    for kind, content in contents.items():
        with open(os.path.join(folder, "read." + kind), "wb") as out:
            out.write(content)
    return folder, {kind: len(c) for kind, c in contents.items()}


def alternate(setup, folder, repeats):
    """{format: Measured}: quornax over each tape once a round, in turn."""
    measured = {kind: timing.Measured() for kind in FORMATS}
    pairs = SMALL_PAIRS + LARGE_PAIRS
    for number in range(repeats):
        order = FORMATS if number % 2 == 0 else FORMATS[::-1]
        for kind in order:
            listing_path = os.path.join(setup.work, "listing-tzx.txt")
            with open(listing_path, "wb") as listing:
                seconds, status, peak, messages, cpu = timing.timed_run(
                    setup, "tzx-%02d-%s" % (number, kind),
                    [setup.quornax, "read." + kind], folder, listing)
            with open(listing_path, "rb") as listing:
                timing.check_quornax(status, messages, folder,
                                     ["read." + kind], listing.read(), pairs)
            measured[kind].add(seconds, cpu, peak)
    return measured


def report(measured, sizes):
    print("TZX: one tape of %d pairs (%d staged), %.1f MB as TAP and %.1f MB "
          "as TZX, read by quornax in turn, %d rounds; median times (wall "
          "clock; processor time):"
          % (SMALL_PAIRS + LARGE_PAIRS, SMALL_PAIRS, sizes["tap"] / 1e6,
             sizes["tzx"] / 1e6, len(measured["tap"].seconds)))
    for kind in FORMATS:
        runs = measured[kind]
        print("  %s: %.4f s  (%.4f s)" % (kind.upper(),
                                          statistics.median(runs.seconds),
                                          statistics.median(runs.cpu)))
    for figure, label in (("cpu", "processor time"), ("seconds", "wall clock")):
        each = [(z / sizes["tzx"]) / (p / sizes["tap"]) for z, p in
                zip(getattr(measured["tzx"], figure),
                    getattr(measured["tap"], figure))]
        ratio = statistics.median(each)
        target = ""
        if figure == "cpu":
            target = "  (target at most %.2f: %s)" % (
                PER_BYTE_TARGET,
                "met" if ratio <= PER_BYTE_TARGET else "MISSED")
        print("  per byte of tape, TZX/TAP in %s: %.2f%s  rounds: %s"
              % (label, ratio, target, " ".join("%.2f" % r for r in each)))
