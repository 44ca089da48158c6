// The master database handle, schedule records and text lines, calendar
// records. See dbaccs.h.
#include "utils/libs/dbaccs.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/fileio.h"
#include "platform/process.h"
#include "utils/libs/issuemsg.h"
#include "utils/libs/thiscpu.h"
#include "utils/libs/utlopts.h"

namespace {

constexpr int kMsgSet = 2076;

// Large enough for every record this module reads or writes.
constexpr int kRecordMax = 256;
using Record = std::array<char, kRecordMax>;

constexpr int kNumberWidth = 10;   // "%10ld" fields
constexpr int kLineNoWidth = 6;    // "%6hd" line numbers
constexpr int kMaxLineNo = 32767;  // line numbers are 16-bit

// ---- the file table -----------------------------------------------------------

struct FileEntry {
    const char* name;
    int dir_kind;
};

constexpr FileEntry kFileTable[DB_FILE_COUNT] = {
    {"mastsked", DIR_MASTER_DB},  {"jobs", DIR_MASTER_DB},    {"job.sched", DIR_MASTER_DB},
    {"resources", DIR_MASTER_DB}, {"prompts", DIR_MASTER_DB}, {"parameters", DIR_PARAMETERS},
    {"calendars", DIR_MASTER_DB},
};

bool valid_file(int file) {
    return file >= 0 && file < DB_FILE_COUNT;
}

// Record layouts of the schedule file, short and long names.
struct SchedLayout {
    int name;        // width of each name
    int header_len;  // header record
    int line_len;    // text line record
    int text1_off;
    int text1_len;
    int flag_off;  // -1: no flag character
    int text2_off;
    int text3_off;
    int date_off;
    int lineno_off;
    int text_off;
};

constexpr SchedLayout kShortLayout{8, 82, 182, 16, 8, -1, 24, 32, 40, 16, 22};
constexpr SchedLayout kLongLayout{16, 138, 198, 32, 47, 79, 80, 88, 96, 32, 38};

constexpr int kMaxNameWidth = std::max(kShortLayout.name, kLongLayout.name);

const SchedLayout& sched_layout(int format) {
    return format != 0 ? kLongLayout : kShortLayout;
}

// Calendar records, the same in both layouts.
constexpr int kCalRecordLen = 104;
constexpr int kCalDateRecordLen = 50;

isam_slot_desc slot(int reclen, int keyoff, int keylen) {
    isam_slot_desc d;
    d.record_length = static_cast<std::int16_t>(reclen);
    d.key_offset = static_cast<std::int16_t>(keyoff);
    d.key_length = static_cast<std::int16_t>(keylen);
    return d;
}

// The description of a file in the given layout; false for the files whose
// layout belongs to other programs.
bool describe(int file, int format, isam_file_desc* desc) {
    const SchedLayout& l = sched_layout(format);
    desc->format = format;
    desc->kinds = 1;
    switch (file) {
        case DB_FILE_SCHEDULES:
            desc->name = "mastsked";
            desc->slots[0] = slot(l.header_len, 0, 2 * l.name);
            desc->slots[1] = slot(l.line_len, 2 * l.name, kLineNoWidth);
            return true;
        case DB_FILE_SCHED_JOBS:
            desc->name = "job.sched";
            desc->slots[0] = format != 0 ? slot(32, 0, 32) : slot(16, 0, 16);
            desc->slots[1] = format != 0 ? slot(72, 32, 40) : slot(24, 16, 8);
            return true;
        case DB_FILE_CALENDARS:
            desc->name = "calendars";
            desc->slots[0] = slot(kCalRecordLen, 0, DB_CALENDAR_NAME);
            desc->slots[1] = slot(kCalDateRecordLen, DB_CALENDAR_NAME, kNumberWidth);
            return true;
        default:
            return false;
    }
}

bool same_layout(const isam_handle& f, const isam_file_desc& desc) {
    if (f.kinds != desc.kinds) return false;
    for (int i = 0; i <= desc.kinds; ++i)
        if (!(f.slots[static_cast<std::size_t>(i)].desc == desc.slots[static_cast<std::size_t>(i)]))
            return false;
    return true;
}

bool on_master() {
    const std::string master = master_name();
    return !master.empty() && this_cpu_name() == master;
}

// ---- the shared handle --------------------------------------------------------

db_handle*& shared_handle() {
    static db_handle* shared = nullptr;
    return shared;
}

// ---- results ------------------------------------------------------------------

// Checks the handle and clears its stored result.
std::int16_t enter(db_handle* h) {
    if (h == nullptr) return DB_E_NO_HANDLE;
    if (h->magic != DB_MAGIC) return DB_E_BAD_HANDLE;
    h->code = DB_OK;
    h->detail = 0;
    h->msg_text.clear();
    return DB_OK;
}

// The code a report is about: the stored one, or why there is none.
std::int16_t stored_code(const db_handle* h) {
    if (h == nullptr) return DB_E_NO_HANDLE;
    if (h->magic != DB_MAGIC) return DB_E_BAD_HANDLE;
    return h->code;
}

std::int16_t done(db_handle* h, std::int16_t code, std::int32_t detail = 0) {
    h->code = code;
    h->detail = detail;
    return code;
}

// A keyed file failure: its code becomes the detail, its text is kept.
std::int16_t keyed_failure(db_handle* h, const isam_handle* f) {
    std::int16_t code = 0;
    int sys_errno = 0;
    isam_status(f, &code, &sys_errno);
    isam_error_text(f, &h->msg_text);
    return done(h, DB_E_KEYED, code);
}

// Ends an operation that changed the file f (and g): the records the keyed
// file layer still holds back go to the file now, so that a failed
// write-out fails the operation whose records it lost. A failure of the
// operation itself stays the one reported.
std::int16_t settled(db_handle* h, isam_handle* f, isam_handle* g, std::int16_t rc) {
    for (isam_handle* file : {f, g}) {
        if (file != nullptr && isam_write_out(file) != ISAM_OK && rc == DB_OK)
            rc = keyed_failure(h, file);
    }
    return rc;
}

std::int16_t settled(db_handle* h, isam_handle* f, std::int16_t rc) {
    return settled(h, f, nullptr, rc);
}

// Drops one reference; at the last one closes the files and frees the handle.
std::int16_t release_handle(db_handle* h) {
    if (h == nullptr) return DB_E_NO_HANDLE;
    if (h->magic != DB_MAGIC) return DB_E_BAD_HANDLE;
    if (--h->refs > 0) return DB_OK;
    std::int16_t result = DB_OK;
    for (isam_ptr& f : h->files) {
        if (f && isam_close(&f, nullptr) != ISAM_OK) result = DB_E_KEYED;
    }
    if (shared_handle() == h) shared_handle() = nullptr;
    h->magic = 0;
    std::unique_ptr<db_handle> owner(h);
    return result;
}

// ---- opening files ----------------------------------------------------------------

std::int16_t open_db_file(db_handle* h, int file) {
    const std::string path = db_file_path(file);
    isam_file_desc desc;
    const bool known = describe(file, h->long_names, &desc);
    isam_ptr f;
    std::string msg;
    std::int16_t rc =
        isam_open(&f, path.c_str(), nullptr, ISAM_ACCESS_SHARED, ISAM_OPEN_EXISTING, &msg);
    if (rc == ISAM_E_OPEN) {
        if (!on_master()) return done(h, DB_E_NOT_MASTER, rc);
        // On the master a missing file is created empty, in the handle's layout.
        if (known)
            rc = isam_open(&f, path.c_str(), &desc, ISAM_ACCESS_SHARED, ISAM_OPEN_CREATE, &msg);
    }
    if (rc != ISAM_OK) {
        h->msg_text = msg;
        return done(h, DB_E_KEYED, rc);
    }
    const int format = isam_format(f.get());
    if (known) {
        // The records are read into fixed buffers: the file must have the
        // layout its format value announces. Opening it with that layout
        // again lets the keyed file layer name the difference.
        isam_file_desc expect;
        describe(file, format, &expect);
        if (!same_layout(*f, expect)) {
            isam_close(&f, nullptr);
            rc = isam_open(&f, path.c_str(), &expect, ISAM_ACCESS_SHARED, ISAM_OPEN_EXISTING, &msg);
            if (rc != ISAM_OK) {
                h->msg_text = msg;
                return done(h, DB_E_KEYED, rc);
            }
        }
    }
    if ((file == DB_FILE_PROMPTS || file == DB_FILE_PARAMETERS) && format > 0) {
        isam_close(&f, nullptr);
        return done(h, DB_E_LAYOUT);
    }
    h->long_names = static_cast<std::int16_t>(format);
    if (file == DB_FILE_SCHEDULES || file == DB_FILE_SCHED_JOBS) {
        if (isam_set_match(f.get(), match_name_pair) != ISAM_OK) return keyed_failure(h, f.get());
    }
    // The files this module stores into: appends made under the update lock
    // may wait in the handle until the operation that made them ends.
    if (known && isam_set_write_behind(f.get(), 1) != ISAM_OK) return keyed_failure(h, f.get());
    h->files[static_cast<std::size_t>(file)] = std::move(f);
    return DB_OK;
}

// The open file, opening it first when needed; null with the result stored
// in the handle when it cannot be opened.
isam_handle* use_file(db_handle* h, int file) {
    isam_ptr& f = h->files[static_cast<std::size_t>(file)];
    if (!f && open_db_file(h, file) != DB_OK) return nullptr;
    return f.get();
}

// A file that must be open already; null with DB_E_NOT_OPEN stored.
isam_handle* open_file_only(db_handle* h, int file) {
    isam_handle* f = h->files[static_cast<std::size_t>(file)].get();
    if (f == nullptr) done(h, DB_E_NOT_OPEN);
    return f;
}

// ---- fields -------------------------------------------------------------------

// The text blank-padded (or cut) to width.
std::string padded(const char* text, int width) {
    std::string out(static_cast<std::size_t>(width), ' ');
    if (text != nullptr) pad_field(text, out.data(), width);
    return out;
}

std::string trimmed(const char* field, int width) {
    return field_to_str(field, width);
}

// Writes value right-aligned into a field of width characters.
// A number wider than the field keeps its leading characters.
void put_number(char* field, int width, long value) {
    char digits[24];  // least significant first
    int n = 0;
    unsigned long v =
        value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (value < 0) digits[n++] = '-';
    const int blanks = std::max(width - n, 0);
    std::memset(field, ' ', static_cast<std::size_t>(blanks));
    for (int i = 0; i < width - blanks; ++i)
        field[blanks + i] = digits[n - 1 - i];
}

// Reads a right-aligned number from a field: blanks, a sign and digits; the
// first other character ends it. Saturates at the 32-bit limits.
std::int32_t get_number(const char* field, int width) {
    int i = 0;
    while (i < width && field[i] == ' ')
        ++i;
    bool negative = false;
    if (i < width && (field[i] == '-' || field[i] == '+')) negative = field[i++] == '-';
    long long n = 0;
    for (; i < width && std::isdigit(static_cast<unsigned char>(field[i])); ++i) {
        n = n * 10 + (field[i] - '0');
        if (n > INT32_MAX) n = static_cast<long long>(INT32_MAX) + 1;
    }
    if (negative) n = -n;
    if (n > INT32_MAX) return INT32_MAX;
    if (n < INT32_MIN) return INT32_MIN;
    return static_cast<std::int32_t>(n);
}

// ---- schedule records -----------------------------------------------------------

sched_header decode_header(const char* rec, const SchedLayout& l) {
    sched_header s;
    const auto w = static_cast<std::size_t>(l.name);
    std::memcpy(s.workstation.data(), rec, w);
    std::memcpy(s.schedule.data(), rec + l.name, w);
    std::memcpy(s.text1.data(), rec + l.text1_off, static_cast<std::size_t>(l.text1_len));
    if (l.flag_off >= 0) s.flag = rec[l.flag_off];
    std::memcpy(s.text2.data(), rec + l.text2_off, s.text2.size());
    std::memcpy(s.text3.data(), rec + l.text3_off, s.text3.size());
    const std::int32_t n = get_number(rec + l.date_off, kNumberWidth);
    s.date = l.flag_off < 0 ? ymd_to_time(n, 0) : n;
    return s;
}

void encode_header(const sched_header& s, const SchedLayout& l, char* rec) {
    const auto w = static_cast<std::size_t>(l.name);
    std::memset(rec, ' ', static_cast<std::size_t>(l.header_len));
    std::memcpy(rec, s.workstation.data(), w);
    std::memcpy(rec + l.name, s.schedule.data(), w);
    std::memcpy(rec + l.text1_off, s.text1.data(), static_cast<std::size_t>(l.text1_len));
    if (l.flag_off >= 0) rec[l.flag_off] = s.flag;
    std::memcpy(rec + l.text2_off, s.text2.data(), s.text2.size());
    std::memcpy(rec + l.text3_off, s.text3.data(), s.text3.size());
    put_number(rec + l.date_off, kNumberWidth, l.flag_off < 0 ? time_to_ymd8(s.date) : s.date);
}

void encode_line(const char* key, const SchedLayout& l, int lineno, const std::string& text,
                 char* rec) {
    std::memset(rec, ' ', static_cast<std::size_t>(l.line_len));
    std::memcpy(rec, key, static_cast<std::size_t>(2 * l.name));
    put_number(rec + l.lineno_off, kLineNoWidth, lineno);
    std::memcpy(rec + l.text_off, text.data(), std::min<std::size_t>(text.size(), DB_LINE_TEXT));
}

// The pair text of a key, both names without trailing blanks, joined, put
// into out (whose buffer is reused).
void assign_pair(std::string& out, const char* key, int width) {
    out.assign(key, static_cast<std::size_t>(field_length(key, width)));
    out += DB_PAIR_SEPARATOR;
    out.append(key + width, static_cast<std::size_t>(field_length(key + width, width)));
}

// Whether pair is the pair text of key.
bool is_pair_of(std::string_view pair, const char* key, int width) {
    const std::string_view first(key, static_cast<std::size_t>(field_length(key, width)));
    const std::string_view second(key + width,
                                  static_cast<std::size_t>(field_length(key + width, width)));
    return pair.size() == first.size() + 1 + second.size() && pair.starts_with(first) &&
           pair[first.size()] == DB_PAIR_SEPARATOR && pair.ends_with(second);
}

// Splits a text into lines (without their line ends; a carriage return
// before a line feed is dropped too). Text after the last line feed is a
// line of its own.
std::vector<std::string> split_text_lines(std::string_view text) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        if (nl == std::string_view::npos) {
            lines.emplace_back(text);
            break;
        }
        std::string_view line = text.substr(0, nl);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.emplace_back(line);
        text.remove_prefix(nl + 1);
    }
    return lines;
}

