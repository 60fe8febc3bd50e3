#include "basic/boot.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "basic/basic.h"
#include "common/common.h"

namespace quornax {

namespace {

// TR-DOS takes the command in a REM when Basic calls it here.
constexpr uint16_t trdos_command_entry = 15619;

// LOAD "" SCREEN$ is code at the screen: TR-DOS loads nothing for the
// SCREEN$ form, so the boot says where.
constexpr uint8_t load_screen = 4;
constexpr uint16_t screen_address = 16384;
constexpr uint16_t screen_length = 6912;

// More loads than files could not all find one.
constexpr int max_loads = max_tape_files;
// GO SUBs looked at for a subroutine that returns straight away; past
// that, a RETURN is taken for a jump that could go anywhere.
constexpr int max_calls = 256;

constexpr size_t nowhere = SIZE_MAX;
constexpr int walk_malformed = -1;

const char* const refusal_texts[] = {
    "",
    "the tape's first file is not a Basic program",
    "the loader is not a well-formed Basic program",
    "a jump or a loop may run a load statement twice or pass it by",
    "a load statement's name, address or length is computed",
    "a load statement follows IF ... THEN on its line",
    "the statements after a load on its line hold FOR, NEXT, GO SUB or "
    "RETURN",
    "a load statement finds no file on the tape",
    "a load would name a file that an earlier file of the same name and "
    "type hides",
    "a file's name holds a quote or a byte that cannot be typed",
    "a program the loader loads holds load statements of its own",
    "the loader uses MERGE or VERIFY",
    "the loader's machine code loads the rest of the tape",
    "the loader calls machine code inside the Basic program, which TR-DOS "
    "moves",
    "the loader calls machine code at a computed address",
    "the boot would be too long",
    "part of the tape was dropped or passed over",
    "the tape already has a Basic file named boot",
    "the disk already holds 128 files",
    "the disk has no room for it",
};

struct program_text {
    const uint8_t* bytes;
    size_t length;  // of the lines alone
    size_t total;   // with the variables
};

struct basic_line {
    size_t at;  // its first byte
    uint16_t number;
    size_t text;  // the first byte of its text
    size_t end;   // its line_end
    size_t next;  // the line after it
};

// A command: a statement's keyword and what follows it up to the ':' or
// the line's end, or, for IF, up to its THEN; the command after THEN is
// one of its own.
struct command {
    const basic_line* line;
    size_t at;
    size_t end;
    bool after_if;  // runs only when an IF before it on the line holds
};

// 0, or -1 where the line runs past the program or does not end as a
// line must.
int read_line(const program_text& program, size_t at, basic_line* line) {
    if (program.length - at < line_head_size) return -1;
    const uint8_t* head = program.bytes + at;
    size_t text_length = get_le16(head + line_length_at);
    if (text_length == 0 ||
        program.length - at - line_head_size < text_length)
        return -1;
    line->at = at;
    line->number = static_cast<uint16_t>(head[line_number_at] << 8 |
                                         head[line_number_at + 1]);
    line->text = at + line_head_size;
    line->next = line->text + text_length;
    line->end = line->next - 1;
    return program.bytes[line->end] == line_end ? 0 : -1;
}

size_t skip_blanks(const uint8_t* p, size_t i, size_t end) {
    while (i < end && p[i] == blank) ++i;
    return i;
}

bool is_digit(uint8_t byte) { return byte >= '0' && byte <= '9'; }

bool is_letter(uint8_t byte) {
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z');
}

// Past the item at i: a string whole, a number with its hidden form, a
// colour code with its parameters, or one byte. nowhere when it runs past
// end.
size_t skip_item(const uint8_t* p, size_t i, size_t end) {
    uint8_t byte = p[i];
    size_t after = i + 1;
    if (byte == quote) {
        const void* close = std::memchr(p + after, quote, end - after);
        if (close == nullptr) return nowhere;
        after = static_cast<const uint8_t*>(close) - p + 1;
    } else if (byte == number_mark) {
        after += number_form_size;
    } else if (byte >= first_one_parameter_code &&
               byte <= last_two_parameter_code) {
        after += byte >= first_two_parameter_code ? 2 : 1;
    }
    return after <= end ? after : nowhere;
}

// Calls visit for every command from the line at `from` on, until it
// answers other than 0; that answer, 0 at the program's end, or
// walk_malformed for a line that cannot be read (text hidden after a
// line's end included: Basic never runs it, and we cannot tell it).
template <typename Visit>
int walk_commands(const program_text& program, size_t from, Visit visit) {
    const uint8_t* p = program.bytes;
    basic_line line;
    for (size_t at = from; at < program.length; at = line.next) {
        if (read_line(program, at, &line) != 0) return walk_malformed;
        bool after_if = false;
        for (size_t i = line.text; i < line.end;) {
            command c{&line, skip_blanks(p, i, line.end), line.end, after_if};
            bool rem = c.at < line.end && p[c.at] == token_rem;
            size_t j = rem ? line.end : c.at;
            while (j < line.end && p[j] != statement_separator &&
                   p[j] != token_then) {
                if (p[j] == line_end) return walk_malformed;
                j = skip_item(p, j, line.end);
                if (j == nowhere) return walk_malformed;
            }
            c.end = j;
            int answer = visit(c);
            if (answer != 0) return answer;
            if (c.at < c.end && p[c.at] == token_if) after_if = true;
            i = j < line.end ? j + 1 : j;
        }
    }
    return 0;
}

uint8_t keyword_of(const uint8_t* p, const command& c) {
    return c.at < c.end ? p[c.at] : 0;
}

// The value of a 5-byte number form when it is a whole number from 0 to
// 65535: 0, or -1.
int number_value(const uint8_t* form, uint16_t* value) {
    if (form[0] == small_integer_exponent) {
        if (form[1] != 0 || form[4] != 0) return -1;  // negative
        *value = get_le16(form + 2);
        return 0;
    }
    int exponent = form[0] - float_exponent_bias;
    if ((form[1] & float_sign_bit) != 0 || exponent < 1 || exponent > 16)
        return -1;
    uint32_t mantissa = static_cast<uint32_t>(form[1] | float_sign_bit) << 24 |
                        static_cast<uint32_t>(form[2]) << 16 |
                        static_cast<uint32_t>(form[3]) << 8 | form[4];
    int shift = 32 - exponent;
    if ((mantissa & ((uint32_t{1} << shift) - 1)) != 0) return -1;
    *value = static_cast<uint16_t>(mantissa >> shift);
    return 0;
}

// A number written at i, its digits (real or not) up to the hidden form:
// 0 with its value and where it ends, or -1.
int read_number(const uint8_t* p, size_t i, size_t end, uint16_t* value,
                size_t* next) {
    if (i == end || !(is_digit(p[i]) || p[i] == '.')) return -1;
    const void* mark = std::memchr(p + i, number_mark, end - i);
    if (mark == nullptr) return -1;
    size_t form = static_cast<const uint8_t*>(mark) - p + 1;
    if (end - form < number_form_size) return -1;
    *next = form + number_form_size;
    return number_value(p + form, value);
}

struct load_statement {
    size_t line_at;  // its line's first byte
    size_t at;       // its LOAD
    size_t end;      // the ':' or line_end after it
    uint8_t kind;    // block_basic .. block_code, or load_screen
    size_t name_at;
    size_t name_length;
    int numbers;  // after CODE: none, the address, or both
    uint16_t address;
    uint16_t length;
    uint8_t array_letter;
    int file;  // the file it takes
};

struct loader_scan {
    program_text program;
    load_statement loads[max_loads];
    int load_count;
    bool calls_code;
    uint16_t calls[max_calls];  // the lines GO SUBs name, in program order
    size_t call_returns[max_calls];  // each one's plain RETURN, or nowhere
    int call_count;
    int calls_checked;  // GO SUBs met by the second look so far
    bool too_many_calls;
    size_t first_for;
};

int read_code_numbers(const uint8_t* p, size_t i, size_t end,
                      load_statement* load) {
    if (i == end) return 0;
    if (read_number(p, i, end, &load->address, &i) != 0)
        return refusal_computed;
    load->numbers = 1;
    i = skip_blanks(p, i, end);
    if (i == end) return 0;
    if (p[i] != ',') return refusal_computed;
    i = skip_blanks(p, i + 1, end);
    if (read_number(p, i, end, &load->length, &i) != 0)
        return refusal_computed;
    load->numbers = 2;
    return skip_blanks(p, i, end) == end ? 0 : refusal_computed;
}

int read_array(const uint8_t* p, size_t i, size_t end,
               load_statement* load) {
    if (i == end || !is_letter(p[i])) return refusal_computed;
    load->array_letter = p[i++];
    load->kind = block_number_array;
    if (i < end && p[i] == '$') {
        load->kind = block_char_array;
        ++i;
    }
    i = skip_blanks(p, i, end);
    if (i == end || p[i] != '(') return refusal_computed;
    i = skip_blanks(p, i + 1, end);
    if (i == end || p[i] != ')') return refusal_computed;
    return skip_blanks(p, i + 1, end) == end ? 0 : refusal_computed;
}

// LOAD "name" [CODE [a[,l]] | SCREEN$ | DATA x() | DATA x$()], with a
// name and numbers written out: anything else is computed.
int read_load(const uint8_t* p, const command& c, load_statement* load) {
    size_t end = c.end;
    if (p[end] == token_then) return refusal_computed;
    size_t i = skip_blanks(p, c.at + 1, end);
    if (i == end || p[i] != quote) return refusal_computed;
    size_t close = skip_item(p, i, end) - 1;
    load->name_at = i + 1;
    load->name_length = close - load->name_at;
    i = close + 1;
    if (i < end && p[i] == quote) return refusal_untypable;  // "" in a name
    i = skip_blanks(p, i, end);
    load->kind = block_basic;
    load->numbers = 0;
    if (i == end) return 0;
    uint8_t keyword = p[i];
    i = skip_blanks(p, i + 1, end);
    if (keyword == token_code) {
        load->kind = block_code;
        return read_code_numbers(p, i, end, load);
    }
    if (keyword == token_data) return read_array(p, i, end, load);
    if (keyword != token_screen) return refusal_computed;
    load->kind = load_screen;
    return i == end ? 0 : refusal_computed;
}

// USR n or USR VAL "n" calls machine code at n; USR "a" only gives an
// address. 0 with the address, 1 for no call, -1 for an address that is
// computed.
int read_call(const uint8_t* p, size_t i, size_t end, uint16_t* address) {
    i = skip_blanks(p, i + 1, end);
    if (i < end && p[i] == quote) return 1;
    size_t next = 0;
    if (i < end && p[i] == token_val) {
        i = skip_blanks(p, i + 1, end);
        if (i == end || p[i] != quote) return -1;
        unsigned value = 0;
        for (next = i + 1; p[next] != quote; ++next) {
            if (!is_digit(p[next])) return -1;
            value = value * 10 + (p[next] - '0');
            if (value > UINT16_MAX) return -1;
        }
        if (next == i + 1) return -1;
        *address = static_cast<uint16_t>(value);
        ++next;
    } else if (read_number(p, i, end, address, &next) != 0) {
        return -1;
    }
    return skip_blanks(p, next, end) == end ? 0 : -1;
}

int note_calls(loader_scan& scan, const command& c) {
    const uint8_t* p = scan.program.bytes;
    for (size_t i = c.at; i < c.end; i = skip_item(p, i, c.end)) {
        if (p[i] != token_usr) continue;
        uint16_t address = 0;
        int call = read_call(p, i, c.end, &address);
        if (call == 1) continue;
        if (call == -1) return refusal_code_computed;
        scan.calls_code = true;
        // TR-DOS's own variables move the program up: code kept in it
        // moves along.
        if (address >= tape_program_address &&
            address - tape_program_address < scan.program.total)
            return refusal_code_in_program;
    }
    return 0;
}

// The line a GO TO, GO SUB or RUN names: 0 with *number set, -1 where it
// is computed. RUN alone runs from the start.
int jump_target(const uint8_t* p, const command& c, uint16_t* number) {
    size_t i = skip_blanks(p, c.at + 1, c.end);
    *number = 0;
    if (i == c.end) return p[c.at] == token_run ? 0 : -1;
    if (read_number(p, i, c.end, number, &i) != 0) return -1;
    return skip_blanks(p, i, c.end) == c.end ? 0 : -1;
}

void note_call(loader_scan& scan, const command& c) {
    uint16_t line = 0;
    if (jump_target(scan.program.bytes, c, &line) != 0) return;
    if (scan.call_count == max_calls) {
        scan.too_many_calls = true;
        return;
    }
    scan.calls[scan.call_count++] = line;
}

// The first look: the loads, the machine code called, the GO SUBs.
int note_command(loader_scan& scan, const command& c) {
    const uint8_t* p = scan.program.bytes;
    int refusal = note_calls(scan, c);
    if (refusal != 0) return refusal;
    uint8_t keyword = keyword_of(p, c);
    if (keyword == token_merge || keyword == token_verify)
        return refusal_merge_verify;
    if (keyword == token_go_sub) note_call(scan, c);
    if (keyword != token_load) return 0;
    if (c.after_if) return refusal_after_if;
    if (scan.load_count == max_loads) return refusal_no_file;
    load_statement& load = scan.loads[scan.load_count++];
    load.line_at = c.line->at;
    load.at = c.at;
    load.end = c.end;
    return read_load(p, c, &load);
}

// The ROM compares all 10 characters of a tape name, the one asked for
// padded with blanks; an empty one matches any.
bool names_match(const uint8_t* p, const load_statement& load,
                 const tape_file& file) {
    if (load.name_length == 0) return true;
    if (load.name_length > name_chars) return false;
    for (size_t k = 0; k < name_chars; ++k) {
        uint8_t wanted = k < load.name_length ? p[load.name_at + k] : blank;
        if (static_cast<uint8_t>(file.name[k]) != wanted) return false;
    }
    return true;
}

// A disk name goes between quotes as typed: printable characters, not a
// quote, and not blanks alone.
bool typable(const tape_file& file) {
    bool blank_only = true;
    for (size_t k = 0; k < disk_name_chars; ++k) {
        uint8_t byte = static_cast<uint8_t>(file.name[k]);
        if (byte < blank || byte > '~' || byte == quote) return false;
        if (byte != blank) blank_only = false;
    }
    return !blank_only;
}

// Each load takes the next file after the one before it that is of its
// kind (and of its name, where it gives one), as the tape would give it.
int match_files(loader_scan& scan, const tape_file* files, int count) {
    const uint8_t* p = scan.program.bytes;
    bool taken[max_tape_files] = {};
    int next = 1;
    for (int n = 0; n < scan.load_count; ++n) {
        load_statement& load = scan.loads[n];
        uint8_t type = load.kind == load_screen ? block_code : load.kind;
        int f = next;
        while (f < count && !(files[f].had_header && files[f].type == type &&
                              names_match(p, load, files[f])))
            ++f;
        if (f == count) return refusal_no_file;
        if (files[f].hidden) return refusal_hidden;
        if (!typable(files[f])) return refusal_untypable;
        if (type == block_basic && files[f].loads_more) return refusal_chain;
        load.file = f;
        taken[f] = true;
        next = f + 1;
    }
    if (!scan.calls_code) return 0;
    for (int f = 1; f < count; ++f)
        if (!taken[f]) return refusal_code_loads_rest;
    return 0;
}

// Where a jump to a line lands: the first line of that number or after.
size_t line_offset(const program_text& program, uint16_t number) {
    basic_line line;
    for (size_t at = 0; at < program.length; at = line.next) {
        read_line(program, at, &line);
        if (line.number >= number) return at;
    }
    return program.length;
}

// Whether a jump from one place to another runs a load again (back over
// it) or passes it by (forward over it).
bool crosses_load(const loader_scan& scan, size_t from, size_t to) {
    for (int n = 0; n < scan.load_count; ++n) {
        size_t at = scan.loads[n].at;
        if (to <= from ? at >= to && at <= from : at > from && at < to)
            return true;
    }
    return false;
}

constexpr int subroutine_returns = 1;
constexpr int subroutine_branches = 2;

// A subroutine that runs straight to its RETURN: the GO SUB that calls it
// changes nothing of the order of the loads. Where its RETURN is, or
// nowhere.
size_t plain_return(const loader_scan& scan, size_t start) {
    const uint8_t* p = scan.program.bytes;
    size_t found = nowhere;
    int answer = walk_commands(scan.program, start, [&](const command& c) {
        switch (keyword_of(p, c)) {
            case token_return:
                found = c.at;
                return subroutine_returns;
            case token_load: case token_merge: case token_verify:
            case token_go_to: case token_go_sub: case token_run:
            case token_for: case token_next: case token_continue:
            case token_if:
                return subroutine_branches;
            default:
                return 0;
        }
    });
    return answer == subroutine_returns ? found : nowhere;
}

// Found once for every GO SUB, so that no program makes the looks slow.
void find_plain_returns(loader_scan& scan) {
    for (int n = 0; n < scan.call_count; ++n)
        scan.call_returns[n] =
            plain_return(scan, line_offset(scan.program, scan.calls[n]));
}

bool returns_from_plain_subroutine(const loader_scan& scan, size_t at) {
    if (scan.too_many_calls) return false;
    for (int n = 0; n < scan.call_count; ++n)
        if (scan.call_returns[n] == at) return true;
    return false;
}

// The GO SUBs come in the order the first look noted them.
bool calls_plain_subroutine(loader_scan& scan) {
    int n = scan.calls_checked++;
    return n < scan.call_count && scan.call_returns[n] != nowhere;
}

bool moves_with_a_load(const loader_scan& scan, const command& c) {
    for (int n = 0; n < scan.load_count; ++n)
        if (scan.loads[n].line_at == c.line->at && scan.loads[n].at < c.at)
            return true;
    return false;
}

// The second look, once the loads are known: whether the program runs
// each of them once, in the order written.
int check_flow(loader_scan& scan, const command& c) {
    const uint8_t* p = scan.program.bytes;
    uint8_t keyword = keyword_of(p, c);
    bool moving = keyword == token_for || keyword == token_next ||
                  keyword == token_go_sub || keyword == token_return;
    if (moving && moves_with_a_load(scan, c)) return refusal_moved_flow;
    uint16_t line = 0;
    switch (keyword) {
        case token_for:
            if (scan.first_for == nowhere) scan.first_for = c.at;
            return 0;
        case token_next:
            return scan.first_for != nowhere &&
                           crosses_load(scan, c.at, scan.first_for)
                       ? refusal_flow
                       : 0;
        case token_go_to: case token_go_sub: case token_run: {
            if (jump_target(p, c, &line) != 0) return refusal_flow;
            size_t to = line_offset(scan.program, line);
            if (keyword == token_go_sub && calls_plain_subroutine(scan))
                return 0;
            return crosses_load(scan, c.at, to) ? refusal_flow : 0;
        }
        case token_return:
            return returns_from_plain_subroutine(scan, c.at) ? 0
                                                              : refusal_flow;
        case token_continue:
            return refusal_flow;
        default:
            return 0;
    }
}

struct output {
    uint8_t* bytes;
    size_t used;
    size_t room;
    bool full;
};

void put(output& out, const void* bytes, size_t count) {
    if (out.full || out.room - out.used < count) {
        out.full = true;
        return;
    }
    std::memcpy(out.bytes + out.used, bytes, count);
    out.used += count;
}

void put_byte(output& out, uint8_t byte) { put(out, &byte, 1); }

void put_digits(output& out, unsigned value) {
    char digits[8];
    int count = std::snprintf(digits, sizeof digits, "%u", value);
    put(out, digits, static_cast<size_t>(count));
}

// A line's head, its length filled in by end_line.
size_t start_line(output& out, uint16_t number) {
    size_t head = out.used;
    uint8_t bytes[line_head_size] = {static_cast<uint8_t>(number >> 8),
                                     static_cast<uint8_t>(number), 0, 0};
    put(out, bytes, sizeof bytes);
    return head;
}

void end_line(output& out, size_t head) {
    put_byte(out, line_end);
    if (out.full) return;
    size_t text = out.used - head - line_head_size;
    put_le16(out.bytes + head + line_length_at, static_cast<uint16_t>(text));
}

// RANDOMIZE USR 15619: REM : LOAD "name" ..., the numbers after REM in
// plain digits.
void put_trdos_load(output& out, const load_statement& load,
                    const tape_file& file) {
    put_byte(out, token_randomize);
    put_byte(out, token_usr);
    put_digits(out, trdos_command_entry);
    uint8_t form[number_form_size] = {small_integer_exponent, 0, 0, 0, 0};
    put_le16(form + 2, trdos_command_entry);
    put_byte(out, number_mark);
    put(out, form, sizeof form);
    const uint8_t command[] = {statement_separator, token_rem,
                               statement_separator, token_load, quote};
    put(out, command, sizeof command);
    size_t chars = disk_name_chars;
    while (file.name[chars - 1] == blank) --chars;
    put(out, file.name, chars);
    put_byte(out, quote);
    if (load.kind == block_code || load.kind == load_screen) {
        put_byte(out, token_code);
        bool screen = load.kind == load_screen;
        if (screen || load.numbers > 0)
            put_digits(out, screen ? screen_address : load.address);
        if (screen || load.numbers > 1) {
            put_byte(out, ',');
            put_digits(out, screen ? screen_length : load.length);
        }
    } else if (load.kind != block_basic) {
        put_byte(out, token_data);
        put_byte(out, load.array_letter);
        if (load.kind == block_char_array) put_byte(out, '$');
        const uint8_t brackets[] = {'(', ')'};
        put(out, brackets, sizeof brackets);
    }
}

// Every line as it was, but that a load ends its line and the statements
// after it follow in a line of the same number.
void put_boot(const loader_scan& scan, const tape_file* files, output& out) {
    const uint8_t* p = scan.program.bytes;
    int n = 0;
    basic_line line;
    for (size_t at = 0; at < scan.program.length; at = line.next) {
        read_line(scan.program, at, &line);
        size_t from = line.text;
        if (n == scan.load_count || scan.loads[n].line_at != at) {
            put(out, p + at, line.next - at);
            continue;
        }
        for (; n < scan.load_count && scan.loads[n].line_at == at; ++n) {
            const load_statement& load = scan.loads[n];
            size_t head = start_line(out, line.number);
            put(out, p + from, load.at - from);
            put_trdos_load(out, load, files[load.file]);
            end_line(out, head);
            from = load.end + 1;  // past its ':', or past the line
        }
        if (from < line.next) {
            size_t head = start_line(out, line.number);
            put(out, p + from, line.end - from);
            end_line(out, head);
        }
    }
}

int refuse(boot_program* boot, int refusal) {
    boot->refusal = refusal;
    return -1;
}

int check_loader(loader_scan& scan, const tape_file* files, int count) {
    int refusal = walk_commands(scan.program, 0, [&](const command& c) {
        return note_command(scan, c);
    });
    if (refusal == walk_malformed) return refusal_malformed;
    if (refusal == 0) refusal = match_files(scan, files, count);
    if (refusal != 0 || scan.load_count == 0) return refusal;
    find_plain_returns(scan);
    return walk_commands(scan.program, 0, [&](const command& c) {
        return check_flow(scan, c);
    });
}

}  // namespace

const char* boot_refusal_text(int refusal) {
    if (refusal < 0 ||
        static_cast<size_t>(refusal) >= std::size(refusal_texts))
        return "";
    return refusal_texts[refusal];
}

int make_boot(const uint8_t* loader, size_t length, size_t program_length,
              const tape_file* files, int count, uint8_t* out, size_t room,
              boot_program* boot) {
    boot->length = 0;
    boot->program_length = 0;
    boot->refusal = boot_made;
    if (count < 1 || files[0].type != block_basic)
        return refuse(boot, refusal_not_basic);
    if (count > max_tape_files) return refuse(boot, refusal_full_catalogue);
    if (program_length > length) return refuse(boot, refusal_malformed);
    loader_scan scan{};
    scan.program = program_text{loader, program_length, length};
    scan.first_for = nowhere;
    int refusal = check_loader(scan, files, count);
    if (refusal != 0) return refuse(boot, refusal);
    output written{out, 0, room, false};
    put_boot(scan, files, written);
    boot->program_length = written.used;
    put(written, loader + program_length, length - program_length);
    if (written.full) return refuse(boot, refusal_too_long);
    boot->length = written.used;
    return 0;
}

bool holds_tape_loads(const uint8_t* program, size_t program_length) {
    program_text text{program, program_length, program_length};
    int answer = walk_commands(text, 0, [&](const command& c) {
        uint8_t keyword = keyword_of(program, c);
        return keyword == token_load || keyword == token_merge ||
               keyword == token_verify;
    });
    return answer != 0;
}

}  // namespace quornax
