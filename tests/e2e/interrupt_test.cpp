// mastdb killed in the middle of its updates: add-schedules storing many
// schedules (some replacing stored ones) and rebuild rewriting the files.
// After every kill korvex must still end in good order on the damaged
// installation, mastdb check must report exactly the damage the kill left,
// and a rebuild must give back a sound database that lost nothing whose
// storing had completed.
//
// What the store scenario asserts about the schedules after the rebuild:
// mastdb stores the definitions one after another in the order of the file.
// With k the number of definitions stored before the kill, the first k hold
// their new text, the ones after k + 1 their old text (or are absent when
// they are new), every schedule the file does not name is unchanged, and
// the (k+1)-th, the one being stored, holds its old text, its new text or is
// absent. A kill later in the same run never gives a smaller k. A stored text
// that is a part of the old or the new one is a known fault of the store
// (counted here, pinned by StoreNeverLeavesAPartSchedule); any other text
// fails the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/e2e/interrupt_util.h"

namespace {

using intr::InstallTree;
using intr::RunResult;
using intr::Schedules;
using intr::Verdict;

const char* const kDate = "2024/03/15";

// How many kills each part makes.
struct Budget {
    std::size_t store_sweep, store_timed, rebuild_sweep, rebuild_timed;
};
constexpr Budget kBudget = intr::kSanitized ? Budget{36, 14, 24, 10} : Budget{200, 60, 100, 40};

std::string schedule_name(int i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "S%03d", i);
    return buf;
}

std::string workstation(int i) {
    return i % 3 == 0 ? "WS2" : "MASTER";
}

std::string schedule_id(int i) {
    return workstation(i) + "#" + schedule_name(i);
}

// Version 1 or 2 of schedule i; the versions differ in their first line, in
// the run time and in the number of jobs, and every fourth has a comment
// line long enough to be stored in pieces.
std::string definition(int i, int version) {
    std::string t = "* version " + std::to_string(version) + " of " + schedule_name(i) + "\n";
    if (i % 4 == 0)
        t += "* " +
             std::string(140 + static_cast<std::size_t>(i % 60),
                         static_cast<char>('a' + (i + version) % 26)) +
             "\n";
    t +=
        "SCHEDULE " + schedule_id(i) + " ON EVERYDAY AT 0" + (version == 1 ? "7" : "8") + "00\n:\n";
    const int jobs = 1 + (i * 5 + version * 7) % 11;
    for (int j = 0; j < jobs; ++j)
        t += "J" + std::to_string(i) + "X" + std::to_string(j) + "\n";
    return t + "END\n";
}

// The result of one kill, and the tallies of a scenario.
enum class State { old_text, absent, part_old, part_new, new_text, other };

const char* state_name(State s) {
    switch (s) {
        case State::old_text:
            return "old";
        case State::absent:
            return "absent";
        case State::part_old:
            return "part of the old text";
        case State::part_new:
            return "part of the new text";
        case State::new_text:
            return "new";
        default:
            return "neither";
    }
}

using Text = std::optional<std::vector<std::string>>;

Text text_of(const Schedules& s, const std::string& id) {
    auto it = s.find(id);
    return it == s.end() ? Text{} : Text{it->second};
}

State classify(const Text& got, const Text& old_text, const Text& new_text) {
    if (got == new_text) return State::new_text;
    if (got == old_text) return State::old_text;
    if (!got) return State::absent;
    const auto& g = *got;
    if (new_text && g.size() < new_text->size() &&
        std::equal(g.begin(), g.end(), new_text->begin()))
        return State::part_new;
    if (old_text && g.size() < old_text->size() &&
        std::equal(g.rbegin(), g.rend(), old_text->rbegin()))
        return State::part_old;
    return State::other;
}

struct Outcome {
    std::size_t done = 0;               // definitions stored completely
    State in_flight = State::new_text;  // the next one's state (new_text: all done)
    std::string problem;                // empty when the set is one the store can leave
};

