// Helpers for the message tests: a throw-away installation home with its own
// compiled catalogs, and running code in a child process with its standard
// output and standard error captured.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "utils/libs/issuemsg.h"
#include "utils/libs/stdutil.h"

namespace msgtest {

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A temporary home directory; catalogs are compiled into <home>/catalog.
class TempHome {
  public:
    TempHome() {
        char tmpl[] = "/tmp/korvex_msg_XXXXXX";
        const char* d = ::mkdtemp(tmpl);
        dir_ = d ? d : "";
    }
    ~TempHome() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::string& dir() const { return dir_; }

    // Compiles a gencat source into <home>/<subdir>/<name>.cat; true on success.
    bool add_catalog(const std::string& name, const std::string& source,
                     const std::string& subdir = "catalog") const {
        std::filesystem::create_directories(dir_ + "/" + subdir);
        const std::string src = dir_ + "/" + name + ".msg";
        {
            std::ofstream out(src, std::ios::binary);
            out << source;
        }
        const std::string cat = dir_ + "/" + subdir + "/" + name + ".cat";
        std::filesystem::remove(cat);
        const std::string cmd = "gencat '" + cat + "' '" + src + "' 2>/dev/null";
        return std::system(cmd.c_str()) == 0;
    }

  private:
    std::string dir_;
};

struct ChildResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs f in a forked child whose stdout and stderr go to files; the child
// ends with status 0 when f returns.
template <class F>
ChildResult run_in_child(F&& f) {
    ChildResult r;
    char out_path[] = "/tmp/korvex_msg_outXXXXXX";
    char err_path[] = "/tmp/korvex_msg_errXXXXXX";
    const int ofd = ::mkstemp(out_path);
    const int efd = ::mkstemp(err_path);
    if (ofd < 0 || efd < 0) return r;
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(ofd, 1);
        ::dup2(efd, 2);
        f();
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(0);
    }
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid) {
        if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) r.status = 128 + WTERMSIG(status);
    }
    ::close(ofd);
    ::close(efd);
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    ::unlink(out_path);
    ::unlink(err_path);
    return r;
}

// Forgets catalogs and the home directory around each test, and keeps the
// catalog search path out of the way unless a test sets it.
class MsgStateGuard {
  public:
    MsgStateGuard() {
        if (const char* p = std::getenv("NLSPATH")) saved_nlspath_ = p, had_nlspath_ = true;
        ::unsetenv("NLSPATH");
        msg_state_reset();
    }
    ~MsgStateGuard() {
        msg_state_reset();
        set_home_dir("");
        if (had_nlspath_) {
            ::setenv("NLSPATH", saved_nlspath_.c_str(), 1);
        } else {
            ::unsetenv("NLSPATH");
        }
    }

  private:
    std::string saved_nlspath_;
    bool had_nlspath_ = false;
};

// Splits captured output into its lines (without the line feeds).
inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::string cur;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
}

}  // namespace msgtest