// Reads a whole file into *text. False with the system error in *err when it
// cannot be opened or read.
bool read_whole_file(const char* path, std::string* text, int* err) {
    if (path == nullptr || *path == '\0') {
        *err = ENOENT;
        return false;
    }
    std::FILE* in = std::fopen(path, "r");
    if (in == nullptr) {
        *err = errno;
        return false;
    }
    char buf[8192];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, in)) > 0)
        text->append(buf, n);
    const bool failed = std::ferror(in) != 0;
    const int read_errno = errno;
    std::fclose(in);
    if (failed) {
        *err = read_errno != 0 ? read_errno : EIO;
        return false;
    }
    return true;
}

bool is_blank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// The SCHEDULE line with the header's names: "SCHEDULE ws#name rest". Empty
// when the line does not begin with the word SCHEDULE.
std::string rewrite_schedule_line(const std::string& line, const std::string& ws,
                                  const std::string& name) {
    std::size_t i = 0;
    while (i < line.size() && is_blank(line[i]))
        ++i;
    std::size_t end = i;
    while (end < line.size() && !is_blank(line[end]))
        ++end;
    std::string first = line.substr(i, end - i);
    for (char& c : first)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (first != "SCHEDULE") return {};
    i = end;
    while (i < line.size() && is_blank(line[i]))
        ++i;
    while (i < line.size() && !is_blank(line[i]))
        ++i;  // the old names
    while (i < line.size() && is_blank(line[i]))
        ++i;
    std::string out = "SCHEDULE " + ws + "#" + name;
    if (i < line.size()) out += " " + line.substr(i);
    return out;
}

