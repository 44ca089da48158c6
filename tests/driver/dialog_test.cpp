// The run driver's terminal dialogue: the run date question and the forced
// schedule list, driven through pipes, files and a real pseudo-terminal, with
// a scratch master database for the existence check. Every dialogue runs in a
// child process, since the terminal channel is process-wide and the program
// ends on some answers.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "driver/korvex_dialog.h"
#include "masterdb/masterdb_testutil.h"

namespace {

using Body = std::function<int(run_context&)>;

struct Outcome {
    int status = -1;     // exit status of the child; -1 when it did not exit
    std::string err;     // standard error, or everything the terminal showed
    std::string result;  // the run context after the dialogue
};

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

std::string describe(const run_context& ctx) {
    std::string out = "date=" + std::to_string(ctx.run_date) +
                      " prompted=" + (ctx.prompted ? "1" : "0") + " forced=";
    for (const forced_schedule& f : ctx.forced)
        out += f.workstation + "#" + f.schedule + ",";
    return out;
}

std::string date_result(time_value date, bool prompted) {
    return "date=" + std::to_string(date) + " prompted=" + (prompted ? "1" : "0") + " forced=";
}

const char* const kRejected = "[2207.3]";
const char* const kBadDate = "[2207.9]";

class DialogTest : public dbtest::DbTest {
  protected:
    // Creates the schedule file in the given layout with these
    // (workstation, schedule) pairs.
    void make_db(int long_names, const std::vector<std::pair<std::string, std::string>>& scheds) {
        long_names_ = long_names;
        db_ptr h = open_db(long_names);
        ASSERT_EQ(db_open_file(h.get(), DB_FILE_SCHEDULES), DB_OK) << error_of(h.get());
        ASSERT_EQ(db_open_file(h.get(), DB_FILE_SCHED_JOBS), DB_OK) << error_of(h.get());
        for (const auto& [ws, name] : scheds)
            ASSERT_EQ(put_schedule(h.get(), ws, name, {"SCHEDULE " + name}), DB_OK);
    }

    std::string file(const std::string& name, const std::string& data) {
        const std::string path = (home_ / name).string();
        dbtest::write_file(path, data);
        return path;
    }

    // The child's side: a run context over the scratch database, the body
    // run, the context written to the result file.
    [[noreturn]] void child(const Body& body, const std::string& scheds) {
        run_context ctx;
        ctx.this_workstation = "MASTER";
        ctx.long_names = long_names_ != 0;
        ctx.schedule_list_path = scheds;
        db_ptr h;
        std::string msg;
        if (db_open(&h, DB_OPEN_PRIVATE, &msg, long_names_) != DB_OK) _exit(99);
        ctx.database = h.get();
        const int rc = body(ctx);
        dbtest::write_file((home_ / "result").string(), describe(ctx));
        std::fflush(nullptr);
        _exit(rc);
    }

    Outcome finish(pid_t pid, std::string err) {
        Outcome o;
        int ws = 0;
        waitpid(pid, &ws, 0);
        if (WIFEXITED(ws)) o.status = WEXITSTATUS(ws);
        o.err = std::move(err);
        o.result = dbtest::read_file((home_ / "result").string());
        return o;
    }

