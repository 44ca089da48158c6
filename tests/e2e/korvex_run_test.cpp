// korvex from its entry to its exit on an installation tree: the run date
// from the command line, the terminal and the clock, forced schedules, the
// output file and standard output, and every way a run is refused or fails.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/e2e/korvex_e2e.h"

namespace {

namespace fs = std::filesystem;
using kx::contains;
using kx::msg;
using kx::ref;

// Friday 15 March 2024: DAILY (every day), NIGHTLY (weekdays, after DAILY),
// BACKUP (working days) and PAYROLL (pay days) run; WEEKLY (Mondays) does
// not.
const char* const kSchedules =
    "* the daily run\n"
    "SCHEDULE MASTER#DAILY ON EVERYDAY AT 0700\n"
    ":\n"
    "JOB1\n"
    "END\n"
    "SCHEDULE WEEKLY ON MO\n"
    ":\n"
    "END\n"
    "SCHEDULE MASTER#NIGHTLY ON WEEKDAYS AT 2300 FOLLOWS MASTER#DAILY\n"
    ":\n"
    "END\n"
    "SCHEDULE WS2#PAYROLL ON PAYDAYS\n"
    ":\n"
    "END\n"
    "SCHEDULE WS2#BACKUP ON WORKDAYS EXCEPT HOLIDAYS\n"
    ":\n"
    "END\n";
const char* const kCalendars =
    "HOLIDAYS \"Public holidays\" 2024/03/18\n"
    "PAYDAYS 2024/03/15 2024/03/29\n";
const char* const kDate = "2024/03/15";

const std::vector<std::string> kDaily = {
    "* the daily run", "SCHEDULE MASTER#DAILY ON EVERYDAY AT 0700", ":", "JOB1", "END"};
const std::vector<std::string> kNightly = {
    "SCHEDULE MASTER#NIGHTLY ON WEEKDAYS AT 2300 FOLLOWS MASTER#DAILY", ":", "END"};
const std::vector<std::string> kWeekly = {"SCHEDULE MASTER#WEEKLY ON MO", ":", "END"};
const std::vector<std::string> kBackup = {"SCHEDULE WS2#BACKUP ON WORKDAYS EXCEPT HOLIDAYS", ":",
                                          "END"};
const std::vector<std::string> kPayroll = {"SCHEDULE WS2#PAYROLL ON PAYDAYS", ":", "END"};

std::string text_of(const std::vector<std::vector<std::string>>& groups) {
    std::string out;
    for (const auto& g : groups)
        for (const std::string& line : g)
            out += line + "\n";
    return out;
}

std::string header(const std::string& ws) {
    return "*\n" + msg(22, {ws}) + "\n*\n";
}

class KorvexRun : public ::testing::Test {
  protected:
    explicit KorvexRun(e2e::TreeOptions options = {}) : tree_(std::move(options)) {}

    void SetUp() override {
        kx::create_db(tree_);
        kx::add_schedules(tree_, kSchedules);
        kx::add_calendars(tree_, kCalendars);
    }

    kx::RunResult run(const std::vector<std::string>& args, kx::RunOptions o = {}) {
        return kx::korvex(tree_, args, std::move(o));
    }

    // The production schedule of kDate.
    static std::string full_schedule() {
        return msg(20, {"24/03/15"}) + "\n" + header("MASTER") + text_of({kDaily, kNightly}) +
               header("WS2") + text_of({kBackup, kPayroll});
    }

