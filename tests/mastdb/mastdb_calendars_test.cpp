// mastdb and calendars: the calendar file format, showing and listing,
// adding and deleting dates, rejected input, and the site's date order.
#include <cstdlib>

#include "tests/mastdb/mastdb_testutil.h"

namespace {

using mdbtest::MastdbTest;

class CalendarRoundTrip : public MastdbTest, public ::testing::WithParamInterface<bool> {};

TEST_P(CalendarRoundTrip, CalendarFilesLoadedAndShownAgain) {
    create(GetParam());
    const std::string file = input_file("cal.txt",
                                        "# Public holidays of the year\n"
                                        "HOLIDAYS \"Public holidays\"\n"
                                        "    2024/12/26 2024/01/01 2024/05/01\t2024/12/25\n"
                                        "    2024/05/09 2024/05/20 2024/10/03 2024/01/01\n"
                                        "PAYDAYS 2024/01/31 20240229 24/03/29   # mixed forms\n"
                                        "\n"
                                        "empty \"\"\n");
    EXPECT_NE(ok({"add-calendars", file}).find("3 calendars stored"), std::string::npos);

    // Sorted, each date once, six to a line, four-digit years.
    const std::string holidays =
        "HOLIDAYS \"Public holidays\"\n"
        "    2024/01/01 2024/05/01 2024/05/09 2024/05/20 2024/10/03 2024/12/25\n"
        "    2024/12/26\n";
    const std::string paydays = "PAYDAYS\n    2024/01/31 2024/02/29 2024/03/29\n";
    EXPECT_EQ(ok({"show-calendar", "holidays"}), holidays);
    EXPECT_EQ(ok({"show-calendar", "PAYDAYS"}), paydays);
    EXPECT_EQ(ok({"show-calendar", "EMPTY"}), "EMPTY\n");
    EXPECT_EQ(ok({"list-calendars"}),
              "EMPTY        0\n"
              "HOLIDAYS     7  \"Public holidays\"\n"
              "PAYDAYS      3\n");
    EXPECT_EQ(ok({"list-calendars", "?A@"}), "PAYDAYS      3\n");
    EXPECT_NE(ok({"check"}).find("calendars: sound, 3 master records, 10 detail records"),
              std::string::npos);

    // What show-calendar writes, add-calendars reads back to the same.
    ok({"add-calendars", "-"}, holidays + paydays);
    EXPECT_EQ(ok({"show-calendar", "HOLIDAYS"}), holidays);
    EXPECT_EQ(ok({"show-calendar", "PAYDAYS"}), paydays);

    // A calendar loaded again is replaced: description and dates.
    ok({"add-calendars", "-"}, "HOLIDAYS 2025/01/01\n");
    EXPECT_EQ(ok({"show-calendar", "HOLIDAYS"}), "HOLIDAYS\n    2025/01/01\n");
    ok({"check"});
}

INSTANTIATE_TEST_SUITE_P(Layouts, CalendarRoundTrip, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "long" : "short"; });

TEST_F(MastdbTest, AddAndDeleteDates) {
    create(false);
    ok({"add-calendars", "-"}, "PAYDAYS 2024/01/31 2024/02/29\nEMPTY\n");

    EXPECT_NE(ok({"add-dates", "paydays", "2024/04/30", "2024/01/31"})
                  .find("1 date added to calendar PAYDAYS (1 date was there already)"),
              std::string::npos);
    EXPECT_EQ(ok({"show-calendar", "PAYDAYS"}), "PAYDAYS\n    2024/01/31 2024/02/29 2024/04/30\n");

    // One date that is not there: none is deleted.
    const mdbtest::Snapshot before = snapshot();
    fails({"delete-dates", "PAYDAYS", "2024/04/30", "2024/06/28"},
          {"does not hold the date 2024/06/28", "nothing was changed"});
    fails({"add-dates", "PAYDAYS", "2024/06/28", "2024/02/30"},
          {"\"2024/02/30\" is not a date", "nothing was changed"});
    fails({"add-dates", "NOPE", "2024/06/28"}, {"no calendar NOPE", "[2076.7]"});
    fails({"delete-dates", "NOPE", "2024/06/28"}, {"no calendar NOPE"});
    EXPECT_EQ(snapshot(), before);

    ok({"delete-dates", "PAYDAYS", "2024/04/30", "2024/01/31"});
    EXPECT_EQ(ok({"show-calendar", "PAYDAYS"}), "PAYDAYS\n    2024/02/29\n");
    ok({"delete-calendar", "empty"});
    fails({"show-calendar", "EMPTY"}, {"no calendar EMPTY", "[2076.7]"});
    fails({"delete-calendar", "EMPTY"}, {"no calendar EMPTY"});
    fails({"show-calendar", "HOLIDAY@"}, {"the calendar name"});
    EXPECT_EQ(ok({"list-calendars"}), "PAYDAYS      1\n");
    EXPECT_NE(ok({"check"}).find("calendars: sound, 1 master record, 1 detail record, 3 deleted"),
              std::string::npos);
}

