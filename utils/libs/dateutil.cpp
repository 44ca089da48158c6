// Date values and text fields.
#include "utils/libs/dateutil.h"

#include <array>
#include <bit>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Module state: the century stripping mode and the date format string, both
// created on first need and kept for the life of the process.

constexpr char kDefaultDateFormat[] = "%y/%m/%d";

struct DateState {
    int strip = -1;  // -1 unset, 0 off, 1 on
    std::optional<std::string> format;
    int format_code = 0;
};

DateState& date_state() {
    static DateState state;
    return state;
}

const DateState& date_format_state() {
    DateState& st = date_state();
    if (!st.format) {
        st.format = kDefaultDateFormat;
        st.format_code = analyse_date_format(st.format->c_str());
    }
    return st;
}

bool stripping_on() {
    if (date_state().strip < 0) set_date_strip(-1);
    return date_state().strip == 1;
}

bool is_marker(std::int32_t v) {
    return v == 0 || v == 32768 || v == -32768;
}

// White space of the "C" locale, the only one the programs run in; written
// out because fixed-width fields are trimmed by the million in one run.
constexpr bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
bool is_digit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// Values of the 32-bit arithmetic the dates are defined in; out-of-range
// results wrap instead of overflowing.
std::int32_t to_i32(long long v) {
    return static_cast<std::int32_t>(v);
}
time_value to_time_value(std::time_t t) {
    return static_cast<time_value>(t);
}

std::tm local_tm(time_value t) {
    std::tm tm{};
    std::time_t tt = t;
    if (localtime_r(&tt, &tm) == nullptr) tm = std::tm{};
    return tm;
}

std::int32_t packed_of(const std::tm& tm) {
    return to_i32((tm.tm_year + 1900LL) * 10000 + (tm.tm_mon + 1LL) * 100 + tm.tm_mday);
}

// Conversions of whole dates repeat by the thousand in one run (every
// calendar date read, every day number of a date). The results depend only
// on the date and on the time zone rules, which the C library settles from
// the TZ text: a small table of recent results is kept per TZ text, and
// emptied (by moving to a new generation) when that text changes.
struct ConversionEntry {
    std::int32_t key = 0;
    std::int32_t value = 0;
    std::uint32_t generation = 0;  // 0: never filled
};

// Room for some years of dates, so that the dates of all calendars fit.
constexpr int kConversionBits = 12;
constexpr std::size_t kConversionSlots = std::size_t{1} << kConversionBits;
constexpr std::size_t kTzTextMax = 64;

struct ConversionCache {
    std::uint32_t generation = 0;
    int tz_state = 0;  // 0 unknown or not cacheable, 1 TZ unset, 2 TZ set to tz
    char tz[kTzTextMax] = {};
    std::vector<ConversionEntry> midnights;  // kConversionSlots each, from first use
    std::vector<ConversionEntry> day_numbers;
    std::vector<ConversionEntry> dates;  // time_to_ymd8
    // While held, the TZ text is not looked up again: held_generation
    // stands for the text in force when the first hold began.
    int holds = 0;
    std::uint32_t held_generation = 0;
};

ConversionCache& conversion_cache() {
    thread_local ConversionCache cache;
    return cache;
}

// The generation of the kept results for the current TZ text; 0 when results
// must not be kept (a TZ text too long to remember).
std::uint32_t looked_up_generation(ConversionCache& c) {
    const char* tz = std::getenv("TZ");
    const int state = tz == nullptr ? 1 : 2;
    if (state == c.tz_state && (tz == nullptr || std::strcmp(tz, c.tz) == 0)) return c.generation;
    ++c.generation;
    if (c.generation == 0) ++c.generation;
    if (tz != nullptr && std::strlen(tz) >= kTzTextMax) {
        c.tz_state = 0;
        return 0;
    }
    c.tz_state = state;
    if (tz != nullptr) std::strcpy(c.tz, tz);
    return c.generation;
}

std::uint32_t conversion_generation() {
    ConversionCache& c = conversion_cache();
    return c.holds > 0 ? c.held_generation : looked_up_generation(c);
}

