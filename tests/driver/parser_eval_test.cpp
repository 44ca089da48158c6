// Date-clause evaluation and what a selected schedule records: day words,
// EVERYDAY and REQUEST, EXCEPT elements, calendars with offsets, missing
// calendars, the early stops, forced schedules, the AT time key, PRIORITY and
// FOLLOWS targets.
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "parser_testutil.h"

namespace {

using ptest::find_entry;
using ptest::ParserTest;

const std::string kHead = "SCHEDULE CPU1#S1\n";

// Run dates of January 2027: Friday the 8th, Saturday the 9th, Monday the
// 11th (a holiday), Tuesday the 12th.
class SelectionTest : public ParserTest {
  protected:
    void SetUp() override {
        ParserTest::SetUp();
        calendar("HOLIDAYS", {{2027, 1, 11}, {2027, 3, 15}});
        calendar("PAYDAY", {{2027, 1, 8}, {2027, 3, 12}});
    }

    // Parses with standard error captured; returns what was written there.
    std::string parse_quietly(const std::string& text, bool forced = false, int* rc = nullptr) {
        testing::internal::CaptureStderr();
        const int r = parse(text, forced);
        if (rc != nullptr) *rc = r;
        return testing::internal::GetCapturedStderr();
    }

    bool selects_on(int y, int m, int d, const std::string& clause) {
        run_date(y, m, d);
        free_selected(run_selected_list());
        parse_quietly(kHead + clause + "\n:\nJ1\nEND");
        return find_entry("CPU1", "S1") != nullptr;
    }
};

TEST_F(SelectionTest, DayWordsWeekdaysWorkdaysAndEveryday) {
    EXPECT_TRUE(selects_on(2027, 1, 8, "ON FR"));
    EXPECT_TRUE(selects_on(2027, 1, 8, "on fr"));
    EXPECT_FALSE(selects_on(2027, 1, 8, "ON MO"));
    EXPECT_TRUE(selects_on(2027, 1, 8, "ON MO,TU,FR"));
    EXPECT_TRUE(selects_on(2027, 1, 8, "ON WEEKDAYS"));
    EXPECT_TRUE(selects_on(2027, 1, 8, "ON WORKDAYS"));
    EXPECT_FALSE(selects_on(2027, 1, 9, "ON WEEKDAYS"));
    EXPECT_TRUE(selects_on(2027, 1, 9, "ON SA"));
    EXPECT_TRUE(selects_on(2027, 1, 9, "ON Everyday"));
    // A weekday in HOLIDAYS is a weekday but not a working day.
    EXPECT_FALSE(selects_on(2027, 1, 11, "ON WORKDAYS"));
    EXPECT_TRUE(selects_on(2027, 1, 11, "ON WEEKDAYS"));
    EXPECT_TRUE(selects_on(2027, 1, 11, "ON HOLIDAYS"));
    // Explicit dates compare the local year, month and day.
    EXPECT_TRUE(selects_on(2027, 1, 9, "ON 27/01/09"));
    EXPECT_TRUE(selects_on(2027, 1, 9, "ON MO,2027/01/09"));
    EXPECT_FALSE(selects_on(2027, 1, 9, "ON 2027/01/10"));
    // Without a run date only forced schedules run, even on EVERYDAY.
    EXPECT_FALSE(selects_on(0, 0, 0, "ON EVERYDAY"));
}

TEST_F(SelectionTest, RequestSelectsOnlyForcedSchedules) {
    EXPECT_FALSE(selects_on(2027, 1, 8, "ON REQUEST"));
    EXPECT_TRUE(selects_on(2027, 1, 8, "ON REQUEST,FR"));
    EXPECT_TRUE(selects_on(2027, 1, 8, "ON MO,REQUEST,FR"));

    // Forced, the parse runs on past the ON clause and records the AT time.
    run_date(2027, 1, 8);
    free_selected(run_selected_list());
    parse_quietly(kHead + "ON REQUEST AT 0700\n:\nJ1\nEND", true);
    const selected_entry* e = find_entry("CPU1", "S1");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->time_key, 60);
}

