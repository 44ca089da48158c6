// mastdb add-schedules reads every definition with the schedule language's
// parser before it stores anything: definition errors name the file and the
// line, and a file with any error stores nothing.
#include "tests/e2e/korvex_e2e.h"
#include "tests/mastdb/mastdb_testutil.h"

namespace {

using mdbtest::MastdbTest;

std::string lines(const std::vector<std::string>& ls) {
    std::string out;
    for (const std::string& l : ls)
        out += l + "\n";
    return out;
}

// The complaint about a definition error, as mastdb writes it.
std::string complaint(const std::string& file, int line, int number,
                      const std::vector<std::string>& args = {}) {
    return "mastdb: " + file + ", line " + std::to_string(line) + ": " +
           kx::msg(number, args, 2209) + "\n";
}

// Definitions as a site writes them: calendars that are not in the database
// yet (they may be loaded later), offsets, FOLLOWS, AT with a day offset, a
// prompt with a parameter, a continued line, comments, and jobs.
const char* const kSiteDefinitions = R"(<< a comment
   over two lines >>
SCHEDULE CENTRAL#FULLBKUP
ON SU, MONTHEND, FIRSTDAY -1 DAY, FIRSTDAY +2 WORKDAYS
EXCEPT HOLIDAYS, PAYDAY +1 WEEKDAYS, 2027/12/25
AT 0100 +1 DAYS
NEEDS 2 CENTRAL#TAPEDRV
FOLLOWS STARTDAY, FINANCE#GLCLOSE.@, WAREHSE#RECEIVE.LABELS
PROMPT "Mount tape ^TAPEID^ in the drive, then reply Y"
:
FULLDUMP DOCOMMAND "dump -full" STREAMLOGON backup
END

* Taken only when named at the run.
SCHEDULE CENTRAL#RESTORE
ON REQUEST, 2026/03/29, \
2027/03/28
:
END
)";

TEST_F(MastdbTest, DefinitionErrorsStoreNothing) {
    create(false);
    ok({"add-schedules", "-"}, "SCHEDULE CPU1#OLD ON MO\n:\nJOB\nEND\n");
    const std::string good = input_file("good.sched", kSiteDefinitions);
    const std::vector<std::string> bad_lines = {
        /*  1 */ "* a sign after a day is no offset",
        /*  2 */ "SCHEDULE CPU1#SIGN",
        /*  3 */ "ON MO +",
        /*  4 */ ":",
        /*  5 */ "J",
        /*  6 */ "END",
        /*  7 */ "",
        /*  8 */ "SCHEDULE CPU1#PRIO ON MO",
        /*  9 */ "PRIORITY .",
        /* 10 */ ":",
        /* 11 */ "END",
        /* 12 */ "SCHEDULE CPU1#UNKNOWN ON MO",
        /* 13 */ "AT 0600",
        /* 14 */ "REPEAT 12",
        /* 15 */ ":",
        /* 16 */ "END",
        /* 17 */ "SCHEDULE CPU1#LONGCAL",
        /* 18 */ "ON WEEKDAYS, NINECHARS",
        /* 19 */ ":",
        /* 20 */ "END",
        /* 21 */ "SCHEDULE CPU1#NOON",
        /* 22 */ "AT 1200",
        /* 23 */ ":",
        /* 24 */ "END",
        // The name is checked once the parser has read on to the next line:
        // the complaint still names the name's line.
        /* 25 */ "SCHEDULE CPU1#JOBNAME ON MO",
        /* 26 */ ":",
        /* 27 */ "JOB_NAME_TOO_LONG",
        /* 28 */ "END",
        // mastdb's own check of the identity lets this name through; the
        // language wants a letter first.
        /* 29 */ "SCHEDULE CPU1#9LIVES ON MO",
        /* 30 */ ":",
        /* 31 */ "END",
    };
    const std::string bad = input_file("bad.sched", lines(bad_lines));
    const mdbtest::Snapshot before = snapshot();

    const e2e::RunResult r = mastdb({"add-schedules", good, bad});
    EXPECT_TRUE(r.exited(1)) << r.both();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, complaint(bad, 3, 43) + complaint(bad, 9, 43) + complaint(bad, 14, 43) +
                         complaint(bad, 18, 200, {"8"}) + complaint(bad, 22, 35) +
                         complaint(bad, 27, 200, {"8"}) + complaint(bad, 29, 201) +
                         "mastdb: nothing was stored\n");
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(ok({"list-schedules"}), "CPU1#OLD\n");

    // The good file alone loads, with nothing said about the calendars that
    // do not exist yet.
    const e2e::RunResult loaded = mastdb({"add-schedules", good});
    EXPECT_TRUE(loaded.exited(0)) << loaded.both();
    EXPECT_EQ(loaded.out, "mastdb: 2 schedules stored\n");
    EXPECT_EQ(loaded.err, "");
}

// Names are checked with the widths of the database's layout: 16 characters
// for workstations and schedules with long names, 8 otherwise.
class DefinitionNameWidths : public MastdbTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DefinitionNameWidths, FollowTheDatabaseLayout) {
    const bool long_names = GetParam();
    create(long_names);
    const std::string sixteen =
        "SCHEDULE CPU1#A ON MO\nFOLLOWS WORKSTATION_16CH#SCHEDULE_NAME_16\n:\nEND\n";
    const std::string seventeen = "SCHEDULE CPU1#B ON MO\nFOLLOWS WORKSTATION_17CHR#B\n:\nEND\n";
    const std::string nine = "SCHEDULE CPU1#C ON MO\nFOLLOWS NINECHARS#C\n:\nEND\n";
    if (long_names) {
        ok({"add-schedules", "-"}, sixteen + nine);
        fails({"add-schedules", "-"}, {complaint("standard input", 2, 200, {"16"})}, seventeen);
    } else {
        fails({"add-schedules", "-"}, {complaint("standard input", 2, 200, {"8"})}, sixteen);
        fails({"add-schedules", "-"}, {complaint("standard input", 2, 200, {"8"})}, nine);
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, DefinitionNameWidths, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "long" : "short"; });

}  // namespace
