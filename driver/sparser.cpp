// Parser engine, grammar actions and date-clause evaluation of the schedule
// definition language.
#include "driver/sparser.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <unordered_map>

#include "driver/korvex_list.h"
#include "utils/libs/dbaccs.h"

// ---------------------------------------------------------------------------
// Engine

namespace {

// Name of a token for the trace.
const char* token_name(const SparserTables& t, int token) {
    if (token == SPT_END_TOKEN) return "end-of-file";
    if (token < 0) return "-none-";
    const char* unknown = "-unknown-";
    for (const SparserTokenName& n : t.token_names) {
        if (n.code < 0) {
            unknown = n.name;
            break;
        }
        if (n.code == token) return n.name;
    }
    return unknown;
}

// The state that a packed-table hit at base + symbol leads to, verified by
// the check table against want; -1 when there is none.
int packed_hit(const SparserTables& t, long base, long symbol, int want) {
    const long n = base + symbol;
    if (n < 0 || n >= static_cast<long>(t.action.size())) return -1;
    // 0 marks an empty entry: state 0 is never entered by a symbol.
    const int to = t.action[static_cast<std::size_t>(n)];
    if (to <= 0 || to >= static_cast<int>(t.check.size())) return -1;
    return t.check[static_cast<std::size_t>(to)] == want ? to : -1;
}

// Where the pairs of a state's exception sequence begin (just after its
// first SPT_EXC_START pair), or past the table for a state without one.
std::size_t exception_pairs(const SparserTables& t, int state) {
    const auto& e = t.exceptions;
    std::size_t i = 0;
    while (i + 1 < e.size() && !(e[i] == SPT_EXC_START && e[i + 1] == state))
        i += 2;
    return i + 2;
}

// The exception table's action for a token, from the pairs that begin at i:
// a rule, SPT_ERROR, or a negative value (accept).
int exception_action_at(const SparserTables& t, std::size_t i, int token) {
    const auto& e = t.exceptions;
    for (; i + 1 < e.size(); i += 2)
        if (e[i] < 0 || e[i] == token) return e[i + 1];
    return SPT_ERROR;
}

// What the engine looks up once per table set rather than at every step:
// the number of states, and where each state's exception pairs begin.
class exception_index {
  public:
    explicit exception_index(const SparserTables& t)
        : states_(std::min(t.action_base.size(), t.default_action.size())) {
        const std::size_t n = t.default_action.size();
        // Only the states that consult the table: the rest never look.
        start_.assign(n, 0);
        for (std::size_t s = 0; s < n; ++s)
            if (t.default_action[s] == SPT_SEE_EXCEPTIONS)
                start_[s] = exception_pairs(t, static_cast<int>(s));
    }
    // The state's action for the token; the state is a valid one.
    int action(const SparserTables& t, int state, int token) const {
        return exception_action_at(t, start_[static_cast<std::size_t>(state)], token);
    }

    bool valid_state(int s) const {
        return static_cast<std::size_t>(static_cast<unsigned>(s)) < states_ && s >= 0;
    }

  private:
    std::size_t states_;
    std::vector<std::size_t> start_;
};

}  // namespace

void report_syntax_error(const char* /*text*/) {}