// Creates the output file of the text export.
int create_output(const char* path, std::string* used, int* err) {
    if (path != nullptr && *path != '\0') {
        const int fd =
            plat::FH_open_file(path, plat::FH_WRONLY | plat::FH_CREAT | plat::FH_TRUNC, 0644);
        if (fd < 0) *err = errno;
        *used = path;
        return fd;
    }
    // A temporary file "sched.<pid>": in $TEMP, else in the system's
    // temporary directories. It is created new, never opened through an
    // existing name.
    std::vector<std::string> dirs;
    if (const char* temp = std::getenv("TEMP"); temp != nullptr && *temp != '\0')
        dirs.emplace_back(temp);
    dirs.emplace_back("/tmp");
    dirs.emplace_back("/var/tmp");
    *err = ENOENT;
    for (const std::string& dir : dirs) {
        const std::string name = dir + "/sched." + std::to_string(plat::process_id());
        const int flags = plat::FH_WRONLY | plat::FH_CREAT | plat::FH_EXCL;
        int fd = plat::FH_open_file(name.c_str(), flags, 0600);
        if (fd < 0 && errno == EEXIST && plat::FH_remove_file(name.c_str()) == 0)
            fd = plat::FH_open_file(name.c_str(), flags, 0600);
        if (fd >= 0) {
            *used = name;
            return fd;
        }
        *err = errno;
    }
    return -1;
}

// ---- calendar records -----------------------------------------------------------

std::string date_field(time_value date, int format) {
    std::string f(kNumberWidth, ' ');
    put_number(f.data(), kNumberWidth, format == 0 ? time_to_ymd8(date) : date);
    return f;
}

// Makes the named calendar the current master record of the calendar file.
// The record is read unless it is the current calendar already; with fresh
// it is always read again (for an update under the current lock).
std::int16_t select_calendar(db_handle* h, isam_handle* f, const std::string& key, bool fresh) {
    const std::string name = trimmed(key.data(), DB_CALENDAR_NAME);
    const bool current = !name.empty() && name == h->current_cal;
    if (current && !fresh) return DB_OK;
    h->current_cal.clear();
    Record rec{};
    const std::int16_t rc =
        isam_read(f, rec.data(), current ? ISAM_READ_CURRENT : ISAM_READ_EXACT, key.c_str(), 0);
    if (rc == ISAM_E_NOT_FOUND) return done(h, DB_E_MISSING);
    if (rc != ISAM_OK) return keyed_failure(h, f);
    h->current_cal = name;
    return DB_OK;
}

using DateKey = std::array<char, kNumberWidth>;

DateKey date_key_of(const std::string& field) {
    DateKey k{};
    std::memcpy(k.data(), field.data(), k.size());
    return k;
}

// The kept dates of the calendar whose master record is current (selected
// by select_calendar just before), reading its chain when they are not kept
// yet. Null outside the calendar lock, and for a chain that cannot be read
// back whole or is out of order: the callers then walk the file as always.
db_calendar_dates* kept_dates(db_handle* h, isam_handle* f, const std::string& key) {
    if (!h->calendars_locked) return nullptr;
    auto [it, added] = h->calendar_dates.try_emplace(key);
    db_calendar_dates& d = it->second;
    if (!added) return d.usable ? &d : nullptr;
    const char* rec = nullptr;  // where the handle holds the record read
    int mode = ISAM_READ_FIRST;
    std::int16_t rc = ISAM_OK;
    while ((rc = isam_read_view(f, &rec, mode, nullptr, 1)) == ISAM_OK) {
        mode = ISAM_READ_NEXT;
        DateKey k{};
        std::memcpy(k.data(), rec + DB_CALENDAR_NAME, k.size());
        if (!d.keys.empty() && std::memcmp(d.keys.back().data(), k.data(), k.size()) >= 0) break;
        d.keys.push_back(k);
    }
    d.usable = rc == ISAM_E_NOT_FOUND;
    if (!d.usable) d.keys.clear();
    return d.usable ? &d : nullptr;
}

bool key_less(const DateKey& a, const DateKey& b) {
    return std::memcmp(a.data(), b.data(), a.size()) < 0;
}

}  // namespace

// ---- handle and files -----------------------------------------------------------

void db_closer::operator()(db_handle* h) const {
    release_handle(h);
}

std::int16_t db_open(db_ptr* out, int mode, std::string* msg, int long_names) {
    if (msg != nullptr) msg->clear();
    if (out == nullptr) return DB_E_NO_HANDLE;
    db_handle*& shared = shared_handle();
    if (mode != DB_OPEN_PRIVATE && shared != nullptr) {
        ++shared->refs;
        out->reset(shared);
        return DB_OK;
    }
    try {
        auto h = std::make_unique<db_handle>();
        h->long_names = static_cast<std::int16_t>(long_names);
        h->open_mode = static_cast<std::int16_t>(mode);
        if (mode != DB_OPEN_PRIVATE) shared = h.get();
        out->reset(h.release());
    } catch (const std::bad_alloc&) {
        if (msg != nullptr) {
            char buf[kFormatBufSize];
            std::int16_t len = 0;
            format_msg(buf, &len, kMsgSet, DB_E_MEMORY);
            msg->assign(buf, static_cast<std::size_t>(std::max<std::int16_t>(len, 0)));
        }
        return DB_E_MEMORY;
    }
    return DB_OK;
}

std::int16_t db_close(db_ptr* ref) {
    if (ref == nullptr || !*ref) return DB_E_NO_HANDLE;
    if ((*ref)->magic != DB_MAGIC) {
        ref->release();  // not ours to free
        return DB_E_BAD_HANDLE;
    }
    return release_handle(ref->release());
}

std::string db_file_path(int file) {
    if (!valid_file(file)) return {};
    const FileEntry& e = kFileTable[file];
    std::string path = e.name;
    locate_dir_file(e.dir_kind, path);
    return path;
}

std::int16_t db_open_file(db_handle* h, int file) {
    if (const std::int16_t rc = enter(h)) return rc;
    if (!valid_file(file)) return done(h, DB_E_NOT_OPEN);
    return use_file(h, file) != nullptr ? done(h, DB_OK) : h->code;
}

std::int16_t db_probe_file(int choice, int mode, std::string* msg, std::int16_t* long_names) {
    static constexpr int kChoices[] = {DB_FILE_SCHEDULES, DB_FILE_JOBS, DB_FILE_SCHED_JOBS,
                                       DB_FILE_RESOURCES, DB_FILE_CALENDARS};
    if (msg != nullptr) msg->clear();
    db_ptr h;
    std::int16_t rc = db_open(&h, mode, msg, long_names != nullptr ? *long_names : 0);
    if (rc != DB_OK) return rc;
    const bool valid = choice >= DB_PROBE_SCHEDULES && choice <= DB_PROBE_CALENDARS;
    const int file = valid ? kChoices[choice - 1] : -1;
    rc = db_open_file(h.get(), file);
    if (rc != DB_OK) {
        if (msg != nullptr) db_error_text(h.get(), msg);
    } else if (long_names != nullptr) {
        // The probed file's own flag, also when the shared handle opened
        // other files after it.
        *long_names =
            static_cast<std::int16_t>(isam_format(h->files[static_cast<std::size_t>(file)].get()));
    }
    db_close(&h);
    return rc;
}

