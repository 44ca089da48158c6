// End-to-end test fixture: a complete installation laid out in a temporary
// directory, and the programs of that installation run as real processes.
//
// Layout (root is a fresh directory below the system's temporary directory):
//
//   root/home/                 the installation's home directory
//   root/home/bin/             the programs, copied from the build tree
//                              (korvex, mastdb, mksecurity, kfutil: those
//                              that were built), so that each finds its home
//                              directory from its own path
//   root/home/catalog/         the compiled message catalogs (*.cat)
//   root/home/localopts        "thiscpu = ..." and "master = ..." lines
//   root/home/brantis/         the database directory, with "globalopts"
//   root/telvar/localopts      only with TreeOptions::telvar: the far
//   root/telvar/network/globalopts   options files (home/../telvar/...)
//   root/components            the component registry, when a group is
//                              given (TELVAR_COMPONENT_FILE points to it)
//
// Running a program: InstallTree::run starts a program of bin/ (or any
// path) with arguments, an environment, an optional standard input text and
// a working directory, collects standard output and standard error, and
// waits for it to end; a program still running at the timeout is killed and
// the result says so. InstallTree::start returns a Process that runs in the
// background, for tests that need two programs at once; Process::wait
// collects it. Standard input is /dev/null unless a text is given.
//
// Talking to a program while it runs: with RunOptions::keep_input_open its
// standard input stays open after the text; Process::send writes more and
// Process::close_input ends it (wait ends it too). Process::read_until reads
// standard output until a text appears in it; what was read stays part of
// the output that wait returns.
//
// Locks: lock_waiters counts the processes waiting for a record lock on a
// file (from /proc/locks), so that a test knows a program is stopped at a
// lock; Process::running tells whether the program has ended.
//
// The environment of a run is the test's own, less the variables that switch
// the programs into test or debug modes (kScrubbedEnv), plus the tree's
// TELVAR_COMPONENT_FILE, plus RunOptions::env; RunOptions::unset_env removes
// more.
//
// The tree is removed when the InstallTree goes, unless the environment
// variable KORVEX_E2E_KEEP is set (its path is then printed, for a look
// after a failure). The fixture ignores SIGPIPE in the test process, so that
// a program that exits without reading all its input does not end the test.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;

// Whether this build runs under the address sanitizer: long walks and soaks
// take fewer rounds there.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

// Variables that put the programs into test or debug modes; a run does not
// inherit them from the test's environment (RunOptions::env may set them).
inline const std::vector<std::string> kScrubbedEnv = {
    "CCCTEST", "DSTEST",      "SCHDEBUG",      "TELDATESTRIP", "TELVAR_COMPONENT_FILE",
    "TEMP",    "VORTANLINES", "VORTANCOLUMNS", "LINES",        "COLUMNS",
};

// What a run gave.
struct RunResult {
    int status = -1;         // exit status; -1 when the program did not exit by itself
    int signal = 0;          // the signal that ended it, 0 when it exited
    bool timed_out = false;  // killed at the timeout
    std::string out;         // standard output
    std::string err;         // standard error
    double seconds = 0;      // from start to end

    bool exited(int code) const { return !timed_out && signal == 0 && status == code; }
    // Both streams, for failure messages.
    std::string both() const { return "--- stdout:\n" + out + "--- stderr:\n" + err; }
};

struct RunOptions {
    std::vector<std::pair<std::string, std::string>> env;  // set or replaced
    std::vector<std::string> unset_env;                    // removed
    std::optional<std::string> input;                      // standard input text
    bool keep_input_open = false;  // a pipe that stays open after the text (Process::send)
    std::string cwd;               // empty: the tree's home
    std::chrono::milliseconds timeout{60000};
};

// A program started in the background. Move-only; a Process that was never
// waited for is killed when it goes.
class Process {
  public:
    Process() = default;
    Process(Process&& o) noexcept { *this = std::move(o); }
    Process& operator=(Process&& o) noexcept {
        if (this != &o) {
            discard();
            pid_ = std::exchange(o.pid_, -1);
            in_fd_ = std::exchange(o.in_fd_, -1);
            out_fd_ = std::exchange(o.out_fd_, -1);
            err_fd_ = std::exchange(o.err_fd_, -1);
            input_ = std::move(o.input_);
            written_ = o.written_;
            out_ = std::move(o.out_);
            err_ = std::move(o.err_);
            timeout_ = o.timeout_;
            started_ = o.started_;
        }
        return *this;
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process() { discard(); }

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }

    // True while the program has not ended (it is not collected).
    bool running() const {
        if (pid_ <= 0) return false;
        siginfo_t info{};
        return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == 0;
    }

    // Sends a signal to the program (0 when it was sent).
    int send_signal(int sig) const { return pid_ > 0 ? ::kill(pid_, sig) : -1; }

    // Writes more standard input (RunOptions::keep_input_open), waiting
    // while the pipe is full. False when the program closed its input or the
    // input was closed already.
    bool send(const std::string& text) {
        if (in_fd_ < 0) return false;
        input_ += text;
        while (written_ < input_.size()) {
            const ssize_t n = ::write(in_fd_, input_.data() + written_, input_.size() - written_);
            if (n > 0) {
                written_ += static_cast<std::size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{in_fd_, POLLOUT, 0};
                ::poll(&p, 1, 100);
            } else {
                return false;
            }
        }
        return true;
    }

    // Ends the standard input.
    void close_input() { close_fd(&in_fd_); }

    // Reads standard output (and standard error, so that neither pipe fills)
    // until the output holds part; false at the timeout or when the output
    // closed without it.
    bool read_until(const std::string& part, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out_.find(part) == std::string::npos) {
            if (out_fd_ < 0) return false;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd fds[2];
            nfds_t n = 0;
            fds[n++] = pollfd{out_fd_, POLLIN, 0};
            if (err_fd_ >= 0) fds[n++] = pollfd{err_fd_, POLLIN, 0};
            if (::poll(fds, n, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
            if (fds[0].revents != 0) drain(&out_fd_, &out_);
            if (n > 1 && fds[1].revents != 0) drain(&err_fd_, &err_);
        }
        return true;
    }

    // Feeds the input, collects both streams until they close and waits for
    // the program to end; at the timeout (counted from the start) it is
    // killed.
    RunResult wait() {
        RunResult r;
        if (pid_ <= 0) {
            r.err = "the program was not started\n";
            return r;
        }
        r.out = std::exchange(out_, {});
        r.err = std::exchange(err_, {});
        const auto deadline = started_ + timeout_;
        while (out_fd_ >= 0 || err_fd_ >= 0 || in_fd_ >= 0) {
            pollfd fds[3];
            int n = 0;
            auto add = [&](int fd, short events) {
                if (fd >= 0) fds[n++] = pollfd{fd, events, 0};
            };
            add(out_fd_, POLLIN);
            add(err_fd_, POLLIN);
            add(in_fd_, POLLOUT);
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                ::kill(pid_, SIGKILL);
                r.timed_out = true;
                close_fd(&in_fd_);
                close_fd(&out_fd_);
                close_fd(&err_fd_);
                break;
            }
            const int ready = ::poll(fds, static_cast<nfds_t>(n), static_cast<int>(left.count()));
            if (ready < 0 && errno != EINTR) break;
            for (int i = 0; i < n && ready > 0; ++i) {
                if (fds[i].revents == 0) continue;
                if (fds[i].fd == in_fd_) {
                    feed_input();
                } else {
                    drain(fds[i].fd == out_fd_ ? &out_fd_ : &err_fd_,
                          fds[i].fd == out_fd_ ? &r.out : &r.err);
                }
            }
        }
        int st = 0;
        while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
        }
        r.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
        if (WIFSIGNALED(st)) r.signal = WTERMSIG(st);
        pid_ = -1;
        return r;
    }

  private:
    friend class InstallTree;

    static void close_fd(int* fd) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }

    void feed_input() {
        while (written_ < input_.size()) {
            const ssize_t n = ::write(in_fd_, input_.data() + written_, input_.size() - written_);
            if (n > 0) {
                written_ += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EAGAIN) return;
            break;  // the program closed its input
        }
        close_fd(&in_fd_);
    }

    static void drain(int* fd, std::string* into) {
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(*fd, buf, sizeof buf);
            if (n > 0) {
                into->append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
            close_fd(fd);
            return;
        }
    }

    void discard() {
        close_fd(&in_fd_);
        close_fd(&out_fd_);
        close_fd(&err_fd_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int st = 0;
            while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
            }
            pid_ = -1;
        }
    }

    pid_t pid_ = -1;
    int in_fd_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string input_;
    std::size_t written_ = 0;
    std::string out_;  // read before wait (read_until)
    std::string err_;
    std::chrono::milliseconds timeout_{60000};
    std::chrono::steady_clock::time_point started_;
};