TEST_F(MastdbTest, RejectedCalendarFilesLeaveTheDatabaseUnchanged) {
    create(false);
    ok({"add-calendars", "-"}, "HOLIDAYS 2024/01/01\n");
    const std::string good = input_file("good.cal", "PAYDAYS 2024/01/31\n");
    const mdbtest::Snapshot before = snapshot();

    struct Case {
        const char* what;
        std::string text;
        std::string where;
        std::string why;
    };
    const std::vector<Case> cases = {
        {"invalid date", "A\n    2024/01/01 2024/02/30\n", "bad.cal, line 2", "\"2024/02/30\""},
        {"month 13", "A 1999/13/01\n", "bad.cal, line 1", "not a date"},
        {"two fields", "A 2024/01\n", "bad.cal, line 1", "not a date"},
        {"past 2037", "A 2040/01/01\n", "bad.cal, line 1", "outside the dates"},
        {"year overflow", "A 99999/01/01\n", "bad.cal, line 1", "\"99999/01/01\""},
        {"long name", "NINECHARS 2024/01/01\n", "bad.cal, line 1", "longer than 8"},
        {"dates first", "2024/01/01\nA\n", "bad.cal, line 1", "before the first calendar"},
        {"open quote", "A \"no end 2024/01/01\n", "bad.cal, line 1", "closing double quote"},
        {"long description", "A \"" + std::string(65, 'd') + "\"\n", "bad.cal, line 1",
         "longer than 64"},
        {"punctuation", "A\n\"x\"\n", "bad.cal, line 2", "not with the character \""},
        {"twice", "PAYDAYS 2024/02/29\n", "bad.cal, line 1", "given twice"},
        {"binary", std::string("A 2024/01/01\n\x01\x02\n"), "bad.cal, line 2", "control character"},
        {"empty", "# nothing\n", "bad.cal", "holds no calendar"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string bad = input_file("bad.cal", c.text);
        fails({"add-calendars", good, bad}, {c.where, c.why, "nothing was stored"});
        EXPECT_EQ(snapshot(), before);
    }
}

// Dates are read and written in the site's order, taken from the message
// catalog; an installation whose catalog says day/month/year gets that.
TEST_F(MastdbTest, DatesFollowTheSiteOrder) {
    const std::string src = tree_.read(KORVEX_SOURCE_DIR "/catalog/telvar.msg");
    const std::size_t at = src.find("\n35 0 ");
    ASSERT_NE(at, std::string::npos) << "the date order message moved";
    std::string msg = src;
    msg.replace(at, 6, "\n35 2 ");
    const std::string msg_path = (tree_.root() / "telvar.msg").string();
    tree_.write(msg_path, msg);
    const std::string cat = tree_.path("catalog/telvar.cat").string();
    tree_.remove(cat);
    ASSERT_EQ(std::system(("gencat " + cat + " " + msg_path).c_str()), 0);

    create(false);
    ok({"add-calendars", "-"}, "PAYDAYS 31/01/2024 29/02/24\n");
    EXPECT_EQ(ok({"show-calendar", "PAYDAYS"}), "PAYDAYS\n    31/01/2024 29/02/2024\n");
    fails({"add-dates", "PAYDAYS", "2024/01/31"}, {"day/month/year"});
    EXPECT_NE(ok({"help"}).find("here day/month/year"), std::string::npos);
}

}  // namespace
