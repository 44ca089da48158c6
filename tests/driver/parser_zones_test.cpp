// Calendar offsets are counted in local calendar days: the same schedule
// selects the same dates in every time zone, across both daylight-saving
// changes, with calendars of packed dates and of time values.
#include <string>
#include <tuple>

#include "parser_testutil.h"

namespace {

using ptest::find_entry;
using ptest::ParserTest;

// (time zone, long names: calendar dates stored as time values)
class ZoneOffsets : public ParserTest,
                    public ::testing::WithParamInterface<std::tuple<const char*, bool>> {
  protected:
    void SetUp() override {
        zone_ = std::make_unique<dbtest::ZoneGuard>(std::get<0>(GetParam()));
        long_names_ = std::get<1>(GetParam());
        ParserTest::SetUp();
        // Fridays before the spring and autumn changes of Europe (28 March,
        // 31 October 2027) and of the United States (14 March, 7 November).
        calendar("FRIDAYS", {{2027, 3, 26}, {2027, 10, 29}, {2027, 3, 12}, {2027, 11, 5}});
        calendar("MONDAYS", {{2027, 3, 29}, {2027, 11, 1}, {2027, 3, 15}, {2027, 11, 8}});
        calendar("HOLIDAYS", {{2027, 11, 1}});
    }
    void TearDown() override {
        ParserTest::TearDown();
        zone_.reset();
    }

    bool selects_on(int y, int m, int d, const std::string& clause) {
        run_date(y, m, d);
        free_selected(run_selected_list());
        testing::internal::CaptureStderr();
        const int rc = parse("SCHEDULE CPU1#S1 ON " + clause + "\n:\nJ1");
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, 0);
        return find_entry("CPU1", "S1") != nullptr;
    }

    // The dates of March and November 2027 that the clause selects, as days
    // of the month ("m/d").
    std::vector<std::string> selected_days(const std::string& clause) {
        std::vector<std::string> out;
        for (int m : {3, 10, 11})
            for (int d = 1; d <= (m == 11 ? 30 : 31); ++d)
                if (selects_on(2027, m, d, clause))
                    out.push_back(std::to_string(m) + "/" + std::to_string(d));
        return out;
    }

    std::unique_ptr<dbtest::ZoneGuard> zone_;
};

INSTANTIATE_TEST_SUITE_P(Zones, ZoneOffsets,
                         ::testing::Combine(::testing::Values("UTC", "Europe/Berlin",
                                                              "America/New_York"),
                                            ::testing::Bool()));

using Days = std::vector<std::string>;

TEST_P(ZoneOffsets, WorkingDaysAfterAFridayFallOnTheNextWorkingDay) {
    // 1 November is a holiday: the autumn Friday's next working day is the 2nd.
    EXPECT_EQ(selected_days("FRIDAYS +1 WORKDAY"), (Days{"3/15", "3/29", "11/2", "11/8"}));
    EXPECT_EQ(selected_days("FRIDAYS +1 WEEKDAY"), (Days{"3/15", "3/29", "11/1", "11/8"}));
    // A calendar date that is itself a holiday still counts from there.
    EXPECT_EQ(selected_days("MONDAYS -1 WORKDAYS"), (Days{"3/12", "3/26", "10/29", "11/5"}));
    EXPECT_EQ(selected_days("MONDAYS -2 WEEKDAYS"), (Days{"3/11", "3/25", "10/28", "11/4"}));
}

TEST_P(ZoneOffsets, CalendarDaysAcrossTheChanges) {
    EXPECT_EQ(selected_days("FRIDAYS +3 DAYS"), (Days{"3/15", "3/29", "11/1", "11/8"}));
    EXPECT_EQ(selected_days("MONDAYS -2 DAYS"), (Days{"3/13", "3/27", "10/30", "11/6"}));
    EXPECT_EQ(selected_days("FRIDAYS +2 DAY"), (Days{"3/14", "3/28", "10/31", "11/7"}));
    EXPECT_EQ(selected_days("FRIDAYS"), (Days{"3/12", "3/26", "10/29", "11/5"}));
}

TEST_P(ZoneOffsets, DatesAndHolidaysAreLocalDays) {
    EXPECT_TRUE(selects_on(2027, 3, 28, "2027/03/28"));
    EXPECT_TRUE(selects_on(2027, 10, 31, "SU"));
    EXPECT_FALSE(selects_on(2027, 11, 1, "WORKDAYS"));
    EXPECT_TRUE(selects_on(2027, 11, 1, "HOLIDAYS,TU"));
    EXPECT_TRUE(selects_on(2027, 11, 2, "HOLIDAYS,TU"));
}

}  // namespace
