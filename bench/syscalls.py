"""System calls of quornax and of the design floor, counted by `strace -c -f`.

Both programs run over the whole corpus once, and over three parts of it:
the compilations (128 staged pairs a tape), the loaders (three or four) and
one loader alone. The whole corpus gives the headline figure, every call of
the run divided by the staged pairs. The four runs together give a
least-squares fit of

    calls = start-up + per tape x tapes + per pair x staged pairs

which separates the work done once a pair from the work done once a tape
(the lock, reading the tape, writing the image) and once a run. The floor's
calls follow that rule, so its fit is exact; quornax's follow it nearly (it
reads a long tape in more than one piece, for one), and the largest misfit
is printed with the fit.

The runs go in folders of their own, prepared with the timed ones, and after
the last timed run, so that tracing slows no timed run.
"""

import os
import shutil
import subprocess
import sys

import timing

PROGRAMS = ("quornax", "floor")


def available():
    return shutil.which("strace")


def parts(tapes):
    """[(label, tapes)]: the whole corpus first, then the parts of it that
    the fit needs, each different from those before it."""
    loaders = [tape for tape in tapes if tape.kind == "loader"]
    found = [("all tapes", tapes),
             ("the compilations",
              [tape for tape in tapes if tape.kind == "compilation"]),
             ("the loaders", loaders),
             ("one loader", loaders[:1])]
    chosen, seen = [], set()
    for label, part in found:
        key = tuple(tape.name for tape in part)
        if part and key not in seen:
            seen.add(key)
            chosen.append((label, part))
    return chosen


def prepare(setup, tapes_dir):
    """Folders for every traced run: [(label, tapes, {program: folder})]."""
    runs = []
    for number, (label, part) in enumerate(parts(setup.tapes)):
        folders = {}
        for program in PROGRAMS:
            folder = os.path.join(setup.work, "strace", "%s-%d"
                                  % (program, number))
            timing.copy_tapes(tapes_dir, [tape.name for tape in part], folder)
            folders[program] = folder
        runs.append((label, part, folders))
    return runs


def read_summary(path):
    """{system call: calls} from strace -c, the total under "total"."""
    calls = {}
    with open(path) as summary:
        for line in summary:
            fields = line.split()
            # "% time seconds usecs/call calls [errors] syscall"
            if len(fields) in (5, 6) and fields[3].isdigit():
                calls[fields[-1]] = int(fields[3])
    if "total" not in calls:
        sys.exit("bench: no total line in %s" % path)
    return calls


def count(setup, argv, folder, tag):
    out = os.path.join(setup.work, "strace-%s.txt" % tag)
    err = os.path.join(setup.work, "strace-%s.err" % tag)
    with open(err, "wb") as messages:
        status = subprocess.call(
            ["strace", "-c", "-f", "-o", out, "--"] + argv, cwd=folder,
            stdout=subprocess.DEVNULL, stderr=messages)
    with open(err, "rb") as messages:
        unexpected = [line for line in messages.read().splitlines()
                      if not timing.PAST_128.match(line)]
    if status != 0 or unexpected:
        sys.exit("bench: %s under strace: exit status %d, %r"
                 % (argv[0], status, b"\n".join(unexpected)[:200]))
    return read_summary(out)


def solve(matrix, vector):
    """Gaussian elimination with partial pivoting; None when singular."""
    size = len(vector)
    rows = [list(matrix[i]) + [vector[i]] for i in range(size)]
    for col in range(size):
        pivot = max(range(col, size), key=lambda r: abs(rows[r][col]))
        if abs(rows[pivot][col]) < 1e-9:
            return None
        rows[col], rows[pivot] = rows[pivot], rows[col]
        for r in range(size):
            if r != col:
                factor = rows[r][col] / rows[col][col]
                rows[r] = [a - factor * b for a, b in zip(rows[r], rows[col])]
    return [rows[i][size] / rows[i][i] for i in range(size)]


def fit(points):
    """points: [(tapes, staged pairs, calls)]. Returns (start-up, per tape,
    per pair, largest misfit in calls), or None without enough points."""
    if len(points) < 3:
        return None
    xs = [(1.0, tapes, pairs) for tapes, pairs, _ in points]
    ys = [calls for _, _, calls in points]
    normal = [[sum(x[i] * x[j] for x in xs) for j in range(3)]
              for i in range(3)]
    right = [sum(x[i] * y for x, y in zip(xs, ys)) for i in range(3)]
    beta = solve(normal, right)
    if beta is None:
        return None
    misfit = max(abs(sum(b * v for b, v in zip(beta, x)) - y)
                 for x, y in zip(xs, ys))
    return beta[0], beta[1], beta[2], misfit


class Counted:
    """One program's counts: the whole corpus's per call, and the fit."""

    def __init__(self, whole, staged, tapes, fitted, labels):
        self.whole = whole
        self.labels = labels
        self.staged = staged
        self.tapes = tapes
        self.fitted = fitted

    def per_pair(self):
        return self.whole["total"] / self.staged


def count_all(setup, runs):
    """{program: Counted} over the prepared runs."""
    result = {}
    for program in PROGRAMS:
        binary = setup.quornax if program == "quornax" else setup.floor
        points, whole = [], None
        for number, (_, part, folders) in enumerate(runs):
            calls = count(setup, [binary] + [tape.name for tape in part],
                          folders[program], "%s-%d" % (program, number))
            staged = sum(tape.staged for tape in part)
            points.append((len(part), staged, calls["total"]))
            if whole is None:
                whole = calls
        result[program] = Counted(whole, points[0][1], points[0][0],
                                  fit(points), [label for label, _, _ in runs])
    return result