Outcome evaluate(const Schedules& got, const Schedules& old_set, const Schedules& new_set,
                 const std::vector<std::string>& order) {
    Outcome o;
    for (const auto& [id, text] : got)
        if (!old_set.count(id) && !new_set.count(id)) o.problem += "unknown schedule " + id + "\n";
    for (const auto& [id, text] : old_set)
        if (std::find(order.begin(), order.end(), id) == order.end() && text_of(got, id) != text)
            o.problem += id + " is not named by the update but changed\n";
    while (o.done < order.size() &&
           classify(text_of(got, order[o.done]), text_of(old_set, order[o.done]),
                    text_of(new_set, order[o.done])) == State::new_text)
        ++o.done;
    if (o.done == order.size()) return o;
    const std::string& id = order[o.done];
    o.in_flight = classify(text_of(got, id), text_of(old_set, id), text_of(new_set, id));
    if (o.in_flight == State::other) o.problem += id + ", being stored, holds another text\n";
    for (std::size_t i = o.done + 1; i < order.size(); ++i)
        if (text_of(got, order[i]) != text_of(old_set, order[i]))
            o.problem += order[i] + " is not its old text though " + id + " was not stored\n";
    return o;
}

struct Tally {
    int kills = 0;              // killed and every check passed
    int finished = 0;           // ended before the kill
    int damaged = 0;            // left the files inconsistent until the rebuild
    int korvex_failed = 0;      // korvex stopped with a numbered message
    int korvex_definition = 0;  // korvex found a stored definition it cannot parse
    int lost_file = 0;          // the data file was gone until put back from ".old"
    std::map<State, int> in_flight;

    void print(const char* scenario, double seconds) const {
        std::printf(
            "interrupt: %s: %d kills survived, %d runs ended before the kill, %d left "
            "damage for check, korvex stopped with a message after %d and at a broken "
            "definition after %d, data file gone after %d",
            scenario, kills, finished, damaged, korvex_failed, korvex_definition, lost_file);
        for (const auto& [s, n] : in_flight)
            std::printf(", %s %d", state_name(s), n);
        std::printf(" (%.1f s)\n", seconds);
        std::fflush(stdout);
    }
};

// Kill points of a sweep over a run's changing calls: every call that is
// not a plain write and the one after it, then writes spread evenly and at
// random, at most budget in all, in ascending order.
std::vector<long> sweep_points(const std::vector<std::string>& kinds, std::size_t budget,
                               std::mt19937& rng) {
    const long m = static_cast<long>(kinds.size());
    std::set<long> points;
    for (long i = 1; i <= m && points.size() < budget / 2; ++i)
        if (kinds[static_cast<std::size_t>(i - 1)] != "write") {
            points.insert(i);
            if (i < m) points.insert(i + 1);
        }
    const std::size_t spread = (budget - points.size()) * 2 / 3;
    for (std::size_t j = 0; j < spread && m > 0; ++j)
        points.insert(1 + static_cast<long>(j) * m / static_cast<long>(spread));
    std::uniform_int_distribution<long> any(1, std::max(1L, m));
    for (int tries = 0; points.size() < budget && tries < 1000 && m > 0; ++tries)
        points.insert(any(rng));
    return {points.begin(), points.end()};
}

// A delay from a few microseconds to a bit more than the whole run: half
// of them spread evenly on a logarithmic scale (the first moments of a
// run), half evenly over the later part, where a slow start-up (as under
// the sanitizers) leaves the updates.
std::chrono::microseconds random_delay(double run_seconds, std::mt19937& rng) {
    const double whole = run_seconds * 1.3e6 + 10;
    if (std::bernoulli_distribution(0.5)(rng)) {
        std::uniform_real_distribution<double> u(std::log(5.0), std::log(whole));
        return std::chrono::microseconds(static_cast<long>(std::exp(u(rng))));
    }
    std::uniform_real_distribution<double> u(whole * 0.05, whole * 0.75);
    return std::chrono::microseconds(static_cast<long>(u(rng)));
}