ConversionEntry& conversion_slot(std::vector<ConversionEntry>& table, std::int32_t key) {
    if (table.empty()) table.resize(kConversionSlots);
    const std::uint32_t h = static_cast<std::uint32_t>(key) * 2654435761U;
    return table[h >> (32 - kConversionBits)];
}

// Broken-down time of an ordinal date at 00:00, normalised by mktime.
time_value ordinal_to_tm(std::int32_t yddd, std::tm* tm) {
    *tm = std::tm{};
    tm->tm_year = expand_year(static_cast<std::int16_t>(yddd / 1000)) - 1900;
    tm->tm_mon = 0;
    tm->tm_mday = yddd % 1000;
    tm->tm_isdst = -1;
    return to_time_value(std::mktime(tm));
}

const char* date_pattern(int format_code) {
    switch (format_code) {
        case 1:
            return "%m/%d/%y";
        case 2:
            return "%d/%m/%y";
        case 3:
            return date_format_state().format->c_str();
        default:
            return kDefaultDateFormat;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Dates

std::int16_t expand_year(std::int16_t year) {
    if (year > 1000) return year;
    if (year >= 100) return static_cast<std::int16_t>(year + 1900);
    std::tm now = local_tm(now_time());
    int current = now.tm_year + 1900;
    int d = year - current % 100;
    int result = current + d;
    if (d < -50) {
        result += 100;
    } else if (d > 50) {
        result -= 100;
    }
    return static_cast<std::int16_t>(result);
}

int valid_ymd(std::int32_t packed) {
    static constexpr int kDays[13] = {0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (packed <= 0) return 0;
    int month = (packed / 100) % 100;
    int day = packed % 100;
    if (month < 1 || month > 12) return 0;
    if (day < 1 || day > kDays[month]) return 0;
    if (month == 2 && day == 29) {
        int y = expand_year(static_cast<std::int16_t>(packed / 10000));
        bool leap = y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
        if (!leap) return 0;
    }
    return 1;
}

int valid_date(time_value t) {
    return valid_ymd(time_to_ymd(t));
}

time_value ymd_to_tm(std::int32_t packed, int hhmm, std::tm* out) {
    std::tm tm{};
    tm.tm_year = expand_year(static_cast<std::int16_t>(packed / 10000)) - 1900;
    tm.tm_mon = (packed / 100) % 100 - 1;
    tm.tm_mday = packed % 100;
    tm.tm_hour = hhmm / 100;
    tm.tm_min = hhmm % 100;
    tm.tm_sec = 0;
    tm.tm_wday = 0;
    tm.tm_yday = 0;
    tm.tm_isdst = -1;
    time_value t = to_time_value(std::mktime(&tm));
    if (out) *out = tm;
    return t;
}

namespace {

// ymd_to_time with the kept results of the given generation (0: none kept).
time_value midnight_in(std::int32_t packed, std::uint32_t generation) {
    if (is_marker(packed)) return packed;
    // Only dates with a four-digit year are kept: a shorter year is placed
    // relative to the current year.
    const std::int32_t year = packed / 10000;
    if (generation == 0 || year <= 1000 || year > INT16_MAX) return ymd_to_tm(packed, 0, nullptr);
    ConversionEntry& e = conversion_slot(conversion_cache().midnights, packed);
    if (e.generation != generation || e.key != packed)
        e = {packed, ymd_to_tm(packed, 0, nullptr), generation};
    return e.value;
}

// time_to_daynum with the kept results of the given generation.
std::int32_t daynum_in(time_value t, std::uint32_t generation) {
    ConversionEntry* e =
        generation != 0 ? &conversion_slot(conversion_cache().day_numbers, t) : nullptr;
    if (e != nullptr && e->generation == generation && e->key == t) return e->value;
    // Local years of 32-bit time values have four digits: the day number
    // does not depend on the current year.
    std::tm tm = local_tm(t);
    const std::int32_t n = yddd_to_daynum(to_i32((tm.tm_year + 1900LL) * 1000 + tm.tm_yday + 1));
    if (e != nullptr) *e = ConversionEntry{t, n, generation};
    return n;
}

}  // namespace

time_value ymd_to_time(std::int32_t packed, int hhmm) {
    if (is_marker(packed)) return packed;
    if (hhmm != 0) return ymd_to_tm(packed, hhmm, nullptr);
    return midnight_in(packed, conversion_generation());
}

void ymd_to_times(const std::int32_t* packed, time_value* out, int n) {
    if (packed == nullptr || out == nullptr) return;
    const std::uint32_t generation = conversion_generation();
    for (int i = 0; i < n; ++i)
        out[i] = midnight_in(packed[i], generation);
}

std::int32_t time_to_ymd(time_value t) {
    if (is_marker(t)) return t;
    std::int32_t p = packed_of(local_tm(t));
    if (stripping_on()) p %= 1000000;
    return p;
}

std::int32_t time_to_ymd8(time_value t) {
    if (is_marker(t)) return t;
    const std::uint32_t generation = conversion_generation();
    ConversionEntry* e = generation != 0 ? &conversion_slot(conversion_cache().dates, t) : nullptr;
    if (e != nullptr && e->generation == generation && e->key == t) return e->value;
    std::tm tm{};
    time_at_hhmm(t, 0, &tm);
    const std::int32_t packed = packed_of(tm);
    if (e != nullptr) *e = ConversionEntry{t, packed, generation};
    return packed;
}

time_value time_at_hhmm(time_value t, int hhmm, std::tm* out) {
    std::tm tm = local_tm(t);
    tm.tm_hour = hhmm / 100;
    tm.tm_min = hhmm % 100;
    tm.tm_isdst = -1;
    time_value r = to_time_value(std::mktime(&tm));
    if (out) *out = tm;
    return r;
}

std::int32_t yddd_to_daynum(std::int32_t yddd) {
    long long y = expand_year(static_cast<std::int16_t>(yddd / 1000)) - 1901LL;
    return to_i32(365 * y + y / 4 + yddd % 1000);
}

std::int32_t daynum_to_yddd(std::int32_t daynum) {
    long long n = daynum;
    long long q = (4 * n - 1) / 1461;
    long long o = n + 635 * q - q / 4 + 1901000;
    std::int32_t r = to_i32(o);
    if (stripping_on()) r %= 100000;
    return r;
}

std::int32_t time_to_daynum(time_value t) {
    return daynum_in(t, conversion_generation());
}

void times_to_daynums(const time_value* t, std::int32_t* out, int n) {
    if (t == nullptr || out == nullptr) return;
    const std::uint32_t generation = conversion_generation();
    for (int i = 0; i < n; ++i)
        out[i] = daynum_in(t[i], generation);
}

time_value daynum_to_time(std::int32_t daynum) {
    std::tm tm{};
    return ordinal_to_tm(daynum_to_yddd(daynum), &tm);
}

std::int32_t yddd_to_ymd(std::int32_t yddd) {
    std::tm tm{};
    ordinal_to_tm(yddd, &tm);
    std::int32_t p = packed_of(tm);
    if (stripping_on()) p %= 1000000;
    return p;
}

int set_date_strip(int mode) {
    DateState& st = date_state();
    if (mode == 0 || mode == 1) {
        st.strip = mode;
    } else if (mode == -1) {
        const char* v = std::getenv("TELDATESTRIP");
        if (v == nullptr) {
            st.strip = 0;
        } else {
            // Read as a decimal number, low 16 bits; anything that does not
            // read as a number reads as 0 and turns stripping on.
            long long n = std::strtoll(v, nullptr, 10);
            st.strip = static_cast<std::int16_t>(n) != 0 ? 0 : 1;
        }
    }
    return st.strip;
}

int analyse_date_format(const char* format) {
    if (format == nullptr) return 0;
    int year = -1, month = -1, day = -1;
    int seen = 0;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') continue;
        ++p;
        if (*p == '\0') break;
        int* slot = nullptr;
        switch (*p) {
            case 'y':
            case 'Y':
                slot = &year;
                break;
            case 'm':
            case 'b':
            case 'B':
                slot = &month;
                break;
            case 'd':
                slot = &day;
                break;
            case 'D':
                return 0;
            default:
                break;
        }
        if (slot == nullptr) continue;
        if (*slot >= 0) return 0;
        *slot = seen++;
    }
    if (year < 0 || month < 0 || day < 0) return 0;
    if (day < month && month < year) return 2;
    if (month < day && day < year) return 1;
    return 0;
}

int format_date(time_value t, char* buf, int size, int format_code) {
    if (buf == nullptr || size <= 0) return 0;
    buf[0] = '\0';
    if (!valid_date(t)) return 0;
    std::tm tm{};
    time_at_hhmm(t, 0, &tm);
    std::size_t n =
        std::strftime(buf, static_cast<std::size_t>(size), date_pattern(format_code), &tm);
    // strftime leaves the buffer undefined when the text does not fit.
    if (n == 0) buf[0] = '\0';
    return static_cast<int>(n);
}

time_value short_date_to_time(std::uint16_t s) {
    if (s == 0 || s == 0x8000) return s;
    std::int32_t yddd = (s >> 9) * 1000 + (s & 0x1FF);
    return ymd_to_time(yddd_to_ymd(yddd), 0);
}

time_value now_time() {
    return to_time_value(std::time(nullptr));
}

int now_hhmm() {
    std::tm tm = local_tm(now_time());
    return tm.tm_hour * 100 + tm.tm_min;
}

time_value midnight_of(time_value t) {
    std::tm tm{};
    time_at_hhmm(t, 0, &tm);
    std::tm day = tm;
    tm.tm_sec = 0;
    tm.tm_min = 0;
    tm.tm_hour = 0;
    time_value r = to_time_value(std::mktime(&tm));
    if (tm.tm_mday != day.tm_mday || tm.tm_mon != day.tm_mon || tm.tm_year != day.tm_year) {
        // Midnight does not exist on this day (the clocks went forward at
        // 00:00) and the daylight-saving flag of the first pass carried the
        // time back into the day before: ask for the day's 00:00 afresh.
        tm = day;
        tm.tm_sec = 0;
        tm.tm_min = 0;
        tm.tm_hour = 0;
        tm.tm_isdst = -1;
        r = to_time_value(std::mktime(&tm));
    }
    return r;
}

time_value today_midnight() {
    return midnight_of(now_time());
}

void date_state_reset() {
    date_state() = DateState{};
    ConversionCache& c = conversion_cache();
    c.tz_state = 0;  // the next conversion starts a new generation
    if (c.holds > 0) c.held_generation = looked_up_generation(c);
}

time_zone_hold::time_zone_hold() {
    ConversionCache& c = conversion_cache();
    if (c.holds == 0) c.held_generation = looked_up_generation(c);
    ++c.holds;
}

time_zone_hold::~time_zone_hold() {
    ConversionCache& c = conversion_cache();
    if (c.holds > 0) --c.holds;
}

int parse_date(const char* text, time_value* out, int format_code) {
    if (text == nullptr) return 0;
    const char* start = text;
    while (is_space(*start))
        ++start;
    const char* end = start;
    while (*end != '\0' && *end != '\r' && *end != '\n')
        ++end;
    while (end > start && is_space(end[-1]))
        --end;
    if (end == start) return 0;

    // Fields from right to left: values[0] is the rightmost.
    std::int32_t values[4] = {0, 0, 0, 0};
    int seps = 0;
    const char* p = end;
    for (;;) {
        std::int32_t value = 0;
        std::int32_t weight = 1;
        for (int digits = 0; digits < 8 && p > start && is_digit(p[-1]); ++digits) {
            value += (p[-1] - '0') * weight;
            weight *= 10;
            --p;
        }
        values[seps] = value;
        if (p == start) break;
        unsigned char c = static_cast<unsigned char>(p[-1]);
        if (!std::ispunct(c) && !std::isspace(c)) return 0;
        ++seps;
        --p;
        while (p > start && is_space(p[-1]))
            --p;
        if (seps == 3) break;
    }

    std::int32_t packed = 0;
    if (seps == 0) {
        packed = values[0];
    } else if (seps == 2) {
        if (format_code == 3) format_code = date_format_state().format_code;
        std::int32_t left = values[2], middle = values[1], right = values[0];
        std::int32_t year, month, day;
        if (format_code == 1) {
            month = left, day = middle, year = right;
        } else if (format_code == 2) {
            day = left, month = middle, year = right;
        } else {
            year = left, month = middle, day = right;
        }
        if (day < 1 || day > 31 || month < 1 || month > 12) return 0;
        packed = expand_year(static_cast<std::int16_t>(year)) * 10000 + month * 100 + day;
    } else {
        return 0;
    }
    if (out) *out = ymd_to_time(packed, 0);
    return valid_ymd(packed);
}

// ---------------------------------------------------------------------------
// Text fields

int bounded_len(const char* text, int limit) {
    if (text == nullptr || limit <= 0) return 0;
    const void* end = std::memchr(text, '\0', static_cast<std::size_t>(limit));
    return end == nullptr ? limit : static_cast<int>(static_cast<const char*>(end) - text);
}

char* upper_in_place(char* text) {
    if (text == nullptr) return text;
    for (char* p = text; *p != '\0'; ++p) {
        *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    }
    return text;
}

char* lower_in_place(char* text) {
    if (text == nullptr) return text;
    for (char* p = text; *p != '\0'; ++p) {
        *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    }
    return text;
}

int trim_right(char* text) {
    if (text == nullptr) return 0;
    std::size_t n = std::strlen(text);
    while (n > 0 && is_space(text[n - 1]))
        --n;
    text[n] = '\0';
    return static_cast<int>(n);
}

const char* skip_blanks(const char* text) {
    if (text == nullptr) return text;
    while (is_space(*text))
        ++text;
    return text;
}

char* skip_blanks(char* text) {
    return const_cast<char*>(skip_blanks(static_cast<const char*>(text)));
}

void pad_field(const char* text, char* field, int width) {
    if (field == nullptr || width <= 0) return;
    int n = bounded_len(text, width);
    if (n > 0) std::memcpy(field, text, static_cast<std::size_t>(n));
    std::memset(field + n, ' ', static_cast<std::size_t>(width - n));
}

namespace {

// The length of the first n characters of text without trailing white space.
// Padded fields end in runs of blanks, taken 32 and then eight at a time.
int trimmed_length(const char* text, int n) {
    constexpr std::uint64_t kEightBlanks = 0x2020202020202020ULL;
    while (n >= 32) {
        std::uint64_t words[4];
        std::memcpy(words, text + n - 32, sizeof words);
        if (((words[0] ^ kEightBlanks) | (words[1] ^ kEightBlanks) | (words[2] ^ kEightBlanks) |
             (words[3] ^ kEightBlanks)) != 0)
            break;
        n -= 32;
    }
    while (n >= 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, text + n - 8, sizeof word);
        const std::uint64_t other = word ^ kEightBlanks;  // nonzero bytes: not blanks
        if (other == 0) {
            n -= 8;
            continue;
        }
        if constexpr (std::endian::native == std::endian::little) {
            // The last character of the eight is the highest byte: keep up
            // to the last one that is not a blank.
            n -= std::countl_zero(other) / 8;
        }
        break;
    }
    while (n > 0 && is_space(text[n - 1]))
        --n;
    return n;
}

}  // namespace

int field_length(const char* field, int width) {
    return trimmed_length(field, bounded_len(field, width));
}

int field_to_str(const char* field, char* out, int width) {
    if (out == nullptr) return 0;
    const int n = field_length(field, width);
    if (n > 0) std::memcpy(out, field, static_cast<std::size_t>(n));
    out[n] = '\0';
    return n;
}

std::string field_to_str(const char* field, int width) {
    const int n = field_length(field, width);
    return std::string(field == nullptr ? "" : field, static_cast<std::size_t>(n));
}

const char* base_name(const char* path) {
    if (path == nullptr) return path;
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') base = p + 1;
    }
    return base;
}

