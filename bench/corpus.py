"""The benchmark's synthetic tapes: Basic loaders with a screen and one or
two code blocks, multi-part games of every block size, and compilations of
more pairs than a disk catalogue holds. Every tape fits its disk, so one
quornax run over all of them must succeed and list every pair.

The same seed always gives the same tapes, byte for byte.
"""

import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                os.pardir, "tools"))
from tapwriter import (BASIC, CHAR_ARRAY, CODE, NUMBER_ARRAY,  # noqa: E402
                       data, header)

DATA_SECTORS = 2544          # sectors for files on an empty disk
SECTOR = 256
MAX_FILE_SECTORS = 255       # a catalogue entry counts sectors in one byte
CATALOGUE_ENTRIES = 128
SCREEN_LENGTH = 6912
BIGGEST_BLOCK = 48 * 1024


def sectors_of(kind, length):
    if kind != CODE:
        length += 4                 # room for the file trailer
    return -(-length // SECTOR)


class Tape:
    """A tape being built, with the disk space that its files will take."""

    def __init__(self, rng):
        self.rng = rng
        self.parts = []
        self.pairs = 0
        self.sectors = 0            # of the pairs that will be staged

    def payload(self, length):
        return self.rng.randbytes(length)

    def add(self, kind, name, length, param1=0, param2=0x8000,
            with_header=True):
        if with_header:
            self.parts.append(header(kind, name, length, param1, param2))
        self.parts.append(data(self.payload(length)))
        if self.pairs < CATALOGUE_ENTRIES:
            self.sectors += sectors_of(kind, length)
        self.pairs += 1

    def room(self, blocks_after):
        """Bytes the next code block may take and leave a sector each for
        the blocks after it."""
        if self.pairs >= CATALOGUE_ENTRIES:
            return BIGGEST_BLOCK    # listed, never staged
        staged_after = min(blocks_after, CATALOGUE_ENTRIES - self.pairs - 1)
        sectors = DATA_SECTORS - self.sectors - staged_after
        # Less the trailer, which Basic programs and arrays add.
        return min(sectors, MAX_FILE_SECTORS) * SECTOR - 4

    def content(self):
        return b"".join(self.parts)


def block_size(rng, smallest, largest):
    """Sizes spread evenly on a log scale: many small blocks, a few large."""
    return int(round(smallest * (largest / smallest) ** rng.random()))


def basic_loader(tape, name):
    program = block_size(tape.rng, 40, 900)
    tape.add(BASIC, name, program, param1=tape.rng.choice([0, 1, 10, 9999]),
             param2=program)


# A Basic loader, a loading screen and one or two code blocks.
def loader_tape(tape, index):
    basic_loader(tape, "game%d" % index)
    tape.add(CODE, "screen", SCREEN_LENGTH, 0x4000, 0x8000,
             with_header=tape.rng.random() < 0.8)
    for part in range(tape.rng.choice([1, 2])):
        length = min(block_size(tape.rng, 2000, BIGGEST_BLOCK), tape.room(1))
        tape.add(CODE, "code%d" % part, length, 0x6000 + 0x100 * part, 0x8000,
                 with_header=tape.rng.random() < 0.9)


def some_block(tape, number, blocks_after, largest):
    rng = tape.rng
    length = min(block_size(rng, 3, largest), tape.room(blocks_after))
    roll = rng.random()
    if roll < 0.08:
        tape.add(BASIC, "part%d" % number, length, 10, length)
    elif roll < 0.12:
        kind = rng.choice([NUMBER_ARRAY, CHAR_ARRAY])
        letter = 0x41 + rng.randrange(26)
        array_byte = letter + (0x40 if kind == NUMBER_ARRAY else 0x80)
        tape.add(kind, "data%d" % number, length, array_byte << 8, 0)
    else:
        tape.add(CODE, "level%d" % number, length, rng.randrange(0x4000, 0xC000),
                 0x8000, with_header=rng.random() < 0.85)


# A multi-part game: a loader, then 10 to 40 blocks of every size.
def multipart_tape(tape, index):
    count = tape.rng.randint(10, 40)
    basic_loader(tape, "multi%d" % index)
    for number in range(1, count):
        some_block(tape, number, count - number - 1, BIGGEST_BLOCK)


# A compilation of 130 blocks: more than the catalogue holds.
def long_tape(tape, index):
    basic_loader(tape, "compil%d" % index)
    for number in range(1, 130):
        some_block(tape, number, 129 - number, 8 * 1024)


class Written:
    """A tape of the corpus as written: its file name, its kind (loader,
    multipart or compilation), its block pairs, the pairs of them that go
    on the disk, and its size in bytes."""

    def __init__(self, name, kind, pairs, size):
        self.name = name
        self.kind = kind
        self.pairs = pairs
        self.staged = min(pairs, CATALOGUE_ENTRIES)
        self.size = size


def make_corpus(directory, count, seed):
    """Writes count tapes into directory; returns them as a list of
    Written, in the order of their names."""
    rng = random.Random(seed)
    long_every = min(count, 60)     # 5 of 300
    written = []
    for index in range(count):
        tape = Tape(rng)
        if index % long_every == long_every - 1:
            kind = "compilation"
            long_tape(tape, index)
        elif rng.random() < 0.35:
            kind = "multipart"
            multipart_tape(tape, index)
        else:
            kind = "loader"
            loader_tape(tape, index)
        assert tape.sectors <= DATA_SECTORS
        name = "t%03d.tap" % index
        content = tape.content()
        with open(os.path.join(directory, name), "wb") as out:
            out.write(content)
        written.append(Written(name, kind, tape.pairs, len(content)))
    return written
