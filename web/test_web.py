#!/usr/bin/env python3
"""Converts tapes in the web page, in headless Chromium, and compares
everything with the Linux build run on the same command line: the listing
and the messages byte for byte, the exit status, the images made (names and
bytes, through the page's own download links), the SHA-256 the page shows,
and what the page displays for the raw bytes.

    web/test_web.py WEB_BUILD_DIR LINUX_QUORNAX

Tapes go in through the real file input; one goes in as ?tap=URL from a
local static server. Screenshots of the page before and after a conversion
are left in WEB_BUILD_DIR. Exit status 0 when every case agrees.
"""

import base64
import functools
import hashlib
import http.server
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tools"))
from cdp import Browser, BrowserError, Page  # noqa: E402
from tapwriter import (CHAR_ARRAY, NUMBER_ARRAY, array_pair,  # noqa: E402
                       basic_pair, code_pair, data, header, pattern)

# ------------------------------------------------------------------ tapes


def random_tape(rng):
    """Pairs of every kind with names of any bytes, 0x00 included; array
    variable bytes of any value, so the listing's letter is any byte too;
    headers whose data disagrees in length; lone data blocks; and now and
    then a tape that breaks off or ends in junk."""
    tape = b""
    for _ in range(rng.randint(1, 30)):
        kind = rng.choice([0, 1, 2, 3, None])
        payload = rng.randbytes(rng.choice([0, 1, 7, 6912, rng.randrange(300),
                                            rng.randrange(9000)]))
        if kind is None:
            tape += data(payload)
            continue
        name = rng.randbytes(rng.randrange(11))
        length = len(payload) + (rng.choice([-1, 1, 9]) if rng.random() < 0.15 else 0)
        param1 = rng.choice([0, 10, 32768, rng.randrange(65536)])
        tape += header(kind, name, length & 0xFFFF, param1, rng.randrange(65536))
        tape += data(payload)
    roll = rng.random()
    if roll < 0.15:
        tape = tape[:rng.randrange(len(tape) + 1)]
    elif roll < 0.3:
        tape += rng.randbytes(rng.randrange(1, 40))
    return tape


def every_byte_names():
    """One code pair per ten byte values: every byte appears in a name."""
    return b"".join(code_pair(bytes(range(i, min(i + 10, 256))), bytes([i]) * 5, i)
                    for i in range(0, 256, 10))


def array_letters():
    """The listing prints the variable byte less 0x40 or 0x80: zero and high
    bytes land in the listing itself."""
    return b"".join(array_pair(kind, b"arr%02x" % variable, b"abc", variable)
                    for kind, variable in ((NUMBER_ARRAY, 0x40), (CHAR_ARRAY, 0x80),
                                           (NUMBER_ARRAY, 0x3F), (CHAR_ARRAY, 0x7F),
                                           (NUMBER_ARRAY, 0xFF), (CHAR_ARRAY, 0xC1)))


def too_big():
    """More than the disk holds: the conversion fails, and the run stops."""
    return b"".join(code_pair(b"big%02d" % i, bytes(65280), 0) for i in range(11))


def big_blocks():
    """Blocks as long as a file can be, each read back from its staging
    file in one preadv behind its descriptor and written as a buffer of
    its own; the last leaves the work buffer a track short of full, so the
    free sectors go out as a hundred-odd pieces of one writev."""
    return (code_pair("full", pattern(65280, 1))
            + basic_pair("basic", pattern(60000, 2))
            + code_pair("last", pattern(61440, 3)))


# A run that shows a bit of everything: a listing, messages, raw name bytes.
AFTER_SCREENSHOT = ["demo.tap", "length_mismatch.tap", "cut_short.tap", "arrays.tap"]


