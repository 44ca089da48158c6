// The selection pass's side of the schedule text: the lines the scanner is
// given for a stored schedule, and the names the run date satisfies.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "driver/korvex.h"
#include "driver/korvex_select.h"
#include "select_testutil.h"

namespace {

using seltest::filler;

class SelectFeed : public dbtest::DbTest {
  protected:
    static std::vector<std::string> feed(db_handle* h, const std::string& ws,
                                         const std::string& name) {
        schedule_text_input input(h, ws, name);
        std::vector<std::string> lines;
        std::string line;
        while (input.next_line(line))
            lines.push_back(line);
        EXPECT_FALSE(input.next_line(line)) << "the end is final";
        // The scanner's way: each line appended to the text it holds, which
        // the end leaves as it was.
        schedule_text_input appending(h, ws, name);
        std::string text = "held", scratch, want = "held";
        while (appending.append_line(text, scratch))
            text += '|';
        for (const std::string& l : lines)
            want += l + '|';
        EXPECT_EQ(text, want);
        return lines;
    }
};

TEST_F(SelectFeed, LogicalLinesReachTheScannerWhole) {
    db_ptr h = open_db(0);
    // Stored in pieces of 126 characters: the second piece begins with "#",
    // the third with "*", which the scanner would take for comment lines.
    const std::string long_line = filler(126, 'S') + "#" + filler(125) + "*" + filler(60);
    struct Case {
        const char* name;
        std::vector<std::string> logical;
        std::size_t stored;  // how many records the lines take
    };
    const Case cases[] = {
        {"LONG", {"SCHEDULE MASTER#LONG ON EVERYDAY", long_line, ":", "END"}, 6},
        {"EMPTY", {"SCHEDULE MASTER#EMPTY", "", "ON MO", "", ":", "END"}, 6},
        // 127 characters ending in a backslash, as written: stored as a piece
        // and a lone backslash.
        {"EXACT", {"SCHEDULE MASTER#EXACT", filler(126) + "\\", "END"}, 4},
        {"SHORT", {"SCHEDULE MASTER#SHORT ON WORK\\", "DAYS", "END"}, 3},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(put_schedule(h.get(), "MASTER", c.name, c.logical), DB_OK);
        EXPECT_EQ(stored_lines(h.get(), "MASTER", c.name).size(), c.stored) << c.name;
        EXPECT_EQ(feed(h.get(), "MASTER", c.name), c.logical) << c.name;
    }

    // A schedule whose last stored line is a continued piece: the open line
    // ends with the schedule.
    seltest::put_stored_lines(h.get(), "MASTER", "OPEN",
                              {"SCHEDULE MASTER#OPEN", filler(126) + "\\"});
    EXPECT_EQ(feed(h.get(), "MASTER", "OPEN"),
              (std::vector<std::string>{"SCHEDULE MASTER#OPEN", filler(126)}));
    // No text at all.
    seltest::put_stored_lines(h.get(), "MASTER", "NOTEXT", {});
    EXPECT_EQ(feed(h.get(), "MASTER", "NOTEXT"), std::vector<std::string>{});
}

TEST_F(SelectFeed, RunDateNames) {
    db_ptr h = open_db(0);
    auto names_of = [&](int y, int m, int d) {
        run_context ctx;
        ctx.database = h.get();
        ctx.run_date = dbtest::local_date(y, m, d);
        EXPECT_EQ(build_run_date_names(ctx), 0);
        std::sort(ctx.run_date_names.begin(), ctx.run_date_names.end());
        return ctx.run_date_names;
    };
    using names = std::vector<std::string>;

    // Without a HOLIDAYS calendar every weekday is a working day.
    EXPECT_EQ(names_of(2024, 3, 18), (names{"MO", "WEEKDAYS", "WORKDAYS"}));

    put_calendar(h.get(), "HOLIDAYS", "", {dbtest::local_date(2024, 3, 18)});
    put_calendar(h.get(), "CALA", "",
                 {dbtest::local_date(2024, 3, 16), dbtest::local_date(2024, 3, 18)});
    put_calendar(h.get(), "CALB", "", {dbtest::local_date(2024, 3, 18)});

    EXPECT_EQ(names_of(2024, 3, 16), (names{"CALA", "SA"}));  // Saturday
    EXPECT_EQ(names_of(2024, 3, 17), (names{"SU"}));
    // A weekday in HOLIDAYS is no working day.
    EXPECT_EQ(names_of(2024, 3, 18), (names{"CALA", "CALB", "HOLIDAYS", "MO", "WEEKDAYS"}));
    EXPECT_EQ(names_of(2024, 3, 22), (names{"FR", "WEEKDAYS", "WORKDAYS"}));

    // The scan also hands out every calendar it saw, holding the date or not.
    // The pass takes them as existing without asking again, which holds only
    // while each such name, looked up as a pattern, finds its calendar.
    put_calendar(h.get(), "CAL_1", "", {dbtest::local_date(2024, 3, 1)});
    put_calendar(h.get(), "C-2", "", {dbtest::local_date(2024, 3, 2)});
    run_context ctx;
    ctx.database = h.get();
    ctx.run_date = dbtest::local_date(2024, 3, 17);
    names seen;
    ASSERT_EQ(build_run_date_names(ctx, &seen), 0);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (names{"C-2", "CALA", "CALB", "CAL_1", "HOLIDAYS"}));
    for (const std::string& name : seen) {
        int cursor = 0;
        calendar_info info;
        EXPECT_EQ(read_next_calendar(h.get(), name.c_str(), &cursor, &info), DB_OK) << name;
        EXPECT_EQ(field_to_str(info.name.data(), DB_CALENDAR_NAME), name);
    }
}

}  // namespace
