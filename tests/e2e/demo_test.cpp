// The sample installation of demo/: demo/setup lays it out with this build's
// programs, its master database must be sound, every sample definition must
// be read by the whole grammar, and korvex must build the production
// schedules worked out by hand for fixed dates. Also the installation rules:
// "cmake --install" gives a tree that runs on its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver/sparser.h"
#include "driver/sparser_tables.h"
#include "driver/sscanner.h"
#include "tests/e2e/install_tree.h"

namespace {

namespace fs = std::filesystem;
using e2e::InstallTree;
using e2e::RunOptions;
using e2e::RunResult;

// The clocks change on 2027/03/28 in this zone, inside the working-day
// offsets that the sample counts around Easter 2027. An unknown zone would
// fall back to UTC, which only makes the test weaker.
const char* const kZone = "Europe/Berlin";

// Run through bash, so that a checkout without the file's mode bits works too.
const std::string kSetup = std::string(KORVEX_SOURCE_DIR) + "/demo/setup";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// "WS#NAME" of every SCHEDULE line of a production schedule, in file order.
std::vector<std::string> scheduled(const std::string& prodsked) {
    std::vector<std::string> ids;
    std::istringstream in(prodsked);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("SCHEDULE ", 0) != 0) continue;
        std::istringstream words(line.substr(9));
        std::string id;
        words >> id;
        ids.push_back(id);
    }
    return ids;
}

// One sample installation for the whole suite: laying it out costs a few
// seconds, and no test changes it (the one that needs other security rules
// works on a copy).
class SampleInstallation : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        e2e::TreeOptions options;
        options.programs = {};
        options.component_group.clear();
        tree_ = std::make_unique<InstallTree>(options);
        target_ = tree_->root() / "sample";
        RunOptions run;
        run.env = {{"TZ", kZone}};
        run.cwd = tree_->root().string();
        run.timeout = std::chrono::milliseconds(300000);
        setup_ = tree_->run("/bin/bash", {kSetup, target_.string(), KORVEX_BUILD_DIR}, run);
    }
    static void TearDownTestSuite() { tree_.reset(); }

    void SetUp() override { ASSERT_TRUE(setup_.exited(0)) << setup_.both(); }

    static fs::path home() { return target_ / "home"; }

    // Runs a program of the sample's bin/ from the sample's folder, as the
    // sample's korvex.env would.
    static RunResult run(const std::string& program, const std::vector<std::string>& args,
                         const fs::path& target = target_) {
        RunOptions run;
        run.env = {{"TZ", kZone}, {"TELVAR_COMPONENT_FILE", (target / "components").string()}};
        run.cwd = target.string();
        run.timeout = std::chrono::milliseconds(120000);
        return tree_->run((target / "home" / "bin" / program).string(), args, run);
    }

    // korvex for a date; the production schedule file's text.
    static std::string production_schedule(const std::string& date, RunResult* result,
                                           const fs::path& target = target_) {
        const fs::path out = target / ("prodsked." + std::to_string(++runs_));
        *result = run("korvex", {"-date", date, "-prodsked", out.string()}, target);
        return read_file(out);
    }

    static std::unique_ptr<InstallTree> tree_;
    static fs::path target_;
    static RunResult setup_;
    static int runs_;
};

std::unique_ptr<InstallTree> SampleInstallation::tree_;
fs::path SampleInstallation::target_;
RunResult SampleInstallation::setup_;
int SampleInstallation::runs_ = 0;

