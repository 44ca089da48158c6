// mastdb: the administrators' tool for the master database. See mastdb.h.
#include "tools/mastdb/mastdb.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string_view>
#include <utility>

#include "platform/fileio.h"
#include "tools/mastdb/mastdb_input.h"
#include "utils/libs/dbaccs.h"
#include "utils/libs/isamcheck.h"
#include "utils/libs/issuemsg.h"
#include "utils/libs/stdutil.h"
#include "utils/libs/thiscpu.h"
#include "utils/libs/utlopts.h"

namespace {

constexpr int kDbMsgSet = 2076;
// Faults of the input files shown before the rest are only counted.
constexpr std::size_t kFaultsShown = 50;
// Dates read from a calendar in one call.
constexpr int kDateBatch = 64;
// Dates on one line of show-calendar.
constexpr std::size_t kDatesPerLine = 6;

constexpr const char kHelp[] =
    R"(mastdb: the administrators' tool for the master database.

  mastdb create [-long]
      Lays out a new, empty master database in the database directory: the
      schedule file "mastsked", the schedule job list file "job.sched" and
      the calendar file "calendars", each with its index file. With -long,
      workstation and schedule names have 16 characters instead of 8. Runs on
      the master workstation only and never touches existing files.

  mastdb add-schedules FILE...
      Stores the schedule definitions of the files ("-" reads standard
      input), each replacing a stored schedule of the same name. A definition
      runs from a line whose first word is SCHEDULE to the next line whose
      first word is END; the comment lines just before its SCHEDULE line are
      stored with it. The SCHEDULE line names the schedule WS#NAME, or NAME
      for a schedule of this workstation, and is stored as "SCHEDULE WS#NAME"
      followed by the rest of the line; blanks at the ends of lines are not
      kept. All files are read and checked before anything is stored: with
      one fault anywhere, nothing is stored.
  mastdb show-schedule WS#NAME [FILE]
      Writes the schedule's text to standard output, or to FILE.
  mastdb list-schedules [WSPATTERN#NAMEPATTERN]
      Lists the schedules whose names match, in key order (workstation, then
      schedule). Without "#" the pattern is for schedule names on every
      workstation. In patterns @ matches any run of characters, ? one
      character, % and $ a digit (and # in the schedule part), ~ a letter.
  mastdb delete-schedule WS#NAME
      Deletes a schedule and its text.

  mastdb add-calendars FILE...
      Stores the calendars of the files ("-" reads standard input); each
      replaces the stored calendar of its name, description and dates. All
      files are read and checked before anything is stored.
  mastdb list-calendars [PATTERN]
      Lists the calendars whose names match: name, number of dates and
      description, in name order.
  mastdb show-calendar NAME
      Writes the calendar in the form add-calendars reads.
  mastdb delete-calendar NAME
      Deletes a calendar and its dates.
  mastdb add-dates NAME DATE...
      Adds dates to a calendar; a date it holds already is kept once.
  mastdb delete-dates NAME DATE...
      Deletes dates from a calendar; when one of them is not in the calendar,
      none is deleted.

  mastdb check
      Checks the structure of every file of the master database that exists
      (header, records, detail chains, index) and reports each fault.
  mastdb rebuild [FILE]
      Rewrites the database file FILE (mastsked, jobs, job.sched, resources,
      prompts, parameters or calendars), or every one that exists, without
      its deleted records, and builds its index again.
  mastdb help
      Shows this text.

Calendar files:
  # A word beginning with # or * starts a comment that runs to the end of
  # the line.
  HOLIDAYS "Public holidays"
      2024/01/01 2024/05/01
      2024/12/25 2024/12/26
  PAYDAYS 2024/01/31 2024/02/29
A line whose first word begins with a letter starts a calendar: its name (1
to 8 letters, digits, _ or -), optionally its description in double quotes
(at most 64 characters), optionally dates. A line whose first word begins
with a digit holds more dates of the calendar above it. Dates are separated
by blanks and written in the site's date order, here @ORDER@, with two or
four digits for the year, or as yyyymmdd. show-calendar writes this form.

Names of schedules, workstations and calendars are upper-cased. mastdb
waits for the update locks of the files it reads or changes, so it can be
used while schedules are selected. Exit status: 0 success, 1 failure.
)";

// ---- output -------------------------------------------------------------------

void note(const std::string& text) {
    std::fflush(stdout);
    std::fprintf(stderr, "mastdb: %s\n", text.c_str());
}

int usage(const std::string& why) {
    note(why + "; \"mastdb help\" lists the commands");
    return MASTDB_FAILED;
}

void issue_text_of(std::string text) {
    if (text.empty()) return;
    issue_text(MSG_STDERR, text.data(), static_cast<int>(text.size()));
}

// The database's text for its last failure, as a numbered message.
void issue_db(const db_handle* h) {
    std::string text;
    db_error_text(h, &text);
    issue_text_of(std::move(text));
}

// The keyed file layer's text for its last failure.
void issue_keyed(const isam_handle* f) {
    std::string text;
    isam_error_text(f, &text);
    issue_text_of(std::move(text));
}

// A database message without a handle (set 2076).
void issue_db_message(int number) {
    char buf[kFormatBufSize];
    std::int16_t len = 0;
    format_msg(buf, &len, kDbMsgSet, number);
    issue_text(MSG_STDERR, buf, len > 0 ? len : 0);
}

void report_faults(const std::vector<input_fault>& faults) {
    for (std::size_t i = 0; i < faults.size() && i < kFaultsShown; ++i)
        note(fault_text(faults[i]));
    if (faults.size() > kFaultsShown)
        note(std::to_string(faults.size() - kFaultsShown) + " more faults are not shown");
}

std::string plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// ---- files and options ------------------------------------------------------------

bool regular_file_exists(const std::string& path) {
    plat::FileStatus st;
    return plat::FH_stat_file(path.c_str(), &st) == 0 && st.is_regular;
}

// "localopts" names this workstation, the master and the database
// directory. Without it the database files would be looked for relative to
// the working directory, so every command that touches the database
// refuses to run.
bool check_local_options() {
    const std::string path = make_abs_path(std::string("localopts"));
    plat::FileStatus st;
    if (plat::FH_stat_file(path.c_str(), &st) != 0) {
        note("the options file " + path + " cannot be read: " + std::strerror(errno));
        return false;
    }
    if (!st.is_regular) {
        note("the options file " + path + " is not a regular file");
        return false;
    }
    if (plat::FH_access_file(path.c_str(), 4) != 0) {
        note("the options file " + path + " cannot be read: " + std::strerror(errno));
        return false;
    }
    return true;
}

// ---- the database -------------------------------------------------------------------

struct Database {
    db_ptr h;
    std::size_t name_width = DB_SHORT_NAME;  // of the schedule file

    isam_handle* file(int number) const { return h->files[static_cast<std::size_t>(number)].get(); }
};

// Opens the database handle; with need >= 0 that file must exist and is
// opened.
bool open_database(int need, Database* db) {
    std::string msg;
    if (db_open(&db->h, DB_OPEN_PRIVATE, &msg, 0) != DB_OK) {
        issue_text_of(msg);
        return false;
    }
    if (need < 0) return true;
    const std::string path = db_file_path(need);
    if (!regular_file_exists(path)) {
        note(path + " does not exist; \"mastdb create\" lays out a new master database");
        return false;
    }
    if (db_open_file(db->h.get(), need) != DB_OK) {
        note("cannot open " + path);
        issue_db(db->h.get());
        return false;
    }
    if (need == DB_FILE_SCHEDULES)
        db->name_width = isam_format(db->file(need)) != 0 ? DB_LONG_NAME : DB_SHORT_NAME;
    return true;
}

// The update locks of the schedule files or of the calendar file, released
// when the object goes.
class UpdateLock {
  public:
    UpdateLock(db_handle* h, bool schedules) : h_(h), schedules_(schedules) {}
    UpdateLock(const UpdateLock&) = delete;
    UpdateLock& operator=(const UpdateLock&) = delete;
    ~UpdateLock() { unlock(); }

    // Waits until the locks can be had.
    bool lock() {
        const std::int16_t rc = schedules_ ? db_lock_schedules(h_) : db_lock_calendars(h_);
        if (rc != DB_OK) {
            note(schedules_ ? "cannot lock the schedule files" : "cannot lock the calendar file");
            issue_db(h_);
            return false;
        }
        held_ = true;
        return true;
    }

    bool unlock() {
        if (!held_) return true;
        held_ = false;
        const std::int16_t rc = schedules_ ? db_unlock_schedules(h_) : db_unlock_calendars(h_);
        if (rc != DB_OK) {
            note(schedules_ ? "cannot unlock the schedule files"
                            : "cannot unlock the calendar file");
            issue_db(h_);
            return false;
        }
        return true;
    }

  private:
    db_handle* h_;
    bool schedules_;
    bool held_ = false;
};

// ---- create -------------------------------------------------------------------------

int cmd_create(const std::vector<std::string>& args) {
    bool long_names = false;
    for (const std::string& a : args) {
        if (a == "-long")
            long_names = true;
        else
            return usage("create takes only -long, not \"" + a + "\"");
    }
    static constexpr int kFiles[] = {DB_FILE_SCHEDULES, DB_FILE_SCHED_JOBS, DB_FILE_CALENDARS};
    bool exists = false;
    for (int f : kFiles) {
        const std::string path = db_file_path(f);
        if (regular_file_exists(path)) {
            note(path + " exists already");
            exists = true;
        }
    }
    if (exists) {
        note("create lays out a new master database only; nothing was changed");
        return MASTDB_FAILED;
    }
    const std::string master = master_name();
    const std::string self = this_cpu_name();
    if (master.empty()) {
        note("no options file names the master workstation (\"master = NAME\" in " +
             make_abs_path(std::string("localopts")) + ")");
        return MASTDB_FAILED;
    }
    if (master != self) {
        note("this workstation (" + self + ") is not the master (" + master +
             "); the master database is laid out on the master only");
        return MASTDB_FAILED;
    }
    db_ptr h;
    std::string msg;
    if (db_open(&h, DB_OPEN_PRIVATE, &msg, long_names ? 1 : 0) != DB_OK) {
        issue_text_of(msg);
        return MASTDB_FAILED;
    }
    for (int f : kFiles) {
        if (db_open_file(h.get(), f) != DB_OK) {
            note("cannot create " + db_file_path(f));
            issue_db(h.get());
            return MASTDB_FAILED;
        }
    }
    std::string dir = db_file_path(DB_FILE_SCHEDULES);
    dir.erase(dir.size() - std::strlen(base_name(dir.c_str())));
    std::printf("mastdb: created an empty master database with %s names in %s\n",
                long_names ? "long (16-character)" : "short (8-character)", dir.c_str());
    return MASTDB_OK;
}

// ---- schedules ------------------------------------------------------------------------

// The definitions that repeat an earlier one's identity, in their order, each
// with the first definition of that identity: (later, first) indexes.
std::vector<std::pair<std::size_t, std::size_t>> repeated_definitions(
    const std::vector<schedule_definition>& defs) {
    std::vector<std::size_t> order(defs.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    auto key = [&defs](std::size_t i) {
        return std::pair<std::string_view, std::string_view>(defs[i].workstation, defs[i].name);
    };
    std::stable_sort(order.begin(), order.end(),
                     [&key](std::size_t a, std::size_t b) { return key(a) < key(b); });
    std::vector<std::pair<std::size_t, std::size_t>> repeated;
    for (std::size_t i = 1, first = order.empty() ? 0 : order[0]; i < order.size(); ++i) {
        if (key(order[i]) == key(first))
            repeated.emplace_back(order[i], first);
        else
            first = order[i];
    }
    std::sort(repeated.begin(), repeated.end());
    return repeated;
}

int cmd_add_schedules(const std::vector<std::string>& files) {
    if (files.empty()) return usage("add-schedules takes one or more files");
    int from_stdin = 0;
    for (const std::string& f : files)
        from_stdin += f == "-" ? 1 : 0;
    if (from_stdin > 1) return usage("standard input (\"-\") can be read only once");

    Database db;
    if (!open_database(DB_FILE_SCHEDULES, &db)) return MASTDB_FAILED;
    schedule_file_options options;
    options.default_workstation = this_cpu_name();
    options.name_width = db.name_width;

    // The files stay in memory until the definitions, which point into
    // them, are stored.
    std::vector<std::unique_ptr<input_text>> inputs;
    std::vector<schedule_definition> defs;
    std::vector<input_fault> faults;
    std::vector<input_fault> warnings;
    for (const std::string& path : files) {
        auto in = std::make_unique<input_text>();
        input_fault fault;
        if (!read_input_file(path, in.get(), &fault)) {
            faults.push_back(fault);
            continue;
        }
        split_schedule_file(*in, options, &defs, &faults, &warnings);
        inputs.push_back(std::move(in));
    }
    for (const auto& [later, first] : repeated_definitions(defs)) {
        const schedule_definition& d = defs[later];
        const schedule_definition& f = defs[first];
        faults.push_back({d.file(), d.schedule_line,
                          "schedule " + d.id() + " is defined twice (first in " + f.file() +
                              ", line " + std::to_string(f.schedule_line) + ")"});
    }
    for (const input_fault& w : warnings)
        note("warning: " + fault_text(w));
    if (!faults.empty()) {
        report_faults(faults);
        note("nothing was stored");
        return MASTDB_FAILED;
    }

    UpdateLock lock(db.h.get(), true);
    if (!lock.lock()) return MASTDB_FAILED;
    std::size_t stored = 0;
    std::string text;
    for (const schedule_definition& d : defs) {
        d.text(&text);
        if (store_schedule_text(db.h.get(), make_sched_header(d.workstation, d.name), text) !=
            DB_OK) {
            note("cannot store schedule " + d.id() + " (" + d.file() + ", line " +
                 std::to_string(d.schedule_line) + ")");
            issue_db(db.h.get());
            lock.unlock();
            note(plural(stored, "schedule was", "schedules were") + " stored before the failure");
            return MASTDB_FAILED;
        }
        ++stored;
    }
    if (!lock.unlock()) return MASTDB_FAILED;
    std::printf("mastdb: %s stored\n", plural(stored, "schedule", "schedules").c_str());
    return MASTDB_OK;
}

bool schedule_id_arg(const std::string& word, const Database& db, std::string* ws,
                     std::string* name) {
    std::string why;
    if (parse_schedule_id(word, this_cpu_name(), db.name_width, ws, name, &why)) return true;
    note("\"" + word + "\" does not name a schedule: " + why);
    return false;
}

int cmd_show_schedule(const std::vector<std::string>& args) {
    if (args.empty() || args.size() > 2) return usage("show-schedule takes WS#NAME [FILE]");
    Database db;
    if (!open_database(DB_FILE_SCHEDULES, &db)) return MASTDB_FAILED;
    std::string ws, name;
    if (!schedule_id_arg(args[0], db, &ws, &name)) return MASTDB_FAILED;
    UpdateLock lock(db.h.get(), true);
    if (!lock.lock()) return MASTDB_FAILED;
    std::vector<std::string> stored;
    std::int16_t rc = DB_OK;
    if (args.size() == 2) {
        rc = write_schedule_text(db.h.get(), ws.c_str(), name.c_str(), args[1].c_str(), nullptr);
    } else {
        int cursor = 0;
        for (;;) {
            std::string line;
            rc = read_schedule_line(db.h.get(), ws.c_str(), name.c_str(), &line, &cursor);
            if (rc != DB_OK) break;
            stored.push_back(std::move(line));
        }
        if (rc == DB_E_END) rc = DB_OK;
    }
    if (rc != DB_OK) {
        if (rc == DB_E_MISSING)
            note("there is no schedule " + ws + "#" + name);
        else if (args.size() == 2)
            note("cannot write schedule " + ws + "#" + name + " to " + args[1]);
        issue_db(db.h.get());
        return MASTDB_FAILED;
    }
    if (!lock.unlock()) return MASTDB_FAILED;
    for (const std::string& line : join_stored_lines(stored)) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        note("cannot write standard output");
        return MASTDB_FAILED;
    }
    return MASTDB_OK;
}

int cmd_list_schedules(const std::vector<std::string>& args) {
    if (args.size() > 1) return usage("list-schedules takes at most one pattern");
    std::string ws_pattern, name_pattern, why;
    if (!parse_schedule_pattern(args.empty() ? std::string_view() : std::string_view(args[0]),
                                &ws_pattern, &name_pattern, &why))
        return usage(why);
    Database db;
    if (!open_database(DB_FILE_SCHEDULES, &db)) return MASTDB_FAILED;
    UpdateLock lock(db.h.get(), true);
    if (!lock.lock()) return MASTDB_FAILED;
    std::vector<std::string> ids;
    int cursor = 0;
    std::int16_t rc;
    sched_header hdr;
    while ((rc = read_next_schedule(db.h.get(), ws_pattern.c_str(), name_pattern.c_str(), &cursor,
                                    &hdr)) == DB_OK) {
        ids.push_back(field_to_str(hdr.workstation.data(), DB_LONG_NAME) + "#" +
                      field_to_str(hdr.schedule.data(), DB_LONG_NAME));
    }
    if (rc != DB_E_END) {
        note("cannot read the schedule file");
        issue_db(db.h.get());
        return MASTDB_FAILED;
    }
    if (!lock.unlock()) return MASTDB_FAILED;
    for (const std::string& id : ids)
        std::printf("%s\n", id.c_str());
    return std::fflush(stdout) == 0 ? MASTDB_OK : MASTDB_FAILED;
}

// Deletes the master record with this key (and its details) when it exists.
// Returns ISAM_OK, ISAM_E_NOT_FOUND or the keyed file failure.
std::int16_t delete_master(isam_handle* f, const std::string& key) {
    const int len = isam_record_length(f, 0);
    std::vector<char> rec(static_cast<std::size_t>(len > 0 ? len : 1));
    std::int16_t rc = isam_read(f, rec.data(), ISAM_READ_EXACT, key.c_str(), 0);
    if (rc == ISAM_OK) rc = isam_delete(f, 0);
    return rc;
}

std::string padded_name(const std::string& name, std::size_t width) {
    std::string out = name.substr(0, width);
    out.resize(width, ' ');
    return out;
}

int cmd_delete_schedule(const std::vector<std::string>& args) {
    if (args.size() != 1) return usage("delete-schedule takes WS#NAME");
    Database db;
    if (!open_database(DB_FILE_SCHEDULES, &db)) return MASTDB_FAILED;
    std::string ws, name;
    if (!schedule_id_arg(args[0], db, &ws, &name)) return MASTDB_FAILED;
    UpdateLock lock(db.h.get(), true);
    if (!lock.lock()) return MASTDB_FAILED;
    isam_handle* sched = db.file(DB_FILE_SCHEDULES);
    isam_handle* jobs = db.file(DB_FILE_SCHED_JOBS);
    db.h->current_sched.clear();  // the file's current header changes
    std::int16_t rc =
        delete_master(sched, padded_name(ws, db.name_width) + padded_name(name, db.name_width));
    if (rc == ISAM_E_NOT_FOUND) {
        note("there is no schedule " + ws + "#" + name);
        issue_db_message(DB_E_MISSING);
        return MASTDB_FAILED;
    }
    if (rc != ISAM_OK) {
        note("cannot delete schedule " + ws + "#" + name);
        issue_keyed(sched);
        return MASTDB_FAILED;
    }
    // The schedule's job list goes with it.
    const std::size_t jobs_width =
        static_cast<std::size_t>(std::max(isam_key_length(jobs, 0), 0)) / 2;
    rc = delete_master(jobs, padded_name(ws, jobs_width) + padded_name(name, jobs_width));
    if (rc != ISAM_OK && rc != ISAM_E_NOT_FOUND) {
        note("cannot delete the job list of schedule " + ws + "#" + name);
        issue_keyed(jobs);
        return MASTDB_FAILED;
    }
    if (!lock.unlock()) return MASTDB_FAILED;
    std::printf("mastdb: schedule %s#%s deleted\n", ws.c_str(), name.c_str());
    return MASTDB_OK;
}

// ---- calendars ------------------------------------------------------------------------

bool calendar_name_arg(const std::string& word, std::string* name) {
    std::string why;
    if (!valid_object_name(word, DB_CALENDAR_NAME, &why)) {
        note("the calendar name " + why);
        return false;
    }
    *name = upper_text(word);
    return true;
}

bool date_args(const std::vector<std::string>& words, std::vector<time_value>* dates) {
    const int order = get_date_format();
    bool ok = true;
    for (const std::string& w : words) {
        time_value t = 0;
        std::string why;
        if (parse_calendar_date(w, order, &t, &why)) {
            dates->push_back(t);
        } else {
            note(why);
            ok = false;
        }
    }
    sort_dates(dates);
    return ok;
}

// True when the calendar exists; a failure is reported.
bool calendar_exists(db_handle* h, const std::string& name, bool* failed) {
    int cursor = 0;
    calendar_info info;
    const std::int16_t rc = read_next_calendar(h, name.c_str(), &cursor, &info);
    *failed = rc != DB_OK && rc != DB_E_END;
    if (*failed) {
        note("cannot read the calendar file");
        issue_db(h);
    }
    return rc == DB_OK;
}

// Reads all dates of a calendar.
std::int16_t calendar_dates(db_handle* h, const std::string& name, std::vector<time_value>* out) {
    time_value cursor = 0;
    for (;;) {
        time_value batch[kDateBatch];
        int count = kDateBatch;
        const std::int16_t rc = read_calendar_dates(h, name.c_str(), &cursor, batch, &count);
        if (rc == DB_E_END) return DB_OK;
        if (rc != DB_OK) return rc;
        out->insert(out->end(), batch, batch + count);
    }
}

int cmd_add_calendars(const std::vector<std::string>& files) {
    if (files.empty()) return usage("add-calendars takes one or more files");
    int from_stdin = 0;
    for (const std::string& f : files)
        from_stdin += f == "-" ? 1 : 0;
    if (from_stdin > 1) return usage("standard input (\"-\") can be read only once");
    Database db;
    if (!open_database(DB_FILE_CALENDARS, &db)) return MASTDB_FAILED;
    const int order = get_date_format();
    std::vector<calendar_definition> cals;
    std::vector<input_fault> faults;
    for (const std::string& path : files) {
        input_text in;
        input_fault fault;
        if (!read_input_file(path, &in, &fault)) {
            faults.push_back(fault);
            continue;
        }
        parse_calendar_file(in, order, &cals, &faults);
    }
    std::map<std::string, const calendar_definition*> seen;
    for (const calendar_definition& c : cals) {
        const auto [it, fresh] = seen.emplace(c.name, &c);
        if (!fresh)
            faults.push_back({c.file, c.line,
                              "calendar " + c.name + " is given twice (first in " +
                                  it->second->file + ", line " + std::to_string(it->second->line) +
                                  ")"});
    }
    if (!faults.empty()) {
        report_faults(faults);
        note("nothing was stored");
        return MASTDB_FAILED;
    }
    db_handle* h = db.h.get();
    UpdateLock lock(h, false);
    if (!lock.lock()) return MASTDB_FAILED;
    std::size_t stored = 0;
    for (const calendar_definition& c : cals) {
        std::int16_t rc = delete_calendar(h, c.name.c_str());
        if (rc == DB_OK || rc == DB_E_MISSING)
            rc = store_calendar(h, make_calendar_info(c.name, c.description));
        if (rc == DB_OK)
            rc = add_calendar_dates(h, c.name.c_str(), c.dates.data(),
                                    static_cast<int>(c.dates.size()));
        if (rc != DB_OK) {
            note("cannot store calendar " + c.name + " (" + c.file + ", line " +
                 std::to_string(c.line) + ")");
            issue_db(h);
            lock.unlock();
            note(plural(stored, "calendar was", "calendars were") + " stored before the failure");
            return MASTDB_FAILED;
        }
        ++stored;
    }
    if (!lock.unlock()) return MASTDB_FAILED;
    std::printf("mastdb: %s stored\n", plural(stored, "calendar", "calendars").c_str());
    return MASTDB_OK;
}

int cmd_list_calendars(const std::vector<std::string>& args) {
    if (args.size() > 1) return usage("list-calendars takes at most one pattern");
    std::string pattern = args.empty() || args[0].empty() ? "@" : upper_text(args[0]);
    for (char c : pattern) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f)
            return usage("the pattern holds a blank or a control character");
    }
    if (pattern.size() > 48) return usage("the pattern is longer than 48 characters");
    Database db;
    if (!open_database(DB_FILE_CALENDARS, &db)) return MASTDB_FAILED;
    db_handle* h = db.h.get();
    UpdateLock lock(h, false);
    if (!lock.lock()) return MASTDB_FAILED;
    std::vector<calendar_info> infos;
    int cursor = 0;
    calendar_info info;
    std::int16_t rc;
    while ((rc = read_next_calendar(h, pattern.c_str(), &cursor, &info)) == DB_OK)
        infos.push_back(info);
    if (rc == DB_E_END) rc = DB_OK;
    std::vector<std::string> lines;
    for (const calendar_info& c : infos) {
        if (rc != DB_OK) break;
        const std::string name = field_to_str(c.name.data(), DB_CALENDAR_NAME);
        std::vector<time_value> dates;
        rc = calendar_dates(h, name, &dates);
        if (rc != DB_OK) break;
        const std::string desc = field_to_str(c.description.data(), DB_CALENDAR_DESC);
        char buf[160];
        std::snprintf(buf, sizeof buf, "%-8s %5zu%s%s%s", name.c_str(), dates.size(),
                      desc.empty() ? "" : "  \"", desc.c_str(), desc.empty() ? "" : "\"");
        lines.emplace_back(buf);
    }
    if (rc != DB_OK) {
        note("cannot read the calendar file");
        issue_db(h);
        return MASTDB_FAILED;
    }
    if (!lock.unlock()) return MASTDB_FAILED;
    for (const std::string& line : lines)
        std::printf("%s\n", line.c_str());
    return std::fflush(stdout) == 0 ? MASTDB_OK : MASTDB_FAILED;
}

