// mastdb and schedule definitions: loading files, showing, listing and
// deleting schedules, rejected input, and waiting for the update lock.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/mastdb/mastdb_testutil.h"
#include "utils/libs/dbaccs.h"
#include "utils/libs/issuemsg.h"
#include "utils/libs/stdutil.h"
#include "utils/libs/thiscpu.h"
#include "utils/libs/utlopts.h"

namespace {

using mdbtest::MastdbTest;

std::string lines(const std::vector<std::string>& ls) {
    std::string out;
    for (const std::string& l : ls)
        out += l + "\n";
    return out;
}

// ---- round trip, both layouts ------------------------------------------------------

class ScheduleRoundTrip : public MastdbTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ScheduleRoundTrip, FilesLoadedAndShownAgainGiveTheSameText) {
    const bool long_names = GetParam();
    create(long_names);
    const std::string ws2 = long_names ? "CPU2_WORKSTATION" : "CPU2";
    const std::string req = long_names ? "REQUEST_ONLY_RUN" : "REQ";

    // A logical line of 300 characters is stored in three pieces; a line of
    // exactly 127 characters ending in a backslash (a continued line of the
    // language) must come back as it was, not joined with the next.
    std::string long_line = "JOB3 FOLLOWS";
    while (long_line.size() < 300)
        long_line += " CPU1#DAILY.JOB1";
    long_line.resize(300);
    const std::string cont_line = std::string("JOBW OPENS ") + std::string(115, 'X') + "\\";
    ASSERT_EQ(cont_line.size(), 127u);

    const std::string daily = lines({"* Daily processing", "* second comment line",
                                     "SCHEDULE CPU1#DAILY ON WEEKDAYS EXCEPT HOLIDAYS", "AT 0600",
                                     ":", "JOB1", "JOB2 FOLLOWS JOB1", long_line, "END"});
    const std::string weekly = lines({"SCHEDULE CPU1#WEEKLY ON FR", ":", "JOBX", "END"});
    const std::string request = lines({"# block comment follows", "<< spanning", "   two lines >>",
                                       "SCHEDULE " + ws2 + "#" + req + " ON REQUEST", ":",
                                       cont_line, "CONTINUATION", "\tJOBZ", "END"});
    const std::string a = input_file("a.sched", daily + "\n" + weekly);
    const std::string b = input_file("b.sched", request);
    // Written without its workstation: the schedule belongs to this one.
    const std::string c = input_file("c.sched", "schedule nows on mo\n:\nJ\nend\n");

    EXPECT_NE(ok({"add-schedules", a, b, c}).find("4 schedules stored"), std::string::npos);

    EXPECT_EQ(ok({"show-schedule", "CPU1#DAILY"}), daily);
    EXPECT_EQ(ok({"show-schedule", "cpu1#weekly"}), weekly);
    EXPECT_EQ(ok({"show-schedule", ws2 + "#" + req}), request);
    EXPECT_EQ(ok({"show-schedule", "NOWS"}), "SCHEDULE MASTER#NOWS on mo\n:\nJ\nend\n");
    const std::string out = (tree_.root() / "shown.txt").string();
    ok({"show-schedule", "CPU1#DAILY", out});
    EXPECT_EQ(tree_.read(out), daily);

    EXPECT_EQ(ok({"list-schedules"}),
              lines({"CPU1#DAILY", "CPU1#WEEKLY", ws2 + "#" + req, "MASTER#NOWS"}));
    const std::string check = ok({"check"});
    EXPECT_NE(check.find("mastsked: sound, 4 master records"), std::string::npos) << check;

    // Loading a schedule again replaces it.
    const std::string weekly2 = lines({"SCHEDULE CPU1#WEEKLY ON SA", ":", "JOBY", "END"});
    ok({"add-schedules", "-"}, weekly2);
    EXPECT_EQ(ok({"show-schedule", "CPU1#WEEKLY"}), weekly2);
    EXPECT_EQ(ok({"list-schedules", "CPU1#@"}), lines({"CPU1#DAILY", "CPU1#WEEKLY"}));
    ok({"check"});
}

INSTANTIATE_TEST_SUITE_P(Layouts, ScheduleRoundTrip, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "long" : "short"; });

TEST_F(MastdbTest, NameWidthFollowsTheDatabaseLayout) {
    create(false);
    fails({"add-schedules", "-"}, {"standard input, line 1", "longer than 8 characters"},
          "SCHEDULE CPU1#NINECHARS ON MO\n:\nEND\n");
    fails({"show-schedule", "CPU1#NINECHARS"}, {"longer than 8 characters"});
    // The workstation may be written apart from the name.
    ok({"add-schedules", "-"}, "SCHEDULE  cpu1 #  eight_ch ON MO\n:\nEND\n");
    EXPECT_EQ(ok({"show-schedule", "CPU1#EIGHT_CH"}), "SCHEDULE CPU1#EIGHT_CH ON MO\n:\nEND\n");
}

