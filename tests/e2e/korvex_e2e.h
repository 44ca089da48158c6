// Helpers for the end-to-end runs of korvex: a master database loaded with
// the real tools, catalog texts for the expected output, and runs on a
// pseudo-terminal.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/e2e/install_tree.h"
#include "utils/libs/dbaccs.h"
#include "utils/libs/issuemsg.h"
#include "utils/libs/stdutil.h"

namespace kx {

using e2e::InstallTree;
using e2e::RunOptions;
using e2e::RunResult;

// Every run uses one zone, so that dates mean the same to the test and the
// programs.
inline const char* const kZone = "UTC";

// The text of message 2207/number from the build's catalogs, every argument
// given as text.
inline std::string msg(int number, const std::vector<std::string>& args = {}, int set = 2207) {
    static const bool home_set = [] {
        set_home_dir(KORVEX_BUILD_DIR);
        msg_state_reset();
        return true;
    }();
    (void)home_set;
    std::vector<MsgArg> a;
    for (const std::string& s : args)
        a.push_back(arg_str(s.c_str()));
    char buf[kFormatBufSize];
    std::int16_t len = 0;
    switch (a.size()) {
        case 0:
            format_msg(buf, &len, set, number);
            break;
        case 1:
            format_msg(buf, &len, set, number, {a[0]});
            break;
        case 2:
            format_msg(buf, &len, set, number, {a[0], a[1]});
            break;
        default:
            format_msg(buf, &len, set, number, {a[0], a[1], a[2]});
            break;
    }
    return std::string(buf, static_cast<std::size_t>(len));
}

// The reference a message carries at its end, e.g. "[2207.25]".
inline std::string ref(int number, int set = 2207) {
    return "[" + std::to_string(set) + "." + std::to_string(number) + "]";
}

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Standard output after the banner line that start-up prints first.
inline std::string after_banner(const std::string& out) {
    const std::size_t nl = out.find('\n');
    if (out.rfind("VORTAN for WINDOWS NT/KORVEX", 0) != 0 || nl == std::string::npos)
        return "<no banner>" + out;
    return out.substr(nl + 1);
}

inline RunOptions zoned(RunOptions o = {}) {
    o.env.emplace_back("TZ", kZone);
    return o;
}

// Runs a tool of the tree and expects it to succeed.
inline void tool(const InstallTree& tree, const std::string& program,
                 const std::vector<std::string>& args, const RunOptions& o = {}) {
    const RunResult r = tree.run(program, args, zoned(o));
    ASSERT_TRUE(r.exited(0)) << program << " " << (args.empty() ? "" : args[0]) << "\n" << r.both();
}

// A new, empty master database with short names.
inline void create_db(const InstallTree& tree) {
    tool(tree, "mastdb", {"create"});
}

// Stores schedule definitions (SCHEDULE ... END) with mastdb.
inline void add_schedules(const InstallTree& tree, const std::string& text) {
    tree.write("schedules.txt", text);
    tool(tree, "mastdb", {"add-schedules", "schedules.txt"});
}

// Stores calendars in mastdb's calendar file form.
inline void add_calendars(const InstallTree& tree, const std::string& text) {
    tree.write("calendars.txt", text);
    tool(tree, "mastdb", {"add-calendars", "calendars.txt"});
}

inline std::string quoted(const std::string& s) {
    std::string q = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    return q + "\"";
}

inline std::string padded(const std::string& s, std::size_t width) {
    std::string p = s.substr(0, width);
    p.resize(width, ' ');
    return p;
}

// Stores a schedule's text lines exactly as given, one record per stored line
// (a logical line longer than a record is given as its pieces by the caller),
// with the keyed-file tool: no SCHEDULE line is rewritten and no END needed.
// Short layout.
inline void store_raw(const InstallTree& tree, const std::string& ws, const std::string& name,
                      const std::vector<std::string>& stored) {
    const std::string key = padded(ws, DB_SHORT_NAME) + padded(name, DB_SHORT_NAME);
    std::string ops = "lock\nadd 0 " + quoted(key + std::string(24, ' ') + "         0") + "\n";
    char number[16];
    int lineno = 0;
    for (const std::string& line : stored) {
        std::snprintf(number, sizeof number, "%6d", lineno++);
        ops += "add 1 " + quoted(key + number + line) + "\n";
    }
    ops += "unlock\n";
    RunOptions o;
    o.input = ops;
    tool(tree, "kfutil", {"batch", tree.db_file("mastsked")}, o);
}

// The logical lines as the database stores them.
inline std::vector<std::string> pieces_of(const std::vector<std::string>& logical) {
    std::vector<std::string> out;
    for (const std::string& line : logical)
        for (std::string& p : split_logical_line(line))
            out.push_back(std::move(p));
    return out;
}

inline RunResult korvex(const InstallTree& tree, const std::vector<std::string>& args,
                        RunOptions o = {}) {
    return tree.run("korvex", args, zoned(std::move(o)));
}

// What a run on a pseudo-terminal showed, and how it ended.
struct TerminalRun {
    int status = -1;
    std::string screen;
};

inline std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// Runs korvex with standard input, output and error on a new pseudo-terminal
// (its controlling terminal) and types the answers, each after one more
// prompt ("Production date" or "Schedule: ") has appeared. An answer "\x04"
// is sent without a line feed: end of input at the start of a line.
inline TerminalRun korvex_on_terminal(const InstallTree& tree, const std::vector<std::string>& args,
                                      const std::vector<std::string>& answers) {
    TerminalRun run;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        return run;
    }
    const std::string slave = ::ptsname(master);
    const std::string exe = (tree.bin() / "korvex").string();
    std::vector<std::string> argv_s{exe};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string home = tree.home().string();
    const std::string components = (tree.root() / "components").string();

    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        const int s = ::open(slave.c_str(), O_RDWR);
        if (s < 0) ::_exit(98);
        ::dup2(s, 0);
        ::dup2(s, 1);
        ::dup2(s, 2);
        if (s > 2) ::close(s);
        ::close(master);
        for (const std::string& v : e2e::kScrubbedEnv)
            ::unsetenv(v.c_str());
        ::setenv("TZ", kZone, 1);
        ::setenv("TELVAR_COMPONENT_FILE", components.c_str(), 1);
        if (::chdir(home.c_str()) != 0) ::_exit(97);
        ::execv(exe.c_str(), argv.data());
        ::_exit(96);
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool closed = false;
    auto pump = [&](std::size_t prompts) {
        while (!closed && std::chrono::steady_clock::now() < deadline) {
            if (prompts > 0 &&
                count_of(run.screen, "Production date") + count_of(run.screen, "Schedule: ") >=
                    prompts)
                return;
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buf[512];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) {
                closed = true;  // every slave side is closed
                return;
            }
            run.screen.append(buf, static_cast<std::size_t>(n));
        }
    };
    for (std::size_t i = 0; i < answers.size(); ++i) {
        pump(i + 1);
        const std::string line = answers[i] == "\x04" ? answers[i] : answers[i] + "\n";
        if (::write(master, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            ADD_FAILURE() << "typing failed";
    }
    pump(0);
    if (!closed) {
        ADD_FAILURE() << "the run did not end; terminal:\n" << run.screen;
        ::kill(pid, SIGKILL);
    }
    ::close(master);
    int ws = 0;
    ::waitpid(pid, &ws, 0);
    if (WIFEXITED(ws)) run.status = WEXITSTATUS(ws);
    return run;
}

}  // namespace kx