TEST_F(SampleInstallation, SetupLaysOutACompleteSoundInstallation) {
    for (const char* rel : {"home/bin/korvex", "home/bin/mastdb", "home/bin/mksecurity",
                            "home/bin/kfutil", "home/catalog/vortan.cat", "home/catalog/telvar.cat",
                            "home/localopts", "home/brantis/globalopts", "home/Security.src",
                            "telvar/network/Security", "components", "korvex.env"})
        EXPECT_TRUE(fs::exists(target_ / rel)) << rel;
    // The account that installed it is the one the rules let build.
    EXPECT_FALSE(contains(read_file(home() / "Security.src"), "{installer}"));

    const RunResult check = run("mastdb", {"check"});
    EXPECT_TRUE(check.exited(0)) << check.both();
    for (const char* file : {"mastsked", "calendars"})
        EXPECT_TRUE(contains(check.out, std::string(file) + ": sound")) << check.both();

    // At least 40 schedules over the three workstations.
    const RunResult list = run("mastdb", {"list-schedules"});
    ASSERT_TRUE(list.exited(0)) << list.both();
    std::map<std::string, int> per_workstation;
    std::istringstream in(list.out);
    std::string id;
    while (in >> id)
        ++per_workstation[id.substr(0, id.find('#'))];
    int total = 0;
    for (const auto& [ws, n] : per_workstation)
        total += n;
    EXPECT_GE(total, 40);
    EXPECT_EQ(per_workstation.size(), 3u) << list.out;

    // The holidays cover this year and the next two.
    const RunResult holidays = run("mastdb", {"show-calendar", "HOLIDAYS"});
    ASSERT_TRUE(holidays.exited(0)) << holidays.both();
    for (const char* day : {"2026/12/25", "2027/03/29", "2028/01/01"})
        EXPECT_TRUE(contains(holidays.out, day)) << holidays.out;

    // Laying it out again over itself replaces it; a folder with anything
    // else in it is refused and left alone.
    RunOptions again;
    again.cwd = tree_->root().string();
    again.timeout = std::chrono::milliseconds(300000);
    const fs::path other = tree_->root() / "other";
    fs::create_directories(other);
    std::ofstream(other / "notes.txt") << "keep me\n";
    const RunResult refused =
        tree_->run("/bin/bash", {kSetup, other.string(), KORVEX_BUILD_DIR}, again);
    EXPECT_FALSE(refused.exited(0)) << refused.both();
    EXPECT_EQ(read_file(other / "notes.txt"), "keep me\n");
    EXPECT_FALSE(fs::exists(other / "home"));
}

// What each date selects, worked out from the sample's sources: the order is
// the one of the production schedule (per workstation: dependency level, AT
// time after the start of day 0600, priority, name).
struct DateCase {
    const char* date;
    const char* why;
    std::vector<std::string> expected;
};

TEST_F(SampleInstallation, SelectsTheSchedulesOfFixedDates) {
    const std::vector<DateCase> cases = {
        {"2027/03/31",
         "Wednesday, working day, end of month and quarter",
         {"CENTRAL#STARTDAY", "CENTRAL#AUDITLOG", "CENTRAL#PREPMON",  "CENTRAL#NIGHTLY",
          "CENTRAL#DBBACKUP", "CENTRAL#UPGRADE",  "CENTRAL#LOGROTAT", "CENTRAL#DAYEND",
          "CENTRAL#MECLOSE",  "CENTRAL#QTRARCH",  "FINANCE#FXRATES",  "FINANCE#APINVOIC",
          "FINANCE#ARCOLLEC", "FINANCE#BANKREC",  "FINANCE#MECUTOFF", "FINANCE#GLPOST",
          "FINANCE#GLCLOSE",  "FINANCE#QTRCLOSE", "WAREHSE#RECEIVE",  "WAREHSE#INVRECON",
          "WAREHSE#LABELS",   "WAREHSE#REPLEN",   "WAREHSE#EDIIN",    "WAREHSE#PICKLIST",
          "WAREHSE#SHIPCONF", "WAREHSE#EDIOUT",   "WAREHSE#MEVALUE"}},
        {"2027/03/29",
         "Easter Monday: a weekday but not a working day",
         {"CENTRAL#STARTDAY", "CENTRAL#NIGHTLY", "CENTRAL#DBBACKUP", "CENTRAL#LOGROTAT",
          "FINANCE#FXRATES", "WAREHSE#FORKLIFT", "WAREHSE#SKELETON", "WAREHSE#EDIIN",
          "WAREHSE#EDIOUT", "WAREHSE#PICKLIST"}},
        {"2027/03/27",
         "Saturday of a stock-take",
         {"CENTRAL#STARTDAY", "CENTRAL#PATCHES", "CENTRAL#DBBACKUP", "CENTRAL#LOGROTAT",
          "WAREHSE#INVCOUNT", "WAREHSE#CARRIERS", "WAREHSE#REPLEN", "WAREHSE#EDIIN",
          "WAREHSE#EDIOUT", "WAREHSE#PICKLIST"}},
    };
    for (const DateCase& c : cases) {
        SCOPED_TRACE(std::string(c.date) + ", " + c.why);
        RunResult r;
        const std::string text = production_schedule(c.date, &r);
        EXPECT_TRUE(r.exited(0)) << r.both();
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(scheduled(text), c.expected) << text;
        EXPECT_TRUE(contains(r.out, std::to_string(c.expected.size()) + " schedules selected"))
            << r.out;
    }

    // The FOLLOWS line longer than a stored line comes back whole, and a line
    // continued by its writer stays as written.
    RunResult r;
    const std::string text = production_schedule("2027/03/31", &r);
    EXPECT_TRUE(contains(text,
                         "FOLLOWS FINANCE#GLPOST, FINANCE#APINVOIC, FINANCE#ARCOLLEC, "
                         "WAREHSE#RECEIVE, WAREHSE#SHIPCONF, WAREHSE#REPLEN, "
                         "WAREHSE#LABELS, CENTRAL#NIGHTLY\n"))
        << text;
}