def make_tapes(folder):
    """Writes the tapes; returns the cases as lists of file names (one run
    each, the names in command-line order)."""
    def put(name, content):
        with open(os.path.join(folder, name), "wb") as out:
            out.write(content)
        return name

    def copy(path):
        shutil.copy(path, folder)
        return os.path.basename(path)

    cases = [[copy(os.path.join(ROOT, "examples", "demo.tap"))]]
    for sub in ("tests/data/real", "fuzz/corpus"):
        path = os.path.join(ROOT, sub)
        cases += [[copy(os.path.join(path, name))]
                  for name in sorted(os.listdir(path)) if name.endswith(".tap")]
    cases.append([put("every byte names.tap", every_byte_names())])
    cases.append([put("array letters.tap", array_letters())])
    cases.append([put("empty.tap", b"")])
    cases.append([put("big blocks.tap", big_blocks())])
    rng = random.Random(1307)
    randoms = [put("random %02d.tap" % i, random_tape(rng)) for i in range(48)]
    cases += [[name] for name in randoms]
    # Several tapes in one run, a failure in the middle stopping it; names
    # the image is made from in their own ways.
    put("big.tap", too_big())
    cases.append(["demo.tap", "game.tap"])
    cases.append(AFTER_SCREENSHOT)
    cases.append(["demo.tap", "big.tap", "game.tap"])
    cases.append(randoms[:6])
    cases.append([put("žluťoučký kůň.TAP", array_letters()), put("old\\loader.tap", every_byte_names())])
    return cases


# ------------------------------------------------------------------ runs


class Outcome:
    def __init__(self, status, stdout, stderr, merged, images):
        self.status = status        # text: "0", "1", or "" when the run broke
        self.stdout = stdout
        self.stderr = stderr
        self.merged = merged        # both streams into one, as 2>&1
        self.images = images        # {name: bytes}


