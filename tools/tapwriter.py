"""TAP blocks for the project's Python scripts: the sample tape, the fuzzer's
seed corpus, the benchmark corpus and compare-builds all write through here,
so a tape built by one is built the same way by the others.

A block on tape is a little-endian length word, then the flag byte (00h for
a header, FFh for data), the body, and a checksum byte: the XOR of the flag
and the body.

Scripts elsewhere in the tree import it with their own location:

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                    os.pardir, "tools"))
"""

HEADER_FLAG, DATA_FLAG = 0x00, 0xFF
BASIC, NUMBER_ARRAY, CHAR_ARRAY, CODE = 0, 1, 2, 3
NO_AUTOSTART = 0x8000
NAME_LENGTH = 10


def le16(value):
    return bytes([value & 0xFF, value >> 8 & 0xFF])


def checksum(content):
    value = 0
    for byte in content:
        value ^= byte
    return value


def raw_block(content):
    """A block as stored on tape: its length word, then the content as
    given, so that broken blocks can be written too."""
    return le16(len(content)) + content


def block(flag, body):
    content = bytes([flag]) + body
    return raw_block(content + bytes([checksum(content)]))


def header(kind, name, length, param1, param2):
    """name is text (ASCII) or raw bytes; either is padded with blanks and
    cut to the 10 bytes a tape name holds."""
    if isinstance(name, str):
        name = name.encode("ascii")
    body = bytes([kind]) + name.ljust(NAME_LENGTH)[:NAME_LENGTH]
    return block(HEADER_FLAG, body + le16(length) + le16(param1) + le16(param2))


def data(payload):
    return block(DATA_FLAG, payload)


def pattern(count, seed=1):
    """Bytes that differ from block to block and repeat only after 256."""
    return bytes((seed + i * 7 + (i >> 8)) & 0xFF for i in range(count))


def code_pair(name, payload, address=32768):
    return header(CODE, name, len(payload), address, NO_AUTOSTART) + data(payload)


def basic_pair(name, program, autostart=10):
    return header(BASIC, name, len(program), autostart, len(program)) + data(program)


def array_pair(kind, name, payload, letter):
    return header(kind, name, len(payload), letter << 8, 0) + data(payload)


def bad_checksum(block_bytes):
    return block_bytes[:-1] + bytes([block_bytes[-1] ^ 0x5A])