    // Runs body with standard input reading `input` from a pipe and standard
    // error kept in a file.
    Outcome run(const std::string& input, const Body& body, const std::string& scheds = "") {
        const std::string err_path = (home_ / "stderr").string();
        std::remove((home_ / "result").string().c_str());
        int fds[2];
        if (pipe(fds) != 0) return {};
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[0], 0);
            close(fds[0]);
            close(fds[1]);
            const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(err, 2);
            close(err);
            child(body, scheds);
        }
        close(fds[0]);
        // The child may stop reading early; a short write is fine then.
        auto* old = std::signal(SIGPIPE, SIG_IGN);
        for (std::size_t at = 0; at < input.size();) {
            const ssize_t n = write(fds[1], input.data() + at, input.size() - at);
            if (n <= 0) break;
            at += static_cast<std::size_t>(n);
        }
        close(fds[1]);
        std::signal(SIGPIPE, old);
        Outcome o = finish(pid, "");
        o.err = dbtest::read_file(err_path);
        return o;
    }

    // Runs body on a new pseudo-terminal (standard input and standard error)
    // that the test types on: before each answer it waits for one more
    // prompt. With hang_up the terminal is closed at the next prompt after
    // the answers instead of waiting for the child to finish with it.
    Outcome run_on_terminal(const std::vector<std::string>& answers, const Body& body,
                            bool hang_up = false) {
        std::remove((home_ / "result").string().c_str());
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return {};
        const std::string slave = ptsname(master);
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            close(master);
            const int s = open(slave.c_str(), O_RDWR | O_NOCTTY);
            if (s < 0) _exit(98);
            dup2(s, 0);
            dup2(s, 2);
            if (s > 2) close(s);
            child(body, "");
        }

        std::string screen;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        // Reads what the terminal shows until `until` holds or the child is done.
        auto pump = [&](const std::function<bool()>& until) {
            while (!until() && std::chrono::steady_clock::now() < deadline) {
                pollfd p{master, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0) continue;
                char buf[512];
                const ssize_t n = read(master, buf, sizeof buf);
                if (n <= 0) return;  // every slave side is closed
                screen.append(buf, static_cast<std::size_t>(n));
            }
        };
        auto prompts = [&] {
            return count(screen, "Production date") + count(screen, "Schedule: ");
        };
        for (std::size_t i = 0; i < answers.size(); ++i) {
            pump([&] { return prompts() > i; });
            const std::string line = answers[i] + "\n";
            EXPECT_EQ(write(master, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        }
        if (hang_up)
            pump([&] { return prompts() > answers.size(); });
        else
            pump([] { return false; });
        close(master);
        if (std::chrono::steady_clock::now() >= deadline) {
            ADD_FAILURE() << "the dialogue did not end; terminal:\n" << screen;
            kill(pid, SIGKILL);
        }
        return finish(pid, screen);
    }

    Outcome run_list(const std::string& input, const std::string& scheds = "") {
        return run(input, read_forced_list, scheds);
    }

    int long_names_ = 0;
};

// ---- the run date ----------------------------------------------------------

TEST_F(DialogTest, DateFromPipe) {
    make_db(0, {});
    const time_value day = dbtest::local_date(2024, 3, 15);

    Outcome o = run("2024/03/15\n", ask_run_date);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.result, date_result(day, true));
    // Prompt without reference, answer echoed since the output is no terminal.
    EXPECT_EQ(o.err, "Production date (press Return for none): 2024/03/15\n");

    // Blanks only: no date, but the date was still asked.
    o = run("   \n2024/03/15\n", ask_run_date);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.result, date_result(0, true));

    // Not a date, then a day that does not exist, then a date.
    o = run("tomorrow\n2024/02/30\n2024/03/15\n", ask_run_date);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.result, date_result(day, true));
    EXPECT_EQ(count(o.err, kBadDate), 2u);
    EXPECT_EQ(count(o.err, "Production date"), 3u);

    // A last line without its line feed is still an answer.
    o = run("2024/03/15", ask_run_date);
    EXPECT_EQ(o.result, date_result(day, true));

    // The input ends before an answer, also after a wrong one: exit status 1.
    for (const char* input : {"", "tomorrow\n"}) {
        o = run(input, ask_run_date);
        EXPECT_EQ(o.status, 1) << input;
        EXPECT_EQ(o.result, date_result(0, false)) << input;
    }
}

TEST_F(DialogTest, DateAtTerminal) {
    make_db(0, {});
    Outcome o = run_on_terminal({"1999/12/31"}, ask_run_date);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.result, date_result(dbtest::local_date(1999, 12, 31), true));
    // Only the terminal's own echo: the program does not repeat the answer.
    EXPECT_EQ(count(o.err, "1999/12/31"), 1u);

    o = run_on_terminal({"tomorrow", ""}, ask_run_date);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.result, date_result(0, true));
    EXPECT_EQ(count(o.err, kBadDate), 1u);

    // The terminal goes away while the question waits.
    o = run_on_terminal({}, ask_run_date, true);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.result, date_result(0, false));
}

// ---- the forced list -------------------------------------------------------

