// Parser of the schedule definition language and the evaluation of a
// schedule's date clauses.
//
// The engine is a table-driven LALR(1) shift-reduce parser over the constant
// tables generated from driver/sparser.grammar. The grammar's actions decide
// whether the schedule being parsed runs on the run date: they evaluate the ON
// and EXCEPT elements, and for a selected schedule enter it in the
// selected-schedule list with its AT time key, PRIORITY and FOLLOWS
// dependencies. Parsing stops as soon as the outcome is known: when the ON
// clause did not select the run date, when an EXCEPT element matches, at the
// first job name, or at the end of the text after END.
//
// A schedule definition with an error (a definition error) ends the process
// with exit status 2 after messages 2207/23 and 2209/<number> on standard
// error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "driver/sparser_tables.h"
#include "driver/sscanner.h"
#include "utils/libs/dateutil.h"
#include "utils/libs/issuemsg.h"

struct db_handle;

// ---- the engine ---------------------------------------------------------------

// Most states the parser's stack holds; one more aborts the parse.
constexpr int kParserStackMax = 150;

// What an action tells the engine: go on parsing, or stop now with accept.
enum class action_result { go_on, accept };

// The engine's connections: its token source and the grammar's actions.
struct parser_io {
    // The next token code; a negative code counts as end of input (0).
    std::function<int()> next_token;
    // The value the scanner left with its last token (a NUMBER's value).
    std::function<int()> token_value;
    // Optional: told of every token shifted (not of the error token), while
    // the scanner still holds that token's text.
    std::function<void(int token)> shifted;
    // Runs the action of a rule whose action flag is set: symbols are the
    // values of the rule's right-hand side (empty for an empty rule); value
    // starts as the first symbol's value and becomes the rule's value.
    std::function<action_result(int rule, std::span<const int> symbols, int& value)> action;
    bool trace = false;              // print the trace of the parse
    std::FILE* trace_out = nullptr;  // null: standard output
};

// Parses one token stream. Returns 0 on accept (end of input accepted, or an
// action that stopped the parse) and 1 on abort (more than kParserStackMax
// nested states, or a syntax error with no way on).
int run_parser(const parser_io& io, const SparserTables& tables = sparser_tables);

// Called with "syntax error" and with "stack overflow" when the stack is full.
// Prints nothing: the grammar's error alternatives report syntax errors as
// definition errors, and a full stack ends the parse with 1.
void report_syntax_error(const char* text);

// ---- the evaluation state -------------------------------------------------------

// One ON or EXCEPT element as written; cleared after it has been evaluated.
struct date_element {
    bool has_date = false;
    time_value date = 0;             // a DATE element, local midnight
    std::string day_word;            // DAY_OF_WEEK, WEEKDAYS, WORKDAYS or EVERYDAY as written
    std::string calendar;            // calendar name, upper case, at most 8 characters
    std::int64_t offset_amount = 0;  // sign times number
    std::string offset_unit;         // DAY, DAYS, WEEKDAY, WEEKDAYS, WORKDAY or WORKDAYS as written
    bool request = false;            // the REQUEST element
};

// The text of the last ID token and where it stood.
struct saved_identifier {
    std::string text;
    std::string line;
    int line_number = 0;
    int column = 0;
};

// Answers from the calendar file that cannot change while the selection pass
// holds the calendar lock: which calendar names exist, the days of each
// calendar and which days are in HOLIDAYS. The pass owns one for its whole
// run; without one every look-up goes to the database.
struct calendar_lookups {
    std::unordered_map<std::string, bool> exists;                     // name -> found
    std::unordered_map<std::string, std::vector<std::int32_t>> days;  // name -> day numbers, sorted
    std::unordered_map<std::int64_t, bool> holidays;                  // day number -> in HOLIDAYS
};

// The names the run date satisfies, with a quick membership test: a name of
// one to eight characters is also kept as one number, so that looking a word
// up compares numbers instead of texts.
class run_date_name_list {
  public:
    run_date_name_list() = default;
    run_date_name_list(std::vector<std::string> names) { assign(std::move(names)); }
    run_date_name_list& operator=(std::vector<std::string> names) {
        assign(std::move(names));
        return *this;
    }
    // Whether the word is one of the names (exact comparison).
    bool contains(std::string_view word) const;
    const std::vector<std::string>& names() const { return names_; }
    bool empty() const { return names_.empty(); }

  private:
    void assign(std::vector<std::string> names);
    std::vector<std::string> names_;
    std::vector<std::uint64_t> short_keys_;  // sorted
    bool has_long_ = false;                  // a name that has no short key
};

// A selected-schedule list entry an action made while the pass defers them
// (sched_eval_state::deferred): add_selected's arguments after the names.
struct deferred_entry {
    std::int32_t time_key = 0;
    std::int32_t priority = 0;
    bool dependency = false;
    std::string dependency_workstation;
    std::string dependency_schedule;
};

