// Helpers for the keyed-file utility tests: a scratch directory, the real
// kfutil program run with its output captured, a kfutil batch kept running
// on pipes, and small file edits for damaging files on purpose.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace kftest {

inline const std::string kProgram = KORVEX_BUILD_DIR "/bin/kfutil";

// Any run longer than this is a hang: the program is killed by its alarm.
constexpr unsigned kTimeoutSeconds = 60;

class TempDir {
  public:
    TempDir() {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path() /
                ("korvex-kf-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// Overwrites bytes of a file in place.
inline void patch_file(const std::string& path, std::int64_t offset, const std::string& bytes) {
    std::string data = read_file(path);
    ASSERT_LE(offset + static_cast<std::int64_t>(bytes.size()),
              static_cast<std::int64_t>(data.size()));
    data.replace(static_cast<std::size_t>(offset), bytes.size(), bytes);
    write_file(path, data);
}

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

inline bool contains(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

struct RunResult {
    int status = -1;  // exit status, or 128 + signal when the program was killed
    std::string out;
    std::string err;
    // Killed by a signal (the alarm of a hang among them), or stopped by a
    // sanitizer, which exits with status 1 like a failure would.
    bool crashed() const {
        return status >= 128 || contains(err, "Sanitizer") || contains(err, "runtime error:");
    }
};

inline std::ostream& operator<<(std::ostream& os, const RunResult& r) {
    return os << "status " << r.status << "\n--- stdout\n" << r.out << "--- stderr\n" << r.err;
}

// Runs kfutil with the arguments, the input on standard input, and captures
// both outputs. The child's alarm ends a run that hangs.
inline RunResult run_kfutil(const std::vector<std::string>& args, const std::string& input = "") {
    TempDir io;
    const std::string in = io.file("in"), out = io.file("out"), err = io.file("err");
    write_file(in, input);
    std::vector<std::string> argv_s{kProgram};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fi = open(in.c_str(), O_RDONLY);
        const int fo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int fe = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fi < 0 || fo < 0 || fe < 0) _exit(127);
        dup2(fi, 0);
        dup2(fo, 1);
        dup2(fe, 2);
        alarm(kTimeoutSeconds);
        execv(argv[0], argv.data());
        _exit(127);
    }
    RunResult r;
    int ws = 0;
    if (pid > 0 && waitpid(pid, &ws, 0) == pid)
        r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    r.out = read_file(out);
    r.err = read_file(err);
    EXPECT_FALSE(r.crashed()) << r;
    return r;
}

// A "kfutil batch" kept running: operations are sent one at a time and each
// result line is read back.
class BatchProcess {
  public:
    explicit BatchProcess(const std::string& path) {
        int to_child[2], from_child[2];
        // Close-on-exec, so that another batch started later does not keep
        // this one's input open.
        if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0) return;
        std::fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(to_child[0], 0);
            dup2(from_child[1], 1);
            close(to_child[0]);
            close(to_child[1]);
            close(from_child[0]);
            close(from_child[1]);
            alarm(kTimeoutSeconds);
            execl(kProgram.c_str(), kProgram.c_str(), "batch", path.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(to_child[0]);
        close(from_child[1]);
        in_ = to_child[1];
        out_ = from_child[0];
    }
    ~BatchProcess() { finish(); }
    BatchProcess(const BatchProcess&) = delete;
    BatchProcess& operator=(const BatchProcess&) = delete;

    void send(const std::string& line) {
        const std::string l = line + "\n";
        ASSERT_EQ(write(in_, l.data(), l.size()), static_cast<ssize_t>(l.size()));
    }
    // The next result line, or "<timeout>" when none came within timeout_ms
    // (or "<eof>" when the program ended).
    std::string result(int timeout_ms = kTimeoutSeconds * 1000) {
        for (;;) {
            const std::size_t nl = pending_.find('\n');
            if (nl != std::string::npos) {
                std::string line = pending_.substr(0, nl);
                pending_.erase(0, nl + 1);
                return line;
            }
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, timeout_ms) <= 0) return "<timeout>";
            char buf[512];
            const ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0) return "<eof>";
            pending_.append(buf, static_cast<std::size_t>(n));
        }
    }
    std::string ask(const std::string& line) {
        send(line);
        return result();
    }
    // Closes the input and returns the exit status.
    int finish() {
        if (pid_ <= 0) return status_;
        if (in_ >= 0) close(in_);
        in_ = -1;
        int ws = 0;
        if (waitpid(pid_, &ws, 0) == pid_)
            status_ = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
        if (out_ >= 0) close(out_);
        out_ = -1;
        pid_ = -1;
        return status_;
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int status_ = -1;
    std::string pending_;
};

// Record positions and types from "kfutil dump": one entry per record line.
struct DumpLine {
    std::int64_t pos;
    std::string type;
};

inline std::vector<DumpLine> dump_records(const std::string& path) {
    const RunResult r = run_kfutil({"dump", path});
    EXPECT_EQ(r.status, 0) << r;
    std::vector<DumpLine> recs;
    for (const std::string& l : lines_of(r.out)) {
        if (l.size() < 11 || l[8] != ' ') continue;
        if (l.find_first_not_of("0123456789ABCDEF") != 8) continue;
        const std::size_t sp = l.find(' ', 9);
        recs.push_back({std::stoll(l.substr(0, 8), nullptr, 16), l.substr(9, sp - 9)});
    }
    return recs;
}

inline std::string hex8(std::int64_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08llX", static_cast<unsigned long long>(v));
    return buf;
}

}  // namespace kftest
