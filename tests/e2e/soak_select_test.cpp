// Selection while the master database changes: writers change schedules and
// calendars with mastdb while korvex selects, again and again, on the same
// installation. Every run must end normally, and every listing and
// production schedule must be the output of one state the database was in:
// before or after each mastdb command, never a part of one.
//
// How the states are known: each writer owns a workstation, its schedules
// and its calendars, and walks a fixed cycle of mastdb commands. The output
// of every state of the cycle is taken beforehand from korvex itself, on a
// private installation that goes through the same cycle. Writers never touch
// each other's records, so the output of a run is checked workstation by
// workstation: the section of each workstation (its part of the production
// schedule, of the listing and of standard error) must be the section of one
// state of that writer's cycle. The cycles are laid out so that a state seen
// in part gives a section of no state:
//
//  - WSA: a schedule file command and a calendar file command take turns,
//    with three versions of each, so that the calendar is always the
//    schedules' version or one ahead; schedules one ahead of the calendar
//    never exist. Two schedules are stored by one add-schedules.
//  - WSB: dates, a schedule and a calendar are deleted and stored again in
//    turn (delete-dates and add-dates of two dates at once, delete-schedule,
//    delete-calendar); a schedule names the deleted calendar.
//  - WSC: twelve schedules by one add-schedules and two calendars by one
//    add-calendars switch between two versions.
//
// Each writer's calendars are named both plainly ("ON CALA", answered from
// the list of calendars that hold the run date) and with an offset of 0
// ("ON CALA +0 DAYS", answered from the calendar's dates in the pass): the
// two answers must come from the same state of the calendar file, and the
// calendar file from the same moment as the schedule file.
//
// So one mastdb command is one change: a run sees all of it or none of it.
// RunDateNamesAndPassSeeOneCalendarState makes the one interleaving that
// matters for the calendar list happen every time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/korvex_e2e.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kDate = "2024/03/15";  // a Friday
const char* const kDateLine = "24/03/15";

// Bounds of the soak: it stops at the number of korvex runs or at the time,
// whichever comes first. A sanitized build runs the programs several times
// slower.
struct Bounds {
    int korvex_runs;
    std::chrono::seconds budget;
    std::chrono::milliseconds run_timeout;
};
constexpr Bounds kBounds =
    e2e::kSanitized ? Bounds{150, std::chrono::seconds(50), std::chrono::milliseconds(60000)}
                    : Bounds{400, std::chrono::seconds(25), std::chrono::milliseconds(20000)};
constexpr int kReaders = 2;

// ---- writers -----------------------------------------------------------------------

// One writer: its workstation, the files its commands read, the commands
// that lay out its first state and the cycle of commands that brings it
// back there.
struct Writer {
    std::string ws;
    std::map<std::string, std::string> files;
    std::vector<std::vector<std::string>> setup;
    std::vector<std::vector<std::string>> cycle;
};

std::string sched(const std::string& id, const std::string& rest, const std::string& job = "") {
    return "SCHEDULE " + id + " " + rest + "\n:\n" + (job.empty() ? "" : job + "\n") + "END\n";
}

