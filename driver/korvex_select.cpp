// The selection pass over the schedule records, the run date's name list and
// the scanner's input from the stored schedule text.
#include "driver/korvex_select.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>

#include "driver/korvex_list.h"
#include "driver/korvex_write.h"
#include "driver/sparser.h"
#include "utils/libs/dateutil.h"
#include "utils/libs/dbaccs.h"
#include "utils/libs/issuemsg.h"
#include "utils/libs/voropts.h"

namespace {

constexpr int kDriverSet = 2207;
constexpr int kMsgNoMemory = 2;
constexpr int kMsgPassFailed = 10;
constexpr int kMsgCalendarMember = 11;
constexpr int kMsgCalendarScan = 12;
constexpr int kMsgLineRead = 13;
constexpr int kMsgLockSchedules = 15;
constexpr int kMsgListOrdered = 16;
constexpr int kMsgHalfDependency = 17;
constexpr int kMsgLockCalendars = 29;

constexpr int kFatal = MSG_STDERR | MSG_FATAL;

constexpr std::array<const char*, 7> kDayNames = {"MO", "TU", "WE", "TH", "FR", "SA", "SU"};
constexpr int kFriday = 4;

// A fatal message with the database's error text as its argument. Returns 1
// for the callers, should a test's exit hook let the message return.
int database_fatal(const db_handle* db, int number) {
    std::string text;
    db_error_text(db, &text);
    issue_msg(kFatal, kDriverSet, number, {arg_str(text.c_str())});
    return 1;
}

// The fatal message for a selected-list entry that could not be made.
// Returns 1 for the callers, should a test's exit hook let the message return.
int list_failure(int added) {
    const int number = added == kSelectedAlreadyOrdered   ? kMsgListOrdered
                       : added == kSelectedHalfDependency ? kMsgHalfDependency
                                                          : kMsgNoMemory;
    issue_msg(kFatal, kDriverSet, number);
    return 1;
}

// The database's error text as a message of its own on standard error.
void database_warning(const db_handle* db) {
    std::string text;
    db_error_text(db, &text);
    if (!text.empty()) issue_text(MSG_STDERR, text.data());
}

void add_name(run_context& ctx, std::string name) {
    ctx.run_date_names.insert(ctx.run_date_names.begin(), std::move(name));
}

// The forced list as a set, so that each record costs one look-up however
// long the list is.
class forced_set {
  public:
    explicit forced_set(const run_context& ctx) {
        for (const forced_schedule& f : ctx.forced)
            keys_.insert(key(f.workstation, f.schedule));
    }
    bool contains(const std::string& workstation, const std::string& schedule) const {
        return !keys_.empty() && keys_.count(key(workstation, schedule)) != 0;
    }

  private:
    static std::string key(const std::string& workstation, const std::string& schedule) {
        std::string k = workstation;
        k += '\0';
        k += schedule;
        return k;
    }
    std::unordered_set<std::string> keys_;
};

// The update locks of the pass. Released quietly when the pass ends early;
// the normal end releases them through release().
class pass_locks {
  public:
    explicit pass_locks(db_handle* db) : db_(db) {}
    pass_locks(const pass_locks&) = delete;
    pass_locks& operator=(const pass_locks&) = delete;
    ~pass_locks() {
        if (schedules_) db_unlock_schedules(db_);
        if (calendars_) db_unlock_calendars(db_);
    }

    bool lock_schedules() { return schedules_ = db_lock_schedules(db_) == DB_OK; }
    bool lock_calendars() { return calendars_ = db_lock_calendars(db_) == DB_OK; }

    // Releases both locks, each tried whatever became of the other; a failure
    // is reported but not fatal.
    void release() {
        if (std::exchange(schedules_, false) && db_unlock_schedules(db_) != DB_OK)
            database_warning(db_);
        if (std::exchange(calendars_, false) && db_unlock_calendars(db_) != DB_OK)
            database_warning(db_);
    }

  private:
    db_handle* db_;
    bool schedules_ = false;
    bool calendars_ = false;
};

// Every calendar the run date's scan saw exists. A schedule's calendar name
// is looked up as a name pattern; only names made of letters, digits, '_'
// and '-' are taken here: as a pattern such a name finds just itself.
void remember_calendars(calendar_lookups& lookups, const std::vector<std::string>& calendars) {
    const auto plain = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    };
    for (const std::string& name : calendars)
        if (!name.empty() && std::all_of(name.begin(), name.end(), plain))
            lookups.exists.emplace(name, true);
}