// Dates across the three years of the calendars, and past them: every
// selected definition is read without a definition error. Forcing every
// schedule with no date reads every header to its first job, REQUEST ones
// included.
TEST_F(SampleInstallation, EveryDefinitionIsReadOnEveryDate) {
    for (const char* date : {"2026/01/01", "2026/04/03", "2026/12/31", "2027/01/04", "2027/12/24",
                             "2028/02/29", "2028/06/05", "2028/12/31", "2029/01/02"}) {
        SCOPED_TRACE(date);
        RunResult r;
        const std::string text = production_schedule(date, &r);
        EXPECT_TRUE(r.exited(0)) << r.both();
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(scheduled(text).empty());
    }

    const RunResult list = run("mastdb", {"list-schedules"});
    ASSERT_TRUE(list.exited(0)) << list.both();
    const fs::path all = target_ / "all.scheds";
    std::ofstream(all) << list.out;
    const fs::path out = target_ / "prodsked.forced";
    const RunResult r =
        run("korvex", {"-date", "0", "-scheds", all.string(), "-prodsked", out.string()});
    EXPECT_TRUE(r.exited(0)) << r.both();
    EXPECT_FALSE(contains(r.err, "[2207.3]")) << r.err;  // no name of the list refused
    std::vector<std::string> written = scheduled(read_file(out));
    std::vector<std::string> stored;
    std::istringstream in(list.out);
    std::string id;
    while (in >> id)
        stored.push_back(id);
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, stored);
}

// The security rules: the installing account builds (every run above); with
// its name taken out of the operators' block it falls to the block that
// allows nothing, and korvex refuses before it writes anything.
TEST_F(SampleInstallation, OnlyTheOperatorsMayBuild) {
    const fs::path copy = tree_->root() / "refused";
    fs::copy(target_, copy, fs::copy_options::recursive);
    std::ofstream(copy / "components")
        << "VORTAN\t6.0\t" << (copy / "home").string() << "\tsample\n";
    std::string source = read_file(copy / "home" / "Security.src");
    const std::string operators = "USER OPERATORS\n    LOGON=";
    const std::size_t at = source.find(operators);
    ASSERT_NE(at, std::string::npos);
    const std::size_t end = source.find('\n', at + operators.size());
    source.replace(at + operators.size(), end - at - operators.size(), "nightops");
    std::ofstream(copy / "home" / "Security.src") << source;
    const RunResult compiled = run("mksecurity", {(copy / "home" / "Security.src").string()}, copy);
    ASSERT_TRUE(compiled.exited(0)) << compiled.both();

    RunResult r;
    const std::string text = production_schedule("2027/03/31", &r, copy);
    EXPECT_TRUE(r.exited(1)) << r.both();
    EXPECT_TRUE(contains(r.err, "[2207.25]")) << r.both();
    EXPECT_EQ(text, "");
}

