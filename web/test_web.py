#!/usr/bin/env python3
"""Converts tapes in the web page, in headless Chromium, and compares
everything with the Linux build run on the same command line: the listing
and the messages byte for byte, the exit status, the images made (names and
bytes, through the page's own download links and its zip of them all), the
SHA-256 the page shows, what the page displays for the raw bytes, and for
each tape its card: its name, what became of it (each tape converted alone
by the Linux build says), its disk's file count and free sectors.

    web/test_web.py WEB_BUILD_DIR LINUX_QUORNAX

Tapes go in through the real file input; one goes in as ?tap=URL from a
local static server. Screenshots of the page before and after a conversion
are left in WEB_BUILD_DIR. Exit status 0 when every case agrees.
"""

import base64
import functools
import hashlib
import http.server
import io
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import zipfile

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
# A clean conversion, for README's picture.
CLEAN = ["demo.tap", "real/loader.tap"]
# Two tapes of one name, and tapes named as the page might name a folder.
SAME_NAME = ["2", "3", "game.tap", "real/game.tap"]
# The words a card must hold, by tape.
CARD_WORDS = {"notes.tap": "text file", "empty.tap": "empty", "headers_only.tap": "holds no files",
              "pairs130.tap": "2 files of the tape did not reach the disk",
              # quornax-cat's warnings, in words: a name's first byte 0 or 1, two of one name.
              "every byte names.tap": "TR-DOS does not list them", "random 20.tap": "lists it as deleted",
              "random 08.tap": "can load only the first", "recorded_19.tzx": "recorded sound",
              # A tape that stopped at a damaged block: the card names the option.
              "game-checksum.tap": "Read on past damaged blocks"}
# Runs with "Read on past damaged blocks" ticked (-k), and one without the boot.
KEEP_GOING = [["game-block36.tap", "game-flag.tap", "bad_flag.tap"],
              ["bad_data_checksum.tap", "short_header.tap", "random 03.tap"]]
NO_BOOT = ["demo.tap", "real/game.tap"]


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
    # The tapes from real tools also keep their own folder, beside fuzz's
    # tapes of the same names.
    os.mkdir(os.path.join(folder, "real"))
    for name in os.listdir(os.path.join(ROOT, "tests/data/real")):
        if os.path.isfile(os.path.join(ROOT, "tests/data/real", name)):
            shutil.copy(os.path.join(ROOT, "tests/data/real", name), os.path.join(folder, "real"))
    # The loaders for the boot file too.
    for sub in ("tests/data/real", "tests/data/real/boot", "fuzz/corpus"):
        path = os.path.join(ROOT, sub)
        cases += [[copy(os.path.join(path, name))]
                  for name in sorted(os.listdir(path)) if name.endswith(".tap")]
    cases += [[copy(os.path.join(ROOT, "tests/data/tzx", name + ".tzx"))]
              for name in ("game", "recorded_19", "cut", "long")]
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
    # What people pick by mistake, and names that need care.
    cases.append([put("notes.tap", b"My tapes\n\nGames from 1986, to convert:\n- Manic\n")])
    cases.append(["demo.tap", "notes.tap", "headers_only.tap", "pairs130.tap"])
    cases.append([put("tab\tand newline.tap", code_pair(b"a\tb\nc", b"x") + code_pair(b"\n", b"y"))])
    put("2", b"")
    put("3", code_pair("three", b"3"))
    cases.append(SAME_NAME)
    cases.append(CLEAN)
    return cases


# ------------------------------------------------------------------ runs


class Outcome:
    def __init__(self, status, stdout, stderr, merged, images, catalogues):
        self.status = status        # text: "0", "1", or "" when the run broke
        self.stdout = stdout
        self.stderr = stderr
        self.merged = merged        # both streams into one, as 2>&1
        self.images = images        # {name: bytes}
        self.catalogues = catalogues  # {name: what quornax-cat lists for it}