// ---- listing, deleting, rebuilding -----------------------------------------------------

TEST_F(MastdbTest, ListSchedulesMatchesPatternsInKeyOrder) {
    create(false);
    std::string text;
    for (const char* id : {"Z#A77", "CPU2#X12", "CPU10#A", "CPU1#B1", "CPU2#X1", "CPU1#A"})
        text += std::string("SCHEDULE ") + id + " ON MO\n:\nEND\n";
    ok({"add-schedules", "-"}, text);

    EXPECT_EQ(ok({"list-schedules"}),
              lines({"CPU1#A", "CPU1#B1", "CPU10#A", "CPU2#X1", "CPU2#X12", "Z#A77"}));
    EXPECT_EQ(ok({"list-schedules", "CPU1#@"}), lines({"CPU1#A", "CPU1#B1"}));
    EXPECT_EQ(ok({"list-schedules", "@#@1"}), lines({"CPU1#B1", "CPU2#X1"}));
    EXPECT_EQ(ok({"list-schedules", "@#?"}), lines({"CPU1#A", "CPU10#A"}));
    EXPECT_EQ(ok({"list-schedules", "@#A##"}), lines({"Z#A77"}));
    EXPECT_EQ(ok({"list-schedules", "x@"}), lines({"CPU2#X1", "CPU2#X12"}));
    EXPECT_EQ(ok({"list-schedules", "NOPE#@"}), "");
}

TEST_F(MastdbTest, DeleteAndRebuild) {
    create(false);
    std::string text;
    for (int i = 0; i < 20; ++i)
        text += "SCHEDULE CPU1#S" + std::to_string(i) + " ON MO\n:\nJOB1\nJOB2\nEND\n";
    ok({"add-schedules", "-"}, text);
    const std::string kept = ok({"show-schedule", "CPU1#S7"});

    for (int i = 0; i < 20; ++i)
        if (i != 7) ok({"delete-schedule", "CPU1#S" + std::to_string(i)});
    fails({"delete-schedule", "CPU1#S3"}, {"no schedule CPU1#S3", "[2076.7]"});
    fails({"show-schedule", "CPU1#S3"}, {"no schedule CPU1#S3", "[2076.7]"});
    EXPECT_EQ(ok({"list-schedules"}), "CPU1#S7\n");
    EXPECT_NE(ok({"check"}).find("mastsked: sound, 1 master record, 5 detail records, 114 deleted"),
              std::string::npos);

    const std::size_t before = tree_.read("brantis/mastsked").size();
    ok({"rebuild", "mastsked"});
    EXPECT_LT(tree_.read("brantis/mastsked").size(), before);
    EXPECT_NE(ok({"check"}).find("mastsked: sound, 1 master record, 5 detail records, 0 deleted"),
              std::string::npos);
    EXPECT_EQ(ok({"show-schedule", "CPU1#S7"}), kept);
    ok({"rebuild"});
    EXPECT_EQ(ok({"show-schedule", "CPU1#S7"}), kept);
    fails({"rebuild", "nosuchfile"}, {"not a file of the master database"});
}

// ---- rejected input ------------------------------------------------------------------------

