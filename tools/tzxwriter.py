"""TZX blocks for the project's Python scripts, beside tapwriter.py: the
differential tapes, the fuzzer's seeds and the benchmark corpus.

A TZX file is a 10-byte header ("ZXTape!", 1Ah, a major and a minor version
byte) followed by blocks, each an ID byte and a body whose length the ID
decides. The ROM's blocks (flag, body, checksum) stand in 10h, 11h and 14h
without their TAP length word; `content` below is such a block as
tapwriter.block() gives it, length word and all, or raw bytes.
"""

SIGNATURE = b"ZXTape!\x1a"


def le(value, size):
    return value.to_bytes(size, "little")


def rom_bytes(content):
    """The ROM block of a TAP block (its length word dropped)."""
    return content[2:]


def tzx(*blocks, version=(1, 20)):
    return SIGNATURE + bytes(version) + b"".join(blocks)


def standard(content, pause=1000):
    data = rom_bytes(content)
    return b"\x10" + le(pause, 2) + le(len(data), 2) + data


def turbo(content, used_bits=8, pause=1000):
    data = rom_bytes(content)
    timings = le(2168, 2) + le(667, 2) + le(735, 2) + le(855, 2) + le(1710, 2)
    return (b"\x11" + timings + le(8063, 2) + bytes([used_bits]) +
            le(pause, 2) + le(len(data), 3) + data)


def pure_data(content, used_bits=8, pause=1000):
    data = rom_bytes(content)
    return (b"\x14" + le(855, 2) + le(1710, 2) + bytes([used_bits]) +
            le(pause, 2) + le(len(data), 3) + data)


def pure_tone(pulse=2168, count=3223):
    return b"\x12" + le(pulse, 2) + le(count, 2)


def pulses(*lengths):
    return b"\x13" + bytes([len(lengths)]) + b"".join(le(p, 2) for p in lengths)


def direct_recording(samples, used_bits=8):
    return (b"\x15" + le(79, 2) + le(1000, 2) + bytes([used_bits]) +
            le(len(samples), 3) + samples)


def generalized(content, pause=1000):
    """A 19h block that holds a ROM block in the ROM's own pulses: a pilot
    tone and sync of two symbols, and data of two symbols, one bit each."""
    data = rom_bytes(content)
    pilot = 8063 if data[:1] == b"\x00" else 3223
    symbols = (b"\x00" + le(2168, 2) + le(0, 2) +
               b"\x00" + le(667, 2) + le(735, 2))
    body = (le(pause, 2) + le(2, 4) + bytes([2, 2]) + le(8 * len(data), 4) +
            bytes([2, 2]) + symbols + b"\x00" + le(pilot, 2) +
            b"\x01" + le(1, 2) + b"\x00" + le(855, 2) + le(855, 2) +
            b"\x00" + le(1710, 2) + le(1710, 2) + data)
    return b"\x19" + le(len(body), 4) + body


def pause(ms):
    return b"\x20" + le(ms, 2)


def group(name, *blocks):
    name = name.encode("ascii")
    return b"\x21" + bytes([len(name)]) + name + b"".join(blocks) + b"\x22"


def jump(offset):
    return b"\x23" + le(offset & 0xFFFF, 2)


def loop(count, *blocks):
    return b"\x24" + le(count, 2) + b"".join(blocks) + b"\x25"


def call_sequence(*offsets):
    return b"\x26" + le(len(offsets), 2) + b"".join(le(o & 0xFFFF, 2) for o in offsets)


def select(*choices):
    body = bytes([len(choices)])
    for offset, text in choices:
        text = text.encode("ascii")
        body += le(offset, 2) + bytes([len(text)]) + text
    return b"\x28" + le(len(body), 2) + body


def text(words, block_id=0x30):
    words = words.encode("ascii")
    return bytes([block_id]) + bytes([len(words)]) + words


def message(words, seconds=5):
    words = words.encode("ascii")
    return b"\x31" + bytes([seconds, len(words)]) + words


def archive_info(title, comment=""):
    """A title and a comment: the two text entries of IDs 00h and FFh."""
    body = bytes([2])
    for kind, words in ((0x00, title), (0xFF, comment)):
        words = words.encode("ascii")
        body += bytes([kind, len(words)]) + words
    return b"\x32" + le(len(body), 2) + body


def hardware(*entries):
    return b"\x33" + bytes([len(entries)]) + b"".join(bytes(e) for e in entries)


def glue():
    return b"\x5a" + SIGNATURE[1:] + bytes([1, 20])


def with_length(block_id, body, size=4):
    """Any block whose body is counted by a length after its ID: 16h-18h,
    2Ah, 2Bh, 4Bh and every ID the format does not define."""
    return bytes([block_id]) + le(len(body), size) + body


def custom_info(name, body):
    return b"\x35" + name.encode("ascii").ljust(16)[:16] + le(len(body), 4) + body


def emulation_info():
    return b"\x34" + bytes(8)


def snapshot(body, kind=0):
    return b"\x40" + bytes([kind]) + le(len(body), 3) + body