// Every sample definition, jobs included, read by the whole grammar: the
// selection stops at the first job, so its runs do not show a fault in the
// job statements. No error alternative of the grammar may be taken.
TEST(SampleSources, EveryDefinitionFitsTheWholeGrammar) {
    int definitions = 0;
    for (const auto& entry :
         fs::directory_iterator(fs::path(KORVEX_SOURCE_DIR) / "demo/schedules")) {
        if (entry.path().extension() != ".sched") continue;
        std::istringstream in(read_file(entry.path()));
        std::string line;
        std::vector<std::string> lines;
        int line_number = 0;
        int first_line = 0;
        while (std::getline(in, line)) {
            ++line_number;
            if (line.rfind("SCHEDULE ", 0) == 0) first_line = line_number;
            if (first_line == 0) continue;
            lines.push_back(line);
            if (line != "END") continue;

            ++definitions;
            const std::string where =
                entry.path().filename().string() + ":" + std::to_string(first_line);
            string_lines_input input(lines);
            scanner sc;
            reset_scanner(sc, &input);
            std::vector<std::string> errors;
            bool ended = false;  // the definition's END was reduced
            parser_io io;
            io.next_token = [&sc] { return next_token(sc); };
            io.token_value = [&sc] { return sc.token_value; };
            io.action = [&](int rule, std::span<const int>, int&) {
                const std::string text = sparser_tables.rule_texts[static_cast<std::size_t>(rule)];
                if (contains(" " + text + " ", " error "))
                    errors.push_back(text + " at line " + std::to_string(sc.line_number) + ": " +
                                     sc.line_text);
                if (text == "schedend : END") ended = true;
                // The end of the text closes the list of statements.
                if (text.rfind("sched_stmts :", 0) == 0 && contains(text, "SCH_EOF"))
                    return action_result::accept;
                return action_result::go_on;
            };
            EXPECT_EQ(run_parser(io), 0) << where;
            EXPECT_TRUE(ended) << where;
            for (const std::string& e : errors)
                ADD_FAILURE() << where << ": " << e;
            lines.clear();
            first_line = 0;
        }
    }
    EXPECT_GE(definitions, 40);
}

// "cmake --install" to a new prefix gives a tree that runs by itself: the
// programs, the catalogs and the options files, and korvex creates the empty
// master database on first use. Installing again keeps the site's options.
TEST(Installation, InstallRulesLayOutARunnableTree) {
    e2e::TreeOptions options;
    options.programs = {};
    options.component_group.clear();
    InstallTree tree(options);
    const fs::path prefix = tree.root() / "prefix";
    RunOptions quiet;
    quiet.cwd = tree.root().string();
    quiet.timeout = std::chrono::milliseconds(120000);
    const std::vector<std::string> install = {"cmake", "--install", KORVEX_BUILD_DIR, "--prefix",
                                              prefix.string()};
    RunResult r = tree.run("/usr/bin/env", install, quiet);
    ASSERT_TRUE(r.exited(0)) << r.both();
    for (const char* rel :
         {"bin/korvex", "bin/mastdb", "bin/mksecurity", "bin/kfutil", "catalog/vortan.cat",
          "catalog/telvar.cat", "localopts", "brantis/globalopts"})
        EXPECT_TRUE(fs::exists(prefix / rel)) << rel;

    // No Security file yet: the test mode's super-user mark lets korvex in.
    RunOptions run = quiet;
    run.cwd = prefix.string();
    run.env = {{"CCCTEST", "123"}};
    r = tree.run((prefix / "bin/korvex").string(), {"-date", "2027/03/31", "-prodsked", "-"}, run);
    EXPECT_TRUE(r.exited(0)) << r.both();
    EXPECT_TRUE(scheduled(r.out).empty()) << r.out;
    EXPECT_TRUE(fs::exists(prefix / "brantis/mastsked"));
    const RunResult check = tree.run((prefix / "bin/mastdb").string(), {"check"}, run);
    EXPECT_TRUE(check.exited(0)) << check.both();

    std::ofstream(prefix / "localopts", std::ios::app) << "# site setting\n";
    const std::string edited = read_file(prefix / "localopts");
    r = tree.run("/usr/bin/env", install, quiet);
    ASSERT_TRUE(r.exited(0)) << r.both();
    EXPECT_EQ(read_file(prefix / "localopts"), edited);
}

}  // namespace
