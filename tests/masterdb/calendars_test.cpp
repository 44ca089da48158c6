// Calendars and their dates, with packed dates (format 0) and time values
// (format 1).
#include "masterdb_testutil.h"

namespace {

using dbtest::DbTest;
namespace fs = std::filesystem;
using dbtest::local_date;
using dbtest::read_file;
using dbtest::ZoneGuard;

class CalendarTest : public DbTest, public ::testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        DbTest::SetUp();
        h_ = open_db(GetParam());
    }
    void TearDown() override {
        h_.reset();
        DbTest::TearDown();
    }

    // Every date of a calendar, read in batches of the given size.
    std::vector<time_value> all_dates(const char* name, int batch) {
        std::vector<time_value> out;
        time_value cursor = 0;
        std::vector<time_value> buf(static_cast<std::size_t>(batch));
        for (int guard = 0; guard < 1000; ++guard) {
            int count = batch;
            const std::int16_t rc =
                read_calendar_dates(h_.get(), name, &cursor, buf.data(), &count);
            if (rc != DB_OK) {
                EXPECT_EQ(rc, DB_E_END) << error_of(h_.get());
                break;
            }
            out.insert(out.end(), buf.begin(), buf.begin() + count);
        }
        return out;
    }

    std::vector<std::string> calendars(const char* pattern) {
        std::vector<std::string> out;
        int cursor = 0;
        calendar_info info;
        while (read_next_calendar(h_.get(), pattern, &cursor, &info) == DB_OK)
            out.push_back(field_to_str(info.name.data(), DB_CALENDAR_NAME) + ":" +
                          field_to_str(info.description.data(), DB_CALENDAR_DESC));
        return out;
    }

    db_ptr h_;
};

INSTANTIATE_TEST_SUITE_P(Formats, CalendarTest, ::testing::Values(0, 1));

using Dates = std::vector<time_value>;
using Names = std::vector<std::string>;

TEST_P(CalendarTest, DatesAreReadInBatchesWithACursor) {
    const time_value d1 = local_date(2027, 1, 1), d15 = local_date(2027, 1, 15),
                     d31 = local_date(2027, 1, 31);
    put_calendar(h_.get(), "MONTHLY", "three dates", {d31, d1, d15});

    time_value cursor = 0;
    time_value buf[2] = {};
    int count = 2;
    ASSERT_EQ(read_calendar_dates(h_.get(), "MONTHLY", &cursor, buf, &count), DB_OK);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(buf[0], d1);
    EXPECT_EQ(buf[1], d15);
    EXPECT_EQ(cursor, local_date(2027, 1, 16));
    count = 2;
    ASSERT_EQ(read_calendar_dates(h_.get(), "MONTHLY", &cursor, buf, &count), DB_OK);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(buf[0], d31);
    const time_value end_cursor = cursor;
    count = 2;
    EXPECT_EQ(read_calendar_dates(h_.get(), "MONTHLY", &cursor, buf, &count), DB_E_END);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(cursor, end_cursor);

    // A cursor on a stored date returns that date first.
    cursor = d15;
    count = 2;
    ASSERT_EQ(read_calendar_dates(h_.get(), "MONTHLY", &cursor, buf, &count), DB_OK);
    EXPECT_EQ(buf[0], d15);

    count = 2;
    cursor = 0;
    EXPECT_EQ(read_calendar_dates(h_.get(), "NOSUCH", &cursor, buf, &count), DB_E_MISSING);
}

