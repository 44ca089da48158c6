// Scanner of the schedule definition language.
//
// Each rule has a small recogniser that returns the length of its longest
// match at the front of the input (trailing context included, as the
// comparison between rules counts it) and the length of the token itself.
// The rules that can start with a given character are listed once, so a token
// costs only the recognisers that can match its first character.
#include "driver/sscanner.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <utility>

namespace {

// ---------------------------------------------------------------------------
// The rule table.

enum class pat : unsigned char {
    line,           // a newline and the rest of the line
    blank,          // one blank or tab
    amp_eol,        // "&" / [ \t]* newline
    bol_blanks,     // ^ [ \t]+ / newline
    star_comment,   // "*" and the rest of the line
    angle_comment,  // "<<" [^>]* ">>"
    quoted,         // '"' [^"\n]* '"'
    qualifier,      // "(" [^)]* ")"
    literal,        // the characters of text, exactly
    minus_digit,    // "-" / [0-9]
    date,           // [0-9]+ "/" [0-9]+ "/" [0-9]+
    number,         // [0-9]+
    keyword,        // text in any mix of upper and lower case
    ident,          // [A-Za-z0-9_%?@-][A-Za-z0-9_%?@*-]*
    filename,       // [A-Za-z0-9_/:\\-]+
    any,            // any single character but a newline
};

enum class act : unsigned char { token, skip, line };

constexpr unsigned char kInitial = 1, kJobs = 2, kJobcont = 4, kAll = 7;

constexpr signed char kKeep = -1;
constexpr signed char to_state(scan_state s) {
    return static_cast<signed char>(s);
}

struct rule_def {
    pat kind;
    const char* text;
    unsigned char states;  // start states in which the rule is active
    int token;             // token code for act::token
    act action;
    bool names;              // the token introduces a name
    signed char next_state;  // kKeep or the start state to switch to
};

constexpr rule_def tok(pat k, const char* text, int token, bool names = false,
                       signed char next = kKeep, unsigned char states = kAll) {
    return {k, text, states, token, act::token, names, next};
}
constexpr rule_def kw(const char* text, int token, bool names = false, signed char next = kKeep) {
    return tok(pat::keyword, text, token, names, next);
}
constexpr rule_def skip(pat k, unsigned char states = kAll, signed char next = kKeep) {
    return {k, nullptr, states, 0, act::skip, false, next};
}

constexpr signed char kToInitial = to_state(scan_state::INITIAL);
constexpr signed char kToJobs = to_state(scan_state::JOBS);
constexpr signed char kToJobcont = to_state(scan_state::JOBCONT);

// In priority order; rule n is kRules[n - 1].
constexpr std::array<rule_def, 81> kRules = {{
    /* 1 */ {pat::line, nullptr, kAll, 0, act::line, false, kKeep},
    /* 2 */ skip(pat::blank),
    /* 3 */ skip(pat::amp_eol, kInitial),
    /* 4 */ skip(pat::amp_eol, kJobs, kToJobcont),
    /* 5 */ skip(pat::amp_eol, kJobcont),
    /* 6 */ skip(pat::bol_blanks, kInitial),
    /* 7 */ skip(pat::bol_blanks, kJobs),
    /* 8 */ skip(pat::bol_blanks, kJobcont, kToJobs),
    /* 9 */ skip(pat::star_comment),
    /* 10 */ skip(pat::angle_comment),
    /* 11 */ tok(pat::quoted, nullptr, QUOTED_STRING),
    /* 12 */ tok(pat::qualifier, nullptr, QUALIFIER),
    /* 13 */ tok(pat::literal, "/", '/', true),
    /* 14 */ tok(pat::date, nullptr, DATE),
    /* 15 */ tok(pat::number, nullptr, NUMBER),
    /* 16 */ tok(pat::literal, "+", '+'),
    /* 17 */ tok(pat::literal, "-", '-'),
    /* 18 */ tok(pat::minus_digit, nullptr, '-'),
    /* 19 */ kw("SCHEDULE", SCHEDULE, true, kToInitial),
    /* 20 */ kw("ON", ON),
    /* 21 */ kw("EXCEPT", EXCEPT),
    /* 22 */ kw("FOLLOWS", FOLLOWS, true),
    /* 23 */ kw("NEEDS", NEEDS, true),
    /* 24 */ kw("OPENS", OPENS, true),
    /* 25 */ kw("AT", AT),
    /* 26 */ kw("UNTIL", UNTIL),
    /* 27 */ kw("PROMPT", PROMPT, true),
    /* 28 */ kw("PRIORITY", PRIORITY),
    /* 29 */ kw("LIMIT", LIMIT),
    /* 30 */ kw("CARRYFORWARD", CARRYFORWARD),
    /* 31 */ kw("IN", IN),
    /* 32 */ kw("ORDER", ORDER),
    /* 33 */ kw("EVERY", EVERY),
    /* 34 */ kw("CONFIRMED", CONFIRMED),
    /* 35 */ kw("DAY", DAY),
    /* 36 */ kw("DAYS", DAYS),
    /* 37 */ kw("WEEKDAY", WEEKDAY),
    /* 38 */ kw("WEEKDAYS", WEEKDAYS),
    /* 39 */ kw("WORKDAY", WORKDAY),
    /* 40 */ kw("WORKDAYS", WORKDAYS),
    /* 41 */ kw("MO", DAY_OF_WEEK),
    /* 42 */ kw("TU", DAY_OF_WEEK),
    /* 43 */ kw("WE", DAY_OF_WEEK),
    /* 44 */ kw("TH", DAY_OF_WEEK),
    /* 45 */ kw("FR", DAY_OF_WEEK),
    /* 46 */ kw("SA", DAY_OF_WEEK),
    /* 47 */ kw("SU", DAY_OF_WEEK),
    /* 48 */ kw("JOBFILENAME", JOBFILENAME, true),
    /* 49 */ kw("SCRIPTNAME", SCRIPTNAME, true),
    /* 50 */ kw("DOCOMMAND", DOCOMMAND, true),
    /* 51 */ kw("STREAMLOGON", STREAMLOGON, true),
    /* 52 */ kw("DESCRIPTION", DESCRIPTION),
    /* 53 */ kw("ISUSERJOB", ISUSERJOB),
    /* 54 */ kw("AUTODOCON", AUTODOCON),
    /* 55 */ kw("AUTODOCOFF", AUTODOCOFF),
    /* 56 */ kw("RECOVERY", RECOVERY),
    /* 57 */ kw("OP", OP),
    /* 58 */ kw("STOP", STOP),
    /* 59 */ kw("RERUN", RERUN),
    /* 60 */ kw("NEXTJOB", NEXTJOB),
    /* 61 */ kw("CONTINUE", NEXTJOB),
    /* 62 */ kw("AFTER", AFTER, true),
    /* 63 */ kw("ABENDPROMPT", ABENDPROMPT),
    /* 64 */ kw("EVERYDAY", EVERYDAY),
    /* 65 */ kw("INTERACTIVE", INTERACTIVE),
    /* 66 */ kw("REQUEST", REQUEST),
    /* 67 */ kw("NOTEMPTY", NOTEMPTY),
    /* 68 */ kw("HI", HI),
    /* 69 */ kw("GO", GO),
    /* 70 */ kw("END", END, false, kToInitial),
    /* 71 */ tok(pat::literal, ":", ':', false, kToJobs),
    /* 72 */ tok(pat::literal, "::", NETDELIM),
    /* 73 */ tok(pat::literal, "@", '@'),
    /* 74 */ tok(pat::ident, nullptr, ID),
    /* 75 */ tok(pat::filename, nullptr, FILENAME),
    /* 76 */ tok(pat::literal, "#", '#', true),
    /* 77 */ tok(pat::literal, "=", '=', true),
    /* 78 */ tok(pat::literal, ",", ',', false, kKeep, kInitial),
    /* 79 */ tok(pat::literal, ",", ',', true, kKeep, kJobs),
    /* 80 */ tok(pat::literal, ".", '.', true),
    /* 81 */ tok(pat::any, nullptr, EXTRANEOUS),
}};
static_assert(kRules[18].token == SCHEDULE && kRules[69].token == END &&
                  kRules[80].kind == pat::any,
              "the rules keep their numbers");

// ---------------------------------------------------------------------------
// Character classes.

constexpr bool is_digit(int c) {
    return c >= '0' && c <= '9';
}
constexpr bool is_letter(int c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
constexpr bool is_blank(int c) {
    return c == ' ' || c == '\t';
}
constexpr int to_upper(int c) {
    return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
}
constexpr bool is_id_first(int c) {
    return is_letter(c) || is_digit(c) || c == '_' || c == '%' || c == '?' || c == '@' || c == '-';
}
constexpr bool is_id_rest(int c) {
    return is_id_first(c) || c == '*';
}
constexpr bool is_filename_char(int c) {
    return is_letter(c) || is_digit(c) || c == '_' || c == '/' || c == ':' || c == '\\' || c == '-';
}

// The two classes a word or number runs on, as bits per character.
constexpr unsigned char kInIdent = 1, kInFilename = 2;
constexpr std::array<unsigned char, 256> kRunClass = [] {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[static_cast<std::size_t>(c)] = static_cast<unsigned char>(
            (is_id_rest(c) ? kInIdent : 0) | (is_filename_char(c) ? kInFilename : 0));
    return t;
}();

// Whether a match of the rule can begin with character c.
bool can_start(const rule_def& r, int c) {
    switch (r.kind) {
        case pat::line:
            return c == '\n';
        case pat::blank:
        case pat::bol_blanks:
            return is_blank(c);
        case pat::amp_eol:
            return c == '&';
        case pat::star_comment:
            return c == '*';
        case pat::angle_comment:
            return c == '<';
        case pat::quoted:
            return c == '"';
        case pat::qualifier:
            return c == '(';
        case pat::literal:
            return c == static_cast<unsigned char>(r.text[0]);
        case pat::minus_digit:
            return c == '-';
        case pat::date:
        case pat::number:
            return is_digit(c);
        case pat::keyword:
            return to_upper(c) == static_cast<unsigned char>(r.text[0]);
        case pat::ident:
            return is_id_first(c);
        case pat::filename:
            return is_filename_char(c);
        case pat::any:
            return c != '\n';
    }
    return false;
}

// For each first character, the rules (indexes into kRules) that can match.
struct start_table {
    std::array<std::vector<unsigned char>, 256> rules;
    start_table() {
        for (int c = 0; c < 256; ++c)
            for (std::size_t i = 0; i < kRules.size(); ++i)
                if (can_start(kRules[i], c)) rules[c].push_back(static_cast<unsigned char>(i));
    }
};

const start_table& starts() {
    static const start_table table;
    return table;
}

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// ---------------------------------------------------------------------------
// Input: pending characters first, then the line source.

// Takes the next line from the source onto the end of the pending text, with
// the newline that separates it from the line before. False at end of text.
bool fetch(scanner& sc) {
    if (sc.input_done || sc.input == nullptr) {
        sc.input_done = true;
        return false;
    }
    std::string& text = sc.pending.back_text();
    const std::size_t before = text.size();
    if (sc.input_started) text.push_back('\n');
    if (!sc.input->append_line(text, sc.next_line)) {
        text.resize(before);
        sc.input_done = true;
        return false;
    }
    sc.input_started = true;
    return true;
}

// The character i places ahead, or -1 when the input ends before it.
int peek_far(scanner& sc, std::size_t i) {
    while (i >= sc.pending.size())
        if (!fetch(sc)) return -1;
    return static_cast<unsigned char>(sc.pending[i]);
}

inline int peek(scanner& sc, std::size_t i) {
    if (i < sc.pending.size()) return static_cast<unsigned char>(sc.pending[i]);
    return peek_far(sc, i);
}

// Index of the first pending occurrence of the search's character, reading
// ahead as far as needed; kNone when the input has none.
std::size_t find_far(scanner& sc, scan_far_search& f) {
    using st = scan_far_search::state;
    if (f.st == st::found) return f.pos;
    if (f.st == st::absent) return kNone;
    std::size_t i = f.pos;
    for (;;) {
        for (; i < sc.pending.size(); ++i) {
            if (sc.pending[i] == f.ch) {
                f.st = st::found;
                f.pos = i;
                return i;
            }
        }
        if (!fetch(sc)) {
            f.st = st::absent;
            return kNone;
        }
    }
}

void far_consumed(scan_far_search& f, std::size_t n) {
    using st = scan_far_search::state;
    if (f.st == st::found) {
        if (f.pos >= n) {
            f.pos -= n;
        } else {
            f.st = st::unknown;
            f.pos = 0;
        }
    } else if (f.st == st::unknown) {
        f.pos = f.pos > n ? f.pos - n : 0;
    }
}

void far_pushed(scan_far_search& f, std::string_view text) {
    using st = scan_far_search::state;
    const std::size_t at = text.find(f.ch);
    if (at != std::string_view::npos) {
        f.st = st::found;
        f.pos = at;
    } else if (f.st != st::absent) {
        f.pos += text.size();
    }
}

// Whether taking characters can change the search: not while it has never
// looked (or nothing it knew is left).
bool far_tracks(const scan_far_search& f) {
    return f.st != scan_far_search::state::unknown || f.pos != 0;
}

void far_all_consumed(scanner& sc, std::size_t n) {
    if (far_tracks(sc.close_paren)) far_consumed(sc.close_paren, n);
    if (far_tracks(sc.close_angle)) far_consumed(sc.close_angle, n);
}

// Moves the first n pending characters into the token text.
void consume(scanner& sc, std::size_t n) {
    sc.pending.take(n, sc.token_text);
    far_all_consumed(sc, n);
}

// Drops the first n pending characters.
void drop(scanner& sc, std::size_t n) {
    sc.pending.drop(n);
    far_all_consumed(sc, n);
}

// Gives text back to the input, to be read next.
void push_back(scanner& sc, std::string_view text) {
    if (text.empty()) return;
    sc.pending.prepend(text);
    far_pushed(sc.close_paren, text);
    far_pushed(sc.close_angle, text);
}

// ---------------------------------------------------------------------------
// Recognisers.

struct match {
    std::size_t total = 0;  // length compared between rules; 0 = no match
    std::size_t token = 0;  // length of the token (without trailing context)
};

constexpr match whole(std::size_t n) {
    return {n, n};
}

// Index of the first newline (or end of input) at or after i.
std::size_t to_line_end(scanner& sc, std::size_t i) {
    for (int c = peek(sc, i); c != -1 && c != '\n'; c = peek(sc, ++i)) {
    }
    return i;
}

std::size_t digits_from(scanner& sc, std::size_t i) {
    while (is_digit(peek(sc, i)))
        ++i;
    return i;
}

// The rule's match at the front of the input; the first character is one the
// rule can start with.
match recognise(scanner& sc, const rule_def& r) {
    switch (r.kind) {
        case pat::line:
        case pat::star_comment:
            return whole(to_line_end(sc, 1));
        case pat::blank:
        case pat::any:
            return whole(1);
        case pat::amp_eol: {
            std::size_t i = 1;
            while (is_blank(peek(sc, i)))
                ++i;
            return peek(sc, i) == '\n' ? match{i + 1, 1} : match{};
        }
        case pat::bol_blanks: {
            if (sc.previous != '\n') return {};
            std::size_t i = 1;
            while (is_blank(peek(sc, i)))
                ++i;
            return peek(sc, i) == '\n' ? match{i + 1, i} : match{};
        }
        case pat::angle_comment: {
            if (peek(sc, 1) != '<') return {};
            const std::size_t gt = find_far(sc, sc.close_angle);
            if (gt == kNone || peek(sc, gt + 1) != '>') return {};
            return whole(gt + 2);
        }
        case pat::quoted: {
            std::size_t i = 1;
            int c = peek(sc, i);
            while (c != -1 && c != '"' && c != '\n')
                c = peek(sc, ++i);
            return c == '"' ? whole(i + 1) : match{};
        }
        case pat::qualifier: {
            const std::size_t close = find_far(sc, sc.close_paren);
            return close == kNone ? match{} : whole(close + 1);
        }
        case pat::literal: {
            std::size_t i = 1;
            for (; r.text[i] != '\0'; ++i)
                if (peek(sc, i) != static_cast<unsigned char>(r.text[i])) return {};
            return whole(i);
        }
        case pat::minus_digit:
            return is_digit(peek(sc, 1)) ? match{2, 1} : match{};
        case pat::date: {
            std::size_t i = digits_from(sc, 1);
            for (int group = 0; group < 2; ++group) {
                if (peek(sc, i) != '/' || !is_digit(peek(sc, i + 1))) return {};
                i = digits_from(sc, i + 1);
            }
            return whole(i);
        }
        case pat::number:
            return whole(digits_from(sc, 1));
        case pat::keyword: {
            std::size_t i = 1;
            for (; r.text[i] != '\0'; ++i)
                if (to_upper(peek(sc, i)) != static_cast<unsigned char>(r.text[i])) return {};
            return whole(i);
        }
        case pat::ident: {
            std::size_t i = 1;
            while (is_id_rest(peek(sc, i)))
                ++i;
            return whole(i);
        }
        case pat::filename: {
            std::size_t i = 1;
            while (is_filename_char(peek(sc, i)))
                ++i;
            return whole(i);
        }
    }
    return {};
}

unsigned char state_bit(scan_state s) {
    return static_cast<unsigned char>(1u << static_cast<unsigned>(s));
}

// ---------------------------------------------------------------------------
// Actions.

std::FILE* echo_out(const scanner& sc) {
    return sc.echo_stream != nullptr ? sc.echo_stream : stdout;
}

// A newline and one whole line (the token text): echo the line being left,
// make the new line current, then drop it as a comment, keep it as a
// continuation piece, or give it back (after any continuation pieces) to be
// scanned.
void handle_line(scanner& sc) {
    const std::string_view line = std::string_view(sc.token_text).substr(1);
    if (sc.echo && sc.line_number > 0)
        std::fprintf(echo_out(sc), "%5d: %s\n", sc.line_number, sc.line_text.c_str());
    sc.line_text.assign(line.substr(0, kScanLineMax));
    sc.column = 0;
    if (sc.line_number < INT_MAX) ++sc.line_number;

    if (!line.empty() && (line.front() == '#' || line.front() == '*')) return;
    if (!line.empty() && line.back() == '\\') {
        sc.continuation.append(line.substr(0, line.size() - 1));
        return;
    }
    // The continuation pieces are read first, then this line.
    push_back(sc, line);
    push_back(sc, sc.continuation);
    sc.continuation.clear();
}

// The decimal value of a NUMBER token's digits; values beyond the integer
// range stay at its largest value.
int number_value(std::string_view digits) {
    long long v = 0;
    for (const char d : digits) {
        v = v * 10 + (d - '0');
        if (v > INT_MAX) return INT_MAX;
    }
    return static_cast<int>(v);
}

// The step every returned token passes: the column grows by its length; a
// keyword or other named token standing where a name is expected becomes an
// ID; the name-follows flag follows the token.
int finish_token(scanner& sc, const rule_def& r) {
    const std::size_t len = sc.token_text.size();
    const long long col = static_cast<long long>(sc.column) + static_cast<long long>(len);
    sc.column = col > INT_MAX ? INT_MAX : static_cast<int>(col);
    if (r.token == NUMBER) sc.token_value = number_value(sc.token_text);

    if (sc.name_follows && r.token >= 256 && r.token != FILENAME && len > 1 &&
        is_letter(static_cast<unsigned char>(sc.token_text[0]))) {
        sc.name_follows = false;
        return ID;
    }
    sc.name_follows = r.names;
    return r.token;
}

// ---------------------------------------------------------------------------
// Shortcuts for the most frequent first characters: a newline, a blank, a
// letter or a digit. Each comes to the rule the full comparison of the rules
// would choose, reading no further ahead than the rules' recognisers do; the
// other characters take the full comparison.

constexpr std::size_t kLine = 0, kBlank = 1, kDate = 13, kNumber = 14, kIdent = 73, kFilename = 74;
static_assert(kRules[kLine].kind == pat::line && kRules[kBlank].kind == pat::blank &&
                  kRules[kDate].kind == pat::date && kRules[kNumber].kind == pat::number &&
                  kRules[kIdent].kind == pat::ident && kRules[kFilename].kind == pat::filename,
              "the shortcuts name the rules they stand for");

constexpr std::size_t longest_keyword() {
    std::size_t longest = 0;
    for (const rule_def& r : kRules) {
        if (r.kind != pat::keyword) continue;
        std::size_t n = 0;
        while (r.text[n] != '\0')
            ++n;
        longest = std::max(longest, n);
    }
    return longest;
}
constexpr std::size_t kLongestKeyword = longest_keyword();

// The keyword rules by length and first letter; the rules active in every
// start state, as all keyword rules are.
struct keyword_table {
    std::array<std::array<std::vector<unsigned char>, 26>, kLongestKeyword + 1> rules;
    keyword_table() {
        for (std::size_t i = 0; i < kRules.size(); ++i) {
            const rule_def& r = kRules[i];
            if (r.kind != pat::keyword) continue;
            const std::string_view text(r.text);
            rules[text.size()][static_cast<std::size_t>(text[0] - 'A')].push_back(
                static_cast<unsigned char>(i));
        }
    }
    // The index of the keyword rule whose text the word is, in any case, or
    // kNone. The word begins with a letter.
    std::size_t find(const char* word, std::size_t n) const {
        if (n > kLongestKeyword) return kNone;
        const int first = to_upper(static_cast<unsigned char>(word[0]));
        for (const unsigned char i : rules[n][static_cast<std::size_t>(first - 'A')]) {
            const char* text = kRules[i].text;
            std::size_t k = 1;
            while (k < n && to_upper(static_cast<unsigned char>(word[k])) ==
                                static_cast<unsigned char>(text[k]))
                ++k;
            if (k == n) return i;
        }
        return kNone;
    }
};

const keyword_table& keywords() {
    static const keyword_table table;
    return table;
}

// Rule 1 at a newline: the line it begins becomes the current line, as
// handle_line does, without copying the line out and back: a line that is
// scanned stays where it is and only its newline is dropped.
void take_line(scanner& sc) {
    std::size_t end = 1;  // the line's end: the next newline or the end of input
    for (;;) {
        const std::size_t size = sc.pending.size();
        if (end < size) {
            const char* text = sc.pending.data();
            const void* nl = std::memchr(text + end, '\n', size - end);
            if (nl != nullptr) {
                end = static_cast<std::size_t>(static_cast<const char*>(nl) - text);
                break;
            }
            end = size;
        }
        if (!fetch(sc)) break;
    }
    sc.rule = static_cast<int>(kLine) + 1;
    const std::string_view line(sc.pending.data() + 1, end - 1);
    sc.previous = line.empty() ? '\n' : line.back();
    if (sc.echo && sc.line_number > 0)
        std::fprintf(echo_out(sc), "%5d: %s\n", sc.line_number, sc.line_text.c_str());
    sc.line_text.clear();
    sc.line_text.append(line.substr(0, kScanLineMax));
    sc.column = 0;
    if (sc.line_number < INT_MAX) ++sc.line_number;

    if (!line.empty() && (line.front() == '#' || line.front() == '*')) {
        drop(sc, end);
        return;
    }
    if (!line.empty() && line.back() == '\\') {
        sc.continuation.append(line.substr(0, line.size() - 1));
        drop(sc, end);
        return;
    }
    drop(sc, 1);
    if (!sc.continuation.empty()) {
        push_back(sc, sc.continuation);
        sc.continuation.clear();
    }
}

// Rule 2 at a blank that does not begin a line, for the whole run of blanks:
// after the first, none begins a line either.
void skip_blanks(scanner& sc) {
    const char* text = sc.pending.data();
    const std::size_t size = sc.pending.size();
    std::size_t n = 1;
    while (n < size && is_blank(static_cast<unsigned char>(text[n])))
        ++n;
    sc.previous = text[n - 1];
    sc.rule = static_cast<int>(kBlank) + 1;
    drop(sc, n);
}

// The ends of the identifier's and the file name's runs of characters from
// the second character on, in one pass (reading as far as the longer).
struct word_runs {
    std::size_t ident = 0;
    std::size_t file = 0;
};

word_runs runs_of(scanner& sc) {
    word_runs r;
    // Over the characters already read ahead, without a look-up per
    // character; a run that reaches their end goes on through peek, which
    // reads further.
    {
        const unsigned char* text = reinterpret_cast<const unsigned char*>(sc.pending.data());
        const std::size_t size = sc.pending.size();
        std::size_t i = 1;
        const unsigned char both = kInIdent | kInFilename;
        while (i < size && (kRunClass[text[i]] & both) == both)
            ++i;
        if (i < size) {
            // One run ends at i; the other goes on until its own end.
            const unsigned char left = kRunClass[text[i]] & both;
            if (left == 0) return {i, i};
            std::size_t j = i + 1;
            while (j < size && (kRunClass[text[j]] & left) != 0)
                ++j;
            if (j < size) return left == kInIdent ? word_runs{j, i} : word_runs{i, j};
        }
    }
    for (std::size_t i = 1;; ++i) {
        const int c = peek(sc, i);
        const unsigned char cls = c < 0 ? 0 : kRunClass[static_cast<std::size_t>(c)];
        if (r.ident == 0 && (cls & kInIdent) == 0) r.ident = i;
        if (r.file == 0 && (cls & kInFilename) == 0) r.file = i;
        if (r.ident != 0 && r.file != 0) return r;
    }
}

// At a letter: the keywords, the identifier and the file name can match. A
// keyword is made of letters, so it matches no longer than the identifier,
// and wins only when it is as long (being the earlier rule).
match word_rule(scanner& sc, std::size_t& index) {
    const auto [id, file] = runs_of(sc);
    if (file > id) {
        index = kFilename;
        return whole(file);
    }
    const std::size_t k = keywords().find(sc.pending.data(), id);
    index = k != kNone ? k : kIdent;
    return whole(id);
}

// At a digit: the date, the number, the identifier and the file name, in
// that order of priority.
match digit_rule(scanner& sc, std::size_t& index) {
    const std::size_t digits = digits_from(sc, 1);
    std::size_t date = 0;
    if (peek(sc, digits) == '/' && is_digit(peek(sc, digits + 1))) {
        const std::size_t i = digits_from(sc, digits + 1);
        if (peek(sc, i) == '/' && is_digit(peek(sc, i + 1))) date = digits_from(sc, i + 1);
    }
    const auto [id, file] = runs_of(sc);
    std::size_t best = date;
    index = kDate;
    if (digits > best) {
        best = digits;
        index = kNumber;
    }
    if (id > best) {
        best = id;
        index = kIdent;
    }
    if (file > best) {
        best = file;
        index = kFilename;
    }
    return whole(best);
}

}  // namespace

// ---------------------------------------------------------------------------

void scan_pending::prepend(std::string_view s) {
    if (s.size() <= start_) {
        start_ -= s.size();
        text_.replace(start_, s.size(), s);
    } else {
        text_.replace(0, start_, s);
        start_ = 0;
    }
}

void scan_pending::take(std::size_t n, std::string& out) {
    // out is never this text: emptied and appended to, it takes the
    // characters without assign's checks for overlapping text.
    out.clear();
    out.append(text_.data() + start_, n);
    drop(n);
}

void scan_pending::drop(std::size_t n) {
    start_ += n;
    if (start_ >= 4096 && start_ >= text_.size() / 2) {
        // Much has been taken: drop it. What stays before the start makes
        // room for the text given back next.
        text_.erase(0, start_);
        start_ = 0;
    }
}

bool string_lines_input::next_line(std::string& line) {
    if (next_ >= lines_.size()) return false;
    line = lines_[next_++];
    return true;
}

string_lines_input lines_from_text(std::string_view text, std::string name) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (;;) {
        const std::size_t nl = text.find('\n', from);
        if (nl == std::string_view::npos) {
            lines.emplace_back(text.substr(from));
            break;
        }
        lines.emplace_back(text.substr(from, nl - from));
        from = nl + 1;
    }
    return string_lines_input(std::move(lines), std::move(name));
}

