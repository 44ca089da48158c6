// The master database: one handle over the keyed data files of the master
// workstation's database directory, the schedule file "mastsked" (schedule
// headers and their text lines) and the calendar file "calendars" (calendars
// and their dates).
//
// Files are opened on first use. A missing file is created when this
// workstation is the master; elsewhere it gives DB_E_NOT_MASTER. Every
// operation checks its handle (none: DB_E_NO_HANDLE, not a database handle:
// DB_E_BAD_HANDLE), clears the stored result and stores its own, so that
// db_error_text can describe the last failure.
//
// Two layouts exist, chosen when a file is created and kept as the format
// value of its header: 0 short names (workstation and schedule names of 8
// characters), 1 long names (16 characters). Calendar names have 8 characters
// in both; calendar dates are packed dates (yyyymmdd) in a file of format 0
// and time values otherwise.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "utils/libs/dateutil.h"
#include "utils/libs/isamacc.h"

// ---- constants --------------------------------------------------------------

constexpr std::uint16_t DB_MAGIC = 17474;  // 0x4442
constexpr int DB_OPEN_PRIVATE = 25;        // open mode of a private handle

// Database result codes (texts: catalog messages 2076/<code>, and the keyed
// file layer's text for DB_E_KEYED).
enum : std::int16_t {
    DB_OK = 0,
    DB_E_MEMORY = 1,       // out of memory when opening the handle
    DB_E_BAD_HANDLE = 2,   // not a database handle
    DB_E_NOT_OPEN = 3,     // the file the operation needs is not open
    DB_E_NO_HANDLE = 4,    // no handle
    DB_E_LAYOUT = 5,       // parameters or prompts file of the wrong layout
    DB_E_END = 6,          // no more records, lines or dates
    DB_E_MISSING = 7,      // no such schedule, calendar or date
    DB_E_TEMP = 8,         // an output (temporary) file cannot be created or written
    DB_E_INPUT = 9,        // an input file cannot be opened or read
    DB_E_KEYED = 14,       // keyed file failure
    DB_E_NOT_MASTER = 15,  // file missing on a workstation that is not the master
};

// Files of the master database, by file number.
enum : int {
    DB_FILE_SCHEDULES = 0,   // "mastsked"
    DB_FILE_JOBS = 1,        // "jobs"
    DB_FILE_SCHED_JOBS = 2,  // "job.sched"
    DB_FILE_RESOURCES = 3,   // "resources"
    DB_FILE_PROMPTS = 4,     // "prompts"
    DB_FILE_PARAMETERS = 5,  // "parameters"
    DB_FILE_CALENDARS = 6,   // "calendars"
    DB_FILE_COUNT = 7,
};

// File choices of db_probe_file.
enum : int {
    DB_PROBE_SCHEDULES = 1,
    DB_PROBE_JOBS = 2,
    DB_PROBE_SCHED_JOBS = 3,
    DB_PROBE_RESOURCES = 4,
    DB_PROBE_CALENDARS = 5,
};

// Record layouts.
constexpr int DB_SHORT_NAME = 8;            // names in the short layout
constexpr int DB_LONG_NAME = 16;            // names in the long layout
constexpr int DB_CALENDAR_NAME = 8;         // calendar names, both layouts
constexpr int DB_CALENDAR_DESC = 64;        // calendar description
constexpr int DB_LINE_TEXT = 128;           // text field of a stored line
constexpr int DB_CONTINUED_LENGTH = 127;    // a continued piece: 126 characters and '\'
constexpr char DB_PAIR_SEPARATOR = '\x1f';  // between the two parts of a name-pair pattern

// ---- the handle -------------------------------------------------------------

// The date keys of one calendar (its chain's sub-key fields, in chain order),
// kept while the handle holds the calendar file's update lock.
struct db_calendar_dates {
    bool usable = false;  // the chain read back whole and in strictly rising key order
    std::vector<std::array<char, 10>> keys;
};