// The writers. Schedules whose ON clause names a calendar without an offset
// (PLAIN, PLAINB, N1, N2) take their answer from the list of calendars that
// hold the run date, the others from the calendar's dates: both must come
// from one state.
std::vector<Writer> make_writers() {
    std::vector<Writer> w(3);
    // c days before the run date: calendar version c.
    const char* const kBefore[] = {"2024/03/15", "2024/03/14", "2024/03/13"};

    Writer& a = w[0];
    a.ws = "WSA";
    for (int v = 0; v < 3; ++v) {
        const std::string n = std::to_string(v);
        a.files["a_sched_" + n] =
            sched("WSA#TOGGLE1",
                  "ON EVERYDAY AT 0" + std::to_string(v * 3 + 1) + "00 PRIORITY " +
                      std::to_string(10 + v * 20),
                  "T1V" + n) +
            sched("WSA#TOGGLE2", "ON CALA +" + n + " DAYS FOLLOWS WSA#TOGGLE1", "T2V" + n);
        a.files["a_cal_" + n] = std::string("CALA \"version ") + n + "\" " + kBefore[v] + "\n";
    }
    a.files["a_probes"] =
        sched("WSA#PC0", "ON CALA +0 DAYS") + sched("WSA#PC1", "ON CALA +1 DAYS") +
        sched("WSA#PC2", "ON CALA +2 DAYS AT 0500") + sched("WSA#PLAIN", "ON CALA");
    a.setup = {{"add-schedules", "a_probes", "a_sched_0"}, {"add-calendars", "a_cal_0"}};
    a.cycle = {{"add-calendars", "a_cal_1"}, {"add-schedules", "a_sched_1"},
               {"add-calendars", "a_cal_2"}, {"add-schedules", "a_sched_2"},
               {"add-calendars", "a_cal_0"}, {"add-schedules", "a_sched_0"}};

    Writer& b = w[1];
    b.ws = "WSB";
    b.files["b_fixed"] = sched("WSB#FIXED0", "ON CALB +0 DAYS") +
                         sched("WSB#FIXED1", "ON CALB +1 DAYS AT 0300") +
                         sched("WSB#USEX", "ON CALX") +  // CALX never holds the run date
                         sched("WSB#PLAINB", "ON CALB");
    b.files["b_gone"] = sched("WSB#GONE", "ON EVERYDAY AT 0600 FOLLOWS WSB#FIXED0", "G1");
    b.files["b_calb"] = "CALB 2024/03/14 2024/03/15\n";
    b.files["b_calx"] = "CALX \"deleted and stored again\" 2024/03/16\n";
    b.setup = {{"add-schedules", "b_fixed", "b_gone"}, {"add-calendars", "b_calb", "b_calx"}};
    b.cycle = {{"delete-dates", "CALB", "2024/03/14", "2024/03/15"},
               {"delete-schedule", "WSB#GONE"},
               {"delete-calendar", "CALX"},
               {"add-dates", "CALB", "2024/03/15", "2024/03/14"},
               {"add-schedules", "b_gone"},
               {"add-calendars", "b_calx"}};

    Writer& c = w[2];
    c.ws = "WSC";
    for (const char* version : {"a", "b"}) {
        std::string text;
        for (int i = 1; i <= 12; ++i) {
            char id[16];
            std::snprintf(id, sizeof id, "WSC#BULK%02d", i);
            // Version b turns the order round.
            const int at = 100 + (version[0] == 'a' ? i : 13 - i) * 4;
            char when[32];
            std::snprintf(when, sizeof when, "ON EVERYDAY AT %04d", at);
            text += sched(id, when, std::string("JOB") + version);
        }
        c.files[std::string("c_bulk_") + version] = text;
    }
    c.files["c_probes"] = sched("WSC#C1", "ON CALC1 +0 DAYS") +
                          sched("WSC#C2", "ON CALC2 +0 DAYS") + sched("WSC#N1", "ON CALC1") +
                          sched("WSC#N2", "ON CALC2");
    c.files["c_cals_in"] = "CALC1 2024/03/15\nCALC2 2024/03/15\n";
    c.files["c_cals_out"] = "CALC1 2024/03/16\nCALC2 2024/03/16\n";
    c.setup = {{"add-schedules", "c_probes", "c_bulk_a"}, {"add-calendars", "c_cals_in"}};
    c.cycle = {{"add-schedules", "c_bulk_b"},
               {"add-calendars", "c_cals_out"},
               {"add-schedules", "c_bulk_a"},
               {"add-calendars", "c_cals_in"}};
    return w;
}

// The files a command reads are named by their keys; they live in the home
// directory under "soak-<key>".
std::vector<std::string> command_args(const std::vector<std::string>& cmd,
                                      const std::map<std::string, std::string>& files) {
    std::vector<std::string> args;
    for (const std::string& word : cmd)
        args.push_back(files.count(word) != 0 ? "soak-" + word : word);
    return args;
}

void lay_out(const kx::InstallTree& tree, const std::vector<Writer>& writers) {
    kx::create_db(tree);
    for (const Writer& w : writers) {
        for (const auto& [name, text] : w.files)
            tree.write("soak-" + name, text);
        for (const auto& cmd : w.setup)
            kx::tool(tree, "mastdb", command_args(cmd, w.files));
    }
}

// ---- the output of a run, workstation by workstation ---------------------------------

// A workstation's part of a run.
struct Section {
    std::string prodsked;  // from its header to the next header
    std::string listing;   // standard output, from its first line to its blank line
    std::string err;       // messages on standard error that name it
    bool operator==(const Section&) const = default;
};