TEST_F(SelectionTest, ExceptElementsStopTheParse) {
    // A Friday that is in HOLIDAYS.
    calendar("HOLIDAYS", {{2027, 1, 8}});
    EXPECT_FALSE(selects_on(2027, 1, 8, "ON MO,FR EXCEPT HOLIDAYS"));
    EXPECT_TRUE(selects_on(2027, 3, 12, "ON MO,FR EXCEPT HOLIDAYS"));
    EXPECT_FALSE(selects_on(2027, 1, 8, "ON EVERYDAY EXCEPT TU,FR"));
    EXPECT_FALSE(selects_on(2027, 1, 8, "ON EVERYDAY EXCEPT WEEKDAYS"));
    EXPECT_TRUE(selects_on(2027, 1, 9, "ON EVERYDAY EXCEPT WEEKDAYS"));
    EXPECT_FALSE(selects_on(2027, 1, 8, "ON EVERYDAY EXCEPT 2027/01/08"));
    EXPECT_TRUE(selects_on(2027, 1, 8, "ON EVERYDAY EXCEPT 2027/01/07"));
    EXPECT_FALSE(selects_on(2027, 1, 12, "ON EVERYDAY EXCEPT PAYDAY +1 WORKDAY"));
    EXPECT_TRUE(selects_on(2027, 1, 11, "ON EVERYDAY EXCEPT PAYDAY +1 WORKDAY"));

    // A matching EXCEPT element stops before the keywords and enters nothing.
    run_date(2027, 1, 8);
    free_selected(run_selected_list());
    parse_quietly(kHead + "ON FR EXCEPT FR AT 0700 PRIORITY 5 LIMIT 5000\n:\nJ1\nEND");
    EXPECT_TRUE(run_selected_list().entries.empty());
    EXPECT_TRUE(errors().empty());

    // A forced schedule's EXCEPT elements never match: the parse goes on.
    free_selected(run_selected_list());
    parse_quietly(kHead + "ON MO EXCEPT FR,HOLIDAYS AT 0700\n:\nJ1\nEND", true);
    const selected_entry* e = find_entry("CPU1", "S1");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->time_key, 60);
}

TEST_F(SelectionTest, CalendarOffsetsCountDaysWeekdaysAndWorkingDays) {
    // PAYDAY holds Friday 8 January and Friday 12 March; HOLIDAYS Monday 11
    // January and Monday 15 March.
    EXPECT_TRUE(selects_on(2027, 1, 8, "ON PAYDAY"));
    EXPECT_FALSE(selects_on(2027, 1, 9, "ON PAYDAY"));
    EXPECT_TRUE(selects_on(2027, 1, 6, "ON PAYDAY -2 DAYS"));
    EXPECT_TRUE(selects_on(2027, 3, 10, "ON PAYDAY -2 DAYS"));
    EXPECT_FALSE(selects_on(2027, 1, 7, "ON PAYDAY -2 DAYS"));
    EXPECT_TRUE(selects_on(2027, 1, 11, "ON PAYDAY +3 DAY"));
    // Weekdays skip the weekend only.
    EXPECT_TRUE(selects_on(2027, 1, 11, "ON PAYDAY +1 WEEKDAY"));
    EXPECT_FALSE(selects_on(2027, 1, 9, "ON PAYDAY +1 WEEKDAY"));
    EXPECT_TRUE(selects_on(2027, 1, 6, "ON PAYDAY -2 WEEKDAYS"));
    // Working days skip the weekend and the holidays.
    EXPECT_FALSE(selects_on(2027, 1, 11, "ON PAYDAY +1 WORKDAY"));
    EXPECT_TRUE(selects_on(2027, 1, 12, "ON PAYDAY +1 WORKDAY"));
    EXPECT_TRUE(selects_on(2027, 3, 16, "ON PAYDAY +1 WORKDAYS"));
    EXPECT_FALSE(selects_on(2027, 3, 13, "ON PAYDAY +1 WORKDAYS"));
    EXPECT_TRUE(selects_on(2027, 1, 7, "ON PAYDAY -1 workday"));
    EXPECT_TRUE(selects_on(2027, 1, 13, "ON PAYDAY +2 WORKDAYS"));
    // An offset of 0 keeps the calendar's own dates, if the run date is of
    // the right kind.
    EXPECT_TRUE(selects_on(2027, 1, 8, "ON PAYDAY +0 WORKDAYS"));
    EXPECT_TRUE(selects_on(2027, 1, 8, "ON PAYDAY -0 DAYS"));
    // Without holidays every weekday is a working day.
    calendar("PAYDAY2", {{2027, 2, 5}});
    EXPECT_TRUE(selects_on(2027, 2, 8, "ON PAYDAY2 +1 WORKDAY"));
    EXPECT_TRUE(errors().empty());
}