// Where a pass with db_scan_schedules found the schedules' headers, kept
// under the schedule lock for db_schedule_text.
struct db_schedule_places {
    std::size_t key_length = 0;
    std::string keys;                 // the walk's keys side by side, in key order
    std::vector<std::uint32_t> from;  // by key: the header's position
    std::vector<std::uint32_t> to;    // by key: where the next header starts
};

struct db_handle {
    std::uint16_t magic = DB_MAGIC;  // cleared when the handle is freed
    std::int16_t code = 0;           // result of the last operation
    std::int32_t detail = 0;         // keyed file code, or system error for codes 8 and 9
    std::string msg_text;            // the keyed file layer's text for code 14
    std::array<isam_ptr, DB_FILE_COUNT> files;  // by file number; empty until opened
    std::string current_sched;  // workstation, '\x1f', schedule of the header read last
    std::string current_cal;    // calendar whose record was read last
    std::string pattern;        // work area: the pattern a walk over the schedules starts with
    std::int16_t long_names = 0;
    std::int16_t open_mode = 0;
    int refs = 1;  // references to this handle (more than one only for the shared handle)
    // Under the calendar lock nobody else changes the calendar file: the
    // dates of the calendars looked at are kept, by padded calendar name.
    bool calendars_locked = false;
    std::map<std::string, db_calendar_dates> calendar_dates;
    // Under the schedule lock, after a pass in file order: where it found
    // the schedules.
    std::unique_ptr<db_schedule_places> sched_places;
};

// Drops one reference, closing the files and freeing the handle at the last
// one, without reporting anything.
struct db_closer {
    void operator()(db_handle* h) const;
};
// One reference to a database handle.
using db_ptr = std::unique_ptr<db_handle, db_closer>;

// ---- handle and files ---------------------------------------------------------

// Opens a handle. With a mode other than DB_OPEN_PRIVATE the process's shared
// handle is returned (with one more reference) when it exists, else a new one
// becomes the shared handle. Returns 0, or DB_E_MEMORY with message 2076/1 in
// *msg (msg may be null).
std::int16_t db_open(db_ptr* out, int mode, std::string* msg, int long_names);

// Drops the reference in *ref (which becomes empty); at the last reference
// the files are closed and the handle freed. Returns 0, DB_E_NO_HANDLE,
// DB_E_BAD_HANDLE, or DB_E_KEYED when closing a file failed.
std::int16_t db_close(db_ptr* ref);

// Opens a handle and one file (choice DB_PROBE_...), closes the handle again
// and returns the open result. On success *long_names receives the file's
// flag; on failure *msg receives the error text.
std::int16_t db_probe_file(int choice, int mode, std::string* msg, std::int16_t* long_names);

// Opens a file of the handle unless it is open already.
std::int16_t db_open_file(db_handle* h, int file);

// The path of a file of the master database; empty for an unknown number.
std::string db_file_path(int file);

// Update locks for a pass over the schedule file and the schedule job list
// file, and over the calendar file.
std::int16_t db_lock_schedules(db_handle* h);
std::int16_t db_unlock_schedules(db_handle* h);
std::int16_t db_lock_calendars(db_handle* h);
std::int16_t db_unlock_calendars(db_handle* h);

// The text for the handle's stored result (empty for 0); returns the code
// the text is for. The length is text->size().
std::int16_t db_error_text(const db_handle* h, std::string* text);
// The stored result, and in *detail (when given) its detail (0 after success).
std::int16_t db_status(const db_handle* h, std::int16_t* code, std::int32_t* detail);
// The handle's long-names flag.
std::int16_t db_long_names(const db_handle* h, std::int16_t* flag);

// Test hook: forget the shared handle; existing references keep it alive and
// the last of them frees it.
void db_shared_reset();

// ---- schedules ----------------------------------------------------------------

