// The run driver's record of one run, and reading the command line, the run
// date, the output file and the parser's debug switch.
#pragma once

#include <cstddef>
#include <cstdio>
#include <forward_list>
#include <memory>
#include <string>
#include <vector>

#include "utils/libs/dateutil.h"

struct db_handle;

// Longest -scheds and -prodsked value, and longest -date value.
constexpr std::size_t kRunPathMax = 1023;
constexpr std::size_t kDateTextMax = 31;

// Closes the production schedule file; standard output is only flushed, so
// that messages written after the run still reach it.
struct output_closer {
    void operator()(std::FILE* f) const noexcept;
};
using output_stream = std::unique_ptr<std::FILE, output_closer>;

// One schedule named by the forced list: taken whatever its date clauses say.
struct forced_schedule {
    std::string workstation;  // up to 16 characters
    std::string schedule;     // up to 16 characters
};

struct run_context {
    // The master database handle, owned by the main sequence and open for the
    // whole run.
    db_handle* database = nullptr;

    std::string output_path = "prodsked";  // -prodsked; "-" is standard output
    std::string this_workstation;          // set by the main sequence
    std::string schedule_list_path;        // -scheds; empty or "-" is the terminal
    bool scheds_given = false;             // -scheds appeared on the command line
    std::string date_text;                 // -date value
    bool date_given = false;               // -date appeared on the command line
    bool autodate = false;                 // -autodate
    bool command_line_invalid = false;     // set by parse_command_line
    bool prompted = false;                 // run date was entered at the terminal

    // The production schedule file's stream buffer: large, so that the file
    // is written in few calls. Declared before the stream, which must be
    // closed before its buffer goes.
    std::unique_ptr<char[]> output_buffer;
    output_stream output;  // production schedule file, or standard output

    // Forced schedules, newest first (add with push_front).
    std::forward_list<forced_schedule> forced;
    // Names that the run date satisfies (calendars, WEEKDAYS, day name ...).
    std::vector<std::string> run_date_names;

    time_value run_date = 0;    // local midnight of the production day; 0 = no date
    bool long_names = false;    // the master database uses 16-character names
    bool parser_trace = false;  // SCHDEBUG asked for the parser trace
    bool line_echo = false;     // SCHDEBUG asked for the scanner's line echo
};

// Reads the options in argument order; argv[0] is the program. Fills the date
// text, autodate flag, schedule list path and output path. Returns false (and
// marks the context) at the first argument that breaks the rules. Prints
// nothing: settle_run_date reports an invalid command line.
bool parse_command_line(run_context& ctx, int argc, const char* const* argv);

enum class run_date_result {
    Go,           // the run date is settled (possibly 0)
    AskDate,      // no date given: ask for it at the terminal
    NothingToDo,  // invalid command line or -date value, already reported
};

// Settles the run date from the parsed command line.
run_date_result settle_run_date(run_context& ctx);

// Opens the production schedule file (replacing it) or takes standard output
// for "-". Failure is fatal; returns 0 on success and the error number when a
// test's exit hook lets the fatal message return.
int open_output(run_context& ctx);

// Flushes and closes the output stream; standard output is flushed only.
// Returns 0, or the error number of a failed write-back.
int close_output(run_context& ctx);

// Reads SCHDEBUG: a decimal number with bit 0 set turns the parser trace on,
// bit 2 the scanner's line echo. Returns the trace flag; both flags are
// stored in the context.
bool read_debug_switch(run_context& ctx);

// The program: start-up, the master check, the database, the access check,
// the run date and forced schedules, the selection pass and the production
// schedule. Returns the exit status: 0 after a normal run, an invalid command
// line or nothing to select; 1 when the program may not run or the dialogue
// fails. Fatal messages (status 1) and definition errors in a stored schedule
// (status 2) end the process on their own.
int korvex_main(int argc, const char* const* argv);