    kx::InstallTree tree_;
};

// ---- normal runs -----------------------------------------------------------------

TEST_F(KorvexRun, DateSelectsSchedulesOfTwoWorkstations) {
    const kx::RunResult r = run({"-date", kDate});
    ASSERT_TRUE(r.exited(0)) << r.both();
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(tree_.read("prodsked"), full_schedule());
    EXPECT_EQ(kx::after_banner(r.out),
              msg(22, {"MASTER"}) + "\n" + msg(21, {"DAILY"}) + "\n" + msg(21, {"NIGHTLY"}) + "\n" +
                  msg(19, {"2", "MASTER"}) + "\n\n" + msg(22, {"WS2"}) + "\n" +
                  msg(21, {"BACKUP"}) + "\n" + msg(21, {"PAYROLL"}) + "\n" + msg(19, {"2", "WS2"}) +
                  "\n\n" + msg(28, {"4"}) + "\n\n");
}

TEST_F(KorvexRun, ProductionScheduleOnStandardOutput) {
    const kx::RunResult r = run({"-date", kDate, "-prodsked", "-"});
    ASSERT_TRUE(r.exited(0)) << r.both();
    EXPECT_FALSE(tree_.exists("prodsked"));
    // The file's lines and the progress lines, in the order they were made.
    const std::string expected =
        msg(20, {"24/03/15"}) + "\n" + header("MASTER") + msg(22, {"MASTER"}) + "\n" +
        msg(21, {"DAILY"}) + "\n" + text_of({kDaily}) + msg(21, {"NIGHTLY"}) + "\n" +
        text_of({kNightly}) + msg(19, {"2", "MASTER"}) + "\n\n" + header("WS2") + msg(22, {"WS2"}) +
        "\n" + msg(21, {"BACKUP"}) + "\n" + text_of({kBackup}) + msg(21, {"PAYROLL"}) + "\n" +
        text_of({kPayroll}) + msg(19, {"2", "WS2"}) + "\n\n" + msg(28, {"4"}) + "\n\n";
    EXPECT_EQ(kx::after_banner(r.out), expected);
}

TEST_F(KorvexRun, NoDateTakesOnlyForcedSchedules) {
    // Nothing to select: an empty file, no pass.
    kx::RunResult r = run({"-date", "0"});
    ASSERT_TRUE(r.exited(0)) << r.both();
    EXPECT_TRUE(tree_.exists("prodsked"));
    EXPECT_EQ(tree_.read("prodsked"), "");
    EXPECT_EQ(kx::after_banner(r.out), "");

    // Forced schedules only, without a date line; a line naming no schedule
    // is reported and skipped.
    tree_.write("forced", "WEEKLY\nWS2#PAYROLL\nNOSUCH\n");
    r = run({"-date", "0", "-scheds", "forced"});
    ASSERT_TRUE(r.exited(0)) << r.both();
    EXPECT_EQ(tree_.read("prodsked"),
              header("MASTER") + text_of({kWeekly}) + header("WS2") + text_of({kPayroll}));
    EXPECT_EQ(kx::count_of(r.err, ref(3)), 1u) << r.err;
}

TEST_F(KorvexRun, ForcedListFromFileAddsToTheDate) {
    // WEEKLY does not run on a Friday; forced, it is taken all the same (and
    // comes first: it has no AT time).
    tree_.write("forced", "MASTER#WEEKLY\n");
    const kx::RunResult r = run({"-date", kDate, "-scheds", "forced"});
    ASSERT_TRUE(r.exited(0)) << r.both();
    EXPECT_EQ(tree_.read("prodsked"), msg(20, {"24/03/15"}) + "\n" + header("MASTER") +
                                          text_of({kWeekly, kDaily, kNightly}) + header("WS2") +
                                          text_of({kBackup, kPayroll}));
}

TEST_F(KorvexRun, AutodateIsToday) {
    const std::time_t now = std::time(nullptr);
    const kx::RunResult r = run({"-autodate"});
    ASSERT_TRUE(r.exited(0)) << r.both();
    std::tm tm{};
    gmtime_r(&now, &tm);  // the runs' zone is UTC
    char today[16];
    std::strftime(today, sizeof today, "%y/%m/%d", &tm);
    const std::string file = tree_.read("prodsked");
    EXPECT_EQ(file.substr(0, file.find('\n')), msg(20, {today}));
    EXPECT_TRUE(contains(file, text_of({kDaily}))) << file;
}

TEST_F(KorvexRun, VersionRequestEndsAtStartUp) {
    for (const char* arg : {"version", "-V"}) {
        const kx::RunResult r = run({arg, "-date", kDate});
        EXPECT_TRUE(r.exited(0)) << r.both();
        EXPECT_TRUE(contains(r.out, "Program patch revision: 3.21.1.11.1.5.2.2\n")) << r.out;
        EXPECT_FALSE(tree_.exists("prodsked"));
    }
}

TEST_F(KorvexRun, InvalidCommandLineWritesNothing) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"-date", kDate, "extra"},
                                               {"-autodate", "-date", kDate},
                                               {"-date", "2024/02/30"},
                                               {"-debug"}}) {
        const kx::RunResult r = run(args);
        EXPECT_TRUE(r.exited(0)) << args[0] << r.both();
        EXPECT_TRUE(contains(r.err, ref(4))) << r.err;
        EXPECT_FALSE(tree_.exists("prodsked"));
    }
}