def run_linux(program, tapes_folder, names, args=None, options=()):
    """Runs the Linux build twice in fresh folders: once with the streams
    apart, once with both into one pipe, for the order they interleave in.
    The tape names[i] is given as args[i] (by default its own name), after
    the options.
    quornax-cat, beside the program, lists each image made."""
    args = args or [os.path.basename(n) for n in names]
    cat = os.path.join(os.path.dirname(program), "quornax-cat")

    def run(**streams):
        with tempfile.TemporaryDirectory(prefix="quornax-ref-") as work:
            for name, arg in zip(names, args):
                os.makedirs(os.path.dirname(os.path.join(work, arg)), exist_ok=True)
                shutil.copy(os.path.join(tapes_folder, name), os.path.join(work, arg))
            done = subprocess.run([program] + list(options) + args, cwd=work, timeout=60, **streams)
            images = {}
            for folder, _, files in os.walk(work):
                for name in files:
                    path = os.path.join(folder, name)
                    relative = os.path.relpath(path, work)
                    if relative not in args:
                        with open(path, "rb") as image:
                            images[relative] = image.read()
            catalogues = {name: subprocess.run([cat, name], cwd=work, capture_output=True,
                                               timeout=60).stdout for name in images}
            return done, images, catalogues

    merged, _, _ = run(stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    apart, images, catalogues = run(capture_output=True)
    return Outcome(str(apart.returncode), apart.stdout, apart.stderr, merged.stdout, images,
                   catalogues)


def outcomes_alone(program, tapes_folder, names, options=()):
    """What becomes of each tape, as the Linux build converts them one by
    one: an image, no image, a failure, and after a failure nothing. A tape
    whose reading ended on a tape message (" !") without a disk fails alone
    but does not stop a run."""
    outcomes = []
    for name in names:
        if outcomes and outcomes[-1] in ("failed", "skipped"):
            outcomes.append("skipped")
            continue
        alone = run_linux(program, tapes_folder, [name], options=options)
        last = alone.stderr.rstrip(b"\n").rsplit(b"\n", 1)[-1]
        damaged = not alone.images and last.endswith(b" !") and b"nedostatek mista" not in last
        outcomes.append("failed" if alone.status != "0" and not damaged
                        else "image" if alone.images else "no-image")
    return outcomes


# Everything the test needs from the page in one evaluation: the machine
# readable results, the image bytes fetched back through the download
# links, and what the page displays.
READ_RESULT = """(async () => {
  const machine = document.getElementById("machine");
  const images = [];
  const fetched = async (href) => {
    const bytes = new Uint8Array(await (await fetch(href)).arrayBuffer());
    let text = "";
    for (let i = 0; i < bytes.length; i += 0x8000)
      text += String.fromCharCode.apply(null, bytes.subarray(i, i + 0x8000));
    return btoa(text);
  };
  for (const link of document.querySelectorAll("#cards a.image-link")) {
    images.push({path: link.dataset.path, download: link.download,
                 sha256: link.dataset.sha256, bytes: await fetched(link.href)});
  }
  const zip = document.getElementById("zip-link");
  const cards = [...document.querySelectorAll("#cards .tape")].map(card => {
    const catalogue = card.querySelector(".catalogue");
    return {tape: card.dataset.tape, outcome: card.dataset.outcome, text: card.textContent,
            link: card.querySelector("a.image-link")?.dataset.path || null,
            files: catalogue ? catalogue.dataset.files : null,
            free: catalogue ? catalogue.dataset.free : null,
            rows: catalogue ? catalogue.querySelectorAll("tbody tr").length : null,
            warnings: catalogue ? catalogue.querySelectorAll(".warnings li").length : null};
  });
  return {status: document.getElementById("status").textContent,
          machineStatus: machine.dataset.status, args: machine.dataset.args,
          options: machine.dataset.options,
          stdout: machine.dataset.stdout, stderr: machine.dataset.stderr,
          sha256: document.getElementById("image-sha256").textContent,
          shown: document.getElementById("output").textContent,
          markup: document.querySelectorAll("#output *:not(span)").length,
          zip: !document.getElementById("download-all").hidden && zip.href ? await fetched(zip.href) : null,
          cards: cards, images: images};
})()"""


TOGGLE = "document.getElementById('%s').click()"
RAN = "document.getElementById('machine')?.dataset.run === '%d'"
# On a phone: the listing wraps, "640 KB" stays whole beside a link of any
# length, a long card is folded and unfolds, a dot shows its value when tapped.
PHONE_LAYOUT = """(() => {
  const card = document.querySelector('#cards .tape'), pre = card.querySelector('pre.listing');
  const folded = card.getBoundingClientRect().height <= innerHeight + 1, dot = document.querySelector('#cards .byte');
  dot.click();
  card.querySelector('.unfold button')?.click();
  const link = card.querySelector('a.image-link'), size = link.nextElementSibling, was = link.textContent;
  let whole = true;
  for (let n = 1; n < 40; n++) (link.textContent = 'x'.repeat(n)) && (whole &&= size.getClientRects().length === 1);
  link.textContent = was;
  return [pre.scrollWidth <= pre.clientWidth, whole,
          folded && card.getBoundingClientRect().height > 2 * innerHeight,
          getComputedStyle(dot, '::after').content.includes('byte 0x')];
})()"""
# The result has come into view (it scrolls there smoothly).
IN_VIEW = """(() => { const r = document.getElementById('%s').getBoundingClientRect();
  return r.top >= -1 && r.top < innerHeight / 2; })()"""


def run_page(page, paths, run_number):
    page.set_files("#tapes", paths)
    page.wait_for(RAN % run_number)
    return page.evaluate(READ_RESULT)


def page_args(got, key="args"):
    return json.loads(base64.b64decode(got[key]).decode()) if got.get(key) else None


def page_options(got):
    return page_args(got, "options") or []


LISTING_LINE = re.compile(r"(Basic     |Code      |Array .\[\] |Array .\$\[\]) .{10}, [ \d]{5} byte\(s\)"
                          r"(, start line \d+|, start address 0x[0-9a-f]{4})?")
MESSAGE_LINES = [re.compile(r) for r in (
    r".*: .* !",  # a tape's own messages: TAPE: TEXT !
    r"V TAP souboru .* za hlavickou .* nasleduje blok s jinou delkou,",
    r"nez deklaruje hlavicka ! Hlavicka i blok budou ignorovany !",
    r"Pro ulozeni bloku '.*' z TAP souboru .* je nedostatek mista !",
    r".*: [A-Za-z/ ]+")]


def shown_problems(shown, merged):
    """The page shows each byte of the program's output as one character:
    printable ASCII as itself, any other byte as a dot, except the line ends
    the program wrote; so every line shown is whole, its columns in place."""
    if len(shown) != len(merged):
        return ["the page shows %d characters for %d bytes" % (len(shown), len(merged))]
    for index, byte in enumerate(merged):
        char = shown[index]
        if (char != chr(byte)) if 0x20 <= byte < 0x7F else \
           (char not in "\n\u00b7" if byte == 0x0A else char != "\u00b7"):
            return ["the page shows %r for byte 0x%02x at %d" % (char, byte, index)]
    lines = shown.split("\n")
    lines = lines[:-1] if lines and lines[-1] == "" else lines
    return ["the page shows a line that is not a whole line of the program: %r" % line
            for line in lines
            if not LISTING_LINE.fullmatch(line) and not any(m.fullmatch(line) for m in MESSAGE_LINES)]


CAT_SUMMARY = re.compile(rb': disk "[\s\S]{0,8}", (\d+) files?(?: and (\d+) deleted)?, (\d+) of ')


def catalogue_counts(listed):
    """Files, free sectors, entries and warnings in the Linux quornax-cat's
    listing of an image: a name beginning with a zero byte ends TR-DOS's
    catalogue, one beginning with byte 1 is a deleted file."""
    files, deleted, free = CAT_SUMMARY.search(listed).groups()
    return (files.decode(), free.decode(), str(int(files) + int(deleted or 0)),
            str(listed.count(b"\nwarning: ")))


def check_cards(label, names, outcomes, expected, got):
    """One card per tape in order, with its outcome; each disk offered shows
    its catalogue's count of files and free sectors."""
    problems = []
    cards = got["cards"]
    if [c["tape"] for c in cards] != [os.path.basename(n) for n in names]:
        problems.append("cards for %s" % [c["tape"] for c in cards])
        return problems
    if outcomes is not None and [c["outcome"] for c in cards] != outcomes:
        problems.append("outcomes %s, expected %s" % ([c["outcome"] for c in cards], outcomes))
    for card in cards:
        if card["outcome"] == "image" and card["files"] is None:
            problems.append("%s: no catalogue" % card["tape"])
        if card["link"] is not None:
            path = base64.b64decode(card["link"]).decode()
            if path in expected.images:
                want = catalogue_counts(expected.catalogues[path])
                shown = card["files"], card["free"], str(card["rows"]), str(card["warnings"])
                if shown != want:
                    problems.append("%s: catalogue of %s files, %s free, %s rows, %s warnings; "
                                    "quornax-cat lists %s, %s, %s, %s" % (card["tape"], *shown, *want))
        if card["outcome"] != "image" and "are on the disk" in card["text"]:
            problems.append("%s: a card without a disk says files are on it" % card["tape"])
        words = CARD_WORDS.get(card["tape"])
        if words and words not in card["text"]:
            problems.append("%s: the card does not say %r: %r" % (card["tape"], words, card["text"]))
    return problems


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
    if len(expected.images) > 1:
        if got["zip"] is None:
            problems.append("no zip of the %d images" % len(expected.images))
        else:
            with zipfile.ZipFile(io.BytesIO(decode(got["zip"]))) as archive:
                zipped = {name: archive.read(name) for name in archive.namelist()}
            if zipped != expected.images:
                problems.append("the zip holds %s, not the images" % sorted(zipped))
    elif got["zip"] is not None:
        problems.append("a zip is offered for %d images" % len(expected.images))
    shown = got["shown"].split("\n", 1)[1] if "\n" in got["shown"] else ""
    if got["markup"]:
        problems.append("the output holds %d elements other than spans" % got["markup"])
    problems += shown_problems(shown, expected.merged)
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


def run_case(page, program, tapes, names, runs, outcomes=None):
    """One run in the page, held against the Linux build given the same
    command line as the page gave its program; returns the differences."""
    label = " ".join(names)
    try:
        got = run_page(page, [os.path.join(tapes, n) for n in names], runs)
    except BrowserError as error:
        return [("%s: %s" % (label, error))], None
    args = page_args(got)
    if args is None or len(set(args)) != len(args) or \
       [os.path.basename(a) for a in args] != [os.path.basename(n) for n in names]:
        return ["%s: the page gave its program %r" % (label, args)], got
    options = page_options(got)
    expected = run_linux(program, tapes, names, args, options)
    if outcomes is None:
        outcomes = outcomes_alone(program, tapes, names, options)
    return compare(label, expected, got) + \
        ["%s: %s" % (label, p) for p in check_cards(label, names, outcomes, expected, got)], got


def full_disk_case(page, tapes, runs):
    """The page's disk fills up while the second tape's image is written:
    that tape fails in words, the third is not converted, the first's
    image is offered."""
    names = ["demo.tap", "real/game.tap", "arrays.tap"]
    label = "full disk: " + " ".join(names)
    size = sum(os.path.getsize(os.path.join(tapes, n)) for n in names)
    page.evaluate("window.quornaxTest = {diskLimit: %d}" % (size + 655360 + 65536))
    try:
        got = run_page(page, [os.path.join(tapes, n) for n in names], runs)
    finally:
        page.evaluate("window.quornaxTest = null")
    problems = []
    if got["status"] != "1":
        problems.append("exit status %r" % got["status"])
    if not base64.b64decode(got["stderr"]).endswith(b": No space left on device\n"):
        problems.append("stderr %r" % base64.b64decode(got["stderr"]))
    outcomes = [c["outcome"] for c in got["cards"]]
    if outcomes != ["image", "failed", "skipped"]:
        problems.append("outcomes %s" % outcomes)
    elif "no room left" not in got["cards"][1]["text"]:
        problems.append("the failed card says %r" % got["cards"][1]["text"])
    if [base64.b64decode(i["path"]).decode() for i in got["images"]] != ["demo.trd"]:
        problems.append("images offered: %s" % [i["path"] for i in got["images"]])
    return ["%s: %s" % (label, p) for p in problems]


def served_cases(browser, program, web, scratch, tapes):
    """From a static host holding the page's three files alone, on a phone's screen:
    tapes given as ?tap=URL, one whose name holds an encoded slash, and one
    the host does not have; then the page opened from file:// with ?tap=."""
    failures = []
    site = os.path.join(scratch, "site")
    os.mkdir(site)
    for name in ("index.html", "quornax.js", "quornax-cat.js"):
        shutil.copy(os.path.join(web, name), site)
    for name in ("demo.tap", "pairs130.tap", "every byte names.tap"):
        shutil.copy(os.path.join(tapes, name), site)
    # The host decodes %2F: the tape "a%2Fb.tap" is a/b.tap there.
    os.mkdir(os.path.join(site, "a"))
    shutil.copy(os.path.join(tapes, "real", "loader.tap"), os.path.join(site, "a", "b.tap"))
    shutil.copy(os.path.join(tapes, "real", "loader.tap"), os.path.join(tapes, "a%2Fb.tap"))
    server = serve(site)
    base = "http://127.0.0.1:%d/index.html" % server.server_port
    phone = None
    try:
        phone = Page(browser, width=390, height=844, scale=2, mobile=True)
        phone.navigate(base)
        phone.wait_for("document.body?.dataset.state === 'ready'")
        if phone.evaluate("getComputedStyle(document.querySelector('.drop-hint')).display") != "none":
            failures.append("phone: the page speaks of dropping files")
        phone.screenshot(os.path.join(web, "screenshot-phone-before.png"))
        for query, names in (("?tap=demo.tap", ["demo.tap"]),
                             ("?tap=a%252Fb.tap&tap=demo.tap", ["a%2Fb.tap", "demo.tap"]),
                             ("?tap=pairs130.tap&tap=every%20byte%20names.tap",
                              ["pairs130.tap", "every byte names.tap"])):
            phone.navigate(base + query)
            phone.wait_for(RAN % 1)
            got = phone.evaluate(READ_RESULT)
            expected = run_linux(program, tapes, names, options=page_options(got))
            failures += compare(query, expected, got)
            failures += ["%s: %s" % (query, p) for p in
                         check_cards(query, names, ["image"] * len(names), expected, got)]
            if query == "?tap=demo.tap":
                phone.wait_for(IN_VIEW % "result", timeout=10)
                phone.screenshot(os.path.join(web, "screenshot-phone-after.png"), whole=False)
                size = phone.evaluate("parseFloat(getComputedStyle(document.querySelector('pre.listing')).fontSize)")
                if size < 12:
                    failures.append("phone: the listing is %.1f px" % size)
            elif names[0] == "pairs130.tap" and (layout := phone.evaluate(PHONE_LAYOUT)) != [True] * 4:
                failures.append("phone: wraps, keeps the size whole, folds, shows a dot: %s" % layout)
        for url, words in ((base + "?tap=missing.tap", "answered 404"),
                           ("file://" + urllib.parse.quote(os.path.join(web, "index.html"))
                            + "?tap=demo.tap", "opened from a file")):
            phone.navigate(url)
            phone.wait_for(RAN % 1)
            said = phone.evaluate("document.getElementById('problem-text').textContent")
            if words not in said:
                failures.append("%s: the page says %r" % (url, said))
    except BrowserError as error:
        failures.append("served: %s" % error)
    finally:
        server.shutdown()
        server.server_close()
    return failures, phone


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
        phone = None
        try:
            page = Page(browser, width=1000, height=900)
            page.navigate("file://" + urllib.parse.quote(index))
            page.wait_for("document.body?.dataset.state === 'ready'")
            page.screenshot(os.path.join(web, "screenshot-before.png"))
            for names in cases:
                runs += 1
                found, got = run_case(page, program, tapes, names, runs)
                failures += found
                if page.crashed:
                    break
                if got and names == ["demo.tap", "game.tap"]:
                    order = [base64.b64decode(i["path"]).decode() for i in got["images"]]
                    if order != ["demo.trd", "game.trd"]:
                        failures.append("%s: images listed as %s" % (names, order))
                if got and names == SAME_NAME:
                    last = got["cards"][2]["text"], got["cards"][3]["text"]
                    if "same disk name" not in last[0] or "same disk name" not in last[1]:
                        failures.append("%s: the cards do not say the disk name is shared" % names)
                if names == AFTER_SCREENSHOT:
                    page.screenshot(os.path.join(web, "screenshot-after.png"))
                if names == CLEAN:
                    page.screenshot(os.path.join(web, "screenshot-clean.png"))
            # The boxes, each run with one of them turned from its default.
            for names, box, options in [(n, "keep-going", ["--boot", "-k"]) for n in KEEP_GOING] + \
                                       [(NO_BOOT, "boot", [])]:
                runs += 1
                page.evaluate(TOGGLE % box)
                found, got = run_case(page, program, tapes, names, runs)
                page.evaluate(TOGGLE % box)
                failures += found
                if got and page_options(got) != options:
                    failures.append("%s: the page gave the options %r" % (names, page_options(got)))
            runs += 1
            try:
                failures += full_disk_case(page, tapes, runs)
            except BrowserError as error:
                failures.append("full disk: %s" % error)
            found, phone = served_cases(browser, program, web, scratch, tapes)
            failures += found
            runs += 4
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