// The scanner's input from a schedule met by the file-order pass: as
// schedule_text_input, except that a read failure is not reported here but
// only remembered (the pass is then made again in key order, which reports it).
class scanned_text_input : public scan_input {
  public:
    explicit scanned_text_input(db_schedule_lines& lines) : lines_(lines) {}
    bool next_line(std::string& line) override {
        line.clear();
        return append_line(line, line);
    }
    bool append_line(std::string& text, std::string& /*scratch*/) override {
        if (done_) return false;
        const std::size_t before = text.size();
        bool open = false;  // pieces of a long line are waiting for its end
        for (;;) {
            bool continued = false;
            const std::int16_t rc = lines_.append(&text, &continued);
            if (rc == DB_E_END) {
                done_ = true;
                return open;
            }
            if (rc != DB_OK) {
                done_ = true;
                failed_ = true;
                text.resize(before);
                return false;
            }
            if (!continued) return true;
            open = true;
        }
    }
    bool failed() const { return failed_; }

  private:
    db_schedule_lines& lines_;
    bool done_ = false;
    bool failed_ = false;
};

// The pass over the schedule records in the order the file holds them, for a
// large file far fewer reads than visiting them in key order. The list
// entries each record makes are collected and entered afterwards, record by
// record in key order, so the list is made exactly as a pass in key order
// makes it. Anything such a pass would report (a definition error, a missing
// calendar, a failure) spoils this one, and the caller makes the pass in key
// order instead.
class file_order_pass final : public db_schedule_scan_visitor {
  public:
    file_order_pass(const run_context& ctx, sched_eval_state& st, const forced_set& forced)
        : ctx_(ctx), st_(st), forced_(forced) {}

    bool schedule(std::size_t rank, const sched_header& header, db_schedule_lines& lines) override {
        const int width = ctx_.long_names ? DB_LONG_NAME : DB_SHORT_NAME;
        st_.record_workstation = field_to_str(header.workstation.data(), width);
        st_.record_schedule = field_to_str(header.schedule.data(), width);
        const bool forced = forced_.contains(st_.record_workstation, st_.record_schedule);
        st_.selected = forced;
        st_.forced = forced;
        const std::size_t first = entries_.size();
        try {
            if (forced) entries_.push_back({0, kKeepPriority, false, {}, {}});
        } catch (const std::bad_alloc&) {
            return false;
        }
        scanned_text_input text(lines);
        if (parse_schedule(text, ctx_.long_names) != 0 || text.failed() || st_.spoiled)
            return false;
        if (entries_.size() > first) {
            try {
                records_.push_back({rank, first, entries_.size() - first, st_.record_workstation,
                                    st_.record_schedule});
            } catch (const std::bad_alloc&) {
                return false;
            }
        }
        return true;
    }

    std::vector<deferred_entry>& entries() { return entries_; }

    // Enters the collected entries, in key order of their records. Returns
    // 0, or 1 after a fatal message that a test's exit hook let return.
    int enter_all() {
        std::sort(records_.begin(), records_.end(),
                  [](const record& a, const record& b) { return a.rank < b.rank; });
        for (const record& r : records_) {
            for (std::size_t i = r.first; i < r.first + r.count; ++i) {
                const deferred_entry& d = entries_[i];
                const int added =
                    d.dependency ? add_selected(r.workstation, r.schedule, d.time_key, d.priority,
                                                d.dependency_workstation.c_str(),
                                                d.dependency_schedule.c_str())
                                 : add_selected(r.workstation, r.schedule, d.time_key, d.priority);
                if (added != kSelectedOk) return list_failure(added);
            }
        }
        return 0;
    }

  private:
    struct record {
        std::size_t rank;
        std::size_t first;  // its entries in entries_
        std::size_t count;
        std::string workstation;
        std::string schedule;
    };
    const run_context& ctx_;
    sched_eval_state& st_;
    const forced_set& forced_;
    std::vector<deferred_entry> entries_;
    std::vector<record> records_;
};

// Runs the file-order pass: true when it stands (its entries entered, or a
// fatal message given: *result says which), false when the pass in key
// order must be made instead.
bool run_file_order_pass(const run_context& ctx, sched_eval_state& st, const forced_set& forced,
                         int* result) {
    file_order_pass pass(ctx, st, forced);
    st.deferred = &pass.entries();
    st.spoiled = false;
    std::size_t count = 0;
    const std::int16_t scanned = db_scan_schedules(ctx.database, "@", "@", pass, &count);
    const bool whole = scanned == DB_OK && !st.spoiled;
    st.deferred = nullptr;
    st.spoiled = false;
    if (!whole) return false;
    *result = pass.enter_all();
    return true;
}

}  // namespace

bool schedule_text_input::next_line(std::string& line) {
    line.clear();
    return append_line(line, line);
}

bool schedule_text_input::append_line(std::string& text, std::string& /*scratch*/) {
    if (done_) return false;
    const std::size_t before = text.size();
    bool open = false;  // pieces of a long line are waiting for its end
    for (;;) {
        // Each stored line goes straight onto text (a continued piece
        // without its backslash).
        bool continued = false;
        const std::int16_t rc = append_schedule_line(db_, workstation_.c_str(), schedule_.c_str(),
                                                     &text, &continued, &cursor_);
        if (rc == DB_E_END) {
            done_ = true;
            // A long line whose last piece is missing still ends here.
            return open;
        }
        if (rc != DB_OK) {
            done_ = true;
            text.resize(before);
            database_fatal(db_, kMsgLineRead);
            return false;
        }
        if (!continued) return true;
        open = true;
    }
}