const char* base_name(const char* path, char* out, int out_size) {
    const char* base = base_name(path);
    if (out != nullptr && out_size > 0) {
        int n = bounded_len(base, out_size - 1);
        if (n > 0) std::memcpy(out, base, static_cast<std::size_t>(n));
        out[n] = '\0';
    }
    return base;
}

namespace {

// Appends the escaped form of text to out (an object with append(const char*,
// size_t) and a size), never letting it grow beyond limit characters.
template <typename Sink>
void escape_into(const char* text, int length, int limit, Sink& sink) {
    if (limit <= 0) limit = 255;
    if (text == nullptr) return;
    int n = length > 0 ? length : bounded_len(text, limit);
    for (int i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char piece[8];
        int len = 0;
        const char* esc = nullptr;
        switch (c) {
            case '\\':
                esc = "\\\\";
                break;
            case '\a':
                esc = "\\a";
                break;
            case '\b':
                esc = "\\b";
                break;
            case '\t':
                esc = "\\t";
                break;
            case '\n':
                esc = "\\n";
                break;
            case '\v':
                esc = "\\v";
                break;
            case '\f':
                esc = "\\f";
                break;
            case '\r':
                esc = "\\r";
                break;
            default:
                break;
        }
        if (esc != nullptr) {
            len = static_cast<int>(std::strlen(esc));
            std::memcpy(piece, esc, static_cast<std::size_t>(len));
        } else if (std::isalnum(c) || std::ispunct(c) || c == ' ') {
            piece[0] = static_cast<char>(c);
            len = 1;
        } else {
            len = std::snprintf(piece, sizeof piece, "\\%o", static_cast<unsigned>(c));
        }
        if (sink.size() + len > limit) break;
        sink.append(piece, static_cast<std::size_t>(len));
    }
}

struct BufferSink {
    char* buf;
    int used = 0;
    int size() const { return used; }
    void append(const char* s, std::size_t n) {
        std::memcpy(buf + used, s, n);
        used += static_cast<int>(n);
    }
};

struct StringSink {
    std::string& s;
    int size() const { return static_cast<int>(s.size()); }
    void append(const char* p, std::size_t n) { s.append(p, n); }
};

}  // namespace