namespace {

// The engine over any connection with the members of parser_io, called
// directly: the schedule parse uses one whose calls are inlined, other
// callers parser_io itself through function_io.
template <class Io>
int run_engine(Io& io, const SparserTables& t, const exception_index& exceptions) {
    std::FILE* out = io.trace_out != nullptr ? io.trace_out : stdout;
    // One slot more than the stack holds: an empty rule's value is the slot
    // just above the top.
    std::array<int, kParserStackMax + 1> states{};
    std::array<int, kParserStackMax + 1> values{};
    int top = -1;      // index of the top entry
    int state = 0;     // current state
    int value = 0;     // current value
    int token = -1;    // read-ahead token; -1: none
    int errcount = 0;  // error recovery: 3 right after an error, lowered by each shift
    int syntax_errors = 0;

    auto read_token = [&] {
        if (token >= 0) return;
        token = io.next_token();
        if (token < 0) token = SPT_END_TOKEN;
        if (io.trace) std::fprintf(out, "Received token %s\n", token_name(t, token));
    };

    for (;;) {
        // Push.
        if (io.trace) std::fprintf(out, "State %d, token %s\n", state, token_name(t, token));
        if (top + 1 >= kParserStackMax) {
            report_syntax_error("yacc stack overflow");
            return 1;
        }
        if (!exceptions.valid_state(state)) return 1;
        ++top;
        states[static_cast<std::size_t>(top)] = state;
        values[static_cast<std::size_t>(top)] = value;

        // Decide, and after a discarded token decide again in the same state.
        for (;;) {
            if (t.action_base[static_cast<std::size_t>(state)] > SPT_NO_LOOKAHEAD) {
                read_token();
                const int to =
                    packed_hit(t, t.action_base[static_cast<std::size_t>(state)], token, token);
                if (to >= 0) {
                    io.shifted(token);
                    token = -1;
                    value = io.token_value();
                    state = to;
                    if (errcount > 0) --errcount;
                    break;  // push the new state
                }
            }

            // Default action.
            int act = t.default_action[static_cast<std::size_t>(state)];
            if (act == SPT_SEE_EXCEPTIONS) {
                read_token();
                act = exceptions.action(t, state, token);
                if (act < 0) return 0;  // accept
            }

            if (act == SPT_ERROR) {
                if (errcount == 0) {
                    report_syntax_error("syntax error");
                    ++syntax_errors;
                }
                if (errcount < 3) {
                    // Find a state below that shifts the error token.
                    errcount = 3;
                    int to = -1;
                    while (top >= 0) {
                        const int s = states[static_cast<std::size_t>(top)];
                        to = packed_hit(t, t.action_base[static_cast<std::size_t>(s)],
                                        SPT_ERROR_TOKEN, SPT_ERROR_TOKEN);
                        if (to >= 0) break;
                        if (io.trace && top > 0)
                            std::fprintf(out, "Error recovery pops state %d, uncovers state %d\n",
                                         s, states[static_cast<std::size_t>(top - 1)]);
                        --top;
                    }
                    if (top < 0) return 1;
                    state = to;
                    break;  // push the state reached by shifting error
                }
                // Right after an error: discard the token.
                if (io.trace)
                    std::fprintf(out, "Error recovery discards token %s\n", token_name(t, token));
                if (token == SPT_END_TOKEN) return 1;
                token = -1;
                continue;
            }

            // Reduce.
            if (act < 0 || static_cast<std::size_t>(act) >= t.rule_length.size() ||
                static_cast<std::size_t>(act) >= t.rule_lhs.size())
                return 1;
            if (io.trace) {
                const char* text = static_cast<std::size_t>(act) < t.rule_texts.size()
                                       ? t.rule_texts[static_cast<std::size_t>(act)]
                                       : "-no such reduction-";
                std::fprintf(out, "Reduce by (%d) \"%s\"\n", act, text);
            }
            const int length = t.rule_length[static_cast<std::size_t>(act)];
            const int symbols = length / 2;
            if (symbols > top) return 1;  // would pop the bottom state
            top -= symbols;
            int rule_value = values[static_cast<std::size_t>(top + 1)];
            const int lhs = t.rule_lhs[static_cast<std::size_t>(act)];
            if (lhs <= 0 || static_cast<std::size_t>(lhs) >= t.goto_base.size()) return 1;
            const int gbase = t.goto_base[static_cast<std::size_t>(lhs)];
            int to = packed_hit(t, gbase, states[static_cast<std::size_t>(top)] + 1, -lhs);
            if (to < 0) {
                if (gbase < 0 || static_cast<std::size_t>(gbase) >= t.action.size()) return 1;
                to = t.action[static_cast<std::size_t>(gbase)];
            }
            if ((length & 1) != 0) {
                const std::span<const int> syms(values.data() + top + 1,
                                                static_cast<std::size_t>(symbols));
                if (io.action(act, syms, rule_value) == action_result::accept) return 0;
            }
            value = rule_value;
            state = to;
            break;  // push the goto state
        }
    }
}

// parser_io for the engine: a connection left empty does nothing.
struct function_io {
    const parser_io& io;
    bool trace = io.trace;
    std::FILE* trace_out = io.trace_out;

    int next_token() { return io.next_token ? io.next_token() : SPT_END_TOKEN; }
    int token_value() { return io.token_value ? io.token_value() : 0; }
    void shifted(int token) {
        if (io.shifted) io.shifted(token);
    }
    action_result action(int rule, std::span<const int> symbols, int& value) {
        return io.action ? io.action(rule, symbols, value) : action_result::go_on;
    }
};

}  // namespace

int run_parser(const parser_io& io, const SparserTables& t) {
    function_io adapter{io};
    const exception_index exceptions(t);
    return run_engine(adapter, t, exceptions);
}

// ---------------------------------------------------------------------------
// Evaluation state, definition errors, identifiers