int build_run_date_names(run_context& ctx, std::vector<std::string>* calendars) {
    db_handle* db = ctx.database;

    int cursor = 0;
    calendar_info cal;
    std::int16_t rc = DB_OK;
    while ((rc = read_next_calendar(db, "@", &cursor, &cal)) == DB_OK) {
        std::string name = field_to_str(cal.name.data(), DB_CALENDAR_NAME);
        if (calendars != nullptr) calendars->push_back(name);
        const std::int16_t in = find_calendar_date(db, name.c_str(), ctx.run_date);
        if (in == DB_OK) {
            add_name(ctx, std::move(name));
        } else if (in != DB_E_MISSING) {
            return database_fatal(db, kMsgCalendarMember);
        }
    }
    if (rc != DB_E_END) return database_fatal(db, kMsgCalendarScan);

    const int day = ((time_to_daynum(ctx.run_date) % 7) + 7) % 7;
    if (day <= kFriday) {
        add_name(ctx, "WEEKDAYS");
        const std::int16_t holiday = find_calendar_date(db, "HOLIDAYS", ctx.run_date);
        if (holiday == DB_E_MISSING) {
            add_name(ctx, "WORKDAYS");
        } else if (holiday != DB_OK) {
            return database_fatal(db, kMsgCalendarMember);
        }
    }
    add_name(ctx, kDayNames[static_cast<std::size_t>(day)]);
    return 0;
}

int selection_pass(run_context& ctx) {
    db_handle* db = ctx.database;

    // The calendar scan for the run date's names and the pass itself see one
    // state of the database: both run under the update locks, so that a
    // change made meanwhile by another program is seen entirely or not at
    // all. The schedule files are locked before the calendar file, and
    // programs that change the database hold one of the two at a time.
    pass_locks locks(db);
    // The pass converts many dates and changes no environment.
    const time_zone_hold zone_hold;
    if (!locks.lock_schedules()) return database_fatal(db, kMsgLockSchedules);
    if (!locks.lock_calendars()) return database_fatal(db, kMsgLockCalendars);
    // Answers from the calendar file hold while the lock is held.
    calendar_lookups lookups;
    if (ctx.run_date != 0 && ctx.run_date_names.empty()) {
        std::vector<std::string> calendars;
        if (build_run_date_names(ctx, &calendars) != 0) return 1;
        remember_calendars(lookups, calendars);
    }

    sched_eval_state& st = evaluation_state();
    st.db = db;
    st.run_date = ctx.run_date;
    st.run_date_names = ctx.run_date_names;
    st.this_workstation = ctx.this_workstation;
    st.trace = ctx.parser_trace;
    set_scanner_echo(schedule_scanner(), ctx.line_echo);
    st.lookups = &lookups;
    struct lookups_off {
        sched_eval_state& st;
        ~lookups_off() { st.lookups = nullptr; }
    } off{st};

    std::int16_t start = 0;
    const OptionRequest requests[] = {{OPT_START, &start}};
    get_options(requests);
    st.start_of_day = start;

    const forced_set forced_list(ctx);
    // The records are visited in the order the file holds them when nothing
    // shows in the parser's trace or the line echo.
    int scanned = 0;
    if (!ctx.parser_trace && !ctx.line_echo &&
        run_file_order_pass(ctx, st, forced_list, &scanned)) {
        if (scanned != 0) return 1;
        if (write_production_schedule(ctx) != 0) return 1;
        locks.release();
        return 0;
    }

    const int width = ctx.long_names ? DB_LONG_NAME : DB_SHORT_NAME;
    int cursor = 0;
    sched_header header;
    std::int16_t rc = DB_OK;
    while ((rc = read_next_schedule(db, "@", "@", &cursor, &header)) == DB_OK) {
        st.record_workstation = field_to_str(header.workstation.data(), width);
        st.record_schedule = field_to_str(header.schedule.data(), width);

        const bool forced = forced_list.contains(st.record_workstation, st.record_schedule);
        st.selected = forced;
        st.forced = forced;
        if (forced) {
            const int added =
                add_selected(st.record_workstation, st.record_schedule, 0, kKeepPriority);
            if (added != kSelectedOk) return list_failure(added);
        }

        schedule_text_input text(db, st.record_workstation, st.record_schedule);
        if (parse_schedule(text, ctx.long_names) != 0) break;
    }
    // Also reached when the parser gave up: the last read result is then 0.
    if (rc != DB_E_END) return database_fatal(db, kMsgPassFailed);

    if (write_production_schedule(ctx) != 0) return 1;
    locks.release();
    return 0;
}