char* escape_text(const char* text, int length, char* out, int limit) {
    if (out == nullptr) return nullptr;
    BufferSink sink{out};
    escape_into(text, length, limit, sink);
    out[sink.used] = '\0';
    return out;
}

std::string escape_text(const char* text, int length, int limit) {
    std::string s;
    StringSink sink{s};
    escape_into(text, length, limit, sink);
    return s;
}

namespace {

bool char_matches(unsigned char n, unsigned char p, bool case_insensitive) {
    switch (p) {
        case '?':
            return true;
        case '$':
        case '%':
        case '#':
            return std::isdigit(n) || n == p;
        case '^':
            return std::isspace(n) != 0;
        case '~':
            return std::isalpha(n) != 0;
        default:
            break;
    }
    if (std::isspace(p)) return std::isspace(n) != 0;
    if (n == p) return true;
    return case_insensitive && std::tolower(n) == std::tolower(p);
}

}  // namespace

int match_pattern(const char* name, const char* pattern, int width, int pattern_len,
                  int case_insensitive) {
    if (pattern == nullptr || pattern_len == 0 || pattern[0] == '\0') return 1;
    if (name == nullptr) return 0;
    if (pattern_len < 0) pattern_len = static_cast<int>(std::strlen(pattern));
    if (width < 0) width = 0;

    int e = width;
    while (e > 0 && is_space(name[e - 1]))
        --e;

    const int plen = pattern_len;
    int i = 0, j = 0;
    int s = -1;  // pattern position after the last '@', -1 before any
    int t = 0;   // name position where that '@' began to absorb characters
    for (;;) {
        if (i >= width) break;
        if (j >= plen) {
            if (i >= e || s < 0) break;
            i = ++t;
            j = s;
            continue;
        }
        if (pattern[j] == '@') {
            s = j + 1;
            t = i;
            j = s;
            if (j >= plen) break;
            continue;
        }
        if (char_matches(static_cast<unsigned char>(name[i]),
                         static_cast<unsigned char>(pattern[j]), case_insensitive != 0)) {
            ++i;
            ++j;
        } else if (s >= 0) {
            i = ++t;
            j = s;
        } else {
            break;
        }
    }

    const int left = plen - j;
    if (i < width) {
        if (left == 0 && (pattern[plen - 1] == '@' || i >= e)) return 1;
        if (i >= e && left == 1 && (pattern[j] == '^' || pattern[j] == '@')) return 1;
        return 0;
    }
    return left == 0 || (left == 1 && pattern[j] == '@') ? 1 : 0;
}

int match_pattern_exact(const char* name, const char* pattern, int width, int pattern_len) {
    return match_pattern(name, pattern, width, pattern_len, 0);
}