TEST_F(SelectionTest, AHugeOffsetEndsWithoutStepping) {
    run_date(2027, 1, 12);
    for (const char* unit : {"WORKDAYS", "WEEKDAYS", "DAYS"})
        EXPECT_FALSE(selects_on(2027, 1, 12, std::string("ON PAYDAY +99999999999 ") + unit));
    EXPECT_FALSE(selects_on(2027, 1, 12, "ON PAYDAY -2147483647 WORKDAYS"));
}

TEST_F(SelectionTest, MissingCalendarsMatchNothing) {
    run_date(2027, 1, 8);
    std::string err = parse_quietly(kHead + "ON NOSUCH,FR\n:\nJ1\nEND");
    EXPECT_NE(err.find("Schedule CPU1#S1 names the calendar NOSUCH"), std::string::npos) << err;
    EXPECT_NE(find_entry("CPU1", "S1"), nullptr);

    free_selected(run_selected_list());
    err = parse_quietly(kHead + "ON NOSUCH\n:\nJ1\nEND");
    EXPECT_NE(err.find("NOSUCH"), std::string::npos);
    EXPECT_EQ(find_entry("CPU1", "S1"), nullptr);
    EXPECT_TRUE(ptest::recorded().exits.empty());

    // A calendar name is looked up whole, not as the start of another name.
    err = parse_quietly(kHead + "ON PAY\n:\nJ1\nEND");
    EXPECT_NE(err.find("names the calendar PAY,"), std::string::npos) << err;

    // The full day name is an identifier: a calendar that does not exist.
    err = parse_quietly(kHead + "ON FRIDAY\n:\nJ1\nEND");
    EXPECT_NE(err.find("names the calendar FRIDAY"), std::string::npos) << err;
    EXPECT_EQ(find_entry("CPU1", "S1"), nullptr);

    // With a day offset the missing calendar's dates cannot be read: fatal.
    err = parse_quietly(kHead + "ON NOSUCH +1 DAYS\n:\nJ1\nEND");
    EXPECT_NE(err.find("Reading the dates of a calendar failed"), std::string::npos) << err;
    EXPECT_EQ(ptest::recorded().exits, std::vector<int>{1});

    // With a weekday offset on a Saturday it never gets that far.
    ptest::recorded().exits.clear();
    run_date(2027, 1, 9);
    parse_quietly(kHead + "ON NOSUCH +1 WEEKDAYS\n:\nJ1\nEND");
    EXPECT_TRUE(ptest::recorded().exits.empty());
}

TEST_F(SelectionTest, ANonMatchingOnClauseStopsBeforeTheKeywords) {
    run_date(2027, 1, 8);
    int rc = -1;
    parse_quietly(
        kHead + "ON MO AT 0700 PRIORITY 50 FOLLOWS CPU2#X LIMIT 5000 PRIORITY .\n:\nJ1\nEND", false,
        &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(run_selected_list().entries.empty());
    EXPECT_TRUE(errors().empty());
    EXPECT_FALSE(evaluation_state().selected);
}

TEST_F(SelectionTest, ASelectedScheduleRecordsAtPriorityAndFollows) {
    run_date(2027, 1, 8);
    parse_quietly(
        "SCHEDULE cpu1#s1 ON FR AT 2330 +1 DAYS PRIORITY HI\n"
        "FOLLOWS cpu2#x.JOB1, Y, NET :: CPU9#Z.@, net :: W, NET :: \"ext job\", Q.@\n:\nJ1\nEND");
    const selected_entry* e = find_entry("CPU1", "S1");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->time_key, 3450);
    EXPECT_EQ(e->priority, 100);
    std::vector<std::string> deps;
    for (const selected_dependency& d : e->dependencies)
        deps.push_back(d.workstation + "#" + d.schedule);
    EXPECT_EQ(deps, (std::vector<std::string>{"CPU2#X", "CPU1#Y", "CPU9#Z", "NET#W", "CPU1#Q"}));
    EXPECT_TRUE(errors().empty());

    // The followed schedule defaults to the workstation written after
    // SCHEDULE, or to this workstation; entries go under the record's key.
    free_selected(run_selected_list());
    evaluation_state().this_workstation = "HOME";
    parse_quietly("SCHEDULE S9 ON FR FOLLOWS Y PRIORITY GO AT 0600\n:\nJ1");
    e = find_entry("CPU1", "S1");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->priority, 101);
    EXPECT_EQ(e->time_key, 0);  // the start of the day: key 0 leaves it unset
    ASSERT_EQ(e->dependencies.size(), 1u);
    EXPECT_EQ(e->dependencies[0].workstation, "HOME");
    EXPECT_EQ(e->dependencies[0].schedule, "Y");
    EXPECT_EQ(run_selected_list().entries.size(), 1u);
}