int cmd_show_calendar(const std::vector<std::string>& args) {
    if (args.size() != 1) return usage("show-calendar takes NAME");
    std::string name;
    if (!calendar_name_arg(args[0], &name)) return MASTDB_FAILED;
    Database db;
    if (!open_database(DB_FILE_CALENDARS, &db)) return MASTDB_FAILED;
    db_handle* h = db.h.get();
    UpdateLock lock(h, false);
    if (!lock.lock()) return MASTDB_FAILED;
    int cursor = 0;
    calendar_info info;
    std::int16_t rc = read_next_calendar(h, name.c_str(), &cursor, &info);
    if (rc == DB_E_END) {
        note("there is no calendar " + name);
        issue_db_message(DB_E_MISSING);
        return MASTDB_FAILED;
    }
    std::vector<time_value> dates;
    if (rc == DB_OK) rc = calendar_dates(h, name, &dates);
    if (rc != DB_OK) {
        note("cannot read calendar " + name);
        issue_db(h);
        return MASTDB_FAILED;
    }
    if (!lock.unlock()) return MASTDB_FAILED;
    const std::string desc = field_to_str(info.description.data(), DB_CALENDAR_DESC);
    std::string out = name;
    if (!desc.empty()) out += " \"" + desc + "\"";
    out += '\n';
    const int order = get_date_format();
    for (std::size_t i = 0; i < dates.size(); ++i) {
        out += i % kDatesPerLine == 0 ? "    " : " ";
        out += calendar_date_text(dates[i], order);
        if (i % kDatesPerLine == kDatesPerLine - 1 || i + 1 == dates.size()) out += '\n';
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? MASTDB_OK : MASTDB_FAILED;
}

int cmd_delete_calendar(const std::vector<std::string>& args) {
    if (args.size() != 1) return usage("delete-calendar takes NAME");
    std::string name;
    if (!calendar_name_arg(args[0], &name)) return MASTDB_FAILED;
    Database db;
    if (!open_database(DB_FILE_CALENDARS, &db)) return MASTDB_FAILED;
    UpdateLock lock(db.h.get(), false);
    if (!lock.lock()) return MASTDB_FAILED;
    const std::int16_t rc = delete_calendar(db.h.get(), name.c_str());
    if (rc != DB_OK) {
        note(rc == DB_E_MISSING ? "there is no calendar " + name
                                : "cannot delete calendar " + name);
        issue_db(db.h.get());
        return MASTDB_FAILED;
    }
    if (!lock.unlock()) return MASTDB_FAILED;
    std::printf("mastdb: calendar %s deleted\n", name.c_str());
    return MASTDB_OK;
}

// What add-dates and delete-dates share: the calendar's name and the dates
// from the arguments, the database open, the calendar file locked and the
// calendar there.
struct DatesCommand {
    std::string name;
    std::vector<time_value> dates;
    Database db;
    std::unique_ptr<UpdateLock> lock;
};

// Returns MASTDB_OK when the command can go on.
int start_dates_command(const std::vector<std::string>& args, const char* usage_text,
                        DatesCommand* cmd) {
    if (args.size() < 2) return usage(usage_text);
    if (!calendar_name_arg(args[0], &cmd->name)) return MASTDB_FAILED;
    if (!date_args({args.begin() + 1, args.end()}, &cmd->dates)) {
        note("nothing was changed");
        return MASTDB_FAILED;
    }
    if (!open_database(DB_FILE_CALENDARS, &cmd->db)) return MASTDB_FAILED;
    cmd->lock = std::make_unique<UpdateLock>(cmd->db.h.get(), false);
    if (!cmd->lock->lock()) return MASTDB_FAILED;
    bool failed = false;
    if (!calendar_exists(cmd->db.h.get(), cmd->name, &failed)) {
        if (!failed) {
            note("there is no calendar " + cmd->name);
            issue_db_message(DB_E_MISSING);
        }
        return MASTDB_FAILED;
    }
    return MASTDB_OK;
}

int cmd_add_dates(const std::vector<std::string>& args) {
    DatesCommand cmd;
    if (const int rc = start_dates_command(args, "add-dates takes NAME DATE...", &cmd);
        rc != MASTDB_OK)
        return rc;
    const std::string& name = cmd.name;
    const std::vector<time_value>& dates = cmd.dates;
    Database& db = cmd.db;
    UpdateLock& lock = *cmd.lock;
    db_handle* h = db.h.get();
    std::size_t fresh = 0;
    for (time_value d : dates) {
        const std::int16_t rc = find_calendar_date(h, name.c_str(), d);
        if (rc == DB_E_MISSING) {
            ++fresh;
        } else if (rc != DB_OK) {
            note("cannot read calendar " + name);
            issue_db(h);
            return MASTDB_FAILED;
        }
    }
    const std::int16_t rc =
        add_calendar_dates(h, name.c_str(), dates.data(), static_cast<int>(dates.size()));
    if (rc != DB_OK) {
        note(rc == DB_E_MISSING ? "there is no calendar " + name
                                : "cannot add dates to calendar " + name);
        issue_db(db.h.get());
        return MASTDB_FAILED;
    }
    if (!lock.unlock()) return MASTDB_FAILED;
    std::printf("mastdb: %s added to calendar %s", plural(fresh, "date", "dates").c_str(),
                name.c_str());
    if (fresh < dates.size())
        std::printf(" (%s there already)",
                    plural(dates.size() - fresh, "date was", "dates were").c_str());
    std::printf("\n");
    return MASTDB_OK;
}

int cmd_delete_dates(const std::vector<std::string>& args) {
    DatesCommand cmd;
    if (const int rc = start_dates_command(args, "delete-dates takes NAME DATE...", &cmd);
        rc != MASTDB_OK)
        return rc;
    const std::string& name = cmd.name;
    const std::vector<time_value>& dates = cmd.dates;
    db_handle* h = cmd.db.h.get();
    UpdateLock& lock = *cmd.lock;
    // Every date must be there before any is deleted.
    const int order = get_date_format();
    bool missing = false;
    for (time_value d : dates) {
        const std::int16_t rc = find_calendar_date(h, name.c_str(), d);
        if (rc == DB_E_MISSING) {
            note("calendar " + name + " does not hold the date " + calendar_date_text(d, order));
            missing = true;
        } else if (rc != DB_OK) {
            note("cannot read calendar " + name);
            issue_db(h);
            return MASTDB_FAILED;
        }
    }
    if (missing) {
        note("nothing was changed");
        return MASTDB_FAILED;
    }
    for (time_value d : dates) {
        if (delete_calendar_date(h, name.c_str(), d) != DB_OK) {
            note("cannot delete the date " + calendar_date_text(d, order) + " from calendar " +
                 name);
            issue_db(h);
            return MASTDB_FAILED;
        }
    }
    if (!lock.unlock()) return MASTDB_FAILED;
    std::printf("mastdb: %s deleted from calendar %s\n",
                plural(dates.size(), "date", "dates").c_str(), name.c_str());
    return MASTDB_OK;
}

// ---- check and rebuild -------------------------------------------------------------------

int cmd_check(const std::vector<std::string>& args) {
    if (!args.empty()) return usage("check takes no arguments");
    Database db;
    if (!open_database(-1, &db)) return MASTDB_FAILED;
    db_handle* h = db.h.get();
    int files = 0;
    int faults = 0;
    for (int number = 0; number < DB_FILE_COUNT; ++number) {
        const std::string path = db_file_path(number);
        if (!regular_file_exists(path)) continue;
        ++files;
        // The file is read under its update lock, so that nobody changes it
        // half-way through; a file the database cannot open is checked all
        // the same, and the failure to open it counts as a fault.
        isam_handle* f = nullptr;
        int file_faults = 0;
        if (db_open_file(h, number) == DB_OK) {
            f = db.file(number);
            if (isam_lock(f, ISAM_LOCK_UPDATE) != ISAM_OK) {
                note("cannot lock " + path);
                issue_keyed(f);
                f = nullptr;
            }
        } else {
            std::string text;
            db_error_text(h, &text);
            std::printf("%s: not usable as a file of the master database: %s\n", path.c_str(),
                        text.c_str());
            ++file_faults;
        }
        isam_check_summary summary;
        file_faults += isam_check(
            path.c_str(),
            [&path](const std::string& line) {
                std::printf("%s: %s\n", path.c_str(), line.c_str());
            },
            &summary);
        if (f != nullptr) isam_unlock(f);
        faults += file_faults;
        if (file_faults == 0) {
            std::printf(
                "%s: sound, %s, %s, %lld deleted\n", path.c_str(),
                plural(static_cast<std::size_t>(summary.masters), "master record", "master records")
                    .c_str(),
                plural(static_cast<std::size_t>(summary.details[1] + summary.details[2]),
                       "detail record", "detail records")
                    .c_str(),
                static_cast<long long>(summary.deleted));
        } else {
            std::printf("%s: %s\n", path.c_str(),
                        plural(static_cast<std::size_t>(file_faults), "fault", "faults").c_str());
        }
    }
    std::fflush(stdout);
    if (files == 0) {
        note("no file of the master database exists (looked for " +
             db_file_path(DB_FILE_SCHEDULES) + " and the others)");
        return MASTDB_FAILED;
    }
    return faults == 0 ? MASTDB_OK : MASTDB_FAILED;
}

int cmd_rebuild(const std::vector<std::string>& args) {
    if (args.size() > 1) return usage("rebuild takes at most one file name");
    int only = -1;
    if (!args.empty()) {
        for (int number = 0; number < DB_FILE_COUNT; ++number) {
            const std::string path = db_file_path(number);
            if (args[0] == base_name(path.c_str())) only = number;
        }
        if (only < 0)
            return usage("\"" + args[0] +
                         "\" is not a file of the master database (mastsked, jobs, job.sched, "
                         "resources, prompts, parameters, calendars)");
    }
    Database db;
    if (!open_database(-1, &db)) return MASTDB_FAILED;
    db_handle* h = db.h.get();
    int rebuilt = 0;
    for (int number = 0; number < DB_FILE_COUNT; ++number) {
        if (only >= 0 && number != only) continue;
        const std::string path = db_file_path(number);
        if (!regular_file_exists(path)) {
            if (only >= 0) {
                note(path + " does not exist");
                return MASTDB_FAILED;
            }
            continue;
        }
        if (db_open_file(h, number) != DB_OK) {
            note("cannot open " + path);
            issue_db(h);
            return MASTDB_FAILED;
        }
        isam_handle* f = db.file(number);
        // Waits for other updaters; the rebuild then holds the file alone.
        if (isam_lock(f, ISAM_LOCK_UPDATE) != ISAM_OK) {
            note("cannot lock " + path);
            issue_keyed(f);
            return MASTDB_FAILED;
        }
        const std::int16_t rc = isam_rebuild(f);
        if (rc != ISAM_OK) {
            note("cannot rebuild " + path);
            issue_keyed(f);
            isam_unlock(f);
            return MASTDB_FAILED;
        }
        if (isam_unlock(f) != ISAM_OK) {
            note("cannot unlock " + path);
            issue_keyed(f);
            return MASTDB_FAILED;
        }
        h->current_sched.clear();
        h->current_cal.clear();
        std::printf("%s: rebuilt\n", path.c_str());
        ++rebuilt;
    }
    std::fflush(stdout);
    if (rebuilt == 0) {
        note("no file of the master database exists (looked for " +
             db_file_path(DB_FILE_SCHEDULES) + " and the others)");
        return MASTDB_FAILED;
    }
    return MASTDB_OK;
}

int cmd_help() {
    std::string text = kHelp;
    const std::string mark = "@ORDER@";
    text.replace(text.find(mark), mark.size(), date_order_text(get_date_format()));
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? MASTDB_OK : MASTDB_FAILED;
}

struct Command {
    const char* name;
    int (*run)(const std::vector<std::string>& args);
};

constexpr Command kCommands[] = {
    {"create", cmd_create},
    {"add-schedules", cmd_add_schedules},
    {"show-schedule", cmd_show_schedule},
    {"list-schedules", cmd_list_schedules},
    {"delete-schedule", cmd_delete_schedule},
    {"add-calendars", cmd_add_calendars},
    {"list-calendars", cmd_list_calendars},
    {"show-calendar", cmd_show_calendar},
    {"delete-calendar", cmd_delete_calendar},
    {"add-dates", cmd_add_dates},
    {"delete-dates", cmd_delete_dates},
    {"check", cmd_check},
    {"rebuild", cmd_rebuild},
};

}  // namespace

int mastdb_run(const std::vector<std::string>& args) {
    if (args.empty()) return usage("no command given");
    const std::string& cmd = args[0];
    if (cmd == "help" || cmd == "-h" || cmd == "--help") return cmd_help();
    for (const Command& c : kCommands) {
        if (cmd != c.name) continue;
        if (!check_local_options()) return MASTDB_FAILED;
        return c.run({args.begin() + 1, args.end()});
    }
    return usage("unknown command \"" + cmd + "\"");
}

int mastdb_main(int argc, char** argv) {
    set_home_from_module();
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    return mastdb_run(args);
}