TEST(KorvexLongLines, LineStoredInPiecesIsParsedAsWritten) {
    kx::InstallTree tree;
    kx::create_db(tree);
    // The FOLLOWS line is longer than a record: its second piece begins with
    // "#", which must not make it a comment line. Read whole, SPLIT follows
    // FIRST and comes after it; read as pieces it would follow nothing and,
    // having no AT time, come first.
    std::string follows = "FOLLOWS";
    follows.resize(120, ' ');
    follows += "MASTER#FIRST";
    ASSERT_EQ(follows.find('#'), 126u);
    const std::string split = "SCHEDULE MASTER#SPLIT ON EVERYDAY\n" + follows + "\n:\nEND\n";
    const std::string first = "SCHEDULE MASTER#FIRST ON EVERYDAY AT 2300\n:\nEND\n";
    kx::add_schedules(tree, split + first);

    const kx::RunResult r = kx::korvex(tree, {"-date", kDate});
    ASSERT_TRUE(r.exited(0)) << r.both();
    EXPECT_EQ(tree.read("prodsked"),
              msg(20, {"24/03/15"}) + "\n" + header("MASTER") + first + split);
}

// ---- the terminal ----------------------------------------------------------------

TEST_F(KorvexRun, DateAndForcedListAtTheTerminal) {
    kx::TerminalRun t = kx::korvex_on_terminal(tree_, {}, {kDate, "WEEKLY", ""});
    EXPECT_EQ(t.status, 0) << t.screen;
    EXPECT_EQ(tree_.read("prodsked"), msg(20, {"24/03/15"}) + "\n" + header("MASTER") +
                                          text_of({kWeekly, kDaily, kNightly}) + header("WS2") +
                                          text_of({kBackup, kPayroll}));

    // An empty answer is no date; with no forced schedule there is nothing
    // to do, and the file is left empty.
    t = kx::korvex_on_terminal(tree_, {}, {"", ""});
    EXPECT_EQ(t.status, 0) << t.screen;
    EXPECT_EQ(tree_.read("prodsked"), "");

    // The input ends at the date question.
    tree_.remove("prodsked");
    t = kx::korvex_on_terminal(tree_, {}, {"\x04"});
    EXPECT_EQ(t.status, 1) << t.screen;
    EXPECT_FALSE(tree_.exists("prodsked"));
}

TEST_F(KorvexRun, DateQuestionWithoutInput) {
    // Standard input is empty: the question meets the end of its input.
    const kx::RunResult r = run({});
    EXPECT_TRUE(r.exited(1)) << r.both();
    EXPECT_FALSE(tree_.exists("prodsked"));
}

// ---- failures ----------------------------------------------------------------------

TEST_F(KorvexRun, DefinitionErrorLeavesAnEmptyFile) {
    // mastdb refuses such a definition; the record is written directly.
    kx::store_raw(tree_, "MASTER", "BAD", {"SCHEDULE MASTER#BAD ON FR PRIORITY 200", ":", "END"});
    const kx::RunResult r = run({"-date", kDate});
    EXPECT_TRUE(r.exited(2)) << r.both();
    EXPECT_TRUE(contains(r.err, ref(23))) << r.err;
    EXPECT_TRUE(tree_.exists("prodsked"));
    EXPECT_EQ(tree_.read("prodsked"), "");
}

TEST_F(KorvexRun, CorruptedScheduleFileIsFatal) {
    // A text line record of PAYROLL made unreadable: the selection pass meets
    // it while reading that schedule's text.
    std::string data = tree_.read(tree_.db_file("mastsked"));
    const std::size_t at = data.find("SCHEDULE WS2#PAYROLL");
    ASSERT_NE(at, std::string::npos);
    data.replace(at - 30, 10, "\x01garbage!!");
    tree_.write(tree_.db_file("mastsked"), data);

    const kx::RunResult r = run({"-date", kDate});
    EXPECT_TRUE(r.exited(1)) << r.both();
    EXPECT_TRUE(contains(r.err, ref(13))) << r.err;
    EXPECT_EQ(tree_.read("prodsked"), "");
}