// The texts a run's output is split by, made once (the catalogs are read in
// the test's own thread).
struct Texts {
    std::map<std::string, std::string> ws_line;  // workstation -> "Schedules of workstation"
    std::string date_line;
    std::vector<std::string> total;  // by the number of schedules selected
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t nl = text.find('\n', at);
        const std::size_t end = nl == std::string::npos ? text.size() : nl;
        out.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

// Splits a run's output into its workstations' sections; false with the
// reason when the output has another form.
bool split_run(const Texts& t, const std::string& prodsked, const std::string& out,
               const std::string& err, std::map<std::string, Section>* sections, std::string* why) {
    sections->clear();
    auto ws_named = [&](const std::string& line) -> const std::string* {
        for (const auto& [ws, text] : t.ws_line)
            if (line == text) return &ws;
        return nullptr;
    };

    // The production schedule: the date line, then per workstation "*", its
    // header line, "*" and the schedules' text.
    const std::vector<std::string> file = lines_of(prodsked);
    if (file.empty() || file[0] != t.date_line) {
        *why = "the production schedule does not begin with its date line";
        return false;
    }
    std::string* into = nullptr;
    std::size_t selected = 0;
    for (std::size_t i = 1; i < file.size(); ++i) {
        const std::string* ws = i + 2 < file.size() && file[i] == "*" && file[i + 2] == "*"
                                    ? ws_named(file[i + 1])
                                    : nullptr;
        if (ws != nullptr) into = &(*sections)[*ws].prodsked;
        if (into == nullptr) {
            *why = "the production schedule has text before its first workstation";
            return false;
        }
        if (file[i].rfind("SCHEDULE ", 0) == 0) ++selected;
        *into += file[i] + "\n";
    }

    // The listing: per workstation its header line to its blank line, then
    // the total.
    const std::vector<std::string> listing = lines_of(kx::after_banner(out));
    std::size_t i = 0;
    while (i < listing.size()) {
        const std::string* ws = ws_named(listing[i]);
        if (ws == nullptr) break;
        std::string& text = (*sections)[*ws].listing;
        for (; i < listing.size(); ++i) {
            text += listing[i] + "\n";
            if (listing[i].empty()) break;
        }
        ++i;
    }
    std::string rest;
    for (; i < listing.size(); ++i)
        rest += listing[i] + "\n";
    if (selected >= t.total.size() || rest != t.total[selected]) {
        *why = "the listing does not end with the total of the production schedule";
        return false;
    }

    // Standard error: messages, each ending with its reference, each naming
    // one workstation's schedule.
    std::size_t at = 0;
    while (at < err.size()) {
        std::size_t end = err.find("]\n", at);
        end = end == std::string::npos ? err.size() : end + 2;
        const std::string message = err.substr(at, end - at);
        at = end;
        const std::string* owner = nullptr;
        for (const auto& [ws, text] : t.ws_line)
            if (message.find(ws + "#") != std::string::npos) owner = &ws;
        if (owner == nullptr) {
            *why = "a message on standard error names no workstation of the writers";
            return false;
        }
        (*sections)[*owner].err += message;
    }
    return true;
}

// What a korvex run on the tree gave, split.
struct Outcome {
    kx::RunResult run;
    std::string prodsked;
    std::map<std::string, Section> sections;
    std::string why;  // empty when the run ended normally and its output was split
};

Outcome select_once(const kx::InstallTree& tree, const Texts& t, const std::string& output,
                    std::chrono::milliseconds timeout) {
    Outcome o;
    kx::RunOptions opts;
    opts.timeout = timeout;
    o.run = kx::korvex(tree, {"-date", kDate, "-prodsked", output}, opts);
    o.prodsked = tree.read(output);
    tree.remove(output);
    if (o.run.timed_out) {
        o.why = "korvex did not end within its time";
    } else if (o.run.signal != 0) {
        o.why = "korvex ended by signal " + std::to_string(o.run.signal);
    } else if (o.run.status != 0) {
        o.why = "korvex ended with status " + std::to_string(o.run.status);
    } else {
        split_run(t, o.prodsked, o.run.out, o.run.err, &o.sections, &o.why);
    }
    return o;
}

std::string describe(const Outcome& o) {
    return o.why + "\n--- production schedule:\n" + o.prodsked + o.run.both();
}

Texts make_texts(const std::vector<Writer>& writers) {
    Texts t;
    for (const Writer& w : writers)
        t.ws_line[w.ws] = kx::msg(22, {w.ws});
    t.date_line = kx::msg(20, {kDateLine});
    for (int n = 0; n <= 64; ++n)
        t.total.push_back(kx::msg(28, {std::to_string(n)}) + "\n\n");
    return t;
}

// Every state of every writer's cycle, as its section: state j is the state
// after the first j commands of the cycle. Taken on a private installation
// that goes through each cycle once, the other writers at their first
// state.
std::vector<std::vector<Section>> model_states(const std::vector<Writer>& writers, const Texts& t) {
    kx::InstallTree model;
    lay_out(model, writers);
    std::vector<std::vector<Section>> states(writers.size());
    auto take = [&](std::size_t writer) {
        const Outcome o = select_once(model, t, "model-prodsked", kBounds.run_timeout);
        EXPECT_EQ(o.why, "") << describe(o);
        const auto it = o.sections.find(writers[writer].ws);
        return it == o.sections.end() ? Section{} : it->second;
    };
    for (std::size_t i = 0; i < writers.size(); ++i) {
        states[i].push_back(take(i));
        for (std::size_t j = 0; j < writers[i].cycle.size(); ++j) {
            kx::tool(model, "mastdb", command_args(writers[i].cycle[j], writers[i].files));
            states[i].push_back(take(i));
        }
        // The cycle comes back to where it began.
        EXPECT_EQ(states[i].back(), states[i].front()) << writers[i].ws;
        states[i].pop_back();
    }
    return states;
}

// The state of a writer whose section a run shows; -1 when none.
int state_of(const std::vector<Section>& states, const std::map<std::string, Section>& sections,
             const std::string& ws) {
    const auto it = sections.find(ws);
    const Section seen = it == sections.end() ? Section{} : it->second;
    for (std::size_t j = 0; j < states.size(); ++j)
        if (states[j] == seen) return static_cast<int>(j);
    return -1;
}

// ---- the list of calendars that hold the run date --------------------------------------

// Waits until someone waits for a lock on the file, while the program runs;
// false when it ended first or at the time limit.
bool waits_for_lock(const std::string& file, const e2e::Process& program) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (program.running() && Clock::now() < deadline) {
        if (e2e::lock_waiters(file) > 0) return true;
        ::usleep(2000);
    }
    return false;
}