template <std::size_t N>
constexpr std::array<char, N> db_blank_field() {
    std::array<char, N> a{};
    a.fill(' ');
    return a;
}

// A schedule header in memory: blank-padded fields without terminators.
struct sched_header {
    std::array<char, 16> workstation = db_blank_field<16>();
    std::array<char, 16> schedule = db_blank_field<16>();
    std::array<char, 47> text1 = db_blank_field<47>();
    char flag = ' ';
    std::array<char, 8> text2 = db_blank_field<8>();
    std::array<char, 8> text3 = db_blank_field<8>();
    time_value date = 0;
};

// A header with the two names (cut to 16 characters) and everything else
// blank.
sched_header make_sched_header(std::string_view workstation, std::string_view schedule);

// Reads the next header whose names match the two patterns, in key order.
// *cursor is 0 before the first call. Returns 0, DB_E_END, DB_E_KEYED (or an
// open failure).
std::int16_t read_next_schedule(db_handle* h, const char* ws_pattern, const char* sched_pattern,
                                int* cursor, sched_header* out);

// The text lines of one schedule met by db_scan_schedules, read as
// append_schedule_line reads them: most come from the bytes the scan read,
// the others from the file.
class db_schedule_lines {
  public:
    // The next line appended to *text (a continued piece without its
    // backslash, and *continued set). Returns 0, DB_E_END, DB_E_MISSING or
    // DB_E_KEYED, as append_schedule_line would.
    std::int16_t append(std::string* text, bool* continued);

  private:
    friend class db_schedule_scan;
    friend std::int16_t db_schedule_text(db_handle*, const char*, const char*, db_schedule_lines*);
    std::vector<char> buffer_;  // the bytes read for db_schedule_text
    isam_chain_cursor own_;     // and its cursor on them
    db_handle* h_ = nullptr;
    int text_off_ = 0;                    // where a record's text field starts
    std::string key_;                     // the schedule's key, the names side by side
    isam_chain_cursor* chain_ = nullptr;  // its lines in the bytes the scan read, if any
    std::size_t next_ = 0;                // lines read
    bool from_file_ = false;              // reading on from the file
};

// One schedule met by db_scan_schedules.
class db_schedule_scan_visitor {
  public:
    virtual ~db_schedule_scan_visitor() = default;
    // rank: the schedule's place in key order (0 for the first a walk with
    // read_next_schedule reads); header: what that walk reads for it; lines:
    // its text. False stops the scan.
    virtual bool schedule(std::size_t rank, const sched_header& header,
                          db_schedule_lines& lines) = 0;
};

// Visits every schedule a walk with read_next_schedule(ws_pattern,
// sched_pattern) from a fresh cursor would read, each once, in the order the
// file holds them rather than in key order, reading the schedule file in long
// sequential reads: for a pass over all schedules of a large file this costs
// far fewer reads than the walk. Requires the schedule lock. *count receives
// the number of schedules the walk reads. Returns DB_OK when every one of
// them was visited; anything else (the visitor stopped, a record a read
// would reject, a read failure) leaves the visits incomplete, and the
// caller should walk instead, which meets and reports what went wrong.
std::int16_t db_scan_schedules(db_handle* h, const char* ws_pattern, const char* sched_pattern,
                               db_schedule_scan_visitor& visitor, std::size_t* count);

// Sets *lines up to read the text lines of one schedule, as
// append_schedule_line reads them from a fresh cursor. After a
// db_scan_schedules pass under the same lock, a schedule it met is read with
// one read of the file. Returns 0, or a failure to use the file (as
// append_schedule_line would).
std::int16_t db_schedule_text(db_handle* h, const char* workstation, const char* schedule,
                              db_schedule_lines* lines);

// Reads the next stored text line of a schedule into *line, without trailing
// blanks. *cursor is 0 before the first line. Returns 0, DB_E_END,
// DB_E_MISSING (no such schedule), DB_E_KEYED (or an open failure).
std::int16_t read_schedule_line(db_handle* h, const char* workstation, const char* schedule,
                                std::string* line, int* cursor);