TEST_P(CalendarTest, MembershipIsPerCalendar) {
    const time_value xmas = local_date(2027, 12, 25), jan1 = local_date(2027, 1, 1);
    put_calendar(h_.get(), "HOLIDAYS", "public holidays", {jan1, xmas});
    put_calendar(h_.get(), "PAYDAYS", "", {local_date(2027, 1, 28)});
    put_calendar(h_.get(), "ABC", "first by name", {});

    EXPECT_EQ(find_calendar_date(h_.get(), "HOLIDAYS", xmas), DB_OK);
    EXPECT_EQ(find_calendar_date(h_.get(), "PAYDAYS", xmas), DB_E_MISSING);
    EXPECT_EQ(find_calendar_date(h_.get(), "HOLIDAYS", local_date(2027, 12, 24)), DB_E_MISSING);
    EXPECT_EQ(find_calendar_date(h_.get(), "NOSUCH", xmas), DB_E_MISSING);
    // Names are cut to 8 characters.
    EXPECT_EQ(find_calendar_date(h_.get(), "HOLIDAYSX", xmas), DB_OK);

    // The scan the selection uses: each calendar, then its membership test.
    Names holding;
    int cursor = 0;
    calendar_info info;
    while (read_next_calendar(h_.get(), "@", &cursor, &info) == DB_OK) {
        const std::string name = field_to_str(info.name.data(), DB_CALENDAR_NAME);
        if (find_calendar_date(h_.get(), name.c_str(), jan1) == DB_OK) holding.push_back(name);
    }
    EXPECT_EQ(holding, Names{"HOLIDAYS"});

    EXPECT_EQ(calendars("@"), (Names{"ABC:first by name", "HOLIDAYS:public holidays", "PAYDAYS:"}));
    EXPECT_EQ(calendars("PAYDAYS"), Names{"PAYDAYS:"});
    EXPECT_EQ(calendars("?A@"), Names{"PAYDAYS:"});

    // An empty name is eight blanks: no such calendar; an empty pattern
    // matches every calendar.
    EXPECT_EQ(find_calendar_date(h_.get(), "", xmas), DB_E_MISSING);
    time_value c = 0;
    time_value buf[4];
    int count = 4;
    EXPECT_EQ(read_calendar_dates(h_.get(), "", &c, buf, &count), DB_E_MISSING);
    cursor = 0;
    ASSERT_EQ(read_next_calendar(h_.get(), "", &cursor, &info), DB_OK);
    EXPECT_EQ(field_to_str(info.name.data(), DB_CALENDAR_NAME), "ABC");
}

TEST_P(CalendarTest, DateFieldsFollowTheFileFormat) {
    const time_value d = local_date(1999, 3, 15);
    put_calendar(h_.get(), "HOLIDAYS", "", {d});
    char field[16];
    if (GetParam() == 0)
        std::snprintf(field, sizeof field, "%10d", 19990315);
    else
        std::snprintf(field, sizeof field, "%10d", d);
    EXPECT_NE(read_file(db_file("calendars"))
                  .find("HOLIDAYS" + std::string(field) + std::string(32, ' ') + "\n"),
              std::string::npos);
    EXPECT_EQ(all_dates("HOLIDAYS", 10), Dates{d});
}

TEST_P(CalendarTest, MaintenanceKeepsOneRecordPerCalendarAndDate) {
    const time_value a = local_date(2027, 2, 1), b = local_date(2027, 2, 2);
    put_calendar(h_.get(), "CAL", "first", {a, b});
    const auto size = fs::file_size(db_file("calendars"));
    // Adding known dates (and storing the same calendar again) changes nothing.
    put_calendar(h_.get(), "CAL", "first", {b, a, b});
    EXPECT_EQ(fs::file_size(db_file("calendars")), size);
    EXPECT_EQ(all_dates("CAL", 1), (Dates{a, b}));

    put_calendar(h_.get(), "CAL", "second", {});
    EXPECT_EQ(calendars("@"), Names{"CAL:second"});

    ASSERT_EQ(db_lock_calendars(h_.get()), DB_OK);
    EXPECT_EQ(add_calendar_dates(h_.get(), "NOSUCH", &a, 1), DB_E_MISSING);
    EXPECT_EQ(delete_calendar_date(h_.get(), "CAL", local_date(2027, 3, 1)), DB_E_MISSING);
    EXPECT_EQ(delete_calendar_date(h_.get(), "CAL", a), DB_OK) << error_of(h_.get());
    EXPECT_EQ(all_dates("CAL", 5), Dates{b});
    EXPECT_EQ(delete_calendar(h_.get(), "CAL"), DB_OK) << error_of(h_.get());
    EXPECT_EQ(delete_calendar(h_.get(), "CAL"), DB_E_MISSING);
    ASSERT_EQ(db_unlock_calendars(h_.get()), DB_OK);
    EXPECT_EQ(calendars("@"), Names{});
    EXPECT_EQ(find_calendar_date(h_.get(), "CAL", b), DB_E_MISSING);

    // Without the update lock the keyed file layer refuses the change.
    EXPECT_EQ(store_calendar(h_.get(), make_calendar_info("NEW", "")), DB_E_KEYED);
}