// Runs korvex while its pass waits for the schedule files, which this test
// holds locked (kfutil), and deletes the run date from a calendar in that
// time. The list of calendars that hold the run date must come from the same
// state of the calendar file as the dates the pass reads: a list built
// before the locks are taken would still name the calendar after the change.
// PLAIN names the calendar, OFFSET its dates with an offset of 0: in every
// state both or neither are selected. Returns the production schedule.
std::string select_across_calendar_change(std::string* trouble) {
    kx::InstallTree tree;
    kx::create_db(tree);
    kx::add_schedules(tree, sched("WSA#PLAIN", "ON CALA") + sched("WSA#OFFSET", "ON CALA +0 DAYS"));
    kx::add_calendars(tree, std::string("CALA ") + kDate + "\n");

    kx::RunOptions hold;
    hold.keep_input_open = true;
    e2e::Process locker = tree.start("kfutil", {"batch", tree.db_file("mastsked")}, hold);
    if (!locker.send("lock\n") || !locker.read_until("ok\n", std::chrono::seconds(20))) {
        *trouble = "kfutil did not lock the schedule file";
        return "";
    }
    e2e::Process selector =
        tree.start("korvex", {"-date", kDate, "-prodsked", "out"}, kx::zoned(kx::RunOptions{}));
    if (!waits_for_lock(tree.db_file("mastsked"), selector))
        *trouble = "korvex did not come to wait for the schedule file\n";
    // The change runs while korvex waits; should korvex hold the calendar
    // file by now, the change waits for it instead, and the schedule file is
    // let go once the change waits or is done.
    e2e::Process change =
        tree.start("mastdb", {"delete-dates", "CALA", kDate}, kx::zoned(kx::RunOptions{}));
    waits_for_lock(tree.db_file("calendars"), change);
    locker.send("unlock\n");
    const kx::RunResult l = locker.wait();
    const kx::RunResult c = change.wait();
    const kx::RunResult s = selector.wait();
    if (!l.exited(0) || !c.exited(0) || !s.exited(0))
        *trouble += "a program failed:\n" + l.both() + c.both() + s.both();
    return tree.read("out");
}

TEST(SoakSelect, RunDateNamesAndPassSeeOneCalendarState) {
    std::string trouble;
    const std::string out = select_across_calendar_change(&trouble);
    ASSERT_EQ(trouble, "");
    const bool plain = out.find("WSA#PLAIN") != std::string::npos;
    const bool offset = out.find("WSA#OFFSET") != std::string::npos;
    // Before the change both, after it neither.
    EXPECT_EQ(plain, offset) << out;
}

// ---- the soak ------------------------------------------------------------------------------

