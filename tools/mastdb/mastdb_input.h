// mastdb's input files: schedule definition files and calendar files.
//
// Everything here is text work that never touches the database, so that the
// administrators' tool can read and check a whole input file before it
// changes anything: a rejected file leaves the database as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "utils/libs/dateutil.h"

// ---- faults -----------------------------------------------------------------

// One thing wrong with an input: the file it was found in (as the user named
// it), its line (1 for the first; 0 when it concerns the whole file or a
// command-line word) and what is wrong.
struct input_fault {
    std::string file;
    int line = 0;
    std::string text;
};

// "FILE, line N: TEXT", or "FILE: TEXT" for line 0.
std::string fault_text(const input_fault& f);

// ---- input files --------------------------------------------------------------

// Longest line the schedule scanner keeps for one line of a definition.
constexpr std::size_t kInputLineMax = 4351;
// Most stored text lines one schedule can have (line numbers are 16-bit).
constexpr std::size_t kStoredLinesMax = 32768;

// A whole input file as read. Its lines are the text between line feeds,
// without a carriage return that ends them; text after the last line feed
// is a line of its own.
struct input_text {
    std::string name;   // as given, "standard input" for "-"
    std::string bytes;  // the file's contents
};

// Where one line lies in an input file's bytes: its text (without the line
// end) and the start of the line after it.
struct line_span {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    std::uint32_t next = 0;
};

// Reads the file at path ("-": standard input). False with *fault set when it
// cannot be opened or read, is a directory, or is too large to be an input
// file.
bool read_input_file(const std::string& path, input_text* out, input_fault* fault);

// The lines of bytes, as input_text describes them.
std::vector<line_span> split_input_lines(std::string_view bytes);

// The line at *pos of text and the position after it (after its line feed,
// or the end of text); false at the end of text. The line is cut as
// split_input_lines cuts it.
bool next_input_line(std::string_view text, std::size_t* pos, std::string_view* line);

// True when bytes hold a control character other than a tab, a line feed or
// a carriage return.
bool holds_control_bytes(std::string_view bytes);

// Reports every line that holds a control character (other than a tab), the
// mark of a binary file. Returns the number of such lines.
int check_text_bytes(const input_text& in, const std::vector<line_span>& lines,
                     std::vector<input_fault>* faults);

// ---- names and patterns ---------------------------------------------------------

// True for a name of 1 to width characters, each a letter, a digit, '_' or
// '-', beginning with a letter or digit; *why says what is wrong otherwise.
bool valid_object_name(std::string_view name, std::size_t width, std::string* why);

// Upper-cases ASCII letters.
std::string upper_text(std::string_view text);

// A schedule identity written "WS#NAME", or "NAME" for a schedule of the
// default workstation; both parts are checked and upper-cased.
bool parse_schedule_id(std::string_view word, const std::string& default_workstation,
                       std::size_t width, std::string* workstation, std::string* name,
                       std::string* why);

// A schedule listing pattern "WSPATTERN#NAMEPATTERN", or "NAMEPATTERN" alone
// for that name on every workstation; empty: everything. Upper-cased.
bool parse_schedule_pattern(std::string_view word, std::string* ws_pattern,
                            std::string* name_pattern, std::string* why);

// ---- schedule definition files ----------------------------------------------------

// One schedule definition of an input file, ready to be stored: the comment
// lines before it, its SCHEDULE line with the identity written in full
// ("SCHEDULE WS#NAME ..."), its other lines, its END line. It holds only
// where its parts lie in the file's bytes, so the input_text it comes from
// must stay in place while the definition is used.
struct schedule_definition {
    const input_text* source = nullptr;
    int first_line = 0;     // line of its first (comment or SCHEDULE) line
    int schedule_line = 0;  // line of its SCHEDULE line
    std::string workstation;
    std::string name;
    // Offsets in source->bytes: its first line, its SCHEDULE line, the text
    // after the identity on that line (up to rest_end), the line after the
    // SCHEDULE line, and the end of its END line's line end.
    std::uint32_t begin = 0;
    std::uint32_t head = 0;
    std::uint32_t rest = 0;
    std::uint32_t rest_end = 0;
    std::uint32_t body = 0;
    std::uint32_t end = 0;
    // False when the SCHEDULE line names no valid identity: its text is then
    // taken as written.
    bool identity_ok = false;

