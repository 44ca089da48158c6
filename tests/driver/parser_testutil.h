// Helpers for the parser tests: a scratch installation with a master database
// whose calendars the date clauses read, the run-date names as the selection
// pass builds them, a parse of one schedule text through the real scanner,
// engine and actions, and a record of definition errors and fatal messages
// instead of the process exit.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "driver/korvex_list.h"
#include "driver/sparser.h"
#include "driver/sscanner.h"
#include "masterdb/masterdb_testutil.h"

namespace ptest {

using dbtest::local_date;

// What the hooks saw.
struct Recorded {
    std::vector<int> definition_errors;
    std::vector<int> exits;  // statuses of fatal messages
    bool go_on_after_checks = false;
};

inline Recorded& recorded() {
    static Recorded r;
    return r;
}

// Errors found by a check of a value (not by the grammar's error
// alternatives); the vector comparison lets the parse go on after them.
inline bool is_check_error(int n) {
    return is_value_check_error(n);
}

inline bool record_error(int number) {
    recorded().definition_errors.push_back(number);
    return !(recorded().go_on_after_checks && is_check_error(number));
}

inline void record_exit(int status) {
    recorded().exits.push_back(status);
}

// The entries of the run's selected-schedule list.
inline const selected_entry* find_entry(const std::string& ws, const std::string& sched) {
    for (const selected_entry& e : run_selected_list().entries)
        if (e.workstation == ws && e.schedule == sched) return &e;
    return nullptr;
}

class ParserTest : public dbtest::DbTest {
  protected:
    void SetUp() override {
        DbTest::SetUp();
        db_ = open_db(long_names_ ? 1 : 0);
        reset_evaluation_state();
        free_selected(run_selected_list());
        recorded() = Recorded{};
        set_schedule_error_hook(&record_error);
        msg_set_exit_hook(&record_exit);
        sched_eval_state& st = evaluation_state();
        st.db = db_.get();
        st.this_workstation = "CPU1";
        st.start_of_day = 600;
        st.record_workstation = "CPU1";
        st.record_schedule = "S1";
    }
    void TearDown() override {
        set_schedule_error_hook(nullptr);
        msg_set_exit_hook(nullptr);
        reset_evaluation_state();
        free_selected(run_selected_list());
        db_.reset();
        DbTest::TearDown();
    }

    // A calendar with dates given as {year, month, day}.
    void calendar(const std::string& name, const std::vector<std::array<int, 3>>& ymd) {
        std::vector<time_value> dates;
        for (const auto& d : ymd)
            dates.push_back(local_date(d[0], d[1], d[2]));
        put_calendar(db_.get(), name, name + " dates", dates);
    }

    // The run-date names: the calendars holding the date, WEEKDAYS, WORKDAYS
    // unless the date is in HOLIDAYS, and the day name.
    std::vector<std::string> names_for(time_value date) {
        std::vector<std::string> names;
        int cursor = 0;
        calendar_info info;
        while (read_next_calendar(db_.get(), "@", &cursor, &info) == DB_OK) {
            const std::string name = field_to_str(info.name.data(), DB_CALENDAR_NAME);
            if (find_calendar_date(db_.get(), name.c_str(), date) == DB_OK) names.push_back(name);
        }
        static const char* const days[] = {"MO", "TU", "WE", "TH", "FR", "SA", "SU"};
        const int weekday = time_to_daynum(date) % 7;
        if (weekday < 5) {
            names.push_back("WEEKDAYS");
            if (find_calendar_date(db_.get(), "HOLIDAYS", date) != DB_OK)
                names.push_back("WORKDAYS");
        }
        names.push_back(days[weekday]);
        return names;
    }

    // Sets the run date (0 for none) and its names.
    void run_date(int y, int m, int d) {
        sched_eval_state& st = evaluation_state();
        st.run_date = y == 0 ? 0 : local_date(y, m, d);
        st.run_date_names = y == 0 ? std::vector<std::string>{} : names_for(st.run_date);
    }

    // Parses one schedule text (lines joined by newlines) for the record
    // CPU1#S1; forced as if named in the forced list.
    int parse(const std::string& text, bool forced = false) {
        sched_eval_state& st = evaluation_state();
        st.selected = forced;
        st.forced = forced;
        if (forced) add_selected(st.record_workstation, st.record_schedule, 0, -1);
        string_lines_input in = lines_from_text(text);
        return parse_schedule(in, long_names_);
    }

    // Parses text and tells whether the record was selected (its entry made).
    bool selects(const std::string& text, bool forced = false) {
        free_selected(run_selected_list());
        const int rc = parse(text, forced);
        EXPECT_EQ(rc, 0) << text;
        return find_entry("CPU1", "S1") != nullptr;
    }

    const std::vector<int>& errors() const { return recorded().definition_errors; }

    bool long_names_ = false;
    db_ptr db_;
};

}  // namespace ptest
