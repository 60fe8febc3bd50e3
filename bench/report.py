"""The benchmark's report: where it ran, the medians of the timed runs and
how they stand against the targets."""

import os
import statistics

from timing import IMAGE_SIZE

RATIO_TARGET = 1.5
RSS_TARGET_KIB = 4 * 1024


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


def corpus_line(tapes, pairs, tape_bytes):
    return ("corpus: %d tapes, %d block pairs, %.1f MB of tape; "
            "%.1f MB of image" % (tapes, pairs, tape_bytes / 1e6,
                                  tapes * IMAGE_SIZE / 1e6))


def report(repeats, work, tapes, quornax_runs, split_runs, single_rss,
           empty_rss):
    image_bytes = tapes * IMAGE_SIZE
    q = statistics.median(quornax_runs.seconds)
    s = statistics.median(split_runs.seconds)
    ratio = q / s
    peak = statistics.median(quornax_runs.rss)
    print("machine: %s" % machine())
    print("directory: %s (%s)" % (os.path.dirname(work), file_system(work)))
    with open("/proc/loadavg") as load:
        print("load average at the end: %s (other work on the machine slows "
              "both sides)" % " ".join(load.read().split()[:3]))
    print("runs: %d of each, alternating; medians below" % repeats)
    print("  quornax, all tapes in one run: %.3f s  (runs: %s)"
          % (q, " ".join("%.3f" % t for t in quornax_runs.seconds)))
    print("  floor, split -b %d:      %.3f s  (runs: %s)"
          % (IMAGE_SIZE, s, " ".join("%.3f" % t for t in split_runs.seconds)))
    print("  processor time (user + system): quornax %.3f s, floor %.3f s, "
          "ratio %.2f" % (statistics.median(quornax_runs.cpu),
                          statistics.median(split_runs.cpu),
                          statistics.median(quornax_runs.cpu) /
                          statistics.median(split_runs.cpu)))
    print("  tapes per second:              %.0f" % (tapes / q))
    print("  MB of image per second:        %.0f  (floor %.0f)"
          % (image_bytes / 1e6 / q, image_bytes / 1e6 / s))
    print("  ratio quornax/floor:           %.2f  (target at most %.1f: %s)"
          % (ratio, RATIO_TARGET, "met" if ratio <= RATIO_TARGET else "MISSED"))
    print("  peak resident memory:          %.2f MiB  (target at most %d MiB: %s)"
          % (peak / 1024, RSS_TARGET_KIB // 1024,
             "met" if peak <= RSS_TARGET_KIB else "MISSED"))
    print("    with one tape instead:       %.2f MiB" % (single_rss / 1024))
    print("    an empty C++ program:        %.2f MiB" % (empty_rss / 1024))