unsigned seed() {
    const char* s = std::getenv("KORVEX_INTERRUPT_SEED");
    const unsigned v =
        s != nullptr ? static_cast<unsigned>(std::strtoul(s, nullptr, 10)) : std::random_device{}();
    std::printf("interrupt: seed %u (KORVEX_INTERRUPT_SEED repeats it)\n", v);
    return v;
}

class Interrupted : public ::testing::Test {
  protected:
    Interrupted() { in_memory_.done(); }

    void SetUp() override {
        if (!tree_.has_program("mastdb") || !tree_.has_program("korvex"))
            GTEST_SKIP() << "mastdb or korvex not built";
        run_ok("mastdb", {"create"});
        tree_.write("calendars.txt", "HOLIDAYS \"Public holidays\" 2024/03/18 2024/12/25\n");
        run_ok("mastdb", {"add-calendars", "calendars.txt"});
    }

    RunResult run(const std::string& program, const std::vector<std::string>& args) {
        return tree_.run(program, args, intr::run_options(tree_));
    }

    void run_ok(const std::string& program, const std::vector<std::string>& args) {
        const RunResult r = run(program, args);
        ASSERT_TRUE(r.exited(0)) << program << " " << args.at(0) << "\n" << r.both();
    }

    Schedules schedules() {
        std::optional<Schedules> s = intr::read_schedules(tree_.db_file("mastsked"));
        EXPECT_TRUE(s.has_value()) << "the schedule file cannot be read through";
        return s.value_or(Schedules{});
    }

    // korvex on what a kill left: it ends in good order, whatever it finds.
    void korvex_survives(const std::string& label, Tally* t) {
        const RunResult k = run("korvex", {"-date", kDate});
        EXPECT_TRUE(intr::ended_cleanly(k)) << label;
        if (k.exited(1)) ++t->korvex_failed;
        if (k.exited(2)) ++t->korvex_definition;
    }

    // mastdb check against the own account of the schedule file.
    void check_reports_damage(const std::string& label, Tally* t) {
        const std::vector<std::string> own = intr::own_faults(tree_.db_file("mastsked"));
        const RunResult c = run("mastdb", {"check"});
        ASSERT_TRUE(c.exited(0) || c.exited(1)) << label << "\n" << c.both();
        const Verdict v = intr::check_verdict(c.out, "mastsked");
        if (own.empty()) {
            EXPECT_EQ(v, Verdict::sound) << label << ": check reports damage where none is\n"
                                         << c.both();
        } else {
            ++t->damaged;
            EXPECT_EQ(v, Verdict::faults) << label << ": check misses \"" << own.front()
                                          << "\" (and " << own.size() - 1 << " more)\n"
                                          << c.both();
            EXPECT_TRUE(c.exited(1)) << label << "\n" << c.both();
        }
    }

    // A rebuild and a clean check after it.
    void rebuild_to_sound(const std::string& label) {
        const RunResult rb = run("mastdb", {"rebuild"});
        ASSERT_TRUE(rb.exited(0)) << label << ": rebuild\n" << rb.both();
        const RunResult c = run("mastdb", {"check"});
        ASSERT_TRUE(c.exited(0)) << label << ": check after the rebuild\n" << c.both();
    }

    intr::TreeInMemory in_memory_;  // before the tree
    InstallTree tree_;
};

// ---- add-schedules ---------------------------------------------------------------------

class InterruptedStore : public Interrupted {
  protected:
    void SetUp() override {
        Interrupted::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        std::string base;
        for (int i = 0; i < 40; ++i)
            base += definition(i, 1);
        tree_.write("base.txt", base);
        run_ok("mastdb", {"add-schedules", "base.txt"});
        // Replacements of every other stored schedule, with new ones between.
        std::string update;
        for (int i = 0, fresh = 100; i < 40; i += 2) {
            update += definition(i, 2);
            order_.push_back(schedule_id(i));
            if (i % 4 == 2) {
                update += definition(fresh, 2);
                order_.push_back(schedule_id(fresh++));
            }
        }
        tree_.write("update.txt", update);
        intr::save_db(tree_, "base-db");
        intr::restore_db(tree_, "base-db");
        old_ = schedules();
        const RunResult r = run("mastdb", {"add-schedules", "update.txt"});
        ASSERT_TRUE(r.exited(0)) << r.both();
        run_seconds_ = r.seconds;
        new_ = schedules();
        ASSERT_EQ(new_.size(), old_.size() + 10);
    }