std::int16_t db_lock_schedules(db_handle* h) {
    if (const std::int16_t rc = enter(h)) return rc;
    isam_handle* sched = use_file(h, DB_FILE_SCHEDULES);
    if (sched == nullptr) return h->code;
    isam_handle* jobs = use_file(h, DB_FILE_SCHED_JOBS);
    if (jobs == nullptr) return h->code;
    if (isam_lock(sched, ISAM_LOCK_UPDATE) != ISAM_OK) return keyed_failure(h, sched);
    if (isam_lock(jobs, ISAM_LOCK_UPDATE) != ISAM_OK) {
        const std::int16_t rc = keyed_failure(h, jobs);
        isam_unlock(sched);
        return rc;
    }
    return done(h, DB_OK);
}

std::int16_t db_unlock_schedules(db_handle* h) {
    if (const std::int16_t rc = enter(h)) return rc;
    h->sched_places.reset();
    isam_handle* sched = h->files[DB_FILE_SCHEDULES].get();
    isam_handle* jobs = h->files[DB_FILE_SCHED_JOBS].get();
    if (sched == nullptr || jobs == nullptr) return done(h, DB_E_NOT_OPEN);
    const std::int16_t jobs_rc = isam_unlock(jobs);
    const std::int16_t sched_rc = isam_unlock(sched);
    // Either failure is reported: a lock that stays held must not pass for
    // success.
    if (jobs_rc != ISAM_OK) return keyed_failure(h, jobs);
    if (sched_rc != ISAM_OK) return keyed_failure(h, sched);
    return done(h, DB_OK);
}

std::int16_t db_lock_calendars(db_handle* h) {
    if (const std::int16_t rc = enter(h)) return rc;
    isam_handle* f = use_file(h, DB_FILE_CALENDARS);
    if (f == nullptr) return h->code;
    if (isam_lock(f, ISAM_LOCK_UPDATE) != ISAM_OK) return keyed_failure(h, f);
    h->calendar_dates.clear();
    h->calendars_locked = true;
    return done(h, DB_OK);
}

std::int16_t db_unlock_calendars(db_handle* h) {
    if (const std::int16_t rc = enter(h)) return rc;
    h->calendar_dates.clear();
    h->calendars_locked = false;
    isam_handle* f = open_file_only(h, DB_FILE_CALENDARS);
    if (f == nullptr) return h->code;
    if (isam_unlock(f) != ISAM_OK) return keyed_failure(h, f);
    return done(h, DB_OK);
}

std::int16_t db_error_text(const db_handle* h, std::string* text) {
    if (text == nullptr) return h == nullptr ? DB_E_NO_HANDLE : DB_OK;
    text->clear();
    const std::int16_t code = stored_code(h);
    if (code == DB_OK) return code;
    if (code == DB_E_KEYED) {
        *text = h->msg_text;
        return code;
    }
    char buf[kFormatBufSize];
    std::int16_t len = 0;
    if (code == DB_E_TEMP || code == DB_E_INPUT)
        format_msg(buf, &len, kMsgSet, code, {arg_errno(h->detail)});
    else
        format_msg(buf, &len, kMsgSet, code);
    text->assign(buf, static_cast<std::size_t>(std::max<std::int16_t>(len, 0)));
    return code;
}

std::int16_t db_status(const db_handle* h, std::int16_t* code, std::int32_t* detail) {
    const std::int16_t c = stored_code(h);
    if (code != nullptr) *code = c;
    if (detail != nullptr)
        *detail = (h != nullptr && h->magic == DB_MAGIC && c != 0) ? h->detail : 0;
    return c;
}

std::int16_t db_long_names(const db_handle* h, std::int16_t* flag) {
    if (h == nullptr) return DB_E_NO_HANDLE;
    if (h->magic != DB_MAGIC) return DB_E_BAD_HANDLE;
    if (flag != nullptr) *flag = h->long_names;
    return DB_OK;
}

void db_shared_reset() {
    shared_handle() = nullptr;
}

// ---- schedules ----------------------------------------------------------------

sched_header make_sched_header(std::string_view workstation, std::string_view schedule) {
    sched_header s;
    std::memcpy(s.workstation.data(), workstation.data(),
                std::min(workstation.size(), s.workstation.size()));
    std::memcpy(s.schedule.data(), schedule.data(), std::min(schedule.size(), s.schedule.size()));
    return s;
}

int match_name_pair(const char* key, const char* pattern, int key_len, int pattern_len) {
    if (key == nullptr || key_len <= 0) return 0;
    if (pattern == nullptr) return 1;
    if (pattern_len < 0) pattern_len = static_cast<int>(std::strlen(pattern));
    // "@" for both names, as a walk over all schedules asks, takes every key.
    if (pattern_len == 3 && pattern[0] == '@' && pattern[1] == DB_PAIR_SEPARATOR &&
        pattern[2] == '@')
        return 1;
    const int width = key_len / 2;
    const auto* sep = static_cast<const char*>(
        std::memchr(pattern, DB_PAIR_SEPARATOR, static_cast<std::size_t>(pattern_len)));
    const int ws_len = sep != nullptr ? static_cast<int>(sep - pattern) : pattern_len;
    const char* sched = sep != nullptr ? sep + 1 : pattern + pattern_len;
    const int sched_len = sep != nullptr ? pattern_len - ws_len - 1 : 0;
    return match_pattern_exact(key, pattern, width, ws_len) != 0 &&
           match_pattern_exact(key + width, sched, width, sched_len) != 0;
}

std::int16_t read_next_schedule(db_handle* h, const char* ws_pattern, const char* sched_pattern,
                                int* cursor, sched_header* out) {
    if (const std::int16_t rc = enter(h)) return rc;
    isam_handle* f = use_file(h, DB_FILE_SCHEDULES);
    if (f == nullptr) return h->code;
    int first = 0;
    if (cursor == nullptr) cursor = &first;
    const char* rec = nullptr;
    std::int16_t rc = ISAM_OK;
    if (*cursor == 0) {
        *cursor = 1;
        // The pattern only starts the walk: the file keeps it for the next
        // steps. Its buffer is reused.
        std::string& pattern = h->pattern;
        pattern.assign(ws_pattern != nullptr ? ws_pattern : "");
        pattern += DB_PAIR_SEPARATOR;
        if (sched_pattern != nullptr) pattern += sched_pattern;
        rc = isam_read_view(f, &rec, ISAM_READ_PATTERN, pattern.c_str(), 0);
    } else {
        rc = isam_read_view(f, &rec, ISAM_READ_NEXT, nullptr, 0);
    }
    if (rc != ISAM_OK) {
        h->current_sched.clear();  // the file has no current header now
        if (rc == ISAM_E_NOT_FOUND) return done(h, DB_E_END);
        return keyed_failure(h, f);
    }
    const SchedLayout& l = sched_layout(isam_format(f));
    if (out != nullptr) *out = decode_header(rec, l);
    assign_pair(h->current_sched, rec, l.name);
    return done(h, DB_OK);
}

namespace {

// The length of a stored line's text field without trailing white space;
// a zero byte ends it early (field_length counts the same). Stored lines
// are mostly blanks at the end: those are passed over sixteen (else eight)
// at a time from the end, and only the characters before them are looked
// at for a zero byte.
int stored_text_length(const char* field) {
    int n = DB_LINE_TEXT;
#if defined(__SSE2__)
    static_assert(DB_LINE_TEXT % 16 == 0);
    const __m128i blanks = _mm_set1_epi8(' ');
    while (n > 0) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(field + n - 16));
        const auto other =
            static_cast<unsigned>(~_mm_movemask_epi8(_mm_cmpeq_epi8(v, blanks))) & 0xFFFFu;
        if (other != 0) {
            n -= std::countl_zero(other) - 16;
            break;
        }
        n -= 16;
    }
    __m128i zeros = _mm_setzero_si128();
    for (int i = 0; i < n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(field + i));
        zeros = _mm_or_si128(zeros, _mm_cmpeq_epi8(v, _mm_setzero_si128()));
    }
    if (_mm_movemask_epi8(zeros) != 0) return field_length(field, DB_LINE_TEXT);