TEST_F(SelectionTest, TheTimeKeyIsCarriedInThirtyTwoBits) {
    EXPECT_EQ(at_time_key(2330, 1, 600), 3450);
    EXPECT_EQ(at_time_key(600, 0, 600), 0);
    EXPECT_EQ(at_time_key(559, 0, 600), 1439);
    EXPECT_EQ(at_time_key(700, 14, 600), 60 + 14 * 2400);
    EXPECT_EQ(at_time_key(700, 4000000000LL, 600), 2147483647);

    run_date(2027, 1, 8);
    parse_quietly(kHead + "ON FR AT 0700 +14 DAYS\n:\nJ1");
    const selected_entry* e = find_entry("CPU1", "S1");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->time_key, 33660);
}

TEST_F(SelectionTest, EndWithoutJobsEntersTheScheduleAndReadsToTheEnd) {
    run_date(2027, 1, 8);
    int rc = -1;
    parse_quietly(kHead + "ON FR\n:\nEND\n", false, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_NE(find_entry("CPU1", "S1"), nullptr);
    EXPECT_TRUE(errors().empty());
}

TEST_F(SelectionTest, ForcedSchedulesRunWithoutARunDate) {
    run_date(0, 0, 0);
    int rc = -1;
    parse_quietly(kHead + "ON MO EXCEPT FR AT 0800 PRIORITY 7\n:\nJ1\nEND", true, &rc);
    EXPECT_EQ(rc, 0);
    const selected_entry* e = find_entry("CPU1", "S1");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->time_key, 120);
    EXPECT_EQ(e->priority, 7);
}

// The run date's name list answers exactly as a search of its names would,
// for short and long names and words, names that are prefixes of others, and
// texts holding a NUL; a new assignment replaces every name.
TEST(RunDateNames, LookUpAgreesWithASearchOfTheNames) {
    const std::vector<std::string> fixed = {"MO",
                                            "WEEKDAYS",
                                            "WORKDAYS",
                                            "PAYDAY",
                                            "PAYDAYS",
                                            "A",
                                            "ABCDEFGH",
                                            "ABCDEFGHI",
                                            "LONGNAME_OF_A_CALENDAR",
                                            std::string("X\0Y", 3)};
    const std::vector<std::string> words = {"",
                                            "MO",
                                            "mo",
                                            "WEEKDAYS",
                                            "WEEKDAY",
                                            "PAYDAY",
                                            "PAYDAYS",
                                            "PAYDAYSX",
                                            "A",
                                            "AB",
                                            "ABCDEFGH",
                                            "ABCDEFGHI",
                                            "ABCDEFGHIJ",
                                            "LONGNAME_OF_A_CALENDAR",
                                            std::string("X\0Y", 3),
                                            std::string("X\0", 2),
                                            std::string("X", 1),
                                            std::string(1, '\0')};
    std::mt19937 rng(20261208);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::string> names;
        for (const std::string& n : fixed)
            if (rng() % 2 == 0) names.push_back(n);
        sched_eval_state st;
        st.run_date_names = {"STALE"};
        st.run_date_names = names;
        EXPECT_EQ(st.run_date_names.names(), names);
        for (const std::string& w : words) {
            const bool expected =
                !w.empty() && std::find(names.begin(), names.end(), w) != names.end();
            EXPECT_EQ(in_run_date_names(st, w), expected) << "word '" << w << "'";
        }
        EXPECT_FALSE(in_run_date_names(st, "STALE"));
    }
}

}  // namespace