    // Everything after one kill; returns the outcome for the caller's
    // order checks.
    Outcome after_kill(bool killed, const std::string& label, Tally* t) {
        korvex_survives(label, t);
        check_reports_damage(label, t);
        rebuild_to_sound(label);
        Outcome o = evaluate(schedules(), old_, new_, order_);
        EXPECT_EQ(o.problem, "") << label;
        if (!killed) {
            EXPECT_EQ(o.done, order_.size()) << label << ": ended, not all stored";
        }
        if (killed && !::testing::Test::HasFailure()) {
            ++t->kills;
            ++t->in_flight[o.in_flight];
        }
        if (!killed) ++t->finished;
        return o;
    }

    std::vector<std::string> order_;
    Schedules old_, new_;
    double run_seconds_ = 0;
};

TEST_F(InterruptedStore, KilledAtEveryKindOfStepAndAtRandomTimes) {
    const auto started = std::chrono::steady_clock::now();
    std::mt19937 rng(seed());
    const std::vector<std::string> args = {"mastdb", "add-schedules", "update.txt"};

    intr::restore_db(tree_, "base-db");
    const intr::TracedRun clean = intr::run_traced(tree_, args, 0, true);
    if (clean.status == intr::kNoTracing) GTEST_SKIP() << "ptrace or seccomp not permitted here";
    ASSERT_EQ(clean.status, 0) << clean.err;
    ASSERT_GT(clean.calls, 0);

    Tally sweep;
    std::size_t last_done = 0;
    long last_point = 0;
    for (const long point : sweep_points(clean.kinds, kBudget.store_sweep, rng)) {
        intr::restore_db(tree_, "base-db");
        const intr::TracedRun r = intr::run_traced(tree_, args, point);
        const std::string label = "killed before call " + std::to_string(point) + " of " +
                                  std::to_string(clean.calls) + " (" +
                                  clean.kinds[static_cast<std::size_t>(point - 1)] + ")";
        ASSERT_TRUE(r.killed) << label << ": the run took another course\n" << r.err;
        const Outcome o = after_kill(true, label, &sweep);
        EXPECT_GE(o.done, last_done)
            << label << " stored fewer than a kill before call " << last_point;
        last_done = o.done;
        last_point = point;
        if (HasFatalFailure() || HasFailure()) break;
    }
    sweep.print("add-schedules, kills at chosen calls",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());

    const auto timed_start = std::chrono::steady_clock::now();
    Tally timed;
    for (std::size_t i = 0; i < kBudget.store_timed && !HasFailure(); ++i) {
        intr::restore_db(tree_, "base-db");
        const auto delay = random_delay(run_seconds_, rng);
        const intr::TimedRun r = intr::run_timed(tree_, args, delay);
        const std::string label = "killed after " + std::to_string(delay.count()) + " us";
        if (!r.killed) {
            ASSERT_TRUE(r.result.exited(0)) << label << "\n" << r.result.both();
        }
        after_kill(r.killed, label, &timed);
    }
    timed.print(
        "add-schedules, kills after random delays",
        std::chrono::duration<double>(std::chrono::steady_clock::now() - timed_start).count());
}