#else
    static_assert(DB_LINE_TEXT % 8 == 0);
    constexpr std::uint64_t kEightBlanks = 0x2020202020202020ULL;
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    while (n >= 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, field + n - 8, sizeof word);
        const std::uint64_t other = word ^ kEightBlanks;
        if (other == 0) {
            n -= 8;
            continue;
        }
        if constexpr (std::endian::native == std::endian::little) n -= std::countl_zero(other) / 8;
        break;
    }
    for (int i = 0; i < n; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, field + i, sizeof word);
        if (((word - kOnes) & ~word & kHigh) != 0) return field_length(field, DB_LINE_TEXT);
    }
#endif
    // The characters from n on are white space, and a zero byte is not: the
    // blocks looked at for one end inside the field. Other white space
    // before the blanks goes one character at a time.
    while (n > 0 && (field[n - 1] == ' ' || (field[n - 1] >= '\t' && field[n - 1] <= '\r')))
        --n;
    return n;
}

// Puts the header record of the schedule with the key (the names' fields
// side by side) under the handle, unless it is there already: DB_OK,
// DB_E_MISSING, or a keyed failure.
std::int16_t position_schedule(db_handle* h, isam_handle* f, const SchedLayout& l,
                               const char* key) {
    if (is_pair_of(h->current_sched, key, l.name)) return DB_OK;
    h->current_sched.clear();
    const char* master = nullptr;
    const std::int16_t rc = isam_read_view(f, &master, ISAM_READ_EXACT, key, 0);
    if (rc == ISAM_E_NOT_FOUND) return done(h, DB_E_MISSING);
    if (rc != ISAM_OK) return keyed_failure(h, f);
    assign_pair(h->current_sched, key, l.name);
    return DB_OK;
}

// Reads the next stored text line of a schedule; *text receives its
// characters (trailing blanks left out) where the schedule file's handle
// holds them, valid until the file's next operation.
std::int16_t next_schedule_line(db_handle* h, const char* workstation, const char* schedule,
                                int* cursor, std::string_view* text) {
    if (const std::int16_t rc = enter(h)) return rc;
    isam_handle* f = use_file(h, DB_FILE_SCHEDULES);
    if (f == nullptr) return h->code;
    int first = 0;
    if (cursor == nullptr) cursor = &first;
    const SchedLayout& l = sched_layout(isam_format(f));
    int mode = ISAM_READ_NEXT;
    if (*cursor == 0) {
        *cursor = 1;
        mode = ISAM_READ_FIRST;
        // The key is built in place (the names' fields side by side, and a
        // terminator): reading the lines of the header read last, as a
        // selection does for every schedule, allocates nothing.
        std::array<char, 2 * kMaxNameWidth + 1> key;
        std::memset(key.data(), ' ', static_cast<std::size_t>(2 * l.name));
        if (workstation != nullptr) pad_field(workstation, key.data(), l.name);
        if (schedule != nullptr) pad_field(schedule, key.data() + l.name, l.name);
        key[static_cast<std::size_t>(2 * l.name)] = '\0';
        if (const std::int16_t rc = position_schedule(h, f, l, key.data())) return rc;
    }
    const char* rec = nullptr;
    const std::int16_t rc = isam_read_view(f, &rec, mode, nullptr, 1);
    if (rc == ISAM_E_NOT_FOUND) return done(h, DB_E_END);
    if (rc != ISAM_OK) return keyed_failure(h, f);
    const char* at = rec + l.text_off;
    *text = std::string_view(at, static_cast<std::size_t>(stored_text_length(at)));
    return done(h, DB_OK);
}

// Appends a stored line's text as append_schedule_line does.
void append_stored(std::string_view stored, std::string* text, bool* continued) {
    const bool more = is_continued_line(stored);
    if (more) stored.remove_suffix(1);
    if (continued != nullptr) *continued = more;
    if (text != nullptr) text->append(stored);
}

}  // namespace

std::int16_t read_schedule_line(db_handle* h, const char* workstation, const char* schedule,
                                std::string* line, int* cursor) {
    std::string_view text;
    const std::int16_t rc = next_schedule_line(h, workstation, schedule, cursor, &text);
    // Assigned in place: a caller reading line after line keeps one buffer.
    if (rc == DB_OK && line != nullptr) line->assign(text);
    return rc;
}

std::int16_t append_schedule_line(db_handle* h, const char* workstation, const char* schedule,
                                  std::string* text, bool* continued, int* cursor) {
    std::string_view stored;
    const std::int16_t rc = next_schedule_line(h, workstation, schedule, cursor, &stored);
    if (rc != DB_OK) return rc;
    append_stored(stored, text, continued);
    return rc;
}

std::int16_t db_schedule_lines::append(std::string* text, bool* continued) {
    if (const std::int16_t rc = enter(h_)) return rc;
    if (!from_file_ && chain_ != nullptr) {
        const char* data = nullptr;
        switch (chain_->next(&data)) {
            case isam_chain_cursor::step::record: {
                ++next_;
                const char* at = data + text_off_;
                append_stored(
                    std::string_view(at, static_cast<std::size_t>(stored_text_length(at))), text,
                    continued);
                return done(h_, DB_OK);
            }
            case isam_chain_cursor::step::end:
                // As after reading to the end: the next read starts at the
                // top, from the file.
                next_ = 0;
                chain_ = nullptr;
                return done(h_, DB_E_END);
            case isam_chain_cursor::step::unknown:
                break;
        }
    }
    isam_handle* f = use_file(h_, DB_FILE_SCHEDULES);
    if (f == nullptr) return h_->code;
    const SchedLayout& l = sched_layout(isam_format(f));
    const char* rec = nullptr;
    if (!from_file_) {
        // On from the file: the chain is read up to where the lines given
        // so far end, as a reader of them would have.
        from_file_ = true;
        if (const std::int16_t rc = position_schedule(h_, f, l, key_.c_str())) return rc;
        for (std::size_t i = 0; i < next_; ++i) {
            const std::int16_t rc =
                isam_read_view(f, &rec, i == 0 ? ISAM_READ_FIRST : ISAM_READ_NEXT, nullptr, 1);
            if (rc == ISAM_E_NOT_FOUND) return done(h_, DB_E_END);
            if (rc != ISAM_OK) return keyed_failure(h_, f);
        }
    }
    const int mode = next_ == 0 ? ISAM_READ_FIRST : ISAM_READ_NEXT;
    ++next_;
    const std::int16_t rc = isam_read_view(f, &rec, mode, nullptr, 1);
    if (rc == ISAM_E_NOT_FOUND) {
        next_ = 0;
        return done(h_, DB_E_END);
    }
    if (rc != ISAM_OK) return keyed_failure(h_, f);
    const char* at = rec + l.text_off;
    append_stored(std::string_view(at, static_cast<std::size_t>(stored_text_length(at))), text,
                  continued);
    return done(h_, DB_OK);
}

// The scan of db_scan_schedules: the walk's keys and positions, then the
// file in order.
class db_schedule_scan final : public isam_chain_visitor {
  public:
    db_schedule_scan(db_handle* h, const SchedLayout& l, const isam_slot_desc& master,
                     db_schedule_scan_visitor& visitor)
        : h_(h),
          l_(l),
          klen_(static_cast<std::size_t>(master.key_length)),
          key_offset_(static_cast<std::size_t>(master.key_offset)),
          visitor_(visitor) {
        lines_.h_ = h;
    }