// The same read, the line's text appended to *text instead; a continued
// piece (see is_continued_line) is appended without its backslash and sets
// *continued. Reading a schedule's lines this way copies each of them once.
std::int16_t append_schedule_line(db_handle* h, const char* workstation, const char* schedule,
                                  std::string* text, bool* continued, int* cursor);

// The match function of the schedule files: the pattern is split at its
// first '\x1f' and each part is matched against one name field of the key
// (the key's first and second half). Nonzero when both match.
int match_name_pair(const char* key, const char* pattern, int key_len, int pattern_len);

// Stores a schedule from a text file, replacing a schedule of the same names:
// its header from *hdr, then the file's lines. A line longer than one record
// holds is stored as continued pieces. The schedule file and the schedule job
// list file must be open (DB_E_NOT_OPEN) and locked. DB_E_INPUT when the file
// cannot be read (nothing is changed then).
std::int16_t store_schedule(db_handle* h, const sched_header& hdr, const char* path);
// The same for a text in memory: stores exactly the records store_schedule
// stores for a file holding that text.
std::int16_t store_schedule_text(db_handle* h, const sched_header& hdr, std::string_view text);

// Writes a schedule's text, continued lines joined, to path, or to a new
// temporary file when path is null or empty; *written (when given) receives
// the path used. DB_E_TEMP when the file cannot be created or written.
std::int16_t write_schedule_text(db_handle* h, const char* workstation, const char* schedule,
                                 const char* path, std::string* written);

// Continued lines: a stored line of exactly 127 characters whose last is a
// backslash is joined with the next.
bool is_continued_line(std::string_view stored);
// The stored pieces of one logical line (trailing blanks dropped).
std::vector<std::string> split_logical_line(std::string_view line);
// Joins stored lines back into logical lines.
std::vector<std::string> join_stored_lines(const std::vector<std::string>& stored);

// ---- calendars ----------------------------------------------------------------

struct calendar_info {
    std::array<char, DB_CALENDAR_NAME> name = db_blank_field<DB_CALENDAR_NAME>();
    std::array<char, DB_CALENDAR_DESC> description = db_blank_field<DB_CALENDAR_DESC>();
};

// A calendar record with the name and description (each cut to its field).
calendar_info make_calendar_info(std::string_view name, std::string_view description);

// Reads the next calendar whose name matches the pattern, in name order.
// *cursor is 0 before the first call. Returns 0, DB_E_END, DB_E_KEYED.
std::int16_t read_next_calendar(db_handle* h, const char* pattern, int* cursor, calendar_info* out);

// 0 when the calendar holds the date (a time value), DB_E_MISSING when it
// does not or there is no such calendar, DB_E_KEYED.
std::int16_t find_calendar_date(db_handle* h, const char* name, time_value date);

// Reads up to *count dates at or after *cursor (0: from the first) into
// dates. On success *count is the number read and *cursor the local midnight
// after the last date read. Returns 0, DB_E_END (nothing left; cursor and
// count unchanged), DB_E_MISSING (no such calendar), DB_E_KEYED.
std::int16_t read_calendar_dates(db_handle* h, const char* name, time_value* cursor,
                                 time_value* dates, int* count);

// Maintenance (the calendar file must be open, DB_E_NOT_OPEN, and locked):
// adds or replaces a calendar record;
std::int16_t store_calendar(db_handle* h, const calendar_info& cal);
// adds the dates not yet stored (DB_E_MISSING without such a calendar);
std::int16_t add_calendar_dates(db_handle* h, const char* name, const time_value* dates, int count);
// deletes one date (DB_E_MISSING when it is not stored);
std::int16_t delete_calendar_date(db_handle* h, const char* name, time_value date);
// deletes a calendar with all its dates.
std::int16_t delete_calendar(db_handle* h, const char* name);
