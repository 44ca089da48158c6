// Date values: time values, packed and ordinal dates, day numbers, parsing
// and formatting of dates in the site's order.
#pragma once

#include <cstdint>
#include <ctime>

using time_value = std::int32_t;  // seconds since 1970-01-01 00:00 UTC

int parse_date(const char* text, time_value* out, int format_code);
std::int16_t expand_year(std::int16_t year);
int valid_ymd(std::int32_t packed);
int valid_date(time_value t);
time_value ymd_to_time(std::int32_t packed, int hhmm);
time_value ymd_to_tm(std::int32_t packed, int hhmm, std::tm* out);
std::int32_t time_to_ymd(time_value t);
std::int32_t time_to_ymd8(time_value t);
time_value time_at_hhmm(time_value t, int hhmm, std::tm* out);
std::int32_t time_to_daynum(time_value t);
std::int32_t daynum_to_yddd(std::int32_t daynum);
std::int32_t yddd_to_daynum(std::int32_t yddd);
time_value daynum_to_time(std::int32_t daynum);
std::int32_t yddd_to_ymd(std::int32_t yddd);
int set_date_strip(int mode);
int analyse_date_format(const char* format);
int format_date(time_value t, char* buf, int size, int format_code);
time_value short_date_to_time(std::uint16_t s);
time_value now_time();
int now_hhmm();
// Today's local midnight.
time_value today_midnight();

// Test hook: forget the century stripping mode and the date format string.
void date_state_reset();