    // The walk's keys, in key order, and where the index puts them.
    bool add_key(const char* key, int length, std::int64_t pos) {
        if (static_cast<std::size_t>(length) != klen_ || pos > kMaxPosition) {
            failed_ = true;  // a read would reject the record: left to the walk
            return false;
        }
        keys_.append(key, klen_);
        by_position_.push_back(
            {static_cast<std::uint32_t>(pos), static_cast<std::uint32_t>(by_position_.size())});
        return true;
    }
    bool start() {
        visited_.assign(by_position_.size(), 0);
        std::sort(by_position_.begin(), by_position_.end());
        for (std::size_t i = 1; i < by_position_.size(); ++i)
            if (by_position_[i].pos == by_position_[i - 1].pos) return false;
        return true;
    }
    std::size_t count() const { return by_position_.size(); }

    // Where the headers are, for db_schedule_text.
    std::unique_ptr<db_schedule_places> places() {
        auto p = std::make_unique<db_schedule_places>();
        p->key_length = klen_;
        p->keys = std::move(keys_);
        p->from.assign(by_position_.size(), 0);
        p->to.assign(by_position_.size(), 0);
        for (std::size_t i = 0; i < by_position_.size(); ++i) {
            const std::uint32_t rank = by_position_[i].rank;
            p->from[rank] = by_position_[i].pos;
            p->to[rank] = i + 1 < by_position_.size() ? by_position_[i + 1].pos
                                                      : std::numeric_limits<std::uint32_t>::max();
        }
        return p;
    }

    // The positions of the walk's headers, rising.
    std::vector<std::int64_t> positions() const {
        std::vector<std::int64_t> out;
        out.reserve(by_position_.size());
        for (const placed& p : by_position_)
            out.push_back(p.pos);
        return out;
    }

    bool master(std::int64_t /*pos*/, const char* data, isam_chain_cursor& chain) override {
        if (failed_) return false;
        const std::uint32_t rank = by_position_[next_++].rank;
        if (data == nullptr) return true;  // read the way the walk reads it, afterwards
        // A read checks the record's key against the index's.
        if (std::memcmp(data + key_offset_, keys_.data() + rank * klen_, klen_) != 0) {
            failed_ = true;
            return false;
        }
        visited_[rank] = 1;
        lines_.chain_ = &chain;
        if (!visit(rank, decode_header(data, l_))) failed_ = true;
        lines_.chain_ = nullptr;
        return !failed_;
    }

    // The schedules the file scan could not vouch for, read the way a walk
    // reads them. False when one cannot be read.
    bool visit_the_rest() {
        Record rec;
        isam_handle* f = use_file(h_, DB_FILE_SCHEDULES);
        if (f == nullptr) return false;
        for (std::size_t rank = 0; rank < visited_.size() && !failed_; ++rank) {
            if (visited_[rank]) continue;
            std::string key(keys_.data() + rank * klen_, klen_);
            h_->current_sched.clear();
            if (isam_read(f, rec.data(), ISAM_READ_EXACT, key.c_str(), 0) != ISAM_OK) return false;
            lines_.chain_ = nullptr;
            if (!visit(rank, decode_header(rec.data(), l_))) return false;
        }
        return !failed_;
    }
    bool failed() const { return failed_; }

  private:
    static constexpr std::int64_t kMaxPosition = 0xFFFFFFFFLL;
    struct placed {
        std::uint32_t pos;
        std::uint32_t rank;
        bool operator<(const placed& o) const { return pos < o.pos; }
    };

    bool visit(std::size_t rank, const sched_header& header) {
        lines_.key_.assign(keys_.data() + rank * klen_, klen_);
        lines_.text_off_ = l_.text_off;
        lines_.next_ = 0;
        lines_.from_file_ = false;
        return visitor_.schedule(rank, header, lines_);
    }

    db_handle* h_;
    const SchedLayout& l_;
    std::size_t klen_;
    std::size_t key_offset_;
    db_schedule_scan_visitor& visitor_;
    std::string keys_;  // by rank
    std::vector<placed> by_position_;
    std::vector<char> visited_;  // by rank
    std::size_t next_ = 0;       // in by_position_: the next master met
    db_schedule_lines lines_;
    bool failed_ = false;
};

std::int16_t db_scan_schedules(db_handle* h, const char* ws_pattern, const char* sched_pattern,
                               db_schedule_scan_visitor& visitor, std::size_t* count) {
    if (const std::int16_t rc = enter(h)) return rc;
    isam_handle* f = use_file(h, DB_FILE_SCHEDULES);
    if (f == nullptr) return h->code;
    std::string pattern = ws_pattern != nullptr ? ws_pattern : "";
    pattern += DB_PAIR_SEPARATOR;
    if (sched_pattern != nullptr) pattern += sched_pattern;
    h->sched_places.reset();
    const SchedLayout& l = sched_layout(isam_format(f));
    db_schedule_scan scan(h, l, f->slots[0].desc, visitor);
    std::int16_t rc =
        isam_walk_keys(f, pattern.c_str(), [&scan](const char* key, int length, std::int64_t pos) {
            return scan.add_key(key, length, pos);
        });
    if (count != nullptr) *count = scan.count();
    if (rc != ISAM_OK || scan.failed() || !scan.start()) return done(h, DB_E_KEYED, rc);
    h->current_sched.clear();
    rc = isam_scan_chains(f, 1, scan.positions(), scan);
    if (rc != ISAM_OK || scan.failed() || !scan.visit_the_rest()) return done(h, DB_E_KEYED, rc);
    try {
        h->sched_places = scan.places();
    } catch (const std::bad_alloc&) {
        h->sched_places.reset();  // the schedules are read the usual way
    }
    return done(h, DB_OK);
}

std::int16_t db_schedule_text(db_handle* h, const char* workstation, const char* schedule,
                              db_schedule_lines* lines) {
    if (const std::int16_t rc = enter(h)) return rc;
    isam_handle* f = use_file(h, DB_FILE_SCHEDULES);
    if (f == nullptr) return h->code;
    const SchedLayout& l = sched_layout(isam_format(f));
    std::array<char, 2 * kMaxNameWidth + 1> key;
    const auto klen = static_cast<std::size_t>(2 * l.name);
    std::memset(key.data(), ' ', klen);
    if (workstation != nullptr) pad_field(workstation, key.data(), l.name);
    if (schedule != nullptr) pad_field(schedule, key.data() + l.name, l.name);
    lines->h_ = h;
    lines->key_.assign(key.data(), klen);
    lines->text_off_ = l.text_off;
    lines->chain_ = nullptr;
    lines->next_ = 0;
    lines->from_file_ = false;
    const db_schedule_places* p = h->sched_places.get();
    const isam_slot_desc& m = f->slots[0].desc;
    if (p != nullptr && p->key_length == klen && static_cast<std::size_t>(m.key_length) == klen) {
        // The keys are in key order: a binary search finds this one.
        std::size_t lo = 0;
        std::size_t hi = p->from.size();
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (std::memcmp(p->keys.data() + mid * klen, key.data(), klen) < 0)
                lo = mid + 1;
            else
                hi = mid;
        }
        if (lo < p->from.size() && std::memcmp(p->keys.data() + lo * klen, key.data(), klen) == 0) {
            constexpr std::int64_t kMost = std::int64_t{64} << 10;
            const std::int64_t from = p->from[lo];
            const std::int64_t length = std::min<std::int64_t>(p->to[lo] - from, kMost);
            const char* data = nullptr;
            // As a read of the header checks it: the record's key is the key.
            if (isam_chain_at(f, 1, from, length, &lines->buffer_, &data, &lines->own_) ==
                    ISAM_OK &&
                std::memcmp(data + m.key_offset, key.data(), klen) == 0)
                lines->chain_ = &lines->own_;
        }
    }
    return done(h, DB_OK);
}

bool is_continued_line(std::string_view stored) {
    return stored.size() == DB_CONTINUED_LENGTH && stored.back() == '\\';
}

