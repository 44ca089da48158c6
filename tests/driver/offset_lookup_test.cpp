// Calendar offsets are answered from the run date's side (the steps walked
// back from the run date, then one range looked up in the calendar), and the
// selection pass remembers calendar days, HOLIDAYS and calendar names for the
// whole pass. Both must give what stepping forward from every calendar date
// gives: checked day by day over a year end and the daylight-saving changes,
// in two time zones, with and without remembered look-ups.
#include <algorithm>
#include <iterator>
#include <memory>
#include <set>
#include <string>

#include "parser_testutil.h"

namespace {

using ptest::ParserTest;

struct Ymd {
    int y, m, d;
};

// Calendar dates near the year end, both spring changes and both autumn
// changes of Europe and the United States, on weekdays, weekends and holidays.
const Ymd kCalendar[] = {{2026, 12, 24}, {2026, 12, 26}, {2026, 12, 31}, {2027, 1, 4},
                         {2027, 3, 12},  {2027, 3, 14},  {2027, 3, 26},  {2027, 3, 28},
                         {2027, 10, 29}, {2027, 10, 31}, {2027, 11, 5},  {2027, 11, 7}};
// Holidays in runs and next to weekends.
const Ymd kHolidays[] = {{2026, 12, 24}, {2026, 12, 25}, {2026, 12, 28}, {2027, 1, 1},
                         {2027, 3, 15},  {2027, 3, 29},  {2027, 11, 1},  {2027, 11, 8}};

// Run dates: every day of these spans.
const Ymd kSpans[][2] = {{{2026, 12, 18}, {2027, 1, 15}},
                         {{2027, 3, 8}, {2027, 4, 6}},
                         {{2027, 10, 25}, {2027, 11, 16}}};

const char* const kUnits[] = {"DAYS", "WEEKDAYS", "WORKDAYS"};

class OffsetLookups : public ParserTest, public ::testing::WithParamInterface<const char*> {
  protected:
    void SetUp() override {
        zone_ = std::make_unique<dbtest::ZoneGuard>(GetParam());
        ParserTest::SetUp();
        std::vector<std::array<int, 3>> cal, hol;
        for (const Ymd& d : kCalendar) {
            cal.push_back({d.y, d.m, d.d});
            days_.push_back(time_to_daynum(dbtest::local_date(d.y, d.m, d.d)));
        }
        for (const Ymd& d : kHolidays) {
            hol.push_back({d.y, d.m, d.d});
            holidays_.insert(time_to_daynum(dbtest::local_date(d.y, d.m, d.d)));
        }
        calendar("CAL", cal);
        calendar("HOLIDAYS", hol);
    }
    void TearDown() override {
        ParserTest::TearDown();
        zone_.reset();
    }

    // Stepping forward from each calendar date, one day at a time.
    bool reference(const std::string& unit, int amount, int run_day) const {
        const int direction = amount < 0 ? -1 : 1;
        const int steps = amount < 0 ? -amount : amount;
        auto counts = [&](int day) {
            if (unit == "DAYS") return true;
            if (day % 7 >= 5) return false;
            return unit == "WEEKDAYS" || holidays_.count(day) == 0;
        };
        if (!counts(run_day)) return false;  // never reached by a counted step
        for (int day : days_) {
            int left = steps;
            int at = day;
            while (left > 0) {
                at += direction;
                if (counts(at)) --left;
            }
            if (at == run_day) return true;
        }
        return false;
    }

    // Every run date of the spans against every unit and amount.
    void compare_all(calendar_lookups* lookups) {
        sched_eval_state& st = evaluation_state();
        st.lookups = lookups;
        int matches = 0;
        for (const auto& span : kSpans) {
            const int first = time_to_daynum(dbtest::local_date(span[0].y, span[0].m, span[0].d));
            const int last = time_to_daynum(dbtest::local_date(span[1].y, span[1].m, span[1].d));
            for (int run_day = first; run_day <= last; ++run_day) {
                const time_value date = daynum_to_time(run_day);
                st.run_date = date;
                st.run_date_names = names_for(date);
                for (const char* unit : kUnits) {
                    for (int amount = -12; amount <= 12; ++amount) {
                        const bool expected = reference(unit, amount, run_day);
                        matches += expected ? 1 : 0;
                        ASSERT_EQ(offset_date_matches(st, "CAL", unit, amount), expected)
                            << "run date " << time_to_ymd8(date) << ", " << amount << " " << unit
                            << (lookups != nullptr ? ", remembered" : "");
                    }
                }
            }
        }
        st.lookups = nullptr;
        // Not a comparison of answers that are all "no".
        EXPECT_GT(matches, 300);
    }

    std::unique_ptr<dbtest::ZoneGuard> zone_;
    std::vector<int> days_;
    std::set<int> holidays_;
};

INSTANTIATE_TEST_SUITE_P(Zones, OffsetLookups,
                         ::testing::Values("Europe/Berlin", "America/New_York"));

TEST_P(OffsetLookups, EveryRunDateAsSteppingForwardGives) {
    compare_all(nullptr);
}

TEST_P(OffsetLookups, RememberedLookupsGiveTheSame) {
    calendar_lookups lookups;
    compare_all(&lookups);
    // The calendar was read once and the HOLIDAYS answers kept.
    ASSERT_EQ(lookups.days.count("CAL"), 1u);
    EXPECT_EQ(lookups.days["CAL"].size(), std::size(kCalendar));
    EXPECT_TRUE(std::is_sorted(lookups.days["CAL"].begin(), lookups.days["CAL"].end()));
    EXPECT_FALSE(lookups.holidays.empty());
    // Remembered answers are used even when the file changes under them:
    // the pass holds the lock, so only a test can do this.
    calendar("CAL", {{2030, 1, 1}});
    compare_all(&lookups);
}

TEST_P(OffsetLookups, RememberedCalendarNamesStillReportMissingOnes) {
    calendar_lookups lookups;
    sched_eval_state& st = evaluation_state();
    st.lookups = &lookups;
    for (int round = 0; round < 2; ++round) {
        std::string present = "CAL", missing = "NOSUCH";
        EXPECT_TRUE(check_calendar(st, present));
        EXPECT_EQ(present, "CAL");
        testing::internal::CaptureStderr();
        EXPECT_FALSE(check_calendar(st, missing));
        // The message names the calendar each time, remembered or not.
        EXPECT_NE(testing::internal::GetCapturedStderr(), "") << "round " << round;
        EXPECT_EQ(missing, "");
    }
    EXPECT_EQ(lookups.exists.size(), 2u);
    st.lookups = nullptr;
}

}  // namespace