struct TreeOptions {
    std::string thiscpu = "MASTER";
    std::string master = "MASTER";
    std::string localopts_extra;                          // appended to localopts
    std::string globalopts = "company = KORVEX tests\n";  // brantis/globalopts
    bool telvar = false;                                  // lay out root/telvar/ too
    std::string telvar_localopts;                         // its localopts text
    std::string telvar_globalopts;                        // its network/globalopts text
    std::string component_group = "e2e";                  // empty: no component registry
    std::vector<std::string> programs = {"korvex", "mastdb", "mksecurity", "kfutil"};
    std::string build_dir = KORVEX_BUILD_DIR;  // where bin/ and catalog/ come from
};

class InstallTree {
  public:
    explicit InstallTree(TreeOptions options = {}) : options_(std::move(options)) {
        std::random_device rd;
        root_ = fs::temp_directory_path() /
                ("korvex-e2e-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        home_ = root_ / "home";
        fs::create_directories(home_ / "bin");
        fs::create_directories(home_ / "catalog");
        fs::create_directories(home_ / "brantis");
        const fs::path build(options_.build_dir);
        for (const std::string& p : options_.programs) {
            const fs::path from = build / "bin" / p;
            std::error_code ec;
            if (fs::is_regular_file(from, ec))
                fs::copy_file(from, home_ / "bin" / p, fs::copy_options::overwrite_existing);
        }
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(build / "catalog", ec)) {
            if (e.path().extension() == ".cat")
                fs::copy_file(e.path(), home_ / "catalog" / e.path().filename(),
                              fs::copy_options::overwrite_existing);
        }
        set_workstations(options_.thiscpu, options_.master);
        write("brantis/globalopts", options_.globalopts);
        if (options_.telvar) {
            fs::create_directories(root_ / "telvar" / "network");
            write_at(root_ / "telvar" / "localopts", options_.telvar_localopts);
            write_at(root_ / "telvar" / "network" / "globalopts", options_.telvar_globalopts);
        }
        if (!options_.component_group.empty()) {
            write_at(root_ / "components",
                     "VORTAN\t6.0\t" + home_.string() + "\t" + options_.component_group + "\n");
        }
        // A program that stops reading its input must not end the test.
        ::signal(SIGPIPE, SIG_IGN);
    }