std::vector<std::string> split_logical_line(std::string_view line) {
    while (!line.empty() && is_blank(line.back()))
        line.remove_suffix(1);
    std::vector<std::string> pieces;
    constexpr std::size_t text = DB_CONTINUED_LENGTH - 1;
    // A remainder that a reader would take for a continued piece is split
    // too, so that every stored piece reads back as written.
    while (line.size() > DB_CONTINUED_LENGTH || is_continued_line(line)) {
        pieces.emplace_back(line.substr(0, text));
        pieces.back() += '\\';
        line.remove_prefix(text);
    }
    pieces.emplace_back(line);
    return pieces;
}

std::vector<std::string> join_stored_lines(const std::vector<std::string>& stored) {
    std::vector<std::string> out;
    std::string pending;
    bool open = false;
    for (const std::string& s : stored) {
        if (is_continued_line(s)) {
            pending.append(s, 0, DB_CONTINUED_LENGTH - 1);
            open = true;
            continue;
        }
        pending += s;
        out.push_back(std::move(pending));
        pending.clear();
        open = false;
    }
    if (open) out.push_back(std::move(pending));
    return out;
}

std::int16_t store_schedule(db_handle* h, const sched_header& hdr, const char* path) {
    if (const std::int16_t rc = enter(h)) return rc;
    if (open_file_only(h, DB_FILE_SCHEDULES) == nullptr) return h->code;
    if (open_file_only(h, DB_FILE_SCHED_JOBS) == nullptr) return h->code;
    // The whole text is read before anything is changed, so that an
    // unreadable file leaves the old schedule in place.
    std::string text;
    int err = 0;
    if (!read_whole_file(path, &text, &err)) return done(h, DB_E_INPUT, err);
    return store_schedule_text(h, hdr, text);
}

namespace {

std::int16_t store_schedule_records(db_handle* h, isam_handle* f, isam_handle* jobs,
                                    const sched_header& hdr, std::string_view text) {
    const std::vector<std::string> lines = split_text_lines(text);

    const SchedLayout& l = sched_layout(isam_format(f));
    Record rec{};
    encode_header(hdr, l, rec.data());
    const std::string key(rec.data(), static_cast<std::size_t>(2 * l.name));
    const std::string ws = trimmed(key.data(), l.name);
    const std::string name = trimmed(key.data() + l.name, l.name);

    std::vector<std::string> stored;
    bool renamed = false;
    for (const std::string& line : lines) {
        std::string text = line;
        if (!renamed) {
            std::string rewritten = rewrite_schedule_line(line, ws, name);
            if (!rewritten.empty()) {
                text = std::move(rewritten);
                renamed = true;
            }
        }
        for (std::string& piece : split_logical_line(text))
            stored.push_back(std::move(piece));
    }
    if (stored.size() > static_cast<std::size_t>(kMaxLineNo) + 1) return done(h, DB_E_INPUT, EFBIG);

    // Remove the old schedule (header with its lines) and its job list.
    h->current_sched.clear();
    Record old{};
    std::int16_t rc = isam_read(f, old.data(), ISAM_READ_EXACT, key.c_str(), 0);
    if (rc == ISAM_OK) rc = isam_delete(f, 0);
    if (rc != ISAM_OK && rc != ISAM_E_NOT_FOUND) return keyed_failure(h, f);
    const int jobs_width = isam_key_length(jobs, 0) / 2;
    const std::string jobs_key = padded(ws.c_str(), jobs_width) + padded(name.c_str(), jobs_width);
    rc = isam_read(jobs, old.data(), ISAM_READ_EXACT, jobs_key.c_str(), 0);
    if (rc == ISAM_OK) rc = isam_delete(jobs, 0);
    if (rc != ISAM_OK && rc != ISAM_E_NOT_FOUND) return keyed_failure(h, jobs);

    if (isam_add(f, rec.data(), 0) != ISAM_OK) return keyed_failure(h, f);
    int lineno = 0;
    for (const std::string& text : stored) {
        encode_line(key.data(), l, lineno++, text, rec.data());
        if (isam_add(f, rec.data(), 1) != ISAM_OK) return keyed_failure(h, f);
    }
    return done(h, DB_OK);
}

}  // namespace

std::int16_t store_schedule_text(db_handle* h, const sched_header& hdr, std::string_view text) {
    if (const std::int16_t rc = enter(h)) return rc;
    h->sched_places.reset();
    isam_handle* f = open_file_only(h, DB_FILE_SCHEDULES);
    if (f == nullptr) return h->code;
    isam_handle* jobs = open_file_only(h, DB_FILE_SCHED_JOBS);
    if (jobs == nullptr) return h->code;
    return settled(h, f, jobs, store_schedule_records(h, f, jobs, hdr, text));
}

