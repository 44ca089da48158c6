// Fault walk over a whole korvex run that writes a production schedule.
// korvex only reads the master database: whatever call fails, the database
// files must stay as they were, and the run must either succeed with the
// production schedule of a clean run or end with status 1 and a numbered
// message. A failed run may leave no file, an empty one or the first part of
// the schedule; it must never leave anything else.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/fault_walk.h"
#include "tests/e2e/korvex_e2e.h"

namespace {

namespace fs = std::filesystem;
using fw::Point;
using fw::Tally;

// Friday 15 March 2024: all but WEEKLY and CLOSING run, on two workstations.
const char* const kSchedules =
    "* the daily run\n"
    "SCHEDULE MASTER#DAILY ON EVERYDAY AT 0700\n:\nJOB1\nJOB2\nEND\n"
    "SCHEDULE MASTER#WEEKLY ON MO\n:\nEND\n"
    "SCHEDULE MASTER#NIGHTLY ON WEEKDAYS AT 2300 FOLLOWS MASTER#DAILY\n:\nEND\n"
    "SCHEDULE MASTER#LATE ON FR AT 2330 FOLLOWS MASTER#NIGHTLY\n:\nEND\n"
    "SCHEDULE WS2#PAYROLL ON PAYDAYS\n:\nEND\n"
    "SCHEDULE WS2#BACKUP ON WORKDAYS EXCEPT HOLIDAYS\n:\nEND\n"
    "SCHEDULE WS2#CLOSING ON MONTHEND\n:\nEND\n";
const char* const kCalendars =
    "HOLIDAYS \"Public holidays\" 2024/03/18 2024/12/25\n"
    "PAYDAYS 2024/03/15 2024/03/29\n"
    "MONTHEND 2024/01/31 2024/02/29 2024/03/31\n";

const std::map<std::string, std::string> kKnown = {};

TEST(KorvexFaultWalk, ProductionScheduleRun) {
    const auto started = std::chrono::steady_clock::now();
    kx::InstallTree tree;
    kx::create_db(tree);
    kx::add_schedules(tree, kSchedules);
    kx::add_calendars(tree, kCalendars);
    fw::Walker w(tree);
    w.save();
    const auto db = w.db_bytes();
    const std::string out = (tree.root() / "prodsked.out").string();
    const std::vector<std::string> args = {"-date", "2024/03/15", "-prodsked", out};

    kx::RunResult clean;
    const fw::Counts counts = w.count("korvex", args, &clean);
    ASSERT_TRUE(clean.exited(0)) << clean.both();
    ASSERT_FALSE(counts.empty()) << "the run wrote no counts";
    const std::string schedule = fw::read_file(out);
    ASSERT_TRUE(kx::contains(schedule, "SCHEDULE MASTER#LATE")) << schedule;
    ASSERT_EQ(w.db_bytes(), db) << "a clean run changed the database";

    Tally t;
    std::map<std::string, std::size_t> left;  // what failed runs left as the output
    const std::vector<Point> points = fw::plan(counts);
    for (const Point& p : points) {
        fs::remove(out);
        std::vector<std::string> leftovers;
        const kx::RunResult r = w.faulted("korvex", args, p, &leftovers);
        ++t.runs;
        if (const std::string crash = fw::crash_of(r); !crash.empty()) {
            t.defect("crash", p, crash);
            continue;
        }
        const bool written = fs::exists(out);
        const std::string got = written ? fw::read_file(out) : "";
        if (r.exited(0)) {
            ++t.succeeded;
            if (!r.err.empty()) ++t.succeeded_with_message;
            if (got != schedule) t.defect("success with a wrong production schedule", p);
        } else if (r.exited(1)) {
            ++t.failed;
            if (!fw::has_numbered_message(r.out + r.err))
                t.defect("failure without a numbered message", p, r.err.substr(0, 120));
            if (!written) {
                ++left["no file"];
            } else if (got.empty()) {
                ++left["an empty file"];
            } else if (got == schedule) {
                ++left["the complete schedule"];
            } else if (schedule.rfind(got, 0) == 0) {
                ++left["the first part of the schedule"];
                ++t.partial;
            } else {
                t.defect("failed run left a garbled production schedule", p);
            }
        } else if (r.exited(2)) {
            t.defect("file fault reported as a definition error", p, r.err.substr(0, 160));
        } else {
            t.defect("unexpected exit status", p, std::to_string(r.status));
        }
        if (w.db_bytes() != db) {
            t.defect("korvex changed the database", p);
            bool sound = false;
            if (const std::string v = w.check_verdict(&sound); !v.empty())
                t.defect("mastdb check does not name the fault", p, v);
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::string walked, outputs;
    for (const auto& [kind, n] : counts)
        walked += " " + kind + " " + std::to_string(n);
    for (const auto& [what, n] : left)
        outputs += " " + what + ": " + std::to_string(n) + ";";
    std::printf("fault walk korvex: counts%s; %zu points in %.1f s; failed runs left%s\n",
                walked.c_str(), points.size(), seconds, outputs.c_str());
    fw::finish(t, kKnown);
}

}  // namespace
