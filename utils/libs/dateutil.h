// Date values: time values, packed and ordinal dates, day numbers, parsing
// and formatting of dates in the site's order.
//
// Text fields: fixed-width blank-padded fields, in-place case and blank
// operations, back-slash escaping of text, and wildcard name patterns.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

using time_value = std::int32_t;  // seconds since 1970-01-01 00:00 UTC

// ---------------------------------------------------------------------------
// Dates
//
// Forms: time value (a date is the time value of its local midnight), packed
// date yyyymmdd (yymmdd with century stripping), ordinal date yyyyddd (yyddd
// with century stripping), day number (1 = 1 January 1901, weekday = day
// number mod 7 with 0 = Monday), short date (bits 15..9 years since 1900 mod
// 128, bits 8..0 day of year) and hhmm (hour * 100 + minute).
//
// The values 0, 32768 and -32768 mark "no date" and pass unchanged through
// ymd_to_time, time_to_ymd and time_to_ymd8 (0 and 0x8000 through
// short_date_to_time).
//
// Date format codes: 0 (and any value not listed) year/month/day, 1
// month/day/year, 2 day/month/year, 3 the order of the module's date format
// string "%y/%m/%d".

// Parses date text in the order of the format code. Returns 1 for a real
// calendar date, else 0; the local midnight is stored in *out whenever a
// candidate date was assembled, valid or not (31/04/98 stores 1 May).
int parse_date(const char* text, time_value* out, int format_code);
// Two-digit years land within 50 years of the current local year; 100..1000
// are years since 1900; larger values are returned unchanged.
std::int16_t expand_year(std::int16_t year);
int valid_ymd(std::int32_t packed);
int valid_date(time_value t);
time_value ymd_to_time(std::int32_t packed, int hhmm);
// As ymd_to_time without the markers; fills *out (may be null) normalised.
time_value ymd_to_tm(std::int32_t packed, int hhmm, std::tm* out);
std::int32_t time_to_ymd(time_value t);
std::int32_t time_to_ymd8(time_value t);
// The same local date at hour and minute hhmm, seconds kept; fills *out (may
// be null).
time_value time_at_hhmm(time_value t, int hhmm, std::tm* out);
std::int32_t time_to_daynum(time_value t);
// ymd_to_time(packed[i], 0) and time_to_daynum(t[i]) for n values at once;
// out may be the input array.
void ymd_to_times(const std::int32_t* packed, time_value* out, int n);
void times_to_daynums(const time_value* t, std::int32_t* out, int n);
std::int32_t daynum_to_yddd(std::int32_t daynum);
std::int32_t yddd_to_daynum(std::int32_t yddd);
time_value daynum_to_time(std::int32_t daynum);
std::int32_t yddd_to_ymd(std::int32_t yddd);
// 0 off, 1 on, -1 settle from TELDATESTRIP; any other value only asks.
// Returns the mode in force (0, 1, or -1 while still unset).
int set_date_strip(int mode);
int analyse_date_format(const char* format);
// Writes the date of t in the code's pattern into buf (at most size bytes
// including the terminator). Returns the number of characters written; 0 and
// an empty buffer when t is not a valid date or the text does not fit.
int format_date(time_value t, char* buf, int size, int format_code);
time_value short_date_to_time(std::uint16_t s);
time_value now_time();
int now_hhmm();
// The local date of t at 00:00:00 (the first instant of that day where
// midnight does not exist).
time_value midnight_of(time_value t);
// Today's local midnight.
time_value today_midnight();

// Test hook: forget the century stripping mode and the date format string,
// and the kept results of date conversions (which are also dropped whenever
// the TZ text changes).
void date_state_reset();

// While a hold lives, the TZ text is taken as it was when the first hold
// began: date conversions stop looking it up at every call. For a pass that
// converts many dates and does not change the environment meanwhile. Holds
// nest; date_state_reset looks the text up again.
class time_zone_hold {
  public:
    time_zone_hold();
    ~time_zone_hold();
    time_zone_hold(const time_zone_hold&) = delete;
    time_zone_hold& operator=(const time_zone_hold&) = delete;
};

// ---------------------------------------------------------------------------
// Text fields
//
// A field is exactly `width` characters, left-aligned and blank-padded,
// without a terminator. Operations on fields never look past the width.

// Characters before the terminator, at most limit.
int bounded_len(const char* text, int limit);
char* upper_in_place(char* text);
char* lower_in_place(char* text);
// Removes trailing white space in place; returns the new length.
int trim_right(char* text);
const char* skip_blanks(const char* text);
char* skip_blanks(char* text);
// Copies at most width characters of text into field and blank-fills the
// rest; no terminator. Width 0 or less changes nothing.
void pad_field(const char* text, char* field, int width);
// The length of the field without its trailing white space, stopping at a
// terminator.
int field_length(const char* field, int width);
// Copies the field without its trailing white space into out (which must hold
// width + 1 bytes), stopping at a terminator; returns the length.
int field_to_str(const char* field, char* out, int width);
std::string field_to_str(const char* field, int width);
// The part of path after the last '/' or '\', or the whole path. When out is
// given the part is also copied there (truncated to out_size - 1 characters,
// always terminated when out_size > 0).
const char* base_name(const char* path);
const char* base_name(const char* path, char* out, int out_size);
// Back-slash escaping for one-line output. length 0 takes the text up to its
// terminator (at most limit characters); limit 0 means 255. Output stops
// before the first piece that would not fit within limit characters. The
// buffer variant needs limit + 1 bytes and returns out (null if out is null).
char* escape_text(const char* text, int length, char* out, int limit);
std::string escape_text(const char* text, int length = 0, int limit = 0);
// Wildcard match of a fixed field against a pattern: '@' any run, '?' any
// character, '$' '%' '#' a digit, '^' a white-space character, '~' a letter.
// A negative pattern length takes the pattern up to its terminator. Returns 1
// on a match, else 0.
int match_pattern(const char* name, const char* pattern, int width, int pattern_len,
                  int case_insensitive);
int match_pattern_exact(const char* name, const char* pattern, int width, int pattern_len);