std::int16_t write_schedule_text(db_handle* h, const char* workstation, const char* schedule,
                                 const char* path, std::string* written) {
    if (const std::int16_t rc = enter(h)) return rc;
    std::vector<std::string> stored;
    int cursor = 0;
    for (;;) {
        std::string line;
        const std::int16_t rc = read_schedule_line(h, workstation, schedule, &line, &cursor);
        if (rc == DB_E_END) break;
        if (rc != DB_OK) return rc;
        stored.push_back(std::move(line));
    }
    std::string text;
    for (const std::string& line : join_stored_lines(stored)) {
        text += line;
        text += '\n';
    }
    std::string used;
    int err = 0;
    const int fd = create_output(path, &used, &err);
    if (fd < 0) return done(h, DB_E_TEMP, err);
    const long n = plat::FH_write_file(fd, text.data(), text.size());
    err = errno;
    bool ok = n == static_cast<long>(text.size());
    if (plat::FH_close_file(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        plat::FH_remove_file(used.c_str());
        return done(h, DB_E_TEMP, err != 0 ? err : EIO);
    }
    if (written != nullptr) *written = used;
    return done(h, DB_OK);
}

// ---- calendars ----------------------------------------------------------------

calendar_info make_calendar_info(std::string_view name, std::string_view description) {
    calendar_info c;
    std::memcpy(c.name.data(), name.data(), std::min(name.size(), c.name.size()));
    std::memcpy(c.description.data(), description.data(),
                std::min(description.size(), c.description.size()));
    return c;
}

std::int16_t read_next_calendar(db_handle* h, const char* pattern, int* cursor,
                                calendar_info* out) {
    if (const std::int16_t rc = enter(h)) return rc;
    isam_handle* f = use_file(h, DB_FILE_CALENDARS);
    if (f == nullptr) return h->code;
    int first = 0;
    if (cursor == nullptr) cursor = &first;
    const int mode = *cursor == 0 ? ISAM_READ_PATTERN : ISAM_READ_NEXT;
    *cursor = 1;
    Record rec{};
    const std::int16_t rc = isam_read(f, rec.data(), mode, pattern != nullptr ? pattern : "", 0);
    if (rc != ISAM_OK) {
        h->current_cal.clear();
        if (rc == ISAM_E_NOT_FOUND) return done(h, DB_E_END);
        return keyed_failure(h, f);
    }
    if (out != nullptr) {
        std::memcpy(out->name.data(), rec.data(), DB_CALENDAR_NAME);
        std::memcpy(out->description.data(), rec.data() + DB_CALENDAR_NAME, DB_CALENDAR_DESC);
    }
    h->current_cal = trimmed(rec.data(), DB_CALENDAR_NAME);
    return done(h, DB_OK);
}

std::int16_t find_calendar_date(db_handle* h, const char* name, time_value date) {
    if (const std::int16_t rc = enter(h)) return rc;
    isam_handle* f = use_file(h, DB_FILE_CALENDARS);
    if (f == nullptr) return h->code;
    const std::string key = padded(name, DB_CALENDAR_NAME);
    if (select_calendar(h, f, key, false) != DB_OK) return h->code;
    const std::string field = date_field(date, isam_format(f));
    if (const db_calendar_dates* kept = kept_dates(h, f, key)) {
        const bool in =
            std::binary_search(kept->keys.begin(), kept->keys.end(), date_key_of(field), key_less);
        return done(h, in ? DB_OK : DB_E_MISSING);
    }
    const std::string date_key = key + field;
    Record rec{};
    const std::int16_t rc = isam_read(f, rec.data(), ISAM_READ_EXACT, date_key.c_str(), 1);
    if (rc == ISAM_E_NOT_FOUND) return done(h, DB_E_MISSING);
    if (rc != ISAM_OK) return keyed_failure(h, f);
    return done(h, DB_OK);
}

std::int16_t read_calendar_dates(db_handle* h, const char* name, time_value* cursor,
                                 time_value* dates, int* count) {
    if (const std::int16_t rc = enter(h)) return rc;
    isam_handle* f = use_file(h, DB_FILE_CALENDARS);
    if (f == nullptr) return h->code;
    const std::string key = padded(name, DB_CALENDAR_NAME);
    if (select_calendar(h, f, key, false) != DB_OK) return h->code;
    const int format = isam_format(f);
    const std::string from_field = date_field(cursor != nullptr ? *cursor : 0, format);
    const std::string from = key + from_field;
    const int capacity = dates != nullptr && count != nullptr ? *count : 0;
    Record rec{};
    int n = 0;
    int mode = ISAM_READ_GE;
    // The fields' numbers are collected first; packed dates are then
    // converted all at once.
    const auto finish_dates = [&] {
        if (format == 0) ymd_to_times(dates, dates, n);
    };
    if (const db_calendar_dates* kept = capacity > 0 ? kept_dates(h, f, key) : nullptr) {
        auto it = std::lower_bound(kept->keys.begin(), kept->keys.end(), date_key_of(from_field),
                                   key_less);
        for (; n < capacity && it != kept->keys.end(); ++it)
            dates[n++] = get_number(it->data(), kNumberWidth);
        mode = -1;  // nothing more to read from the file
    }
    while (mode >= 0 && n < capacity) {
        const std::int16_t rc =
            isam_read(f, rec.data(), mode, mode == ISAM_READ_GE ? from.c_str() : nullptr, 1);
        if (rc == ISAM_E_NOT_FOUND) break;
        if (rc != ISAM_OK) {
            finish_dates();
            return keyed_failure(h, f);
        }
        dates[n++] = get_number(rec.data() + DB_CALENDAR_NAME, kNumberWidth);
        mode = ISAM_READ_NEXT;
    }
    finish_dates();
    if (n == 0) return done(h, DB_E_END);
    *count = n;
    // The next local midnight: days of 23 or 25 hours move the cursor by a
    // calendar day too.
    if (cursor != nullptr) *cursor = daynum_to_time(time_to_daynum(dates[n - 1]) + 1);
    return done(h, DB_OK);
}

namespace {

std::int16_t store_calendar_record(db_handle* h, isam_handle* f, const calendar_info& cal) {
    Record rec{};
    std::memset(rec.data(), ' ', kCalRecordLen);
    std::memcpy(rec.data(), cal.name.data(), DB_CALENDAR_NAME);
    std::memcpy(rec.data() + DB_CALENDAR_NAME, cal.description.data(), DB_CALENDAR_DESC);
    const std::string key(rec.data(), DB_CALENDAR_NAME);
    h->calendar_dates.erase(key);
    const std::int16_t rc = select_calendar(h, f, key, true);
    if (rc == DB_E_MISSING) {
        if (isam_add(f, rec.data(), 0) != ISAM_OK) return keyed_failure(h, f);
        h->current_cal = trimmed(key.data(), DB_CALENDAR_NAME);
        return done(h, DB_OK);
    }
    if (rc != DB_OK) return rc;
    if (isam_replace(f, rec.data(), 0) != ISAM_OK) return keyed_failure(h, f);
    return done(h, DB_OK);
}

}  // namespace

std::int16_t store_calendar(db_handle* h, const calendar_info& cal) {
    if (const std::int16_t rc = enter(h)) return rc;
    isam_handle* f = open_file_only(h, DB_FILE_CALENDARS);
    if (f == nullptr) return h->code;
    return settled(h, f, store_calendar_record(h, f, cal));
}

namespace {

std::int16_t add_dates(db_handle* h, isam_handle* f, const char* name, const time_value* dates,
                       int count) {
    const std::string key = padded(name, DB_CALENDAR_NAME);
    if (select_calendar(h, f, key, true) != DB_OK) return h->code;
    const int format = isam_format(f);
    Record rec{};
    db_calendar_dates* kept = count > 0 ? kept_dates(h, f, key) : nullptr;
    for (int i = 0; dates != nullptr && i < count; ++i) {
        const std::string field = date_field(dates[i], format);
        const std::string date_key = key + field;
        const DateKey k = date_key_of(field);
        auto at = kept != nullptr
                      ? std::lower_bound(kept->keys.begin(), kept->keys.end(), k, key_less)
                      : std::vector<DateKey>::iterator{};
        if (kept != nullptr) {
            if (at != kept->keys.end() && !key_less(k, *at)) continue;  // stored already
        } else {
            const std::int16_t rc = isam_read(f, rec.data(), ISAM_READ_EXACT, date_key.c_str(), 1);
            if (rc == ISAM_OK) continue;  // stored already
            if (rc != ISAM_E_NOT_FOUND) return keyed_failure(h, f);
        }
        std::memset(rec.data(), ' ', kCalDateRecordLen);
        std::memcpy(rec.data(), date_key.data(), date_key.size());
        if (isam_add(f, rec.data(), 1) != ISAM_OK) {
            h->calendar_dates.erase(key);
            return keyed_failure(h, f);
        }
        if (kept != nullptr) kept->keys.insert(at, k);
    }
    return done(h, DB_OK);
}

}  // namespace

std::int16_t add_calendar_dates(db_handle* h, const char* name, const time_value* dates,
                                int count) {
    if (const std::int16_t rc = enter(h)) return rc;
    isam_handle* f = open_file_only(h, DB_FILE_CALENDARS);
    if (f == nullptr) return h->code;
    return settled(h, f, add_dates(h, f, name, dates, count));
}

namespace {

std::int16_t delete_date(db_handle* h, isam_handle* f, const char* name, time_value date) {
    const std::string key = padded(name, DB_CALENDAR_NAME);
    if (select_calendar(h, f, key, true) != DB_OK) return h->code;
    const std::string date_key = key + date_field(date, isam_format(f));
    h->calendar_dates.erase(key);
    Record rec{};
    const std::int16_t rc = isam_read(f, rec.data(), ISAM_READ_EXACT, date_key.c_str(), 1);
    if (rc == ISAM_E_NOT_FOUND) return done(h, DB_E_MISSING);
    if (rc != ISAM_OK || isam_delete(f, 1) != ISAM_OK) return keyed_failure(h, f);
    return done(h, DB_OK);
}

}  // namespace

std::int16_t delete_calendar_date(db_handle* h, const char* name, time_value date) {
    if (const std::int16_t rc = enter(h)) return rc;
    isam_handle* f = open_file_only(h, DB_FILE_CALENDARS);
    if (f == nullptr) return h->code;
    return settled(h, f, delete_date(h, f, name, date));
}

namespace {

std::int16_t delete_calendar_records(db_handle* h, isam_handle* f, const char* name) {
    const std::string key = padded(name, DB_CALENDAR_NAME);
    if (select_calendar(h, f, key, true) != DB_OK) return h->code;
    h->current_cal.clear();
    h->calendar_dates.erase(key);
    if (isam_delete(f, 0) != ISAM_OK) return keyed_failure(h, f);
    return done(h, DB_OK);
}

}  // namespace

std::int16_t delete_calendar(db_handle* h, const char* name) {
    if (const std::int16_t rc = enter(h)) return rc;
    isam_handle* f = open_file_only(h, DB_FILE_CALENDARS);
    if (f == nullptr) return h->code;
    return settled(h, f, delete_calendar_records(h, f, name));
}
