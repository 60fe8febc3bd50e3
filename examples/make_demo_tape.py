#!/usr/bin/env python3
"""Writes demo.tap, the sample tape of quornax, beside this script.

The tape holds one block of every kind the converter meets:
  a Basic program "demo" that starts itself at line 10,
  a loading screen "screen" (6912 bytes at 16384),
  a machine-code routine "border" at 32768,
  a number array "table" (a(5) holding 1 to 5),
  and a headerless block of 300 bytes.

  python3 make_demo_tape.py           rewrites demo.tap
  python3 make_demo_tape.py --check   exits 1 when demo.tap is not what
                                      this script makes
"""

import os
import struct
import sys

sys.dont_write_bytecode = True     # no __pycache__ left in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                os.pardir, "tools"))
from tapwriter import (BASIC, CODE, NO_AUTOSTART, NUMBER_ARRAY,  # noqa: E402
                       data, header)

SCREEN_ADDRESS = 16384
BITMAP_SIZE = 6144
ATTRIBUTES_SIZE = 768
CODE_ADDRESS = 32768

# Basic tokens and the marker that puts a number's 5-byte form after its
# digits.
TOKEN_PRINT = 0xF5
TOKEN_BORDER = 0xE7
NUMBER_MARK = 0x0E
LINE_END = 0x0D


def number(value):
    """A whole number as a Basic line stores it: its digits, then the
    marker and the small-integer form (0, sign 0, value, 0)."""
    return str(value).encode("ascii") + bytes([NUMBER_MARK, 0, 0]) + \
        struct.pack("<H", value) + b"\x00"


def basic_line(line_number, text):
    """Line number big-endian, then the length of text and end marker
    little-endian."""
    body = text + bytes([LINE_END])
    return struct.pack(">H", line_number) + struct.pack("<H", len(body)) + body


def basic_program():
    return (basic_line(10, bytes([TOKEN_BORDER]) + number(1) + b":" +
                       bytes([TOKEN_PRINT]) + b'"quornax"') +
            basic_line(20, bytes([TOKEN_PRINT]) + number(2544)))


def screen():
    """A diagonal line through every character cell, over eight colour
    bars of four columns each."""
    # Bits 8 to 10 of a bitmap offset give the pixel row within the cell.
    bitmap = bytes(0x80 >> (offset >> 8 & 7) for offset in range(BITMAP_SIZE))
    attributes = bytearray()
    for cell in range(ATTRIBUTES_SIZE):
        paper = (cell % 32) // 4
        ink = 7 - paper
        attributes.append(paper << 3 | ink)
    return bitmap + bytes(attributes)


def border_routine():
    """ld a,2 / out (254),a / ret: a red border."""
    return bytes([0x3E, 0x02, 0xD3, 0xFE, 0xC9])


def number_array():
    """a(5) holding 1 to 5: dimension count, dimension size, 5-byte
    numbers."""
    data = bytes([1]) + struct.pack("<H", 5)
    for value in range(1, 6):
        data += bytes([0, 0]) + struct.pack("<H", value) + b"\x00"
    return data


def headerless_data():
    return bytes((i * 37 + 11) & 0xFF for i in range(300))


def demo_tape():
    program = basic_program()
    picture = screen()
    code = border_routine()
    array = number_array()
    variable_a = 0x81  # the number array a
    return b"".join([
        header(BASIC, "demo", len(program), 10, len(program)),
        data(program),
        header(CODE, "screen", len(picture), SCREEN_ADDRESS, NO_AUTOSTART),
        data(picture),
        header(CODE, "border", len(code), CODE_ADDRESS, NO_AUTOSTART),
        data(code),
        header(NUMBER_ARRAY, "table", len(array), variable_a << 8, 0),
        data(array),
        data(headerless_data()),
    ])


def main():
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "demo.tap")
    tape = demo_tape()
    if sys.argv[1:] == ["--check"]:
        with open(path, "rb") as existing:
            if existing.read() != tape:
                print(path + " differs from what make_demo_tape.py makes",
                      file=sys.stderr)
                return 1
        return 0
    with open(path, "wb") as out:
        out.write(tape)
    return 0


if __name__ == "__main__":
    sys.exit(main())
