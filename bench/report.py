"""The benchmark's report: where it ran, the medians of the timed runs, the
system calls, and how they stand against the targets."""

import os
import statistics

from timing import CONTENDERS, IMAGE_SIZE

FLOOR_RATIO_TARGET = 1.15
CALLS_PER_PAIR_TARGET = 6
RSS_TARGET_KIB = 2 * 1024

LABELS = {"quornax": "quornax",
          "floor": "design floor (bench/floor.cpp)",
          "split": "split -b %d" % IMAGE_SIZE}


def verdict(value, target):
    return "met" if value <= target else "MISSED"


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


def load_average():
    with open("/proc/loadavg") as load:
        return " ".join(load.read().split()[:3])


def corpus_line(tapes):
    pairs = sum(tape.pairs for tape in tapes)
    staged = sum(tape.staged for tape in tapes)
    return ("corpus: %d tapes, %d block pairs (%d of them staged), %.1f MB of "
            "tape; %.1f MB of image"
            % (len(tapes), pairs, staged,
               sum(tape.size for tape in tapes) / 1e6,
               len(tapes) * IMAGE_SIZE / 1e6))


def where(work):
    print("machine: %s" % machine())
    print("directory: %s (%s)" % (os.path.dirname(work), file_system(work)))
    print("load average before the runs: %s (other work on the machine "
          "slows every contender)" % load_average())


def times(measured, tapes, settle):
    rounds = len(measured["quornax"].seconds)
    print("rounds: %d, each timing quornax, the design floor and split once "
          "over all tapes, in an order that turns by one each round; every "
          "folder made before the first run, a round's output deleted after "
          "it and %g s before the next" % (rounds, settle))
    print("median times (wall clock; processor time, user + system):")
    for name in CONTENDERS:
        runs = measured[name]
        print("  %-32s %.3f s  (%.3f s)  runs: %s"
              % (LABELS[name] + ":", statistics.median(runs.seconds),
                 statistics.median(runs.cpu),
                 " ".join("%.3f" % t for t in runs.seconds)))
    q = statistics.median(measured["quornax"].seconds)
    print("  quornax: %.0f tapes/s, %.0f MB of image/s"
          % (tapes / q, tapes * IMAGE_SIZE / 1e6 / q))


def ratios(measured):
    def per_round(top, bottom, figure):
        return [a / b for a, b in zip(getattr(measured[top], figure),
                                      getattr(measured[bottom], figure))]
    print("ratios, the median of the ratios of each round's two runs:")
    for top, bottom in (("quornax", "floor"), ("quornax", "split"),
                        ("floor", "split")):
        each = per_round(top, bottom, "seconds")
        ratio = statistics.median(each)
        target = ""
        if (top, bottom) == ("quornax", "floor"):
            target = "  (target at most %.2f: %s)" % (
                FLOOR_RATIO_TARGET, verdict(ratio, FLOOR_RATIO_TARGET))
        print("  %-15s %.2f%s  rounds: %s"
              % (top + "/" + bottom + ":", ratio, target,
                 " ".join("%.2f" % r for r in each)))
    # Processor time leaves out the waits for a processor: the same runs
    # seen apart from the other work that keeps the machine busy.
    each = per_round("quornax", "floor", "cpu")
    print("  quornax/floor in processor time: %.2f  rounds: %s"
          % (statistics.median(each), " ".join("%.2f" % r for r in each)))


def calls(counted):
    if counted is None:
        print("system calls: not counted, strace is not installed "
              "(apt-get install strace)")
        return
    some = counted["quornax"]
    print("system calls, strace -c -f over all %d tapes, %d staged pairs; per "
          "staged pair = every call of the run (start-up and per-tape work "
          "included) / staged pairs:" % (some.tapes, some.staged))
    for name in ("quornax", "floor"):
        c = counted[name]
        target = ""
        if name == "quornax":
            target = "  (target at most %d: %s)" % (
                CALLS_PER_PAIR_TARGET,
                verdict(c.per_pair(), CALLS_PER_PAIR_TARGET))
        print("  %-8s %6d calls, %.2f per staged pair%s"
              % (name + ":", c.whole["total"], c.per_pair(), target))
    print("  per staged pair, by call:")
    for name in ("quornax", "floor"):
        c = counted[name]
        biggest = sorted(((n, k) for k, n in c.whole.items() if k != "total"),
                         reverse=True)
        shown = ["%s %.2f" % (k, n / c.staged) for n, k in biggest
                 if n / c.staged >= 0.05]
        print("    %-8s %s" % (name + ":", ", ".join(shown)))
    print("  split by a least-squares fit of calls = start-up + per tape x "
          "tapes + per pair x staged pairs over strace runs of %s; amortised "
          "= per pair + per tape x tapes / staged pairs (%d / %d), start-up "
          "left out:" % (", ".join(some.labels), some.tapes, some.staged))
    for name in ("quornax", "floor"):
        fitted = counted[name].fitted
        if fitted is None:
            print("    %-8s too few different parts of the corpus to fit"
                  % (name + ":"))
            continue
        start, tape, pair, misfit = fitted
        print("    %-8s per pair %.2f, per tape %.1f, start-up %.0f; "
              "amortised %.2f per staged pair (largest misfit %.0f calls)"
              % (name + ":", pair, tape, start,
                 pair + tape * some.tapes / some.staged, misfit))


def memory(measured, single_rss, empty_rss):
    peak = statistics.median(measured["quornax"].rss)
    print("peak resident memory of quornax (wait4 in quornax_measure, median "
          "of the timed runs): %.2f MiB  (target at most %d MiB: %s)"
          % (peak / 1024, RSS_TARGET_KIB // 1024,
             verdict(peak, RSS_TARGET_KIB)))
    print("  with one tape instead: %.2f MiB; an empty C++ program: %.2f MiB"
          % (single_rss / 1024, empty_rss / 1024))


def report(tapes, settle, measured, counted, single_rss, empty_rss):
    times(measured, len(tapes), settle)
    ratios(measured)
    calls(counted)
    memory(measured, single_rss, empty_rss)
    print("load average at the end: %s" % load_average())
