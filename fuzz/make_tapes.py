#!/usr/bin/env python3
"""Writes test tapes: the fuzzer's seed corpus, or a tape of N code pairs.

    make_tapes.py corpus DIR        small valid and broken tapes into DIR
    make_tapes.py pairs N FILE      N header and data pairs of code into FILE
"""
import os
import sys

sys.dont_write_bytecode = True     # no __pycache__ left in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                os.pardir, "tools"))
from tapwriter import (BASIC, CHAR_ARRAY, CODE, DATA_FLAG, HEADER_FLAG,  # noqa: E402
                       NUMBER_ARRAY, array_pair, bad_checksum, basic_pair,
                       block, code_pair, data, header, le16, pattern,
                       raw_block)
import tzxwriter as z  # noqa: E402


REAL = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                    "tests", "data", "real")


def pairs_tape(count):
    return b"".join(code_pair("c%03d" % i, pattern(1 + i % 40, i), 24576 + i)
                    for i in range(count))


def corpus():
    """Each tape, valid or broken, leads the fuzzer into one more path."""
    good_header = header(BASIC, "run", 100, 10, 100)
    good_data = data(pattern(100, 3))
    good = good_header + good_data
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
        "bad_flag.tap": block(0x42, pattern(5)) + good,
        "unknown_type.tap": header(7, "strange", 4, 0, 0) + data(pattern(4)),
        "short_header.tap": block(HEADER_FLAG, pattern(16)) + good,
        "headers_only.tap": header(CODE, "one", 4, 0, 0) + header(BASIC, "two", 4, 0, 4),
        "pairs130.tap": pairs_tape(130),
        # A loader for --boot, as zmakebas writes one.
        "boot_loader.tap": open(os.path.join(REAL, "boot", "named.tap"), "rb").read(),
        # TZX is known by its first bytes, whatever the name.
        "game_tzx.tap": z.tzx(z.standard(good_header), z.text("x"),
                              z.standard(good_data), z.turbo(screen)),
        "blocks_tzx.tap": z.tzx(z.loop(2, z.pure_data(good_header + b"\0", used_bits=0)),
                                z.pure_data(good_data), z.direct_recording(pattern(9)),
                                z.glue(), z.with_length(0x7F, pattern(3)),
                                z.standard(screen)[:40]),
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
