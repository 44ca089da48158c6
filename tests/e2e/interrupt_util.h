// Helpers for the interrupted-update tests: a program killed with SIGKILL at
// a chosen point, the database of a tree saved and put back, the stored
// schedules read back, and an own account of what a keyed data file and its
// index must agree on.
//
// Kill points come in two kinds. A traced run (run_traced) starts the
// program under ptrace and counts its calls that change a file of one
// directory (writes, truncations, renames, removals, creations); it kills
// the program on entry to the N-th such call, so that call never happens. A
// seccomp filter stops the program only at the calls that can change a
// file, so a traced run costs little more than a plain one.
// Since a killed process loses nothing that reached the system, the file
// states a kill can leave are exactly the states after each prefix of these
// calls, and a sweep over N reaches every one of them. A timed run
// (run_timed) kills after a delay, the way an operator or a crash would.
#pragma once

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "btree/btcheck.h"
#include "btree/btree.h"
#include "tests/e2e/install_tree.h"
#include "utils/libs/isamacc.h"

namespace intr {

namespace fs = std::filesystem;
using e2e::InstallTree;
using e2e::RunOptions;
using e2e::RunResult;

using e2e::kSanitized;

// The environment every program of a test gets: one zone, temporary files
// inside the tree (a killed program leaves its own behind).
inline RunOptions run_options(const InstallTree& tree) {
    RunOptions o;
    o.env.emplace_back("TZ", "UTC");
    o.env.emplace_back("TEMP", (tree.root() / "tmp").string());
    o.timeout = std::chrono::milliseconds(kSanitized ? 60000 : 20000);
    return o;
}

// Makes the next InstallTree go to /dev/shm while it lives: hundreds of runs
// whose every update lock ends with a flush to disk take minutes on a disk
// and seconds in memory, and a kill tests what a process leaves, not what a
// disk keeps.
class TreeInMemory {
  public:
    TreeInMemory() {
        if (const char* t = std::getenv("TMPDIR")) saved_ = t;
        std::error_code ec;
        if (::access("/dev/shm", W_OK) == 0 && fs::is_directory("/dev/shm", ec))
            ::setenv("TMPDIR", "/dev/shm", 1);
    }
    // Puts TMPDIR back once the tree is made.
    void done() {
        if (saved_)
            ::setenv("TMPDIR", saved_->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
    }

  private:
    std::optional<std::string> saved_;
};

// ---- the database saved and put back -------------------------------------------------

inline void save_db(const InstallTree& tree, const std::string& name) {
    const fs::path to = tree.root() / name;
    fs::remove_all(to);
    fs::create_directories(to);
    for (const auto& e : fs::directory_iterator(tree.brantis()))
        if (e.is_regular_file()) fs::copy_file(e.path(), to / e.path().filename());
}

inline void restore_db(const InstallTree& tree, const std::string& name) {
    for (const auto& e : fs::directory_iterator(tree.brantis()))
        fs::remove_all(e.path());
    for (const auto& e : fs::directory_iterator(tree.root() / name))
        fs::copy_file(e.path(), tree.brantis() / e.path().filename());
    fs::remove_all(tree.root() / "tmp");
    fs::create_directories(tree.root() / "tmp");
}

// ---- traced runs ---------------------------------------------------------------------

// The exit status of a traced child that could not be traced.
inline constexpr int kNoTracing = 125;

struct TracedRun {
    bool killed = false;             // killed at the chosen call
    int status = -1;                 // exit status when it exited
    int signal = 0;                  // the signal that ended it otherwise
    long calls = 0;                  // changing calls entered (the killed one included)
    std::vector<std::string> kinds;  // the kind of each, when asked for
    std::string err;                 // standard error
};

namespace detail {

inline volatile sig_atomic_t alarm_rang = 0;
inline void on_alarm(int) {
    alarm_rang = 1;
}

inline std::string read_child_string(pid_t pid, std::uint64_t addr) {
    std::string s;
    const int fd = ::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY);
    if (fd < 0) return s;
    char buf[4096];
    const ssize_t n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(addr));
    ::close(fd);
    if (n > 0) s.assign(buf, strnlen(buf, static_cast<std::size_t>(n)));
    return s;
}

inline std::string fd_path(pid_t pid, std::uint64_t fd) {
    char buf[4096];
    const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

// The calls that can change a file; the others run without a stop.
inline const std::vector<long>& watched_calls() {
    static const std::vector<long> calls = {
        SYS_write,     SYS_pwrite64,        SYS_writev,   SYS_pwritev,  SYS_pwritev2, SYS_ftruncate,
        SYS_fallocate, SYS_copy_file_range, SYS_sendfile, SYS_truncate, SYS_renameat, SYS_renameat2,
        SYS_unlinkat,  SYS_linkat,          SYS_openat,
#ifdef SYS_rename
        SYS_rename,    SYS_unlink,          SYS_link,     SYS_open,     SYS_creat,
#endif
    };
    return calls;
}

// Installs, in the child before its exec, a filter that hands the watched
// calls to the tracer.
inline bool filter_watched_calls() {
    std::vector<sock_filter> prog;
    prog.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    const std::vector<long>& calls = watched_calls();
    for (std::size_t i = 0; i < calls.size(); ++i)
        prog.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(calls[i]),
                                static_cast<__u8>(calls.size() - i), 0));
    prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRACE));
    sock_fprog fprog{static_cast<unsigned short>(prog.size()), prog.data()};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) == 0;
}

