// Scanner of the schedule definition language: turns the stored text of one
// schedule into tokens for the parser, and keeps the line structure of the
// text (line numbers, comment lines, continuation lines, the current line's
// text for messages and the line echo).
//
// The scanner is a longest-match scanner over a fixed, ordered list of 81
// rules; of two rules matching the same length the earlier one wins. Its text
// comes from a pluggable line source: the scanner sees a newline, the first
// line, a newline, the second line, and so on, and end of input after the
// last line.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Token codes. A single-character token is its character code.
enum sch_token : int {
    SCH_EOF = 0,      // end of input
    SCH_ERROR = 256,  // the parser's error token; never returned by the scanner
    SCHEDULE = 257,
    ON = 258,
    EXCEPT = 259,
    FOLLOWS = 260,
    NEEDS = 261,
    OPENS = 262,
    AT = 263,
    UNTIL = 264,
    PROMPT = 265,
    PRIORITY = 266,
    LIMIT = 267,
    CARRYFORWARD = 268,
    IN = 269,
    ORDER = 270,
    EVERY = 271,
    CONFIRMED = 272,
    DAY = 273,
    DAYS = 274,
    WEEKDAY = 275,
    WEEKDAYS = 276,
    WORKDAY = 277,
    WORKDAYS = 278,
    JOBFILENAME = 279,
    STREAMLOGON = 280,
    DESCRIPTION = 281,
    ISUSERJOB = 282,
    AUTODOCON = 283,
    AUTODOCOFF = 284,
    RECOVERY = 285,
    OP = 286,
    STOP = 287,
    RERUN = 288,
    NEXTJOB = 289,
    AFTER = 290,
    ABENDPROMPT = 291,
    EVERYDAY = 292,
    REQUEST = 293,
    NOTEMPTY = 294,
    HI = 295,
    GO = 296,
    END = 297,
    DAY_OF_WEEK = 298,
    NUMBER = 299,
    QUOTED_STRING = 300,
    ID = 301,
    QUALIFIER = 302,
    DATE = 303,
    SCRIPTNAME = 304,
    DOCOMMAND = 305,
    FILENAME = 306,
    NETDELIM = 307,
    INTERACTIVE = 308,
    EXTRANEOUS = 309,
};

// Start states: INITIAL from SCHEDULE up to the ':' that ends the schedule
// header and again after END; JOBS after that ':'; JOBCONT after an "&" at the
// end of a line in JOBS.
enum class scan_state : unsigned char { INITIAL, JOBS, JOBCONT };

// Bits of the SCHDEBUG value (a decimal number): the parser trace and the
// scanner's line echo; other bits have no effect.
constexpr int kSchdebugTrace = 0x1;
constexpr int kSchdebugEcho = 0x4;

// Longest current line text kept for messages and the echo.
constexpr std::size_t kScanLineMax = 4351;

// Where the scanner's text comes from, one stored line at a time.
class scan_input {
  public:
    virtual ~scan_input() = default;
    // Stores the next line (without a newline) in line and returns true, or
    // returns false at the end of the text. After false it is not called again
    // until the scanner is reset.
    virtual bool next_line(std::string& line) = 0;
    // The same, appending the line to the end of text, which is unchanged at
    // the end of the text. The scanner reads through this one, so that a
    // source can put its line straight where the scanner keeps its text; by
    // default the line goes through next_line into scratch.
    virtual bool append_line(std::string& text, std::string& scratch) {
        if (!next_line(scratch)) return false;
        text += scratch;
        return true;
    }
    // The name shown by the line echo; "stdin" for text from the database.
    virtual const char* name() const { return "stdin"; }
};

// Lines held in memory, for tools and tests.
class string_lines_input : public scan_input {
  public:
    explicit string_lines_input(std::vector<std::string> lines, std::string name = "stdin")
        : lines_(std::move(lines)), name_(std::move(name)) {}
    bool next_line(std::string& line) override;
    const char* name() const override { return name_.c_str(); }
    // Starts again at the first line.
    void rewind() { next_ = 0; }