TEST(SoakSelect, EveryRunSeesOneStateWhileMastdbChangesIt) {
    const std::vector<Writer> writers = make_writers();
    const Texts texts = make_texts(writers);
    const std::vector<std::vector<Section>> states = model_states(writers, texts);
    ASSERT_FALSE(HasFailure());
    // The states of a cycle differ from each other, or a mix could pass
    // for one of them.
    for (std::size_t i = 0; i < states.size(); ++i)
        for (std::size_t j = 0; j < states[i].size(); ++j)
            for (std::size_t k = j + 1; k < states[i].size(); ++k)
                ASSERT_FALSE(states[i][j] == states[i][k]) << writers[i].ws << " " << j << " " << k;

    kx::InstallTree tree;
    lay_out(tree, writers);
    ASSERT_FALSE(HasFailure());

    std::atomic<bool> stop{false};
    std::atomic<int> korvex_runs{0};
    std::atomic<int> changes{0};
    std::mutex mu;
    std::vector<std::string> faults;  // the first few, in full
    int fault_count = 0;
    std::vector<std::vector<int>> seen(writers.size());  // runs per state
    for (std::size_t i = 0; i < writers.size(); ++i)
        seen[i].assign(states[i].size(), 0);
    auto fault = [&](const std::string& text) {
        std::lock_guard<std::mutex> g(mu);
        if (++fault_count <= 3) faults.push_back(text);
        stop = true;
    };

    std::vector<std::size_t> position(writers.size(), 0);  // commands done, mod the cycle
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < writers.size(); ++i) {
        threads.emplace_back([&, i] {
            const Writer& w = writers[i];
            kx::RunOptions o = kx::zoned();
            o.timeout = kBounds.run_timeout;
            while (!stop) {
                const auto& cmd = w.cycle[position[i]];
                const kx::RunResult r = tree.run("mastdb", command_args(cmd, w.files), o);
                if (!r.exited(0)) {
                    fault("mastdb " + cmd[0] + " of " + w.ws + " failed\n" + r.both());
                    return;
                }
                position[i] = (position[i] + 1) % w.cycle.size();
                ++changes;
            }
        });
    }
    for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&, r] {
            for (int n = 0; !stop; ++n) {
                const Outcome o =
                    select_once(tree, texts, "soak-" + std::to_string(r) + "-" + std::to_string(n),
                                kBounds.run_timeout);
                ++korvex_runs;
                if (!o.why.empty()) {
                    fault(describe(o));
                    return;
                }
                for (std::size_t i = 0; i < writers.size(); ++i) {
                    const int j = state_of(states[i], o.sections, writers[i].ws);
                    if (j < 0) {
                        fault("the section of " + writers[i].ws +
                              " is the output of none of its states\n" + describe(o));
                        return;
                    }
                    std::lock_guard<std::mutex> g(mu);
                    ++seen[i][static_cast<std::size_t>(j)];
                }
            }
        });
    }
    const auto start = Clock::now();
    while (!stop && korvex_runs < kBounds.korvex_runs && Clock::now() - start < kBounds.budget)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
    for (std::thread& t : threads)
        t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    std::printf("[ soak ] %d korvex runs, %d mastdb changes in %.1f s (%s build)\n",
                korvex_runs.load(), changes.load(), seconds,
                e2e::kSanitized ? "sanitized" : "normal");
    for (std::size_t i = 0; i < writers.size(); ++i) {
        std::string per_state;
        for (int n : seen[i])
            per_state += " " + std::to_string(n);
        std::printf("[ soak ] runs per state of %s:%s\n", writers[i].ws.c_str(), per_state.c_str());
    }
    RecordProperty("korvex_runs", korvex_runs.load());
    RecordProperty("mastdb_changes", changes.load());
    for (const std::string& f : faults)
        ADD_FAILURE() << f;
    ASSERT_EQ(fault_count, 0);
    EXPECT_GE(korvex_runs.load(), 10);
    EXPECT_GE(changes.load(), 10);

    // At rest, a run gives exactly the writers' last states, and the files
    // are sound.
    const Outcome last = select_once(tree, texts, "soak-last", kBounds.run_timeout);
    ASSERT_EQ(last.why, "") << describe(last);
    for (std::size_t i = 0; i < writers.size(); ++i)
        EXPECT_EQ(state_of(states[i], last.sections, writers[i].ws), static_cast<int>(position[i]))
            << writers[i].ws << "\n"
            << describe(last);
    const kx::RunResult check = tree.run("mastdb", {"check"}, kx::zoned());
    EXPECT_TRUE(check.exited(0)) << check.both();
    for (const std::string& line : lines_of(check.out))
        EXPECT_NE(line.find(": sound,"), std::string::npos) << check.both();
}

}  // namespace