// The kind of a call that changes a file below dir, or "" for any other.
inline std::string changing_call(pid_t pid, std::uint64_t nr, const std::uint64_t* a,
                                 const std::string& dir) {
    auto by_fd = [&](std::uint64_t fd, const char* kind) -> std::string {
        if (fd <= 2) return "";
        return fd_path(pid, fd).rfind(dir, 0) == 0 ? kind : "";
    };
    auto by_path = [&](std::uint64_t addr, const char* kind) -> std::string {
        const std::string p = read_child_string(pid, addr);
        return p.rfind(dir, 0) == 0 || (!p.empty() && p[0] != '/') ? kind : "";
    };
    switch (static_cast<long>(nr)) {
        case SYS_write:
        case SYS_pwrite64:
        case SYS_writev:
        case SYS_pwritev:
        case SYS_pwritev2:
            return by_fd(a[0], "write");
        case SYS_ftruncate:
        case SYS_fallocate:
            return by_fd(a[0], "truncate");
        case SYS_copy_file_range:
            return by_fd(a[2], "copy");
        case SYS_sendfile:
            return by_fd(a[0], "copy");
        case SYS_truncate:
            return by_path(a[0], "truncate");
        case SYS_renameat:
        case SYS_renameat2:
            return by_path(a[1], "rename");
        case SYS_unlinkat:
            return by_path(a[1], "remove");
        case SYS_linkat:
            return by_path(a[3], "link");
        case SYS_openat:
            return (a[2] & (O_CREAT | O_TRUNC)) ? by_path(a[1], "create") : "";
#ifdef SYS_rename
        case SYS_rename:
            return by_path(a[0], "rename");
        case SYS_unlink:
            return by_path(a[0], "remove");
        case SYS_link:
            return by_path(a[1], "link");
        case SYS_open:
            return (a[1] & (O_CREAT | O_TRUNC)) ? by_path(a[0], "create") : "";
        case SYS_creat:
            return by_path(a[0], "create");
#endif
        default:
            return "";
    }
}

}  // namespace detail