  private:
    std::vector<std::string> lines_;
    std::string name_;
    std::size_t next_ = 0;
};

// The lines of text split at each newline, so that the scanner sees a newline
// followed by text exactly; an empty text gives one empty line.
string_lines_input lines_from_text(std::string_view text, std::string name = "stdin");

// One schedule's look-ahead search for a closing character, remembered so that
// repeated openings without their closing character cost nothing more.
struct scan_far_search {
    enum class state : unsigned char { unknown, found, absent };
    char ch = 0;
    state st = state::unknown;
    std::size_t pos = 0;  // found: index of the first ch; unknown: none before pos
};

// Characters given back to the input and characters read ahead, next first.
// The front is taken by moving a start index, so taking a token shifts
// nothing; the room before the start takes the text given back.
class scan_pending {
  public:
    std::size_t size() const { return text_.size() - start_; }
    char operator[](std::size_t i) const { return text_[start_ + i]; }
    // The characters held, next first (valid until the next change).
    const char* data() const { return text_.data() + start_; }
    void push_back(char c) { text_.push_back(c); }
    // The characters held after those taken, for adding text at the end only.
    std::string& back_text() { return text_; }
    void append(std::string_view s) { text_.append(s); }
    // Puts s before the characters held (s must not point into them).
    void prepend(std::string_view s);
    // Moves the first n characters (n <= size()) into out.
    void take(std::size_t n, std::string& out);
    // Drops the first n characters (n <= size()).
    void drop(std::size_t n);
    void clear() {
        text_.clear();
        start_ = 0;
    }

  private:
    std::string text_;
    std::size_t start_ = 0;
};

struct scanner {
    // Input: the caller's line source (not owned), and what has been taken.
    scan_input* input = nullptr;
    bool input_started = false;  // the first line has been delivered
    bool input_done = false;     // the source has said end of text
    // Characters given back to the input and characters read ahead, next first.
    scan_pending pending;
    std::string next_line;  // room for the line source's line
    // Lines ending in a backslash, joined without their backslash, waiting for
    // the line that ends them.
    std::string continuation;

    // The last token and where it stands.
    std::string token_text;  // the token's characters
    int token_value = 0;     // the value of the last NUMBER token
    std::string line_text;   // current line, at most kScanLineMax characters
    int line_number = 0;     // lines seen in this schedule
    int column = 0;          // running sum of token lengths on the current line
    int rule = 0;            // rule that made the last token (1-81); 0 at end of input

    scan_state state = scan_state::INITIAL;
    bool name_follows = false;  // the last token introduces a name
    char previous = '\n';       // last character of the last match

    // Line echo: the header at each reset and every line the scanner leaves.
    bool echo = false;
    std::FILE* echo_stream = nullptr;  // null: standard output

    scan_far_search close_paren{')'};
    scan_far_search close_angle{'>'};

    // Every token through the full comparison of the rules, without the
    // shortcuts for words, numbers, blanks and line ends; slower, with the
    // same tokens. For checking the shortcuts.
    bool by_rules = false;
};

// Turns the line echo on or off; out null means standard output. The setting
// holds across resets.
void set_scanner_echo(scanner& sc, bool on, std::FILE* out = nullptr);

// Prepares for a new schedule read from input (not owned; must outlive the
// scanning): empties the pushed-back text and the continuation lines, sets the
// line number to 0, no name expected, start state INITIAL, and gives back one
// newline so that the first line is read like every other. With the echo on,
// writes the header naming the input.
void reset_scanner(scanner& sc, scan_input* input);

// Returns the next token code and leaves its text in token_text (and a
// NUMBER's value in token_value); returns SCH_EOF (0) at end of input, and
// again on every later call. Every call either consumes input or returns 0.
int next_token(scanner& sc);

// The process-wide scanner used by the schedule parser.
scanner& schedule_scanner();
// next_token on the process-wide scanner.
int next_token();