TEST_F(KorvexRun, OutputThatCannotBeWritten) {
    // Cannot be created.
    kx::RunResult r = run({"-date", kDate, "-prodsked", "no/such/dir/prodsked"});
    EXPECT_TRUE(r.exited(1)) << r.both();
    EXPECT_TRUE(contains(r.err, ref(8))) << r.err;

    // Created, but the writes fail: the run must not end as if the file were
    // complete.
    r = run({"-date", kDate, "-prodsked", "/dev/full"});
    EXPECT_TRUE(r.exited(1)) << r.both();
    EXPECT_TRUE(contains(r.err, ref(8))) << r.err;
}

// ---- the master and the access check -------------------------------------------

TEST(KorvexGuards, NotOnTheMaster) {
    e2e::TreeOptions o;
    o.thiscpu = "WS2";
    kx::InstallTree tree(o);
    // No database at all: had it been opened, its failure would show.
    const kx::RunResult r = kx::korvex(tree, {"-date", kDate});
    EXPECT_TRUE(r.exited(1)) << r.both();
    EXPECT_TRUE(contains(r.err, ref(1))) << r.err;
    EXPECT_FALSE(contains(r.err, "[2076.")) << r.err;
    EXPECT_FALSE(tree.exists("prodsked"));
}

class KorvexSecurity : public KorvexRun {
  protected:
    static e2e::TreeOptions with_telvar() {
        e2e::TreeOptions o;
        o.telvar = true;
        return o;
    }
    KorvexSecurity() : KorvexRun(with_telvar()) {}

    void compile(const std::string& source) {
        tree_.write("security.txt", source);
        const std::string target = (tree_.telvar() / "network" / "Security").string();
        kx::tool(tree_, "mksecurity", {"security.txt", "-o", target});
    }

    // Runs korvex as the user nobody; the tree is opened to everyone first.
    kx::RunResult run_as_nobody(const std::vector<std::string>& args, kx::RunOptions o = {}) {
        for (const auto& e : fs::recursive_directory_iterator(tree_.root()))
            fs::permissions(e.path(), fs::perms::others_read | fs::perms::others_write,
                            fs::perm_options::add);
        fs::permissions(tree_.root(), fs::perms::others_all, fs::perm_options::add);
        std::vector<std::string> all = {"--reuid=65534", "--regid=65534", "--clear-groups",
                                        (tree_.bin() / "korvex").string()};
        all.insert(all.end(), args.begin(), args.end());
        return tree_.run("/usr/bin/setpriv", all, kx::zoned(std::move(o)));
    }
};

TEST_F(KorvexSecurity, RulesDecideOnBuild) {
    compile("USER everyone\n LOGON=@\nBEGIN\n FILE NAME=PROD@ ACCESS=BUILD\nEND\n");
    kx::RunResult r = run({"-date", kDate});
    ASSERT_TRUE(r.exited(0)) << r.both();
    EXPECT_EQ(tree_.read("prodsked"), full_schedule());

    // Refused: before any question and before the output file exists.
    tree_.remove("prodsked");
    compile("USER everyone\n LOGON=@\nBEGIN\n FILE NAME=PRODSKED ACCESS=DISPLAY\nEND\n");
    kx::RunOptions o;
    o.input = std::string(kDate) + "\n\n";
    r = run({}, o);
    EXPECT_TRUE(r.exited(1)) << r.both();
    EXPECT_TRUE(contains(r.err, ref(25))) << r.err;
    EXPECT_FALSE(contains(r.err, "Production date")) << r.err;
    EXPECT_FALSE(tree_.exists("prodsked"));
}

TEST_F(KorvexSecurity, NoSecurityFile) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs the super user";
    // The super user may build without a Security file.
    kx::RunResult r = run({"-date", kDate});
    ASSERT_TRUE(r.exited(0)) << r.both();
    tree_.remove("prodsked");

    // Anyone else is refused ...
    r = run_as_nobody({"-date", kDate});
    EXPECT_TRUE(r.exited(1)) << r.both();
    EXPECT_TRUE(contains(r.err, ref(25))) << r.err;
    EXPECT_FALSE(tree_.exists("prodsked"));

    // ... unless the test mode makes the user a super user.
    kx::RunOptions o;
    o.env = {{"CCCTEST", "123"}};
    r = run_as_nobody({"-date", kDate}, o);
    EXPECT_TRUE(r.exited(0)) << r.both();
    EXPECT_EQ(tree_.read("prodsked"), full_schedule());
}

}  // namespace