void set_scanner_echo(scanner& sc, bool on, std::FILE* out) {
    sc.echo = on;
    sc.echo_stream = out;
}

void reset_scanner(scanner& sc, scan_input* input) {
    sc.input = input;
    sc.input_started = false;
    sc.input_done = false;
    sc.pending.clear();
    sc.continuation.clear();
    sc.token_text.clear();
    sc.token_value = 0;
    sc.line_text.clear();
    sc.line_number = 0;
    sc.column = 0;
    sc.rule = 0;
    sc.state = scan_state::INITIAL;
    sc.name_follows = false;
    sc.previous = '\n';
    sc.close_paren = scan_far_search{')'};
    sc.close_angle = scan_far_search{'>'};
    if (sc.echo) {
        std::fprintf(echo_out(sc), "\nFilename being parsed : %s\n\n",
                     input != nullptr ? input->name() : "stdin");
    }
    push_back(sc, "\n");
}

int next_token(scanner& sc) {
    const start_table& table = starts();
    for (;;) {
        const int c = peek(sc, 0);
        if (c == -1) {
            sc.token_text.clear();
            sc.rule = 0;
            return SCH_EOF;
        }
        const rule_def* best = nullptr;
        std::size_t best_index = 0;
        match best_match;
        if (!sc.by_rules) {
            if (c == '\n') {
                take_line(sc);
                continue;
            }
            if (is_blank(c) && sc.previous != '\n') {
                skip_blanks(sc);
                continue;
            }
            if (is_letter(c)) {
                best_match = word_rule(sc, best_index);
                best = &kRules[best_index];
            } else if (is_digit(c)) {
                best_match = digit_rule(sc, best_index);
                best = &kRules[best_index];
            }
        }
        if (best == nullptr) {
            const unsigned char bit = state_bit(sc.state);
            for (const unsigned char i : table.rules[static_cast<unsigned char>(c)]) {
                const rule_def& r = kRules[i];
                if ((r.states & bit) == 0) continue;
                const match m = recognise(sc, r);
                if (m.total > best_match.total) {
                    best_match = m;
                    best = &r;
                    best_index = i;
                }
            }
            // Rule 81 takes any character but a newline and rule 1 takes a
            // newline, so some rule always matches.
            if (best == nullptr) {
                best = &kRules.back();
                best_index = kRules.size() - 1;
                best_match = whole(1);
            }
        }

        consume(sc, best_match.token);
        sc.previous = sc.token_text.back();
        sc.rule = static_cast<int>(best_index) + 1;
        if (best->next_state != kKeep) sc.state = static_cast<scan_state>(best->next_state);

        switch (best->action) {
            case act::line:
                handle_line(sc);
                break;
            case act::skip:
                break;
            case act::token:
                return finish_token(sc, *best);
        }
    }
}

scanner& schedule_scanner() {
    static scanner sc;
    return sc;
}

int next_token() {
    return next_token(schedule_scanner());
}