TEST_F(MastdbTest, RejectedScheduleFilesLeaveTheDatabaseUnchanged) {
    create(false);
    ok({"add-schedules", "-"}, "SCHEDULE CPU1#OLD ON MO\n:\nJOB\nEND\n");
    const std::string good = input_file("good.sched", "SCHEDULE CPU1#NEW ON TU\n:\nJOB\nEND\n");
    const mdbtest::Snapshot before = snapshot();

    struct Case {
        const char* what;
        std::string text;
        std::string where;  // file and line named in the complaint
        std::string why;
    };
    const std::vector<Case> cases = {
        {"no END", "SCHEDULE CPU1#A ON MO\n:\nJOB\n", "bad.sched, line 1", "no END"},
        {"binary bytes", std::string("SCHEDULE CPU1#A ON MO\n:\nJO") + '\0' + "B\nEND\n",
         "bad.sched, line 3", "control character"},
        {"SCHEDULE inside", "SCHEDULE CPU1#A ON MO\n:\nSCHEDULE CPU1#B ON MO\n:\nEND\n",
         "bad.sched, line 3", "before the END"},
        {"text outside", "JOB\nSCHEDULE CPU1#A ON MO\n:\nEND\n", "bad.sched, line 1",
         "outside a schedule definition"},
        {"END alone", "END\n", "bad.sched, line 1", "END without"},
        {"no name", "SCHEDULE\n:\nEND\n", "bad.sched, line 1", "names no schedule"},
        {"bad name", "SCHEDULE CPU1#A@B ON MO\n:\nEND\n", "bad.sched, line 1", "\"A@B\""},
        {"twice", "SCHEDULE CPU1#NEW ON MO\n:\nEND\n", "bad.sched, line 1", "defined twice"},
        {"empty", "* only a comment\n", "bad.sched", "no schedule definition"},
        {"line too long", "SCHEDULE CPU1#A ON MO\n:\n" + std::string(5000, 'J') + "\nEND\n",
         "bad.sched, line 3", "at most 4351"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string bad = input_file("bad.sched", c.text);
        fails({"add-schedules", good, bad}, {c.where, c.why, "nothing was stored"});
        EXPECT_EQ(snapshot(), before);
    }
    fails({"add-schedules", good, (tree_.root() / "missing.sched").string()},
          {"missing.sched: cannot be read", "nothing was stored"});
    fails({"add-schedules", good, tree_.root().string()}, {"is a directory"});
    EXPECT_EQ(snapshot(), before);
}

TEST_F(MastdbTest, OptionsAndDatabaseFilesThatCannotBeUsed) {
    // Without a database, and on a workstation that is not the master.
    fails({"list-schedules"}, {"mastsked does not exist", "mastdb create"});
    tree_.set_workstations("WS2", "MASTER");
    fails({"create"}, {"not the master"});
    tree_.set_workstations("MASTER", "MASTER");
    create(false);
    fails({"create", "-long"}, {"exists already"});

    // A missing options file is named, never guessed around.
    tree_.remove("localopts");
    fails({"list-schedules"}, {"localopts cannot be read"});
    tree_.set_workstations("MASTER", "MASTER");

    // A calendar file in the place of the schedule file.
    tree_.write("brantis/mastsked", tree_.read("brantis/calendars"));
    tree_.write("brantis/mastsked.KEY", tree_.read("brantis/calendars.KEY"));
    fails({"list-schedules"}, {"cannot open", "brantis/mastsked", "[1110.26]"});
    const e2e::RunResult r = mastdb({"check"});
    EXPECT_TRUE(r.exited(1)) << r.both();
    EXPECT_NE(r.out.find("mastsked: not usable"), std::string::npos) << r.out;

    // A file that is no keyed data file at all.
    tree_.write("brantis/mastsked", "not a database\n");
    fails({"add-schedules", "-"}, {"cannot open", "brantis/mastsked"},
          "SCHEDULE A#B ON MO\n:\nEND\n");
    EXPECT_EQ(tree_.read("brantis/mastsked"), "not a database\n");
    fails({"frobnicate"}, {"unknown command"});
    EXPECT_TRUE(mastdb({"help"}).exited(0));
}

// ---- locking ---------------------------------------------------------------------------------

// mastdb waits while another process holds the update lock of the schedule
// files, and stores its schedule once the lock is released.
TEST_F(MastdbTest, WaitsForTheUpdateLock) {
    create(false);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    constexpr auto kHold = std::chrono::milliseconds(2000);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        set_home_dir(tree_.home().string());
        this_cpu_reset();
        master_name_reset();
        db_shared_reset();
        db_ptr h;
        if (db_open(&h, DB_OPEN_PRIVATE, nullptr, 0) != DB_OK) ::_exit(10);
        if (db_lock_schedules(h.get()) != DB_OK) ::_exit(11);
        if (::write(ready[1], "x", 1) != 1) ::_exit(12);
        std::this_thread::sleep_for(kHold);
        // Nothing may have been stored while the lock was held.
        int cursor = 0;
        sched_header hdr;
        const int seen = read_next_schedule(h.get(), "@", "@", &cursor, &hdr);
        if (db_unlock_schedules(h.get()) != DB_OK) ::_exit(13);
        ::_exit(seen == DB_E_END ? 0 : 14);
    }
    ::close(ready[1]);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);

    const e2e::RunResult r = mastdb({"add-schedules", "-"}, "SCHEDULE CPU1#LATE ON MO\n:\nEND\n");
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    EXPECT_TRUE(r.exited(0)) << r.both();
    EXPECT_GE(r.seconds, 1.0);
    EXPECT_EQ(ok({"list-schedules"}), "CPU1#LATE\n");
}

}  // namespace
