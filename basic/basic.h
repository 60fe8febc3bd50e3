// Spectrum Basic as a tape carries it: the program's lines, then its
// variables (a header's second parameter says where the lines end).
//
// A line:
//   0-1   line number, high byte first
//   2-3   length of the text that follows, low byte first
//   4-    text: keywords as one-byte tokens, the rest as typed; it ends
//         in line_end
//
// A number in the text keeps the digits it was typed with, then
// number_mark and the 5-byte form that Basic really uses when it runs:
// loaders sometimes fake the digits, so only the 5 bytes count. The form
// is either a small integer (0, sign byte, value low byte first, 0) or a
// floating point number (exponent + 128, then 4 bytes of mantissa whose
// top bit, always 1, is replaced by the sign).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quornax {

constexpr size_t line_number_at = 0;  // high byte first
constexpr size_t line_length_at = 2;  // low byte first
constexpr size_t line_head_size = 4;
constexpr uint8_t line_end = 0x0D;

constexpr uint8_t number_mark = 0x0E;
constexpr size_t number_form_size = 5;
constexpr uint8_t small_integer_exponent = 0;
constexpr int float_exponent_bias = 128;
constexpr uint8_t float_sign_bit = 0x80;

constexpr uint8_t quote = '"';
constexpr uint8_t statement_separator = ':';
constexpr uint8_t blank = ' ';

// Colour and position codes written into a line carry parameter bytes,
// which may be any byte: INK to OVER one, AT and TAB two.
constexpr uint8_t first_one_parameter_code = 0x10;
constexpr uint8_t first_two_parameter_code = 0x16;
constexpr uint8_t last_two_parameter_code = 0x17;

// Keyword tokens.
constexpr uint8_t token_screen = 0xAA;  // SCREEN$
constexpr uint8_t token_code = 0xAF;
constexpr uint8_t token_val = 0xB0;
constexpr uint8_t token_usr = 0xC0;
constexpr uint8_t token_then = 0xCB;
constexpr uint8_t token_merge = 0xD5;
constexpr uint8_t token_verify = 0xD6;
constexpr uint8_t token_data = 0xE4;
constexpr uint8_t token_continue = 0xE8;
constexpr uint8_t token_rem = 0xEA;
constexpr uint8_t token_for = 0xEB;
constexpr uint8_t token_go_to = 0xEC;
constexpr uint8_t token_go_sub = 0xED;
constexpr uint8_t token_load = 0xEF;
constexpr uint8_t token_next = 0xF3;
constexpr uint8_t token_run = 0xF7;
constexpr uint8_t token_randomize = 0xF9;
constexpr uint8_t token_if = 0xFA;
constexpr uint8_t token_return = 0xFE;

// Where a Basic program sits in memory when the ROM loads it from tape.
constexpr unsigned tape_program_address = 23755;

}  // namespace quornax