    ~InstallTree() {
        if (std::getenv("KORVEX_E2E_KEEP") != nullptr) {
            std::fprintf(stderr, "e2e: installation tree kept in %s\n", root_.c_str());
            return;
        }
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    InstallTree(const InstallTree&) = delete;
    InstallTree& operator=(const InstallTree&) = delete;

    const fs::path& root() const { return root_; }
    const fs::path& home() const { return home_; }
    fs::path bin() const { return home_ / "bin"; }
    fs::path brantis() const { return home_ / "brantis"; }
    fs::path telvar() const { return root_ / "telvar"; }
    // A path below the home directory.
    fs::path path(const std::string& rel) const { return home_ / rel; }
    // A file of the database directory.
    std::string db_file(const std::string& name) const { return (brantis() / name).string(); }

    bool has_program(const std::string& name) const {
        std::error_code ec;
        return fs::is_regular_file(bin() / name, ec);
    }

    // Files below the home directory (a relative path) or anywhere (absolute).
    void write(const std::string& rel, const std::string& data) const {
        write_at(resolve(rel), data);
    }
    std::string read(const std::string& rel) const {
        std::ifstream in(resolve(rel), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool exists(const std::string& rel) const {
        std::error_code ec;
        return fs::exists(resolve(rel), ec);
    }
    void remove(const std::string& rel) const {
        std::error_code ec;
        fs::remove_all(resolve(rel), ec);
    }

    // Rewrites localopts with this workstation's and the master's names
    // (an empty name leaves its line out) and the extra lines.
    void set_workstations(const std::string& thiscpu, const std::string& master) {
        std::string text;
        if (!thiscpu.empty()) text += "thiscpu = " + thiscpu + "\n";
        if (!master.empty()) text += "master = " + master + "\n";
        write("localopts", text + options_.localopts_extra);
    }

    // Starts a program: a name of bin/ or a path with a '/'.
    Process start(const std::string& program, const std::vector<std::string>& args,
                  const RunOptions& options = {}) const {
        const std::string exe =
            program.find('/') == std::string::npos ? (bin() / program).string() : program;
        std::vector<std::string> argv_s;
        argv_s.push_back(exe);
        argv_s.insert(argv_s.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : argv_s)
            argv.push_back(a.data());
        argv.push_back(nullptr);

        std::vector<std::string> env_s = environment(options);
        std::vector<char*> envp;
        for (std::string& e : env_s)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        const std::string cwd = options.cwd.empty() ? home_.string() : options.cwd;

        Process p;
        p.timeout_ = options.timeout;
        int in_pipe[2] = {-1, -1};
        int out_pipe[2] = {-1, -1};
        int err_pipe[2] = {-1, -1};
        int null_fd = -1;
        bool ok = ::pipe2(out_pipe, O_CLOEXEC) == 0 && ::pipe2(err_pipe, O_CLOEXEC) == 0;
        const bool piped_input = options.input || options.keep_input_open;
        if (ok && piped_input) {
            ok = ::pipe2(in_pipe, O_CLOEXEC) == 0;
        } else if (ok) {
            null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            ok = null_fd >= 0;
        }
        if (!ok) {
            for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0],
                           err_pipe[1], null_fd})
                if (fd >= 0) ::close(fd);
            return p;
        }
        p.started_ = std::chrono::steady_clock::now();
        const pid_t pid = ::fork();
        if (pid == 0) {
            // Only async-signal-safe calls from here on.
            ::signal(SIGPIPE, SIG_DFL);
            ::dup2(piped_input ? in_pipe[0] : null_fd, 0);
            ::dup2(out_pipe[1], 1);
            ::dup2(err_pipe[1], 2);
            if (::chdir(cwd.c_str()) != 0) {
                static const char msg[] = "e2e: cannot change to the working directory\n";
                (void)!::write(2, msg, sizeof msg - 1);
                ::_exit(127);
            }
            ::execve(exe.c_str(), argv.data(), envp.data());
            static const char msg[] = "e2e: cannot start the program\n";
            (void)!::write(2, msg, sizeof msg - 1);
            ::_exit(127);
        }
        for (int fd : {in_pipe[0], out_pipe[1], err_pipe[1], null_fd})
            if (fd >= 0) ::close(fd);
        if (pid < 0) {
            for (int fd : {in_pipe[1], out_pipe[0], err_pipe[0]})
                if (fd >= 0) ::close(fd);
            return p;
        }
        p.pid_ = pid;
        p.out_fd_ = out_pipe[0];
        p.err_fd_ = err_pipe[0];
        p.in_fd_ = in_pipe[1];
        for (int fd : {p.out_fd_, p.err_fd_, p.in_fd_})
            if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        if (options.input) p.input_ = *options.input;
        if (options.keep_input_open) p.send("");
        return p;
    }

    // Runs a program to its end.
    RunResult run(const std::string& program, const std::vector<std::string>& args,
                  const RunOptions& options = {}) const {
        return start(program, args, options).wait();
    }

  private:
    fs::path resolve(const std::string& rel) const {
        const fs::path p(rel);
        return p.is_absolute() ? p : home_ / p;
    }

    static void write_at(const fs::path& path, const std::string& data) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
    }

    std::vector<std::string> environment(const RunOptions& options) const {
        std::map<std::string, std::string> env;
        for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
            const std::string entry(*e);
            const std::size_t eq = entry.find('=');
            if (eq == std::string::npos) continue;
            env[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
        for (const std::string& name : kScrubbedEnv)
            env.erase(name);
        if (!options_.component_group.empty())
            env["TELVAR_COMPONENT_FILE"] = (root_ / "components").string();
        for (const std::string& name : options.unset_env)
            env.erase(name);
        for (const auto& [name, value] : options.env)
            env[name] = value;
        std::vector<std::string> out;
        for (const auto& [name, value] : env)
            out.push_back(name + "=" + value);
        return out;
    }

    TreeOptions options_;
    fs::path root_;
    fs::path home_;
};

// The number of processes waiting for a record lock on the file (lines of
// /proc/locks that name its device and inode behind "->"); -1 when the file
// or /proc/locks cannot be read.
inline int lock_waiters(const fs::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return -1;
    char id[64];
    std::snprintf(id, sizeof id, " %02x:%02x:%llu ", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    if (!locks) return -1;
    int waiters = 0;
    for (std::string line; std::getline(locks, line);)
        if (line.find(" -> ") != std::string::npos && line.find(id) != std::string::npos) ++waiters;
    return waiters;
}

}  // namespace e2e