    const std::string& file() const { return source->name; }
    std::string id() const { return workstation + "#" + name; }
    // Replaces *out with the text to store: the lines, each followed by a
    // newline.
    void text(std::string* out) const;
    std::string text() const {
        std::string out;
        text(&out);
        return out;
    }
};

struct schedule_file_options {
    std::string default_workstation;  // for a SCHEDULE line that names none
    std::size_t name_width = 8;       // 8, or 16 for a database with long names
};

// Splits an input file into its definitions. A definition runs from a line
// whose first word is SCHEDULE to the next line whose first word is END; the
// comment lines (and blank lines among them) between the previous END and the
// SCHEDULE line belong to it. Faults: text outside a definition, a SCHEDULE
// before the END of the previous one, a definition without END, a bad
// identity, lines that are too long or too many, control characters, a file
// without any definition. Comment lines after the last END belong to no
// schedule: they are reported as warnings and not stored. True when no fault
// was found. The definitions refer to in, which must outlive them.
bool split_schedule_file(const input_text& in, const schedule_file_options& options,
                         std::vector<schedule_definition>* defs, std::vector<input_fault>* faults,
                         std::vector<input_fault>* warnings);

// The check every definition passes before it is stored: text holds the
// definition's lines, each ended by a newline; first_line is the number of
// its first line in the file; long_names gives the name widths of the
// database (16 instead of 8 characters for workstations and schedules).
//
// First the framing: comment lines, then the SCHEDULE line, then the body,
// and the END line last, with no other SCHEDULE or END line between them.
// Then the definition is read with the schedule language's parser, as the
// schedule selection reads a schedule it takes (up to the name of the first
// job), but without evaluating the date clauses: the check needs no
// production date and no calendar, since a calendar may be added after the
// schedules that name it. The first definition error is reported with the
// text of its message (set 2209) and the line the parser had reached; a text
// the parser gives up on is reported too. Nothing is printed, and the
// selected-schedule list is left as it was.
//
// Appends what it finds to *faults; true when the definition passes.
bool check_definition(std::string_view text, const std::string& file, int first_line,
                      bool long_names, std::vector<input_fault>* faults);

// ---- calendar files ---------------------------------------------------------------

// One calendar of a calendar file.
struct calendar_definition {
    std::string file;
    int line = 0;
    std::string name;  // upper case, 1 to 8 characters
    std::string description;
    std::vector<time_value> dates;  // ascending, each once
};

// Reads a calendar file:
//   * a line whose first word begins with a letter starts a calendar: its
//     name, then optionally its description in double quotes, then optionally
//     dates;
//   * a line whose first word begins with a digit holds more dates of the
//     calendar above it;
//   * dates are separated by blanks or tabs and written in the site's date
//     order (or as yyyymmdd);
//   * blank lines are ignored, and '#' or '*' as the first character of a
//     word starts a comment that runs to the end of the line.
// True when no fault was found.
bool parse_calendar_file(const input_text& in, int date_format,
                         std::vector<calendar_definition>* cals, std::vector<input_fault>* faults);

// Parses one date word in the site's order. The year written must be the year
// the 32-bit time value holds, so dates the database cannot keep are refused.
bool parse_calendar_date(std::string_view word, int date_format, time_value* out, std::string* why);

// A date in the site's order with a four-digit year (2024/01/31 for order 0),
// which parse_calendar_date reads back.
std::string calendar_date_text(time_value date, int date_format);

// The order of the fields of a date, in words ("year/month/day").
const char* date_order_text(int date_format);

// Sorts dates and drops repeated ones.
void sort_dates(std::vector<time_value>* dates);