// Runs a program of the tree under ptrace and kills it on entry to its
// kill_at-th call that changes a file below the database directory (0:
// never). With record, the kinds of the calls are kept.
inline TracedRun run_traced(const InstallTree& tree, const std::vector<std::string>& args,
                            long kill_at, bool record = false) {
    TracedRun run;
    const std::string exe = (tree.bin() / args.at(0)).string();
    std::vector<std::string> argv_s{exe};
    argv_s.insert(argv_s.end(), args.begin() + 1, args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::size_t eq = entry.find('=');
        if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const std::string& v : e2e::kScrubbedEnv)
        env.erase(v);
    env["TELVAR_COMPONENT_FILE"] = (tree.root() / "components").string();
    for (const auto& [k, v] : run_options(tree).env)
        env[k] = v;
    // The leak check at exit needs ptrace itself.
    env["ASAN_OPTIONS"] =
        env["ASAN_OPTIONS"] + (env["ASAN_OPTIONS"].empty() ? "" : ":") + "detect_leaks=0";
    std::vector<std::string> env_s;
    for (const auto& [k, v] : env)
        env_s.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (std::string& e : env_s)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const std::string out_path = (tree.root() / "traced.out").string();
    const std::string err_path = (tree.root() / "traced.err").string();
    const std::string home = tree.home().string();
    const std::string dir = fs::canonical(tree.brantis()).string() + "/";

    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(kNoTracing);
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || ::chdir(home.c_str()) != 0) ::_exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        // Last: until the exec stop lets the tracer ask for them, the
        // watched calls would fail.
        if (!detail::filter_watched_calls()) ::_exit(kNoTracing);
        ::execve(exe.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        return run;
    }

    struct sigaction act {};
    struct sigaction old {};
    act.sa_handler = detail::on_alarm;
    ::sigaction(SIGALRM, &act, &old);
    detail::alarm_rang = 0;
    ::alarm(kSanitized ? 120 : 30);

    int st = 0;
    bool first = true;
    int deliver = 0;
    for (;;) {
        if (!first && ::ptrace(PTRACE_CONT, pid, nullptr, deliver) != 0) break;
        deliver = 0;
        if (::waitpid(pid, &st, 0) < 0) {
            if (errno == EINTR && detail::alarm_rang) {
                ADD_FAILURE() << args.at(0) << " " << args.at(1) << " hangs under trace";
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &st, 0);
                break;
            }
            if (errno == EINTR) continue;
            break;
        }
        if (WIFEXITED(st) || WIFSIGNALED(st)) break;
        if (!WIFSTOPPED(st)) continue;
        const int sig = WSTOPSIG(st);
        if (first) {  // stopped at the exec
            first = false;
            ::ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESECCOMP | PTRACE_O_EXITKILL);
            continue;
        }
        if (sig == SIGTRAP && (st >> 16) == PTRACE_EVENT_SECCOMP) {
            __ptrace_syscall_info info{};
            if (::ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info) > 0 &&
                info.op == PTRACE_SYSCALL_INFO_SECCOMP) {
                const std::string kind =
                    detail::changing_call(pid, info.seccomp.nr, info.seccomp.args, dir);
                if (!kind.empty()) {
                    ++run.calls;
                    if (record) run.kinds.push_back(kind);
                    if (run.calls == kill_at) {
                        ::kill(pid, SIGKILL);
                        while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
                        }
                        run.killed = true;
                        break;
                    }
                }
            }
        } else if (sig != SIGTRAP) {
            deliver = sig;
        }
    }
    ::alarm(0);
    ::sigaction(SIGALRM, &old, nullptr);
    if (WIFEXITED(st)) run.status = WEXITSTATUS(st);
    if (WIFSIGNALED(st)) run.signal = WTERMSIG(st);
    std::ifstream e(err_path, std::ios::binary);
    run.err.assign(std::istreambuf_iterator<char>(e), std::istreambuf_iterator<char>());
    return run;
}

// Runs a program and kills it after the delay; killed tells whether it was
// still running then.
struct TimedRun {
    bool killed = false;
    RunResult result;
};