def run_linux(program, tapes_folder, names):
    """Runs the Linux build twice in fresh folders: once with the streams
    apart, once with both into one pipe, for the order they interleave in."""
    def run(**streams):
        with tempfile.TemporaryDirectory(prefix="quornax-ref-") as work:
            for name in names:
                shutil.copy(os.path.join(tapes_folder, name), work)
            done = subprocess.run([program] + names, cwd=work, timeout=60, **streams)
            images = {}
            for folder, _, files in os.walk(work):
                for name in files:
                    path = os.path.join(folder, name)
                    relative = os.path.relpath(path, work)
                    if relative not in names:
                        with open(path, "rb") as image:
                            images[relative] = image.read()
            return done, images

    merged, _ = run(stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    apart, images = run(capture_output=True)
    return Outcome(str(apart.returncode), apart.stdout, apart.stderr, merged.stdout, images)


# Everything the test needs from the page in one evaluation: the machine
# readable results, the image bytes fetched back through the download
# links, and what the page displays.
READ_RESULT = """(async () => {
  const machine = document.getElementById("machine");
  const images = [];
  for (const link of document.querySelectorAll("#images a")) {
    const bytes = new Uint8Array(await (await fetch(link.href)).arrayBuffer());
    let text = "";
    for (let i = 0; i < bytes.length; i += 0x8000)
      text += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
    images.push({path: link.dataset.path, download: link.download,
                 sha256: link.dataset.sha256, bytes: btoa(text)});
  }
  return {status: document.getElementById("status").textContent,
          machineStatus: machine.dataset.status,
          stdout: machine.dataset.stdout, stderr: machine.dataset.stderr,
          sha256: document.getElementById("image-sha256").textContent,
          shown: document.getElementById("output").textContent,
          markup: document.querySelectorAll("#output *:not(span)").length,
          noImage: !document.getElementById("no-image").hidden,
          images: images};
})()"""


RAN = "document.getElementById('machine')?.dataset.run === '%d'"


def run_page(page, paths, run_number):
    page.set_files("#tapes", paths)
    page.wait_for(RAN % run_number)
    return page.evaluate(READ_RESULT)


def shown_text(data):
    """What the page shows for the program's bytes: printable ASCII as it
    is, a tab as four blanks, any other byte as one dot."""
    out = []
    for byte in data:
        if 0x20 <= byte < 0x7F or byte == 0x0A:
            out.append(chr(byte))
        elif byte == 0x09:
            out.append("    ")
        else:
            out.append("\u00b7")
    return "".join(out)


def compare(label, expected, got):
    """Returns the differences, one line each."""
    problems = []
    decode = base64.b64decode
    if got["status"] != expected.status or got["machineStatus"] != expected.status:
        problems.append("exit status %r, expected %s" % (got["status"], expected.status))
    for stream in ("stdout", "stderr"):
        mine, theirs = decode(got[stream]), getattr(expected, stream)
        if mine != theirs:
            problems.append("%s differs:\n  page  %r\n  linux %r" % (stream, mine, theirs))
    images = {decode(i["path"]).decode(): i for i in got["images"]}
    if sorted(images) != sorted(expected.images):
        problems.append("images %s, expected %s" % (sorted(images), sorted(expected.images)))
    hashes = []
    for name, image in images.items():
        content = decode(image["bytes"])
        hashes.append(image["sha256"])
        if name in expected.images and content != expected.images[name]:
            problems.append("%s: the downloaded bytes differ" % name)
        if image["sha256"] != hashlib.sha256(content).hexdigest():
            problems.append("%s: SHA-256 shown %s is not the image's" % (name, image["sha256"]))
        if image["download"] != name.rsplit("/", 1)[-1]:
            problems.append("%s: downloads as %r" % (name, image["download"]))
    if got["sha256"] != " ".join(hashes):
        problems.append("#image-sha256 %r, expected %r" % (got["sha256"], " ".join(hashes)))
    if got["noImage"] != (not expected.images):
        problems.append("the no-image note is %s" % ("shown" if got["noImage"] else "hidden"))
    shown = got["shown"].split("\n", 1)[1] if "\n" in got["shown"] else ""
    if got["markup"]:
        problems.append("the output holds %d elements other than spans" % got["markup"])
    if shown != shown_text(expected.merged):
        problems.append("the page shows other text:\n  page  %r\n  linux %r"
                        % (shown, shown_text(expected.merged)))
    return ["%s: %s" % (label, p) for p in problems]


# ------------------------------------------------------------------ main


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def serve(folder):
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(QuietHandler, directory=folder))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def main(args):
    if len(args) != 2:
        sys.exit(__doc__.strip())
    web, program = os.path.abspath(args[0]), os.path.abspath(args[1])
    index = os.path.join(web, "index.html")
    started = time.monotonic()
    failures = []
    runs = 0
    with tempfile.TemporaryDirectory(prefix="quornax web tapes ") as scratch:
        tapes = os.path.join(scratch, "tapes")
        os.mkdir(tapes)
        cases = make_tapes(tapes)
        try:
            browser = Browser()
        except BrowserError as error:
            sys.exit("test-web: %s; install chromium-headless-shell first; "
                     "tools/install-build-deps web does it, as root" % error)
        try:
            page = Page(browser, width=1000, height=900)
            page.navigate("file://" + urllib.parse.quote(index))
            page.wait_for("document.body?.dataset.state === 'ready'")
            page.screenshot(os.path.join(web, "screenshot-before.png"))
            for names in cases:
                label = " ".join(names)
                expected = run_linux(program, tapes, names)
                runs += 1
                try:
                    got = run_page(page, [os.path.join(tapes, n) for n in names], runs)
                except BrowserError as error:
                    failures.append("%s: %s" % (label, error))
                    if page.crashed:
                        break
                    continue
                failures += compare(label, expected, got)
                if names == ["demo.tap", "game.tap"]:
                    order = [base64.b64decode(i["path"]).decode() for i in got["images"]]
                    if order != ["demo.trd", "game.trd"]:
                        failures.append("%s: images listed as %s" % (label, order))
                if names == AFTER_SCREENSHOT:
                    page.screenshot(os.path.join(web, "screenshot-after.png"))
            # From a static host holding the two files alone, as ?tap=URL,
            # on a phone's screen.
            site = os.path.join(scratch, "site")
            os.mkdir(site)
            for name in ("index.html", "quornax.js"):
                shutil.copy(os.path.join(web, name), site)
            shutil.copy(os.path.join(tapes, "demo.tap"), site)
            server = serve(site)
            phone = None
            try:
                phone = Page(browser, width=390, height=844, scale=2, mobile=True)
                phone.navigate("http://127.0.0.1:%d/index.html?tap=demo.tap" % server.server_port)
                phone.wait_for(RAN % 1)
                failures += compare("?tap=demo.tap", run_linux(program, tapes, ["demo.tap"]),
                                    phone.evaluate(READ_RESULT))
                phone.screenshot(os.path.join(web, "screenshot-phone.png"))
                runs += 1
            except BrowserError as error:
                failures.append("?tap=demo.tap: %s" % error)
            finally:
                server.shutdown()
                server.server_close()
            for tab in (page, phone):
                if tab is not None:
                    tab.poll()
                    failures += ["uncaught in the page: %s" % e for e in tab.errors]
        finally:
            log = browser.browser_log()
            browser.close()
    for line in failures:
        print(line)
    if any("crashed" in line for line in failures):
        print("browser log:\n" + log[-4000:])
    print("test-web: %d runs in the browser, %d differences, %.1f s"
          % (runs, len(failures), time.monotonic() - started))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
