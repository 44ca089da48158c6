// Date conversions, parsing and formatting, checked against the C library's
// own calendar rather than against the module's arithmetic.
#include "utils/libs/dateutil.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

// Sets an environment variable for the life of the object.
class EnvGuard {
  public:
    EnvGuard(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? setenv(name, value, 1) : unsetenv(name);
        tzset();
    }
    ~EnvGuard() {
        old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_);
        tzset();
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

class Dates : public ::testing::Test {
  protected:
    void SetUp() override { date_state_reset(); }
    void TearDown() override { date_state_reset(); }
    EnvGuard tz_{"TZ", "UTC"};
    EnvGuard strip_{"TELDATESTRIP", nullptr};
};

time_value midnight(int y, int m, int d) {
    std::tm tm{};
    tm.tm_year = y - 1900, tm.tm_mon = m - 1, tm.tm_mday = d, tm.tm_isdst = -1;
    return static_cast<time_value>(std::mktime(&tm));
}

std::tm local(time_value t) {
    std::time_t tt = t;
    std::tm tm{};
    localtime_r(&tt, &tm);
    return tm;
}

int current_year() {
    return local(static_cast<time_value>(std::time(nullptr))).tm_year + 1900;
}

// The year within 50 of the current one that ends in yy (0..99).
int window(int yy) {
    int y = current_year() - current_year() % 100 + yy;
    return y > current_year() + 50 ? y - 100 : y < current_year() - 50 ? y + 100 : y;
}

TEST_F(Dates, ExpandYearWindowAndLongYears) {
    const int y = current_year(), c = y % 100;
    EXPECT_EQ(expand_year(c), y);
    if (c + 50 < 100) {
        EXPECT_EQ(expand_year(c + 50), y + 50);
    }
    EXPECT_EQ(expand_year(c - 50), y - 50);
    if (c + 51 < 100) {
        EXPECT_EQ(expand_year(c + 51), y - 49);
    }
    EXPECT_EQ(expand_year(c - 51), y + 49);
    EXPECT_EQ(expand_year(100), 2000);
    EXPECT_EQ(expand_year(101), 2001);
    EXPECT_EQ(expand_year(1000), 2900);
    EXPECT_EQ(expand_year(1001), 1001);
    EXPECT_EQ(expand_year(1998), 1998);
}

TEST_F(Dates, ParseAcceptsTheThreeOrdersAndSeparators) {
    const time_value may23 = midnight(window(98), 5, 23);
    struct Case {
        const char* text;
        int code;
    } ok[] = {{"98/05/23", 0}, {"98-5-23", 7},  {"5/23/98", 1},        {"23.05.98", 2},
              {"23 05 98", 2}, {"98/05/23", 3}, {" 98/05/23 \r\n", 0}, {"98/05/23\nxx", 0},
              {"980523", 1},   {"\t980523", 2}, {"23/5/0098", 2}};
    for (const Case& c : ok) {
        time_value t = -1;
        EXPECT_EQ(parse_date(c.text, &t, c.code), 1) << c.text << " code " << c.code;
        EXPECT_EQ(t, may23) << c.text;
    }
    time_value t = -1;
    EXPECT_EQ(parse_date("19980523", &t, 2), 1);
    EXPECT_EQ(t, midnight(1998, 5, 23));
    EXPECT_EQ(parse_date("23/05/1998", &t, 2), 1);
    EXPECT_EQ(t, midnight(1998, 5, 23));
    EXPECT_EQ(parse_date("0523", &t, 0), 1);  // year 0 of the window
    EXPECT_EQ(t, midnight(window(0), 5, 23));
}

TEST_F(Dates, ParseRejectsWithoutStoring) {
    struct Case {
        const char* text;
        int code;
    } bad[] = {{nullptr, 0},      {"", 0},         {" \t\r\n", 0},       {"123456789", 0},
               {"98/05", 0},      {"1/2/3/4", 0},  {"98a05a23", 0},      {"/98/05/23", 0},
               {"5/23/98", 0},    {"5/23/98", 2},  {"0/05/98", 2},       {"32/05/98", 2},
               {"98//23", 0},     {"98/13/01", 0}, {"1/1/123456789", 2}, {"x98/05/23", 0},
               {"98\17705/23", 0}};
    for (const Case& c : bad) {
        time_value t = 4711;
        EXPECT_EQ(parse_date(c.text, &t, c.code), 0) << (c.text ? c.text : "(null)");
        EXPECT_EQ(t, 4711) << (c.text ? c.text : "(null)");
    }
    // A stray eight-digit year far outside the 16-bit range neither crashes nor passes.
    time_value t = 0;
    EXPECT_EQ(parse_date("1/1/99999999", &t, 2), 0);
}

TEST_F(Dates, ParseChecksTheCalendarButStoresTheNormalisedDate) {
    time_value t = 0;
    EXPECT_EQ(parse_date("29/02/2000", &t, 2), 1);
    EXPECT_EQ(t, midnight(2000, 2, 29));
    EXPECT_EQ(parse_date("29/02/1900", &t, 2), 0);
    EXPECT_EQ(parse_date("29/02/1999", &t, 2), 0);
    EXPECT_EQ(t, midnight(1999, 3, 1));
    EXPECT_EQ(parse_date("31/04/98", &t, 2), 0);
    EXPECT_EQ(t, midnight(window(98), 5, 1));
    EXPECT_EQ(valid_ymd(20240229), 1);
    EXPECT_EQ(valid_ymd(19980431), 0);
    EXPECT_EQ(valid_ymd(-19980523), 0);
}

TEST_F(Dates, MarkersPassUnchanged) {
    for (time_value m : {0, 32768, -32768}) {
        EXPECT_EQ(ymd_to_time(m, 0), m);
        EXPECT_EQ(time_to_ymd(m), m);
        EXPECT_EQ(time_to_ymd8(m), m);
    }
    EXPECT_EQ(short_date_to_time(0), 0);
    EXPECT_EQ(short_date_to_time(0x8000), 32768);
    EXPECT_EQ(valid_date(0), 0);
}

TEST_F(Dates, CenturyStripping) {
    const time_value t = midnight(1998, 5, 23);
    struct Case {
        const char* env;
        int mode;
    } cases[] = {{nullptr, 0}, {"1", 0}, {"0", 1}, {"abc", 1}, {"65536", 1}, {"-3", 0}};
    for (const Case& c : cases) {
        EnvGuard env("TELDATESTRIP", c.env);
        date_state_reset();
        EXPECT_EQ(set_date_strip(9), -1);  // a query leaves it unset
        EXPECT_EQ(time_to_ymd(t), c.mode ? 980523 : 19980523) << (c.env ? c.env : "unset");
        EXPECT_EQ(set_date_strip(9), c.mode);
        EXPECT_EQ(time_to_ymd8(t), 19980523);
        EXPECT_EQ(daynum_to_yddd(time_to_daynum(t)), c.mode ? 98143 : 1998143);
        EXPECT_EQ(yddd_to_ymd(1998143), c.mode ? 980523 : 19980523);
    }
    EXPECT_EQ(set_date_strip(1), 1);
    EXPECT_EQ(time_to_ymd(t), 980523);
    EXPECT_EQ(set_date_strip(0), 0);
    EXPECT_EQ(time_to_ymd(t), 19980523);
}

// Every representable day: the day number arithmetic agrees with the C
// library's calendar and weekday, and the conversions round-trip.
TEST_F(Dates, DayNumbersOverTheWholeRange) {
    EXPECT_EQ(daynum_to_yddd(1), 1901001);
    EXPECT_EQ(yddd_to_daynum(1901001), 1);
    EXPECT_EQ(time_to_daynum(midnight(2000, 1, 3)) % 7, 0);

    int year = 1901, yday = 1;
    for (std::int32_t n = 1; n <= 73049; ++n) {  // to 2099-12-31
        const std::int32_t o = year * 1000 + yday;
        ASSERT_EQ(daynum_to_yddd(n), o) << n;
        ASSERT_EQ(yddd_to_daynum(o), n) << o;
        if (++yday > (year % 4 == 0 ? 366 : 365)) year++, yday = 1;
    }
    const std::int32_t first = time_to_daynum(midnight(1902, 1, 1));
    const std::int32_t last = time_to_daynum(midnight(2037, 12, 31));
    std::tm want{};
    want.tm_year = 2, want.tm_mon = 0, want.tm_mday = 1, want.tm_isdst = -1;
    for (std::int32_t n = first; n <= last; ++n, ++want.tm_mday) {
        std::mktime(&want);
        const time_value t = daynum_to_time(n);
        const std::tm got = local(t);
        ASSERT_EQ(got.tm_year * 10000 + got.tm_mon * 100 + got.tm_mday,
                  want.tm_year * 10000 + want.tm_mon * 100 + want.tm_mday)
            << n;
        ASSERT_EQ(got.tm_hour * 3600 + got.tm_min * 60 + got.tm_sec, 0) << n;
        ASSERT_EQ((n % 7 + 1) % 7, got.tm_wday) << n;
        ASSERT_EQ(time_to_daynum(t + 86399), n);
        ASSERT_EQ(yddd_to_ymd(daynum_to_yddd(n)),
                  (got.tm_year + 1900) * 10000 + (got.tm_mon + 1) * 100 + got.tm_mday);
    }
}

TEST_F(Dates, AbsurdValuesDoNotOverflow) {
    for (std::int32_t v : {INT32_MIN, INT32_MIN + 1, -1, INT32_MAX}) {
        daynum_to_yddd(v);
        yddd_to_daynum(v);
        daynum_to_time(v);
        yddd_to_ymd(v);
        ymd_to_time(v, v);
        valid_ymd(v);
        time_at_hhmm(v, INT32_MIN, nullptr);
        time_to_daynum(v);
    }
    short_date_to_time(0xFFFF);
}

TEST_F(Dates, TimesOfDayAndBrokenDownTimes) {
    const time_value m = midnight(1998, 5, 23);
    std::tm tm{};
    EXPECT_EQ(time_at_hhmm(m + 5 * 3600 + 17, 1330, &tm), m + 13 * 3600 + 30 * 60 + 17);
    EXPECT_EQ(tm.tm_hour * 100 + tm.tm_min, 1330);
    EXPECT_EQ(ymd_to_time(19980523, 1330), m + 13 * 3600 + 30 * 60);
    EXPECT_EQ(ymd_to_tm(19980532, 0, &tm), midnight(1998, 6, 1));
    EXPECT_EQ(tm.tm_mon * 100 + tm.tm_mday, 501);
    EXPECT_EQ(time_to_ymd8(m + 86399), 19980523);
    EXPECT_EQ(short_date_to_time((98 << 9) | 143), midnight(window(98), 5, 23));
    EXPECT_EQ(short_date_to_time((126 << 9) | 1), midnight(2026, 1, 1));
    const int hhmm = now_hhmm();
    EXPECT_TRUE(hhmm >= 0 && hhmm <= 2359 && hhmm % 100 < 60);
}

TEST_F(Dates, AnalyseDateFormat) {
    struct Case {
        const char* format;
        int code;
    } cases[] = {{"%y/%m/%d", 0},    {"%d/%m/%y", 2}, {"%m-%d-%Y", 1},  {"%d. %B %Y", 2},
                 {"%b %d %y", 1},    {"%Y%m%d", 0},   {"%d/%d/%y", 0},  {"%y %d/%m/%y", 0},
                 {"%d/%m/%y %D", 0}, {"%d/%m", 0},    {"%d/%m/%y%", 2}, {"%%d/%m/%y", 0},
                 {"%e/%m/%y", 0},    {"", 0},         {nullptr, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(analyse_date_format(c.format), c.code) << (c.format ? c.format : "(null)");
    }
}

TEST_F(Dates, FormatDateStaysWithinTheBuffer) {
    const time_value t = midnight(1998, 5, 23) + 86399;
    char buf[16];
    const char* want[] = {"98/05/23", "05/23/98", "23/05/98", "98/05/23", "98/05/23"};
    for (int code = 0; code < 5; ++code) {
        EXPECT_EQ(format_date(t, buf, sizeof buf, code), 8);
        EXPECT_STREQ(buf, want[code]);
    }
    for (int size : {0, 1, 4, 8, 9}) {
        std::memset(buf, 'X', sizeof buf);
        const int n = format_date(t, buf, size, 0);
        EXPECT_EQ(n, size == 9 ? 8 : 0) << size;
        if (size > 0) {
            EXPECT_EQ(std::strlen(buf), static_cast<std::size_t>(n));
        }
        for (int i = size; i < 16; ++i)
            ASSERT_EQ(buf[i], 'X') << size << " " << i;
    }
    std::strcpy(buf, "old");
    EXPECT_EQ(format_date(0, buf, sizeof buf, 0), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(format_date(t, nullptr, 9, 0), 0);
}

// Local midnight and the day after it across daylight-saving changes.
TEST_F(Dates, MidnightAcrossDaylightSavingChanges) {
    EnvGuard tz("TZ", "Europe/Berlin");
    struct Case {
        int month, day, hours_to_next;
    } days[] = {{3, 28, 24}, {3, 29, 23}, {3, 30, 24}, {10, 24, 24}, {10, 25, 25}, {10, 26, 24}};
    for (const Case& c : days) {
        const std::int32_t n = time_to_daynum(midnight(2026, c.month, c.day) + 12 * 3600);
        const time_value t = daynum_to_time(n);
        const std::tm tm = local(t);
        EXPECT_EQ(tm.tm_mon * 100 + tm.tm_mday, (c.month - 1) * 100 + c.day);
        EXPECT_EQ(tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec, 0);
        EXPECT_EQ(daynum_to_time(n + 1) - t, c.hours_to_next * 3600) << c.month << "/" << c.day;
        EXPECT_EQ(midnight_of(t + (c.hours_to_next * 3600 - 1)), t);
        EXPECT_EQ(time_to_ymd8(t + 12 * 3600), 20260000 + c.month * 100 + c.day);
    }
    const time_value today = today_midnight();
    const std::tm tm = local(today);
    EXPECT_EQ(tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec, 0);
    EXPECT_GE(now_time() - today, 0);
    EXPECT_LE(now_time() - today, 25 * 3600);
}

// Dates of instants are remembered per time zone: the same instant is
// another day where the zone is another.
TEST_F(Dates, DatesOfInstantsFollowTheTimeZone) {
    const time_value t = midnight(2027, 6, 16) + 13 * 3600;  // 13:00 UTC
    EXPECT_EQ(time_to_ymd8(t), 20270616);
    {
        EnvGuard tz("TZ", "Pacific/Auckland");  // 01:00 the next day
        EXPECT_EQ(time_to_ymd8(t), 20270617);
        EXPECT_EQ(time_to_ymd8(t), 20270617);
    }
    EXPECT_EQ(time_to_ymd8(t), 20270616);
    {
        EnvGuard tz("TZ", "America/Los_Angeles");
        EXPECT_EQ(time_to_ymd8(t - 7 * 3600), 20270615);  // 23:00 the day before
    }
}

// A hold takes the time zone in force when it begins, never results kept for
// an earlier zone; once every hold has ended, a change of zone is seen again,
// and date_state_reset looks the zone up again even under a hold.
TEST_F(Dates, TimeZoneHoldTakesTheZoneWhenItBegins) {
    const time_value t = midnight(2027, 6, 16) + 13 * 3600;  // 13:00 UTC
    EXPECT_EQ(time_to_ymd8(t), 20270616);                    // kept for UTC
    {
        EnvGuard tz("TZ", "Pacific/Auckland");
        const time_zone_hold outer;
        EXPECT_EQ(time_to_ymd8(t), 20270617);
        {
            const time_zone_hold inner;
            EXPECT_EQ(time_to_ymd8(t), 20270617);
            EXPECT_EQ(time_to_daynum(t), time_to_daynum(t - 13 * 3600) + 1);
        }
        EXPECT_EQ(time_to_ymd8(t), 20270617);
        EnvGuard back("TZ", "UTC");
        date_state_reset();
        EXPECT_EQ(time_to_ymd8(t), 20270616);
    }
    {
        const time_zone_hold hold;
        EXPECT_EQ(time_to_ymd8(t), 20270616);
    }
    EnvGuard tz("TZ", "America/Los_Angeles");
    EXPECT_EQ(time_to_ymd8(t - 7 * 3600), 20270615);  // no hold left: the change is seen
}

// In Sao Paulo, 2018-11-04 began at 01:00: its first instant is the day's
// "midnight", and it must not slip back into the day before.
TEST_F(Dates, MidnightThatDoesNotExist) {
    EnvGuard tz("TZ", "America/Sao_Paulo");
    const time_value noon = midnight(2018, 11, 4) + 11 * 3600;
    ASSERT_EQ(local(noon).tm_mday, 4);
    for (time_value t :
         {midnight_of(noon), daynum_to_time(time_to_daynum(noon)), ymd_to_time(20181104, 0)}) {
        const std::tm tm = local(t);
        EXPECT_EQ(tm.tm_mday, 4);
        EXPECT_LE(tm.tm_hour, 1);
        EXPECT_EQ(time_to_ymd8(t), 20181104);
    }
    EXPECT_EQ(daynum_to_time(time_to_daynum(noon) + 1) - daynum_to_time(time_to_daynum(noon)),
              23 * 3600);
}

}  // namespace