TEST_F(DialogTest, ForcedListFromFile) {
    make_db(0, {{"MASTER", "PAYROLL"},
                {"MASTER", "BACKUP"},
                {"WS2", "PAYROLL"},
                {"WS2", "A-B_C"},
                {"MASTER", "SCHED1"},
                {"MASTER", "SCHEDULE"},
                {"WORKSTN8", "PAYROLL"}});
    const std::string path = file("list",
                                  "* a comment\n"
                                  "# another one\n"
                                  "payroll\n"                 // this workstation
                                  "ws2 # payroll * weekly\n"  // workstation # schedule, comment
                                  "WS2#A-B_C\n"
                                  "nosuch\n"             // not in the database
                                  "ws3#payroll\n"        // no such pair
                                  "scheduleX\n"          // 9 characters, 8 of them a schedule
                                  "WORKSTN8X#PAYROLL\n"  // the same for a workstation
                                  "1BAD\n"               // not a name
                                  "PAY ROLL\n"           // blank inside a name
                                  "WS2#\n"               // schedule missing
                                  "PAYROLL\n"            // again: kept once
                                  "'backup'\n"           // quotes are not part of the name
                                  "\n"
                                  "SCHED1\n");  // after the end of the list
    const Outcome o = run_list("", path);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.result,
              "date=0 prompted=0 forced=MASTER#BACKUP,WS2#A-B_C,WS2#PAYROLL,MASTER#PAYROLL,");
    EXPECT_EQ(count(o.err, kRejected), 7u) << o.err;
    EXPECT_EQ(count(o.err, "[2207.6]"), 1u);
    EXPECT_EQ(count(o.err, "Schedule: "), 15u);  // through the empty line, nothing after
    EXPECT_EQ(count(o.err, "SCHED1"), 0u);

    // "-" and an empty path read standard input; a file that cannot be
    // opened ends the program with exit status 1.
    EXPECT_EQ(run_list("backup\n", "-").result, "date=0 prompted=0 forced=MASTER#BACKUP,");
    EXPECT_EQ(run_list("backup\n", "").result, "date=0 prompted=0 forced=MASTER#BACKUP,");
    const Outcome missing = run_list("backup\n", (home_ / "nofile").string());
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("[1112.3]"), std::string::npos) << missing.err;
}

TEST_F(DialogTest, ForcedListLongNames) {
    make_db(1, {{"MASTER", "SCHEDULE-OF-16CH"}, {"WORKSTATION-16CH", "LONGNAME9"}});
    const Outcome o = run_list(
        "schedule-of-16ch\nworkstation-16ch#longname9\nSCHEDULE-OF-16CHX\n"
        "WORKSTATION-16CHX#LONGNAME9\n");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.result,
              "date=0 prompted=0 forced=WORKSTATION-16CH#LONGNAME9,MASTER#SCHEDULE-OF-16CH,");
    EXPECT_EQ(count(o.err, kRejected), 2u);
}

TEST_F(DialogTest, DateThenListAtTerminal) {
    make_db(0, {{"MASTER", "PAYROLL"}, {"WS2", "BACKUP"}});
    auto both = [](run_context& ctx) {
        const int rc = ask_run_date(ctx);
        return rc != 0 ? rc : read_forced_list(ctx);
    };
    // A line typed ahead after the empty one is not read.
    Outcome o = run_on_terminal({"", "payroll", "nosuch", "ws2#backup", "\nnever"}, both);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.result, "date=0 prompted=1 forced=WS2#BACKUP,MASTER#PAYROLL,");
    EXPECT_EQ(count(o.err, kRejected), 1u);
    EXPECT_EQ(count(o.err, "Schedule: "), 4u);

    // The terminal goes away in the middle of the list: what was read stays.
    o = run_on_terminal({"", "payroll"}, both, true);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.result, "date=0 prompted=1 forced=MASTER#PAYROLL,");
}

TEST_F(DialogTest, HostileListFiles) {
    make_db(0, {{"MASTER", "PAYROLL"}});

    // Binary bytes: control characters, NULs, bytes above 127, unclosed
    // quotes and brackets. Every line starts with a byte that keeps it from
    // being empty, so the good line at the end is reached; it is the only
    // one taken.
    std::mt19937 gen(7);
    std::string junk;
    for (int line = 0; line < 500; ++line) {
        junk += static_cast<char>(0x21 + gen() % 0xDE);
        for (unsigned n = gen() % 80; n > 0; --n) {
            const char c = static_cast<char>(gen() & 0xFF);
            junk += c == '\n' ? '\0' : c;
        }
        junk += '\n';
    }
    junk += "\"payroll\n(payroll\n\xff\xfe#payroll\nPAYROLL\n";
    Outcome o = run_list("", file("junk", junk));
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.result, "date=0 prompted=0 forced=MASTER#PAYROLL,");

    // 10 000 lines, every fifth one naming the same existing schedule.
    std::string many;
    for (int i = 0; i < 10000; ++i)
        many += i % 5 == 0 ? "master#payroll\n" : "SCHED" + std::to_string(i) + "\n";
    o = run_list("", file("many", many));
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.result, "date=0 prompted=0 forced=MASTER#PAYROLL,");
    EXPECT_EQ(count(o.err, kRejected), 8000u);
}

TEST_F(DialogTest, DatabaseFailureIsFatal) {
    make_db(0, {{"MASTER", "PAYROLL"}});
    const std::string data = db_file("mastsked");
    dbtest::write_file(data, std::string(4096, '\x5a'));
    const Outcome o = run_list("payroll\nbackup\n");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("[2207.10]"), std::string::npos) << o.err;
    EXPECT_EQ(count(o.err, "Schedule: "), 1u);  // nothing read after the failure
}

}  // namespace