inline TimedRun run_timed(const InstallTree& tree, const std::vector<std::string>& args,
                          std::chrono::microseconds delay) {
    TimedRun run;
    e2e::Process p = tree.start(args.at(0), std::vector<std::string>(args.begin() + 1, args.end()),
                                run_options(tree));
    std::this_thread::sleep_for(delay);
    // Still running when it has not been reaped: a zombie takes the signal
    // too, so look first.
    siginfo_t info{};
    info.si_pid = 0;
    if (::waitid(P_PID, static_cast<id_t>(p.pid()), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == 0) {
        p.send_signal(SIGKILL);
    }
    run.result = p.wait();
    run.killed = run.result.signal == SIGKILL;
    return run;
}

// ---- what the programs say after a kill -------------------------------------------------

// A run that ended as a damaged database allows: it ran, or it stopped with
// a numbered message and status 1 (a failure) or 2 (a stored definition it
// cannot parse); never a signal, a hang or a sanitizer report.
inline ::testing::AssertionResult ended_cleanly(const RunResult& r) {
    static const std::regex numbered(R"(\[[0-9]+\.[0-9]+\])");
    if (r.timed_out) return ::testing::AssertionFailure() << "hangs\n" << r.both();
    if (r.signal != 0)
        return ::testing::AssertionFailure() << "ended by signal " << r.signal << "\n" << r.both();
    if (r.err.find("Sanitizer") != std::string::npos ||
        r.err.find("runtime error:") != std::string::npos)
        return ::testing::AssertionFailure() << "sanitizer report\n" << r.both();
    if (r.status == 0) return ::testing::AssertionSuccess();
    if ((r.status == 1 || r.status == 2) && std::regex_search(r.err, numbered))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "status " << r.status << " without a numbered message\n"
                                         << r.both();
}

// mastdb check's verdict on one file: its line "<path>: sound, ..." or
// "<path>: N faults".
enum class Verdict { sound, faults, missing };

inline Verdict check_verdict(const std::string& out, const std::string& file) {
    const std::regex sound("(^|\n)[^\n]*/" + file + ": sound,");
    const std::regex faulty("(^|\n)[^\n]*/" + file + ": [0-9]+ faults?(\n|$)");
    if (std::regex_search(out, sound)) return Verdict::sound;
    if (std::regex_search(out, faulty)) return Verdict::faults;
    return Verdict::missing;
}

// ---- an own account of a keyed data file and its index --------------------------------

// What is wrong with a keyed data file and its index, found without the
// keyed file layer: record lines of the wrong length, two live masters of one
// key, chains that lead elsewhere than to live details of their master or
// out of sub-key order, live details in no chain, and an index whose keys
// and positions are not exactly the live masters'. Empty when sound.
inline std::vector<std::string> own_faults(const std::string& path) {
    std::vector<std::string> faults;
    std::ifstream in(path, std::ios::binary);
    const std::string f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    constexpr std::size_t kHead = 94;
    if (f.size() < kHead || f.compare(0, 2, "AH") != 0) return {"no header"};
    // A hexadecimal field, -1 when it is not one.
    auto hex = [&](std::size_t at, std::size_t n) -> long {
        if (at + n > f.size()) return -1;
        long v = 0;
        for (std::size_t i = at; i < at + n; ++i) {
            const char c = f[i];
            const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0) return -1;
            v = v * 16 + d;
        }
        return v;
    };
    const long kinds = hex(26, 4);
    if (kinds < 0 || kinds > 2) return {"bad number of detail kinds"};
    struct Slot {
        long len, off, klen;
    };
    std::vector<Slot> slots;
    for (long i = 0; i <= kinds; ++i)
        slots.push_back({hex(30 + 12 * static_cast<std::size_t>(i), 4),
                         hex(34 + 12 * static_cast<std::size_t>(i), 4),
                         hex(38 + 12 * static_cast<std::size_t>(i), 4)});
    for (const Slot& s : slots)
        if (s.len <= 0 || s.off < 0 || s.klen < 0 || s.off + s.klen > s.len) return {"bad slots"};
    const std::size_t hl = 2 + 8 * static_cast<std::size_t>(kinds);
    const std::size_t mk = static_cast<std::size_t>(slots[0].klen);
    const std::size_t moff = static_cast<std::size_t>(slots[0].off);

    struct Line {
        int kind;  // 0 master, n detail, -1 deleted
        std::string key, sub;
        std::string hdr;
        std::int64_t pos;
    };
    std::map<std::int64_t, Line> lines;
    std::map<std::string, std::int64_t> masters;
    std::size_t at = kHead;
    while (at < f.size()) {
        const std::size_t nl = f.find('\n', at);
        const std::size_t len = (nl == std::string::npos ? f.size() : nl + 1) - at;
        Line l{-1, "", "", f.substr(at, std::min(len, hl)), static_cast<std::int64_t>(at)};
        if (f[at] == 'D' && len >= 2) {
            l.kind = f[at + 1] == 'M' ? 0 : f[at + 1] - '0';
            if (l.kind < 0 || l.kind > kinds) {
                faults.push_back("unknown record type at " + std::to_string(at));
                l.kind = -1;
            } else if (len != hl +
                                  static_cast<std::size_t>(
                                      slots[static_cast<std::size_t>(l.kind)].len) +
                                  1 ||
                       nl == std::string::npos) {
                faults.push_back("record of the wrong length at " + std::to_string(at));
                l.kind = -1;
            } else {
                l.key = f.substr(at + hl + moff, mk);
                const Slot& s = slots[static_cast<std::size_t>(l.kind)];
                if (l.kind > 0)
                    l.sub = f.substr(at + hl + static_cast<std::size_t>(s.off),
                                     static_cast<std::size_t>(s.klen));
            }
        } else if (f[at] != ' ' || nl == std::string::npos) {
            faults.push_back("broken line at " + std::to_string(at));
        }
        if (l.kind == 0 && !masters.emplace(l.key, static_cast<std::int64_t>(at)).second)
            faults.push_back("two live masters of key \"" + l.key + "\"");
        lines[static_cast<std::int64_t>(at)] = l;
        at += len;
    }

    std::set<std::int64_t> chained;
    for (const auto& [key, pos] : masters) {
        const Line& m = lines[pos];
        for (long n = 1; n <= kinds; ++n) {
            std::int64_t p =
                hex(static_cast<std::size_t>(m.pos) + 2 + 8 * static_cast<std::size_t>(n - 1), 8);
            std::string last_sub;
            while (p != 0) {
                auto it = p > 0 ? lines.find(p) : lines.end();
                if (it == lines.end() || it->second.kind != n || it->second.key != key) {
                    faults.push_back("chain of \"" + key + "\" leads to " + std::to_string(p) +
                                     ", not a live detail of it");
                    break;
                }
                if (!chained.insert(p).second) {
                    faults.push_back("record " + std::to_string(p) + " in a chain twice");
                    break;
                }
                if (it->second.sub < last_sub)
                    faults.push_back("chain of \"" + key + "\" out of order at " +
                                     std::to_string(p));
                last_sub = it->second.sub;
                p = hex(static_cast<std::size_t>(p) + 2, 8);
            }
        }
    }
    for (const auto& [pos, l] : lines)
        if (l.kind > 0 && !chained.count(pos))
            faults.push_back("live detail at " + std::to_string(pos) + " in no chain");

    // The index, read through the tree's own operations.
    const std::string key_path = path + ".KEY";
    if (!fs::exists(key_path)) {
        faults.push_back("no index file");
        return faults;
    }
    if (btree_check(key_path.c_str(), [](const std::string&) {}) != 0) {
        faults.push_back("index structure unsound");
        return faults;
    }
    btree_ptr ix = btopen(key_path.c_str(), 0, 0);
    if (!ix) {
        faults.push_back("index cannot be opened");
        return faults;
    }
    std::map<std::string, std::int64_t> indexed;
    char buf[256];
    int klen = 0;
    std::int32_t value = 0;
    bool walked = btgoto(ix.get(), BT_PREVIOUS) == BT_OK;
    while (walked) {
        const int r = btravrs(ix.get(), BT_NEXT, buf, 255, &klen, &value);
        if (r == BT_END) break;
        walked = r == BT_OK;
        if (walked) indexed[std::string(buf, static_cast<std::size_t>(klen))] = value;
    }
    if (!walked) {
        faults.push_back("index cannot be walked");
        return faults;
    }
    for (const auto& [key, pos] : masters) {
        auto it = indexed.find(key);
        if (it == indexed.end())
            faults.push_back("live master \"" + key + "\" not in the index");
        else if (it->second != pos)
            faults.push_back("index names " + std::to_string(it->second) + " for \"" + key +
                             "\", the master is at " + std::to_string(pos));
        std::int32_t found = 0;
        if (it != indexed.end() &&
            (btfind(ix.get(), key.data(), static_cast<int>(key.size()), &found) != BT_OK ||
             found != pos))
            faults.push_back("index search misses \"" + key + "\"");
    }
    for (const auto& [key, pos] : indexed)
        if (!masters.count(key))
            faults.push_back("index key \"" + key + "\" without a live master");
    return faults;
}