// The cursor moves by calendar days: a day of 23 hours must not make it
// skip the next date, nor a day of 25 hours return a date twice.
TEST_P(CalendarTest, CursorAdvancesByLocalDaysAcrossDaylightSavingChanges) {
    for (const char* zone : {"Europe/Berlin", "America/New_York"}) {
        SCOPED_TRACE(zone);
        ZoneGuard tz(zone);
        Dates days;
        for (int m : {3, 11, 10}) {
            for (int d = 1; d <= 31; ++d) {
                if (m == 11 && d > 10) break;
                if (m == 3 && (d < 10 || d > 31)) continue;
                if (m == 10 && d < 25) continue;
                days.push_back(local_date(2027, m, d));
            }
        }
        const std::string name = zone[0] == 'E' ? "BERLIN" : "NEWYORK";
        put_calendar(h_.get(), name, zone, days);
        std::sort(days.begin(), days.end());
        EXPECT_EQ(all_dates(name.c_str(), 1), days);
        EXPECT_EQ(all_dates(name.c_str(), 7), days);
    }
}

// Stored dates are converted in the time zone in force at each read, also
// when the same dates were converted before under another zone (and, in a
// packed-date file, when the zone changes back); day numbers stay put.
TEST_P(CalendarTest, DatesFollowAChangeOfTimeZoneBetweenReads) {
    const int ymd[][3] = {{2027, 3, 28}, {2027, 6, 16}, {2027, 10, 31}, {2028, 2, 29}};
    Dates stored;
    for (const auto& d : ymd)
        stored.push_back(local_date(d[0], d[1], d[2]));
    put_calendar(h_.get(), "ZONES", "", stored);
    std::vector<std::int32_t> day_numbers;
    for (time_value t : stored)
        day_numbers.push_back(time_to_daynum(t));

    for (const char* zone : {"Asia/Tokyo", "America/New_York", "UTC", "Asia/Tokyo"}) {
        SCOPED_TRACE(zone);
        ZoneGuard tz(zone);
        // A packed date is the local midnight of now's zone; a time value
        // is what was stored.
        Dates expect;
        for (const auto& d : ymd)
            expect.push_back(local_date(d[0], d[1], d[2]));
        if (GetParam() != 0) expect = stored;
        EXPECT_EQ(all_dates("ZONES", 3), expect);
        ASSERT_EQ(db_lock_calendars(h_.get()), DB_OK);
        EXPECT_EQ(all_dates("ZONES", 8), expect);
        ASSERT_EQ(db_unlock_calendars(h_.get()), DB_OK);

        std::vector<std::int32_t> numbers(expect.size());
        times_to_daynums(expect.data(), numbers.data(), static_cast<int>(expect.size()));
        for (std::size_t i = 0; i < expect.size(); ++i)
            EXPECT_EQ(numbers[i], time_to_daynum(expect[i]));
        if (GetParam() == 0) {
            EXPECT_EQ(numbers, day_numbers);
        }
    }
}

}  // namespace