struct sched_eval_state {
    // ---- set by the selection pass, per run
    db_handle* db = nullptr;              // master database, for the calendars
    calendar_lookups* lookups = nullptr;  // the pass's remembered answers, or none
    time_value run_date = 0;              // 0: no date (only forced schedules run)
    // Every calendar that holds the run date, WEEKDAYS, WORKDAYS and the
    // two-letter day name, as the selection pass built them.
    run_date_name_list run_date_names;
    std::string this_workstation;    // default workstation of a schedule identity
    int start_of_day = 0;            // option "start", hhmm
    bool trace = false;              // SCHDEBUG asked for the parser trace
    std::FILE* trace_out = nullptr;  // null: standard output
    // ---- set by the selection pass, per schedule record
    std::string record_workstation;  // list entries are made under this key
    std::string record_schedule;
    bool selected = false;  // the schedule runs; the actions set it, never clear it
    bool forced = false;    // named in the forced list: its EXCEPT elements never match
    // While set (by a pass that visits the records out of key order), the
    // list entries the actions make are collected here instead of entered,
    // and whatever the actions would report (a definition error, a missing
    // calendar, a database failure) is not reported but sets spoiled.
    std::vector<deferred_entry>* deferred = nullptr;
    bool spoiled = false;
    // ---- set by parse_schedule
    bool long_names = false;  // sets the widths of workstation, schedule and job names

    // ---- per schedule, reset by SCHEDULE
    bool job_section = false;  // the ':' that ends the schedule header was read
    std::int32_t sched_priority = 10;
    std::int32_t job_priority = 10;
    std::int32_t limit = 99;
    bool in_order = false;
    bool carryforward = false;
    bool at_days = false;           // schedule AT with a day offset other than 0
    bool until_days = false;        // schedule UNTIL with a day offset other than 0
    int at_time = 0;                // schedule AT, hhmm
    std::int64_t at_offset = 0;     // schedule AT, whole days
    int follows_count = 0;          // schedule FOLLOWS elements
    int job_follows_count = 0;      // FOLLOWS elements of the current job
    std::string sched_workstation;  // schedule identity written, upper case, for messages
    std::string sched_name;
    saved_identifier saved;
    date_element element;

    // ---- working items of the actions
    std::string
        pair_workstation;  // workstation#schedule just read; empty workstation: none written
    std::string pair_schedule;
    std::string qualified_workstation;  // the workstation before '#' of a qualified name
    std::string last_name;              // the last name accepted by an identifier rule
    std::string agent;                  // network agent before "::"
    bool follow_pending = false;        // a FOLLOWS target waits to be added
    std::string follow_workstation;
    std::string follow_schedule;
    std::string file_name;  // OPENS file name being assembled
    std::string qualifier;
    std::string prompt_text;
    // The last token shifted and where it stood.
    std::string token_text;
    std::string token_line;
    int token_line_number = 0;
    int token_column = 0;
};

// The process-wide evaluation state.
sched_eval_state& evaluation_state();
// Test hook: back to a fresh state.
void reset_evaluation_state();

// Parses the current schedule's text from input with the process-wide scanner
// (reset first) and the evaluation state. Returns 0 when the parser accepted
// (every early stop included) and 1 when it gave up.
int parse_schedule(scan_input& input, bool long_names);

// The action of a grammar rule on the process-wide evaluation state, as
// parse_schedule runs it for each reduction of a rule with an action; the
// token texts it reads are those of the tokens shifted last.
action_result schedule_action(int rule, std::span<const int> symbols, int& value);

// ---- definition errors ----------------------------------------------------------

// Reports a definition error: message 2207/23 on standard error, then the text
// of message 2209/number with its arguments and a newline, and ends the
// process with exit status 2. Returns only when a test hook is installed:
// then the hook's answer, true when the parse should stop there.
bool schedule_error(int number, MsgArgs args = {});

// Test hook: replaces the exit of schedule_error; null restores it. The hook
// gets the message number and answers whether the parse stops (true) or goes
// on as if the value had been accepted (false). Errors of the grammar's error
// alternatives stop the parse whatever the hook answers.
using schedule_error_hook = bool (*)(int number);
void set_schedule_error_hook(schedule_error_hook hook);

// For programs that check definitions rather than select schedules: while a
// sink is installed, schedule_error prints nothing and hands the sink the
// message number and its formatted text instead; the sink answers whether
// the parse stops. Null removes it.
using schedule_error_sink = bool (*)(int number, const char* text);
void set_schedule_error_sink(schedule_error_sink sink);

// Whether definition error number is found by checking a value the parser
// has taken (a number, a date, a name), rather than by the grammar's
// alternatives for text that does not fit: after such an error a hook or
// sink may let the parse go on as if the value had been accepted.
bool is_value_check_error(int number);

// ---- evaluation, for the actions and their tests ---------------------------------

// Checks an identifier: 0 when valid, else the definition error: 200 longer
// than width, 201 not beginning with a letter, 202 a character other than a
// letter, digit, '_' or '-'. The user mode also allows '@', '%' and '?' and
// does not look at the first character.
int check_identifier(std::string_view text, int width, bool user_mode = false);

// Width of workstation and schedule names, and of job names.
int workstation_width(bool long_names);
int job_name_width(bool long_names);

// Whether the upper-case word is one of the run-date names (exact comparison).
bool in_run_date_names(const sched_eval_state& st, std::string_view word);

// Looks the calendar up; when it does not exist, message 2207/30 and the name
// is cleared. Returns whether it exists.
bool check_calendar(sched_eval_state& st, std::string& calendar);

// Whether the run date lies amount steps of the unit's kind (calendar days,
// weekdays or working days) after one of the calendar's dates. Steps go over
// local calendar days, so the answer is the same in every time zone.
bool offset_date_matches(sched_eval_state& st, const std::string& calendar, std::string_view unit,
                         std::int64_t amount);

// Evaluate the recorded element against the run date.
bool on_element_matches(sched_eval_state& st);
bool except_element_matches(sched_eval_state& st);

// The ordering key of a schedule's AT time: minutes after the start of the
// production day plus 2400 per day of offset.
std::int32_t at_time_key(int hhmm, std::int64_t days, int start_of_day);