// ---- the stored schedules ----------------------------------------------------------------

// Every schedule of a schedule file, "WS#NAME" -> its stored line records
// (text without trailing blanks), read with the keyed file layer. Empty
// optional when the file cannot be read through.
using Schedules = std::map<std::string, std::vector<std::string>>;

inline std::optional<Schedules> read_schedules(const std::string& path) {
    isam_ptr f;
    std::string msg;
    if (isam_open(&f, path.c_str(), nullptr, 1, 0, &msg) != ISAM_OK) return std::nullopt;
    const int mlen = isam_record_length(f.get(), 0);
    const int dlen = isam_record_length(f.get(), 1);
    const std::size_t width = static_cast<std::size_t>(isam_key_length(f.get(), 0)) / 2;
    std::vector<char> m(static_cast<std::size_t>(mlen));
    std::vector<char> d(static_cast<std::size_t>(dlen));
    auto trim = [](std::string s) {
        while (!s.empty() && s.back() == ' ')
            s.pop_back();
        return s;
    };
    Schedules out;
    for (int mode = ISAM_READ_FIRST;; mode = ISAM_READ_NEXT) {
        std::int16_t rc = isam_read(f.get(), m.data(), mode, nullptr, 0);
        if (rc == ISAM_E_NOT_FOUND) break;
        if (rc != ISAM_OK) return std::nullopt;
        const std::string id =
            trim(std::string(m.data(), width)) + "#" + trim(std::string(m.data() + width, width));
        std::vector<std::string>& text = out[id];
        for (int dm = ISAM_READ_FIRST;; dm = ISAM_READ_NEXT) {
            rc = isam_read(f.get(), d.data(), dm, nullptr, 1);
            if (rc == ISAM_E_NOT_FOUND) break;
            if (rc != ISAM_OK) return std::nullopt;
            text.push_back(trim(std::string(d.data() + 2 * width + 6, 128)));
        }
    }
    return out;
}

}  // namespace intr