// A schedule replaced by a longer text, killed at every call of the store:
// after a rebuild the schedule holds its old text, its new text, or nothing.
TEST_F(Interrupted, StoreNeverLeavesAPartSchedule) {
    tree_.write("one.txt", definition(4, 1));
    run_ok("mastdb", {"add-schedules", "one.txt"});
    tree_.write("one.txt", definition(4, 2));
    intr::save_db(tree_, "one-db");
    const Text old_text = text_of(schedules(), schedule_id(4));
    const std::vector<std::string> args = {"mastdb", "add-schedules", "one.txt"};
    const intr::TracedRun clean = intr::run_traced(tree_, args, 0);
    if (clean.status == intr::kNoTracing) GTEST_SKIP() << "ptrace or seccomp not permitted here";
    ASSERT_EQ(clean.status, 0) << clean.err;
    const Text new_text = text_of(schedules(), schedule_id(4));

    std::vector<std::string> parts;
    for (long point = 1; point <= clean.calls; ++point) {
        intr::restore_db(tree_, "one-db");
        ASSERT_TRUE(intr::run_traced(tree_, args, point).killed);
        rebuild_to_sound("killed before call " + std::to_string(point));
        const Text got = text_of(schedules(), schedule_id(4));
        const State s = classify(got, old_text, new_text);
        EXPECT_NE(s, State::other) << "call " << point;
        if (s == State::part_old || s == State::part_new)
            parts.push_back("call " + std::to_string(point) + ": " + state_name(s) + ", " +
                            std::to_string(got->size()) + " lines");
    }
    // Known fault of the store: the old records are blanked one by one and
    // the new ones appended and chained one by one, and a rebuild keeps
    // whatever is live.
    constexpr bool kStoreIsAtomic = false;
    if (!kStoreIsAtomic && !parts.empty())
        GTEST_SKIP() << "known defect: an interrupted store leaves a partial schedule text that "
                        "the rebuild keeps; first: "
                     << parts.front() << " (" << parts.size() << " kill points)";
    EXPECT_EQ(parts, std::vector<std::string>{});
}

// ---- rebuild --------------------------------------------------------------------------------

class InterruptedRebuild : public Interrupted {
  protected:
    void SetUp() override {
        Interrupted::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        // Stored, replaced and deleted schedules: the file holds deleted
        // records for the rebuild to drop.
        std::string base, update;
        for (int i = 0; i < 30; ++i)
            base += definition(i, 1);
        for (int i = 0; i < 30; i += 3)
            update += definition(i, 2);
        tree_.write("base.txt", base);
        tree_.write("update.txt", update);
        run_ok("mastdb", {"add-schedules", "base.txt"});
        run_ok("mastdb", {"add-schedules", "update.txt"});
        for (int i = 1; i < 30; i += 7)
            run_ok("mastdb", {"delete-schedule", schedule_id(i)});
        intr::save_db(tree_, "messy-db");
        intr::restore_db(tree_, "messy-db");
        before_ = schedules();
        calendars_ = run("mastdb", {"list-calendars"}).out;
        const RunResult r = run("mastdb", {"rebuild"});
        ASSERT_TRUE(r.exited(0)) << r.both();
        run_seconds_ = r.seconds;
        ASSERT_EQ(schedules(), before_);
    }

    void after_kill(bool killed, const std::string& label, Tally* t) {
        std::vector<std::string> lost;
        for (const char* file : {"mastsked", "job.sched", "calendars"})
            if (!tree_.exists(tree_.db_file(file))) lost.push_back(tree_.db_file(file));
        korvex_survives(label, t);
        for (const std::string& data : lost) {
            // Killed between the two renames of the swap (see
            // RebuildKeepsTheDataFileInPlace); korvex has meanwhile made a
            // new, empty file. The old file is put back by hand.
            ++t->lost_file;
            ASSERT_TRUE(tree_.exists(data + ".old")) << label << ": " << data << " and .old gone";
            std::filesystem::rename(data + ".old", data);
        }
        check_reports_damage(label, t);
        rebuild_to_sound(label);
        EXPECT_TRUE(schedules() == before_) << label << ": schedules differ after the rebuild";
        EXPECT_EQ(run("mastdb", {"list-calendars"}).out, calendars_) << label;
        if (killed && !HasFailure()) ++t->kills;
        if (!killed) ++t->finished;
    }

    Schedules before_;
    std::string calendars_;
    double run_seconds_ = 0;
};

