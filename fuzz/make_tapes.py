#!/usr/bin/env python3
"""Writes test tapes: the fuzzer's seed corpus, or a tape of N code pairs.

    make_tapes.py corpus DIR        small valid and broken tapes into DIR
    make_tapes.py pairs N FILE      N header and data pairs of code into FILE
"""
import os
import sys

HEADER_FLAG, DATA_FLAG = 0x00, 0xFF
BASIC, NUMBER_ARRAY, CHAR_ARRAY, CODE = 0, 1, 2, 3


def le16(value):
    return bytes([value & 0xFF, value >> 8 & 0xFF])


def raw_block(content):
    """A block as stored on tape: its length word, then the content."""
    return le16(len(content)) + content


def checked_block(flag, body):
    content = bytes([flag]) + body
    checksum = 0
    for byte in content:
        checksum ^= byte
    return raw_block(content + bytes([checksum]))


def header(kind, name, length, param1, param2):
    body = bytes([kind]) + name.encode().ljust(10)[:10]
    return checked_block(HEADER_FLAG, body + le16(length) + le16(param1) + le16(param2))


def data(payload):
    return checked_block(DATA_FLAG, payload)


def pattern(count, seed=1):
    return bytes((seed + i * 7 + (i >> 8)) & 0xFF for i in range(count))


def code_pair(name, payload, address=32768):
    return header(CODE, name, len(payload), address, 32768) + data(payload)


def basic_pair(name, program, autostart=10):
    return header(BASIC, name, len(program), autostart, len(program)) + data(program)


def array_pair(kind, name, payload, letter):
    return header(kind, name, len(payload), letter << 8, 0) + data(payload)


def bad_checksum(block):
    return block[:-1] + bytes([block[-1] ^ 0x5A])


def pairs_tape(count):
    return b"".join(code_pair("c%03d" % i, pattern(1 + i % 40, i), 24576 + i)
                    for i in range(count))


def corpus():
    """Each tape, valid or broken, leads the fuzzer into one more path."""
    good = basic_pair("run", pattern(100, 3))
    screen = data(pattern(6912, 5))
    return {
        "empty.tap": b"",
        "basic.tap": good,
        "game.tap": good + screen,
        "code.tap": code_pair("loader", pattern(300), 32768),
        "arrays.tap": array_pair(NUMBER_ARRAY, "numbers", pattern(45), 0x41)
        + array_pair(CHAR_ARRAY, "letters", pattern(20), 0x62),
        "headerless.tap": data(pattern(10)) + data(pattern(7, 9)),
        "sector_edges.tap": basic_pair("b252", pattern(252)) + basic_pair("b253", pattern(253))
        + code_pair("c256", pattern(256)) + code_pair("c257", pattern(257)),
        "empty_payloads.tap": header(CODE, "nothing", 0, 0, 0) + data(b"") + data(b""),
        "length_mismatch.tap": header(CODE, "wrong", 50, 0, 0) + data(pattern(40)) + good,
        "bad_header_checksum.tap": bad_checksum(header(CODE, "bad", 4, 0, 0)) + data(pattern(4)),
        "bad_data_checksum.tap": good + bad_checksum(data(pattern(8))),
        "cut_short.tap": good + data(pattern(64))[:30],
        "length_word_only.tap": good + le16(19),
        "too_long_length.tap": good + le16(60000) + bytes(10),
        "zero_length_block.tap": good + raw_block(b"") + good,
        "one_byte_block.tap": raw_block(bytes([DATA_FLAG])) + good,
        "bad_flag.tap": checked_block(0x42, pattern(5)) + good,
        "unknown_type.tap": header(7, "strange", 4, 0, 0) + data(pattern(4)),
        "short_header.tap": checked_block(HEADER_FLAG, pattern(16)) + good,
        "headers_only.tap": header(CODE, "one", 4, 0, 0) + header(BASIC, "two", 4, 0, 4),
        "pairs130.tap": pairs_tape(130),
    }


def main(args):
    if len(args) == 2 and args[0] == "corpus":
        os.makedirs(args[1], exist_ok=True)
        for name, tape in corpus().items():
            with open(os.path.join(args[1], name), "wb") as out:
                out.write(tape)
    elif len(args) == 3 and args[0] == "pairs":
        with open(args[2], "wb") as out:
            out.write(pairs_tape(int(args[1])))
    else:
        sys.exit(__doc__.strip())


if __name__ == "__main__":
    main(sys.argv[1:])
