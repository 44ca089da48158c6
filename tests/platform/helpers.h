// Scratch directories and child processes for the platform tests.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace testing_platform {

// A fresh directory that is removed with everything in it at the end.
class ScratchDir {
  public:
    ScratchDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "korvex-plat-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool ok() const { return !path_.empty(); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Waits up to timeout_ms for a byte on fd; the byte, or -1 on time-out or end.
inline int read_byte(int fd, int timeout_ms) {
    struct pollfd p = {fd, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) return -1;
    unsigned char c;
    return ::read(fd, &c, 1) == 1 ? c : -1;
}

inline void send_byte(int fd, char c) {
    ssize_t r;
    do {
        r = ::write(fd, &c, 1);
    } while (r < 0 && errno == EINTR);
}

// A forked child that runs one function and exits with its result. The child
// talks to the parent through two pipes; an alarm ends it if it gets stuck.
class Child {
  public:
    // body(to_parent, from_parent) returns the child's exit status.
    explicit Child(const std::function<int(int, int)>& body, unsigned alarm_seconds = 3) {
        int up[2], down[2];
        if (::pipe(up) != 0) return;
        if (::pipe(down) != 0) {
            ::close(up[0]);
            ::close(up[1]);
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::alarm(alarm_seconds);
            ::close(up[0]);
            ::close(down[1]);
            ::_exit(body(up[1], down[0]));
        }
        ::close(up[1]);
        ::close(down[0]);
        from_child_ = up[0];
        to_child_ = down[1];
    }
    ~Child() {
        if (pid_ > 0) wait(0);
        if (from_child_ >= 0) ::close(from_child_);
        if (to_child_ >= 0) ::close(to_child_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }
    int from_child() const { return from_child_; }
    int to_child() const { return to_child_; }

    // The child's exit status; 128 + signal when it was killed, -1 when it
    // had not ended after timeout_ms (it is killed then).
    int wait(int timeout_ms = 4000) {
        if (pid_ <= 0) return -1;
        int status = 0;
        for (int waited = 0;; waited += 5) {
            pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) break;
            if (r < 0 && errno != EINTR) return -1;
            if (waited >= timeout_ms) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                pid_ = -1;
                return -1;
            }
            struct timespec ts = {0, 5 * 1000 * 1000};
            ::nanosleep(&ts, nullptr);
        }
        pid_ = -1;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    }

  private:
    pid_t pid_ = -1;
    int from_child_ = -1;
    int to_child_ = -1;
};

}  // namespace testing_platform