TEST_F(InterruptedRebuild, KilledAtEveryKindOfStepAndAtRandomTimes) {
    const auto started = std::chrono::steady_clock::now();
    std::mt19937 rng(seed());
    const std::vector<std::string> args = {"mastdb", "rebuild"};
    intr::restore_db(tree_, "messy-db");
    const intr::TracedRun clean = intr::run_traced(tree_, args, 0, true);
    if (clean.status == intr::kNoTracing) GTEST_SKIP() << "ptrace or seccomp not permitted here";
    ASSERT_EQ(clean.status, 0) << clean.err;

    Tally sweep;
    for (const long point : sweep_points(clean.kinds, kBudget.rebuild_sweep, rng)) {
        intr::restore_db(tree_, "messy-db");
        const intr::TracedRun r = intr::run_traced(tree_, args, point);
        const std::string label = "rebuild killed before call " + std::to_string(point) + " of " +
                                  std::to_string(clean.calls) + " (" +
                                  clean.kinds[static_cast<std::size_t>(point - 1)] + ")";
        ASSERT_TRUE(r.killed) << label << "\n" << r.err;
        after_kill(true, label, &sweep);
        if (HasFailure()) break;
    }
    sweep.print("rebuild, kills at chosen calls",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());

    const auto timed_start = std::chrono::steady_clock::now();
    Tally timed;
    for (std::size_t i = 0; i < kBudget.rebuild_timed && !HasFailure(); ++i) {
        intr::restore_db(tree_, "messy-db");
        const auto delay = random_delay(run_seconds_, rng);
        const intr::TimedRun r = intr::run_timed(tree_, args, delay);
        const std::string label = "rebuild killed after " + std::to_string(delay.count()) + " us";
        if (!r.killed) {
            ASSERT_TRUE(r.result.exited(0)) << label << "\n" << r.result.both();
        }
        after_kill(r.killed, label, &timed);
    }
    timed.print(
        "rebuild, kills after random delays",
        std::chrono::duration<double>(std::chrono::steady_clock::now() - timed_start).count());
}

// A rebuild killed at any point leaves a file under the data file's name,
// so that korvex finds the schedules and a second rebuild repairs the rest
// without anyone putting ".old" back by hand.
TEST_F(InterruptedRebuild, RebuildKeepsTheDataFileInPlace) {
    const std::vector<std::string> args = {"mastdb", "rebuild", "mastsked"};
    intr::restore_db(tree_, "messy-db");
    const intr::TracedRun clean = intr::run_traced(tree_, args, 0, true);
    if (clean.status == intr::kNoTracing) GTEST_SKIP() << "ptrace or seccomp not permitted here";
    ASSERT_EQ(clean.status, 0) << clean.err;
    std::vector<long> gone;
    bool check_silent = false;  // mastdb check found nothing wrong with a gone file
    for (long point = 1; point <= clean.calls; ++point) {
        if (clean.kinds[static_cast<std::size_t>(point - 1)] == "write") continue;
        intr::restore_db(tree_, "messy-db");
        ASSERT_TRUE(intr::run_traced(tree_, args, point).killed);
        if (!tree_.exists(tree_.db_file("mastsked"))) {
            gone.push_back(point);
            check_silent = run("mastdb", {"check"}).exited(0);
            continue;
        }
        rebuild_to_sound("killed before call " + std::to_string(point));
        EXPECT_TRUE(schedules() == before_) << "killed before call " << point;
    }
    constexpr bool kSwapIsAtomic = true;
    if (!kSwapIsAtomic && !gone.empty())
        GTEST_SKIP() << "known defect: a rebuild killed between its two renames leaves no "
                        "data file (only \".old\" and \".new\"); korvex then makes a new, empty "
                        "one and selects nothing with status 0"
                     << (check_silent ? ", and mastdb check calls the database sound" : "")
                     << "; first at call " << gone.front();
    EXPECT_EQ(gone, std::vector<long>{});
}

}  // namespace