namespace {

constexpr int kDriverSet = 2207;
constexpr int kDefinitionSet = 2209;

// Messages of set 2207.
enum : int {
    kMsgNoMemory = 2,
    kMsgHolidayLookup = 11,
    kMsgCalendarScan = 12,
    kMsgCalendarDates = 14,
    kMsgListOrdered = 16,
    kMsgHalfDependency = 17,
    kMsgDefinition = 23,
    kMsgNoCalendar = 30,
};

// Definition errors (set 2209).
enum : int {
    kErrTime = 1,
    kErrLimit = 2,
    kErrNeeds = 3,
    kErrPriority = 4,
    kErrDate = 26,
    kErrOnClause = 35,
    kErrNoSchedule = 36,
    kErrName = 38,
    kErrLimitOrTime = 39,
    kErrElement = 41,
    kErrOffsetNumber = 42,
    kErrKeyword = 43,
    kErrOffsetUnit = 44,
    kErrPrompt = 51,
    kErrNoEnd = 52,
    kErrOpensLength = 54,
    kErrOpensBase = 56,
    kErrNameLength = 200,
    kErrNameStart = 201,
    kErrNameChar = 202,
    kErrFollows = 208,
    kErrPromptRef = 210,
    kErrInOrder = 211,
};

constexpr int kMaxFollows = 40;
constexpr int kLimitMax = 999;
constexpr int kPriorityMax = 99;
constexpr int kPriorityHi = 100;
constexpr int kPriorityGo = 101;
constexpr int kNeedsMin = 1;
constexpr int kNeedsMax = 32;
constexpr std::size_t kOpensNameMax = 148;
constexpr std::size_t kOpensBaseMax = 28;
constexpr std::size_t kQualifierMax = 120;
constexpr std::size_t kPromptMax = 202;
constexpr int kPromptNameWidth = 8;
constexpr int kCalendarWidth = 8;
constexpr int kResourceWidth = 8;
constexpr int kUserWidth = 31;
constexpr int kDateBatch = 100;

schedule_error_hook g_error_hook = nullptr;
schedule_error_sink g_error_sink = nullptr;

void upper_in_place(std::string& s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

std::string upper(std::string_view s) {
    std::string out(s);
    upper_in_place(out);
    return out;
}

// A word in upper case, kept in place when short: look-ups of day words
// and units need no string of their own.
class upper_word {
  public:
    explicit upper_word(std::string_view s) {
        if (s.size() <= kInPlace) {
            for (std::size_t k = 0; k < s.size(); ++k)
                in_place_[k] = upper_char(s[k]);
            view_ = std::string_view(in_place_.data(), s.size());
        } else {
            long_ = upper(s);
            view_ = long_;
        }
    }
    upper_word(const upper_word&) = delete;
    upper_word& operator=(const upper_word&) = delete;
    std::string_view view() const { return view_; }

  private:
    static char upper_char(char c) {
        return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    static constexpr std::size_t kInPlace = 32;
    std::array<char, kInPlace> in_place_{};
    std::string long_;
    std::string_view view_;
};

// Empties an element's texts in place, keeping their room for the next.
void clear_element(date_element& e) {
    e.has_date = false;
    e.date = 0;
    e.day_word.clear();
    e.calendar.clear();
    e.offset_amount = 0;
    e.offset_unit.clear();
    e.request = false;
}

void clear_saved(saved_identifier& s) {
    s.text.clear();
    s.line.clear();
    s.line_number = 0;
    s.column = 0;
}

bool is_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The characters of names, as bits: every name, and the user mode's extras.
constexpr unsigned char kNameChar = 1, kUserNameChar = 2;
constexpr std::array<unsigned char, 256> kNameClass = [] {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 256; ++c) {
        const bool name = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '_' || c == '-';
        const bool user = c == '@' || c == '%' || c == '?';
        t[static_cast<std::size_t>(c)] = static_cast<unsigned char>(
            (name ? kNameChar | kUserNameChar : 0) | (user ? kUserNameChar : 0));
    }
    return t;
}();

bool is_name_char(char c, bool user_mode) {
    return (kNameClass[static_cast<unsigned char>(c)] & (user_mode ? kUserNameChar : kNameChar)) !=
           0;
}

// The text of a quoted string without its quotes.
std::string unquoted(std::string_view s) {
    if (!s.empty() && s.front() == '"') s.remove_prefix(1);
    if (!s.empty() && s.back() == '"') s.remove_suffix(1);
    return std::string(s);
}

// Fatal message with the database's error text.
void database_failure(sched_eval_state& st, int number) {
    if (st.deferred != nullptr) {
        st.spoiled = true;
        return;
    }
    std::string text;
    if (st.db != nullptr) db_error_text(st.db, &text);
    issue_msg(MSG_STDERR | MSG_FATAL, kDriverSet, number, {arg_str(text.c_str())});
}

// Enters the schedule being parsed in the selected-schedule list.
void enter_schedule(sched_eval_state& st, std::int32_t time_key, std::int32_t priority,
                    const char* dep_workstation = nullptr, const char* dep_schedule = nullptr) {
    if (st.deferred != nullptr) {
        try {
            deferred_entry& d = st.deferred->emplace_back();
            d.time_key = time_key;
            d.priority = priority;
            if (dep_workstation != nullptr || dep_schedule != nullptr) {
                // Entered later, where a missing name of the two is reported.
                if (dep_workstation == nullptr || dep_schedule == nullptr) st.spoiled = true;
                d.dependency = true;
                if (dep_workstation != nullptr) d.dependency_workstation = dep_workstation;
                if (dep_schedule != nullptr) d.dependency_schedule = dep_schedule;
            }
        } catch (const std::bad_alloc&) {
            st.spoiled = true;
        }
        return;
    }
    const int rc = add_selected(st.record_workstation, st.record_schedule, time_key, priority,
                                dep_workstation, dep_schedule);
    int number = 0;
    switch (rc) {
        case kSelectedOk:
            return;
        case kSelectedNoMemory:
            number = kMsgNoMemory;
            break;
        case kSelectedAlreadyOrdered:
            number = kMsgListOrdered;
            break;
        case kSelectedHalfDependency:
            number = kMsgHalfDependency;
            break;
        default:
            number = kMsgNoMemory;
            break;
    }
    issue_msg(MSG_STDERR | MSG_FATAL, kDriverSet, number);
}

// Everything that SCHEDULE starts afresh.
void reset_schedule_items(sched_eval_state& st) {
    st.job_section = false;
    st.sched_priority = 10;
    st.job_priority = 10;
    st.limit = 99;
    st.in_order = false;
    st.carryforward = false;
    st.at_days = false;
    st.until_days = false;
    st.at_time = 0;
    st.at_offset = 0;
    st.follows_count = 0;
    st.job_follows_count = 0;
    clear_saved(st.saved);
    clear_element(st.element);
    st.pair_workstation.clear();
    st.pair_schedule.clear();
    st.qualified_workstation.clear();
    st.last_name.clear();
    st.agent.clear();
    st.follow_pending = false;
    st.follow_workstation.clear();
    st.follow_schedule.clear();
    st.file_name.clear();
    st.qualifier.clear();
    st.prompt_text.clear();
}

}  // namespace

sched_eval_state& evaluation_state() {
    static sched_eval_state state;
    return state;
}

void reset_evaluation_state() {
    evaluation_state() = sched_eval_state{};
}

bool is_value_check_error(int number) {
    switch (number) {
        case 1:
        case 2:
        case 3:
        case 4:
        case 26:
        case 54:
        case 56:
        case 200:
        case 201:
        case 202:
        case 208:
        case 210:
        case 211:
            return true;
        default:
            return false;
    }
}

bool schedule_error(int number, MsgArgs args) {
    if (sched_eval_state& st = evaluation_state(); st.deferred != nullptr) {
        st.spoiled = true;
        return true;
    }
    char text[kFormatBufSize];
    std::int16_t length = 0;
    format_msg(text, &length, kDefinitionSet, number, args);
    if (g_error_sink != nullptr) return g_error_sink(number, text);
    issue_msg(MSG_STDERR, kDriverSet, kMsgDefinition);
    std::fwrite(text, 1, static_cast<std::size_t>(std::max<std::int16_t>(length, 0)), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    if (g_error_hook != nullptr) return g_error_hook(number);
    std::fflush(stdout);
    std::exit(2);
}

void set_schedule_error_hook(schedule_error_hook hook) {
    g_error_hook = hook;
}

void set_schedule_error_sink(schedule_error_sink sink) {
    g_error_sink = sink;
}

int check_identifier(std::string_view text, int width, bool user_mode) {
    if (width < 0 || text.size() > static_cast<std::size_t>(width)) return kErrNameLength;
    if (!user_mode && (text.empty() || !is_letter(text.front()))) return kErrNameStart;
    for (const char c : text)
        if (!is_name_char(c, user_mode)) return kErrNameChar;
    return 0;
}

int workstation_width(bool long_names) {
    return long_names ? DB_LONG_NAME : DB_SHORT_NAME;
}

int job_name_width(bool long_names) {
    return long_names ? 40 : DB_SHORT_NAME;
}

// ---------------------------------------------------------------------------
// Date-clause evaluation

namespace {

constexpr std::size_t kShortNameMax = 8;

// The word as one number, for words of 1 to 8 characters without a NUL
// (which could not be told from the padding); nothing for others.
std::optional<std::uint64_t> short_key(std::string_view word) {
    if (word.empty() || word.size() > kShortNameMax) return std::nullopt;
    std::uint64_t key = 0;
    for (std::size_t k = 0; k < kShortNameMax; ++k) {
        const unsigned char c = k < word.size() ? static_cast<unsigned char>(word[k]) : 0;
        if (k < word.size() && c == 0) return std::nullopt;
        key = (key << 8) | c;
    }
    return key;
}

}  // namespace

void run_date_name_list::assign(std::vector<std::string> names) {
    names_ = std::move(names);
    short_keys_.clear();
    has_long_ = false;
    for (const std::string& name : names_) {
        if (const auto key = short_key(name))
            short_keys_.push_back(*key);
        else
            has_long_ = true;
    }
    std::sort(short_keys_.begin(), short_keys_.end());
}

bool run_date_name_list::contains(std::string_view word) const {
    if (const auto key = short_key(word))
        return std::binary_search(short_keys_.begin(), short_keys_.end(), *key);
    return has_long_ && std::find(names_.begin(), names_.end(), word) != names_.end();
}

bool in_run_date_names(const sched_eval_state& st, std::string_view word) {
    return !word.empty() && st.run_date_names.contains(word);
}

bool check_calendar(sched_eval_state& st, std::string& calendar) {
    std::int16_t rc = DB_OK;
    const bool* known = nullptr;
    if (st.lookups != nullptr) {
        const auto it = st.lookups->exists.find(calendar);
        if (it != st.lookups->exists.end()) known = &it->second;
    }
    if (known != nullptr) {
        rc = *known ? DB_OK : DB_E_END;
    } else {
        int cursor = 0;
        calendar_info info;
        rc = read_next_calendar(st.db, calendar.c_str(), &cursor, &info);
        if (st.lookups != nullptr && (rc == DB_OK || rc == DB_E_END))
            st.lookups->exists.emplace(calendar, rc == DB_OK);
    }
    if (rc == DB_OK) return true;
    if (rc != DB_E_END) {
        // The calendar file cannot be read at all: not a missing calendar.
        database_failure(st, kMsgCalendarScan);
    } else if (st.deferred != nullptr) {
        st.spoiled = true;
    } else {
        issue_msg(MSG_STDERR, kDriverSet, kMsgNoCalendar,
                  {arg_str(st.sched_workstation.c_str()), arg_str(st.sched_name.c_str()),
                   arg_str(calendar.c_str())});
    }
    calendar.clear();
    return false;
}

namespace {

enum class step_kind { none, days, weekdays, workdays };

step_kind kind_of_unit(std::string_view unit) {
    if (unit.substr(0, 7) == "WEEKDAY") return step_kind::weekdays;
    if (unit.substr(0, 7) == "WORKDAY") return step_kind::workdays;
    if (unit.substr(0, 3) == "DAY") return step_kind::days;
    return step_kind::none;
}

// Whether a day counts as a step of the kind: every day, a weekday, or a
// weekday outside HOLIDAYS. A failed HOLIDAYS look-up is reported (fatal) and
// sets failed.
struct step_counter {
    sched_eval_state& st;
    step_kind kind;
    std::unordered_map<std::int64_t, bool>& holidays;
    bool failed = false;

    bool is_holiday(std::int64_t day) {
        auto it = holidays.find(day);
        if (it != holidays.end()) return it->second;
        const std::int16_t rc =
            find_calendar_date(st.db, "HOLIDAYS", daynum_to_time(static_cast<std::int32_t>(day)));
        if (rc != DB_OK && rc != DB_E_MISSING) {
            database_failure(st, kMsgHolidayLookup);
            failed = true;
            return false;
        }
        holidays.emplace(day, rc == DB_OK);
        return rc == DB_OK;
    }

    bool counts(std::int64_t day) {
        if (kind == step_kind::days) return true;
        const std::int64_t weekday = ((day % 7) + 7) % 7;  // 0 Monday .. 6 Sunday
        if (weekday >= 5) return false;
        return kind == step_kind::weekdays || !is_holiday(day);
    }
};

// The calendar's dates as sorted day numbers, read once per pass when the pass
// keeps look-ups. False after a read failure (reported, fatal).
const std::vector<std::int32_t>* calendar_days(sched_eval_state& st, const std::string& calendar,
                                               std::vector<std::int32_t>& scratch) {
    if (st.lookups != nullptr) {
        auto it = st.lookups->days.find(calendar);
        if (it != st.lookups->days.end()) return &it->second;
    }
    std::vector<std::int32_t> days;
    std::array<time_value, kDateBatch> dates{};
    time_value cursor = 0;
    std::int16_t rc = DB_OK;
    for (;;) {
        int count = kDateBatch;
        const time_value before = cursor;
        rc = read_calendar_dates(st.db, calendar.c_str(), &cursor, dates.data(), &count);
        if (rc != DB_OK) break;
        count = std::clamp(count, 0, kDateBatch);
        const std::size_t at = days.size();
        days.resize(at + static_cast<std::size_t>(count));
        times_to_daynums(dates.data(), days.data() + at, count);
        if (cursor <= before) {  // no progress: stop instead of reading forever
            rc = DB_E_END;
            break;
        }
    }
    if (rc != DB_E_END) {
        database_failure(st, kMsgCalendarDates);
        return nullptr;
    }
    std::sort(days.begin(), days.end());
    if (st.lookups != nullptr)
        return &st.lookups->days.emplace(calendar, std::move(days)).first->second;
    scratch = std::move(days);
    return &scratch;
}

// Whether one of the sorted days lies in [low, high].
bool any_day_within(const std::vector<std::int32_t>& days, std::int64_t low, std::int64_t high) {
    if (low > high) return false;
    const auto it = std::lower_bound(days.begin(), days.end(), low,
                                     [](std::int32_t d, std::int64_t v) { return d < v; });
    return it != days.end() && *it <= high;
}

}  // namespace

// A calendar date d reaches the run date R when, stepping from d one day at a
// time in the direction and counting the days that count, the last of the
// counted steps lands on R. Seen from R: with c(0) = R and c(k) the k-th
// counting day before R (after R when stepping backwards), exactly the dates
// from c(steps) up to the day before c(steps - 1) reach R. So the answer
// comes from walking the counted steps once from the run date and looking the
// range up in the calendar, whatever the number of calendar dates.
bool offset_date_matches(sched_eval_state& st, const std::string& calendar, std::string_view unit,
                         std::int64_t amount) {
    const upper_word upper_unit(unit);
    const std::string_view u = upper_unit.view();
    const step_kind kind = kind_of_unit(u);
    if (kind == step_kind::none) return false;
    // The run date itself must be a weekday, respectively a working day.
    if (kind == step_kind::weekdays && !in_run_date_names(st, "WEEKDAYS")) return false;
    if (kind == step_kind::workdays && !in_run_date_names(st, "WORKDAYS")) return false;

    std::vector<std::int32_t> scratch;
    const std::vector<std::int32_t>* found = calendar_days(st, calendar, scratch);
    if (found == nullptr || found->empty() || st.run_date == 0) return false;
    const std::vector<std::int32_t>& days = *found;

    const std::int64_t direction = amount < 0 ? -1 : 1;
    const std::int64_t steps = amount < 0 ? -amount : amount;
    const std::int64_t run_day = time_to_daynum(st.run_date);
    if (steps == 0) return std::binary_search(days.begin(), days.end(), run_day);
    if (kind == step_kind::days) {
        const std::int64_t origin = run_day - direction * steps;
        return any_day_within(days, origin, origin);
    }

    // Walk the counted steps back from the run date. A range that lies
    // wholly beyond the calendar's first (last) date cannot hold one of its
    // dates, so the walk ends there; a run of days that do not count is finite
    // because HOLIDAYS is.
    std::unordered_map<std::int64_t, bool> local_holidays;
    step_counter counter{st, kind, st.lookups != nullptr ? st.lookups->holidays : local_holidays};
    const std::int64_t edge = direction > 0 ? days.front() : days.back();
    std::int64_t previous = run_day;  // c(k - 1)
    std::int64_t current = run_day;   // c(k)
    for (std::int64_t k = 1; k <= steps; ++k) {
        previous = current;
        if ((edge - (previous - direction)) * direction > 0) return false;
        current = previous - direction;
        while (!counter.counts(current)) {
            if (counter.failed) return false;
            current -= direction;
        }
        if (counter.failed) return false;
    }
    return direction > 0 ? any_day_within(days, current, previous - 1)
                         : any_day_within(days, previous + 1, current);
}

bool on_element_matches(sched_eval_state& st) {
    date_element& e = st.element;
    if (st.run_date == 0 && !st.forced) return false;
    if (!e.calendar.empty()) {
        upper_in_place(e.calendar);
        check_calendar(st, e.calendar);
    }
    if (e.request) return false;  // selected only when forced
    if (e.has_date) return time_to_ymd8(e.date) == time_to_ymd8(st.run_date);
    if (!e.day_word.empty()) {
        const upper_word word(e.day_word);
        return word.view() == "EVERYDAY" || in_run_date_names(st, word.view());
    }
    if (!e.offset_unit.empty())
        return offset_date_matches(st, e.calendar, e.offset_unit, e.offset_amount);
    return in_run_date_names(st, e.calendar);
}

bool except_element_matches(sched_eval_state& st) {
    date_element& e = st.element;
    if (!e.calendar.empty()) {
        upper_in_place(e.calendar);
        check_calendar(st, e.calendar);
    }
    if (st.forced) return false;
    if (e.has_date) return st.run_date == e.date;
    if (!e.day_word.empty()) return in_run_date_names(st, upper_word(e.day_word).view());
    if (!e.offset_unit.empty())
        return offset_date_matches(st, e.calendar, e.offset_unit, e.offset_amount);
    return in_run_date_names(st, e.calendar);
}

std::int32_t at_time_key(int hhmm, std::int64_t days, int start_of_day) {
    const std::int64_t minutes = hhmm / 100 * 60 + hhmm % 100;
    const std::int64_t start = start_of_day / 100 * 60 + start_of_day % 100;
    std::int64_t key = (minutes + 1440 - start) % 1440;
    if (key < 0) key += 1440;
    key += days * 2400;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        key, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// ---------------------------------------------------------------------------
// Grammar actions

namespace {

// A definition error that ends the parse.
action_result fail(int number, MsgArgs args = {}) {
    schedule_error(number, args);
    return action_result::accept;
}

// A definition error found by a check; the parse goes on only when a test
// hook asks for it.
bool check_failed(int number, MsgArgs args = {}) {
    return schedule_error(number, args);
}

// Accepts the saved identifier as a name of the width: out receives it in
// upper case, value 0; an invalid name is a definition error (value -1).
action_result take_name(sched_eval_state& st, int width, std::string& out, int& value) {
    const int err = check_identifier(st.saved.text, width);
    value = err == 0 ? 0 : -1;
    if (err != 0) {
        const bool stop =
            err == kErrNameLength ? check_failed(err, {arg_int(width)}) : check_failed(err);
        if (stop) return action_result::accept;
    }
    out = st.saved.text;
    upper_in_place(out);
    return action_result::go_on;
}

// Checks the parameter references (^name^) of a prompt text.
action_result check_prompt_references(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '^') {
            ++i;  // a literal caret
            continue;
        }
        if (text[i] != '^') continue;
        const std::size_t close = text.find('^', i + 1);
        if (close == std::string::npos) break;
        const std::string_view name(text.data() + i + 1, close - i - 1);
        int err = 0;
        if (name.empty())
            err = kErrPromptRef;
        else
            err = check_identifier(name, kPromptNameWidth);
        if (err != 0) {
            const bool stop = err == kErrNameLength ? check_failed(err, {arg_int(kPromptNameWidth)})
                                                    : check_failed(err);
            if (stop) return action_result::accept;
        }
        i = close;
    }
    return action_result::go_on;
}

// Records an OPENS file name part.
void append_file_part(sched_eval_state& st, std::string_view part) {
    st.file_name.append(part);
}

action_result run_action(sched_eval_state& st, int rule, std::span<const int> sym, int& value) {
    auto symbol = [&](std::size_t i) { return i < sym.size() ? sym[i] : 0; };
    date_element& e = st.element;
    const int ws_width = workstation_width(st.long_names);

    switch (rule) {
        // ---- schedule and header
        case 3:  // sched_stmts : sched_stmts SCH_EOF
        case 4:  // sched_stmts : SCH_EOF
            return action_result::accept;
        case 5:  // after the schedule identity
            st.follows_count = 0;
            break;
        case 6:  // the ':' that ends the header
            st.job_section = true;
            break;
        case 8:  // schedstart : error
            return fail(kErrNoSchedule);
        case 9:  // schedstart : SCHEDULE
            reset_schedule_items(st);
            break;
        case 10:  // schedend : SCH_EOF
            return fail(kErrNoEnd);
        case 11:  // schedend : END
            enter_schedule(st, 0, kKeepPriority);
            break;
        case 12:  // schedid
            st.sched_workstation =
                st.pair_workstation.empty() ? upper(st.this_workstation) : st.pair_workstation;
            st.sched_name = st.pair_schedule;
            break;
        case 13:  // ext_stdid_w_hyphen : error
        case 15:  // stdid_w_hyphen : error . '#' save_id
            return fail(kErrName);
        case 14:  // ext_stdid_w_hyphen : save_id NETDELIM
            return take_name(st, ws_width, st.agent, value);
        case 17:  // workstation before '#'
            return take_name(st, ws_width, st.pair_workstation, value);
        case 18:  // workstation '#' schedule
            return take_name(st, ws_width, st.pair_schedule, value);
        case 19:  // schedule alone
            st.pair_workstation.clear();
            return take_name(st, ws_width, st.pair_schedule, value);

        // ---- date clauses
        case 20:  // on_date : error
            return fail(kErrOnClause);
        case 21:  // the ON clause is complete
            if (!st.selected) return action_result::accept;
            break;
        case 22:
        case 23:  // after each ON element
            if (on_element_matches(st)) st.selected = true;
            clear_element(e);
            clear_saved(st.saved);
            break;
        case 24:  // on_date_f : error
        case 33:  // except_date_f : error
            return fail(kErrElement);
        case 25:
        case 34: {  // DATE
            clear_element(e);
            time_value date = 0;
            if (parse_date(st.token_text.c_str(), &date, get_date_format()) == 0 &&
                check_failed(kErrDate))
                return action_result::accept;
            e.has_date = true;
            e.date = date;
            break;
        }
        case 26:
        case 35: {  // a day word
            clear_element(e);
            e.day_word = st.token_text;
            break;
        }
        case 27:
        case 36:  // calendar offset_expr: the calendar and offset are recorded
            e.has_date = false;
            e.date = 0;
            e.day_word.clear();
            e.request = false;
            break;
        case 28:  // REQUEST
            clear_element(e);
            e.request = true;
            break;
        case 30:  // the EXCEPT clause is complete
            enter_schedule(st, 0, kKeepPriority);
            break;
        case 31:
        case 32:  // after each EXCEPT element
            if (except_element_matches(st)) return action_result::accept;
            clear_element(e);
            break;
        case 43: {  // calendar : save_id
            e.offset_amount = 0;
            e.offset_unit.clear();
            return take_name(st, kCalendarWidth, e.calendar, value);
        }
        case 44:  // save_id : ID
            st.saved.text = st.token_text;
            // The token's line is written afresh at the next ID shifted,
            // before anything reads it again: the texts change places.
            st.saved.line.swap(st.token_line);
            st.saved.line_number = st.token_line_number;
            st.saved.column = st.token_column;
            break;

        // ---- identifiers
        case 45:
        case 50:
        case 55:  // error before '#'
        case 60:
        case 62:
        case 64:
        case 66:  // stdidN : error
            return fail(kErrName);
        case 47:
        case 52:
        case 57:  // workstation before '#'
            return take_name(st, ws_width, st.qualified_workstation, value);
        case 49:
        case 54:
        case 59:  // a name without workstation
            st.qualified_workstation.clear();
            break;
        case 61:
            return take_name(st, kResourceWidth, st.last_name, value);
        case 63:
            return take_name(st, ws_width, st.last_name, value);
        case 65:
            return take_name(st, kUserWidth, st.last_name, value);
        case 67:
            return take_name(st, job_name_width(st.long_names), st.last_name, value);

        // ---- offsets
        case 69:  // plus_minus error
            return fail(kErrOffsetNumber);
        case 70:  // plus_minus NUMBER time_unit
            e.offset_amount = static_cast<std::int64_t>(symbol(0)) * symbol(1);
            e.offset_unit = st.token_text;
            break;
        case 71:
            value = 1;
            break;
        case 72:
            value = -1;
            break;
        case 73:  // time_unit : error
            return fail(kErrOffsetUnit);

        // ---- schedule keywords
        case 84:  // sched_keyword : error
            return fail(kErrKeyword);
        case 86:  // CARRYFORWARD
            if (st.in_order && check_failed(kErrInOrder)) return action_result::accept;
            st.carryforward = true;
            break;
        case 88:  // IN ORDER
            st.in_order = true;
            break;
        case 89:  // LIMIT job_limit
            if (st.in_order && check_failed(kErrInOrder)) return action_result::accept;
            break;
        case 90:
        case 91: {  // one FOLLOWS element is complete
            if (++st.follows_count > kMaxFollows && check_failed(kErrFollows))
                return action_result::accept;
            if (st.follow_pending && !st.job_section)
                enter_schedule(st, 0, kKeepPriority, st.follow_workstation.c_str(),
                               st.follow_schedule.c_str());
            st.follow_pending = false;
            break;
        }
        case 92:  // a schedule of this network
            st.follow_pending = true;
            st.follow_workstation =
                st.pair_workstation.empty() ? st.sched_workstation : st.pair_workstation;
            st.follow_schedule = st.pair_schedule;
            break;
        case 96:  // a schedule behind a network agent
            st.follow_pending = true;
            st.follow_workstation = st.pair_workstation.empty() ? st.agent : st.pair_workstation;
            st.follow_schedule = st.pair_schedule;
            break;
        case 101:  // a quoted network dependency names no schedule here
            st.follow_pending = false;
            break;
        case 104:  // job_limit : error
            return fail(kErrLimitOrTime);
        case 105:  // job_limit : NUMBER
            if (symbol(0) > kLimitMax && check_failed(kErrLimit)) return action_result::accept;
            st.limit = symbol(0);
            break;

        // ---- jobs: only the first job's name is read
        case 110:
            st.last_name = upper(st.last_name);
            if (st.qualified_workstation.empty()) st.qualified_workstation = st.sched_workstation;
            enter_schedule(st, 0, kKeepPriority);
            return action_result::accept;

        // ---- file names (OPENS)
        case 132:  // posix_filename : error
        case 142:  // mpe_filename : error
            return fail(kErrKeyword);
        case 134:  // FILENAME
            st.file_name = st.token_text;
            break;
        case 136:  // QUOTED_STRING
            st.file_name = unquoted(st.token_text);
            break;
        case 140:
        case 141:  // '.' piece
            append_file_part(st, ".");
            append_file_part(st, st.token_text);
            break;
        case 143:
            st.file_name = st.last_name + ".";
            break;
        case 144:
            append_file_part(st, st.last_name);
            append_file_part(st, ".");
            break;
        case 145:
            append_file_part(st, st.last_name);
            break;

        // ---- keywords common to schedules and jobs
        case 240:  // AT ck_at
            if (!st.job_section)
                enter_schedule(st, at_time_key(st.at_time, st.at_offset, st.start_of_day),
                               kKeepPriority);
            break;
        case 244: {  // PRIORITY ck_priority
            const int priority = symbol(2);
            if (st.job_section) {
                st.job_priority = priority;
            } else {
                st.sched_priority = priority;
                enter_schedule(st, 0, priority);
            }
            break;
        }
        case 249:  // num_resource resource
            if ((symbol(0) < kNeedsMin || symbol(0) > kNeedsMax) && check_failed(kErrNeeds))
                return action_result::accept;
            break;
        case 250:  // no count: one
            value = 1;
            break;
        case 256:  // workstation of an OPENS file
            return take_name(st, ws_width, st.qualified_workstation, value);
        case 258: {  // ck_of : filename
            if (st.file_name.size() > kOpensNameMax &&
                check_failed(kErrOpensLength, {arg_int(static_cast<std::int32_t>(kOpensNameMax))}))
                return action_result::accept;
            const std::size_t cut = st.file_name.find_last_of("/\\");
            const std::size_t base =
                cut == std::string::npos ? st.file_name.size() : st.file_name.size() - cut - 1;
            if (base > kOpensBaseMax &&
                check_failed(kErrOpensBase, {arg_int(static_cast<std::int32_t>(kOpensBaseMax))}))
                return action_result::accept;
            break;
        }
        case 260:  // QUALIFIER
            st.qualifier = st.token_text.substr(0, kQualifierMax);
            break;
        case 261:  // ck_at : time offset
            if (!st.job_section) {
                st.at_time = symbol(0);
                st.at_offset = symbol(1);
                st.at_days = symbol(1) != 0;
            }
            break;
        case 262:  // time : error
            return fail(kErrLimitOrTime);
        case 263: {  // time : NUMBER
            const int hhmm = symbol(0);
            if ((hhmm % 100 > 59 || hhmm / 100 > 23) && check_failed(kErrTime))
                return action_result::accept;
            break;
        }
        case 264:  // no offset
            value = 0;
            break;
        case 265:  // '+' NUMBER offset_unit
            value = symbol(1);
            break;
        case 266:  // offset_unit : error
            return fail(kErrOffsetNumber);
        case 269:  // ck_until : time offset
            if (!st.job_section) st.until_days = symbol(1) != 0;
            break;
        case 270:  // ck_priority : error
            return fail(kErrKeyword);
        case 271:  // ck_priority : NUMBER
            if (symbol(0) > kPriorityMax && check_failed(kErrPriority))
                return action_result::accept;
            break;
        case 272:
            value = kPriorityHi;
            break;
        case 273:
            value = kPriorityGo;
            break;
        case 277:
        case 278:  // a complete prompt text
            return check_prompt_references(st.prompt_text);
        case 279:  // ck_p_txt : error
            return fail(kErrPrompt);
        case 280:  // QUOTED_STRING
            st.prompt_text = unquoted(st.token_text).substr(0, kPromptMax);
            break;
        case 281:  // ck_p_txt QUOTED_STRING
            st.prompt_text += unquoted(st.token_text);
            if (st.prompt_text.size() > kPromptMax) st.prompt_text.resize(kPromptMax);
            break;
        default:
            break;
    }
    return action_result::go_on;
}

}  // namespace

action_result schedule_action(int rule, std::span<const int> symbols, int& value) {
    return run_action(evaluation_state(), rule, symbols, value);
}

int parse_schedule(scan_input& input, bool long_names) {
    sched_eval_state& st = evaluation_state();
    st.long_names = long_names;
    reset_schedule_items(st);
    st.token_text.clear();
    st.token_line.clear();
    st.token_line_number = 0;
    st.token_column = 0;

    scanner& sc = schedule_scanner();
    reset_scanner(sc, &input);

    // The engine's connections, called directly.
    struct schedule_io {
        scanner& sc;
        sched_eval_state& st;
        bool trace;
        std::FILE* trace_out;

        int next_token() { return ::next_token(sc); }
        int token_value() const { return sc.token_value; }
        void shifted(int token) {
            // The scanner writes its next token's text afresh and reads
            // nothing of this one's any more: the two texts change places
            // instead of being copied.
            st.token_text.swap(sc.token_text);
            if (token == ID) {
                st.token_line = sc.line_text;
                st.token_line_number = sc.line_number;
                st.token_column = sc.column;
            }
        }
        action_result action(int rule, std::span<const int> symbols, int& value) {
            return run_action(st, rule, symbols, value);
        }
    } io{sc, st, st.trace, st.trace_out};
    static const exception_index exceptions(sparser_tables);
    const int rc = run_engine(io, sparser_tables, exceptions);
    sc.input = nullptr;  // the caller's source need not outlive the parse
    return rc;
}
