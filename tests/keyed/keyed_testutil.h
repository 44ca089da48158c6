// Scratch directories, layouts, record images and child processes for the
// keyed file tests.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>

#include "utils/libs/isamacc.h"

namespace keyed_test {

class ScratchDir {
  public:
    ScratchDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "korvex-keyed-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void spit(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline void patch(const std::string& path, std::size_t offset, const std::string& bytes) {
    std::string s = slurp(path);
    s.replace(offset, bytes.size(), bytes);
    spit(path, s);
}

inline std::string pad(const std::string& s, std::size_t width) {
    std::string r = s.substr(0, width);
    r.resize(width, ' ');
    return r;
}

// The short schedule layout: masters of 82 bytes keyed by 16, text lines of
// 182 bytes with a 6-byte line number at 16.
inline isam_file_desc sched_desc() {
    isam_file_desc d;
    d.name = "mastsked";
    d.kinds = 1;
    d.slots[0] = {82, 0, 16};
    d.slots[1] = {182, 16, 6};
    return d;
}

inline std::string sched_master(const std::string& ws, const std::string& name,
                                const std::string& text = "") {
    return pad(ws, 8) + pad(name, 8) + pad(text, 66);
}

inline std::string sched_line(const std::string& ws, const std::string& name, int number,
                              const std::string& text) {
    char num[16];
    std::snprintf(num, sizeof num, "%6d", number);
    return pad(ws, 8) + pad(name, 8) + num + pad(text, 160);
}

// A layout with two detail kinds: masters of 20 bytes keyed by 8; kind 1 of
// 16 bytes with a 4-byte sub-key at 8; kind 2 of 12 bytes without sub-key.
inline isam_file_desc two_kind_desc() {
    isam_file_desc d;
    d.name = "twokinds";
    d.kinds = 2;
    d.slots[0] = {20, 0, 8};
    d.slots[1] = {16, 8, 4};
    d.slots[2] = {12, 8, 0};
    return d;
}

inline std::string tk_master(const std::string& key, const std::string& text = "") {
    return pad(key, 8) + pad(text, 12);
}
inline std::string tk_one(const std::string& key, const std::string& sub,
                          const std::string& text = "") {
    return pad(key, 8) + pad(sub, 4) + pad(text, 4);
}
inline std::string tk_two(const std::string& key, const std::string& text) {
    return pad(key, 8) + pad(text, 4);
}

// Opens with the description, creating the file when it is missing.
inline isam_ptr create_file(const std::string& path, isam_file_desc d, int access = 1) {
    isam_ptr h;
    std::string msg;
    EXPECT_EQ(isam_open(&h, path.c_str(), &d, access, ISAM_OPEN_CREATE, &msg), 0) << msg;
    return h;
}

inline isam_ptr open_file(const std::string& path, int access = 1) {
    isam_ptr h;
    std::string msg;
    EXPECT_EQ(isam_open(&h, path.c_str(), nullptr, access, 0, &msg), 0) << msg;
    return h;
}

// Reads one record of the slot; the code, and the record in *out.
inline int read_rec(isam_handle* h, int slot, int mode, const std::string& key, std::string* out) {
    std::string buf(static_cast<std::size_t>(std::max(isam_record_length(h, slot), 1)), '\0');
    int c = isam_read(h, buf.data(), mode, key.c_str(), slot);
    if (out) *out = c == 0 ? buf : std::string();
    return c;
}

inline int add_rec(isam_handle* h, int slot, const std::string& rec) {
    return isam_add(h, rec.data(), slot);
}

// Every detail of the current master's chain n, read with modes 0 and 1.
inline std::vector<std::string> chain(isam_handle* h, int n) {
    std::vector<std::string> out;
    std::string rec;
    for (int c = read_rec(h, n, 0, "", &rec); c == 0; c = read_rec(h, n, 1, "", &rec))
        out.push_back(rec);
    return out;
}

// ---- child processes -------------------------------------------------------

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

// A forked child running one function; it talks to the parent through two
// pipes, and an alarm ends it if it gets stuck.
class Child {
  public:
    explicit Child(const std::function<int(int up, int down)>& body, unsigned alarm_seconds = 10) {
        int up[2], down[2];
        if (::pipe(up) != 0 || ::pipe(down) != 0) return;
        std::fflush(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::alarm(alarm_seconds);
            ::close(up[0]);
            ::close(down[1]);
            ::_exit(body(up[1], down[0]));
        }
        ::close(up[1]);
        ::close(down[0]);
        from_ = up[0];
        to_ = down[1];
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
        if (from_ >= 0) ::close(from_);
        if (to_ >= 0) ::close(to_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }
    // The next byte the child sends, or -1 after timeout_ms.
    int expect(int timeout_ms = 5000) { return read_byte(from_, timeout_ms); }
    void tell(char c) { send_byte(to_, c); }
    // Exit status, or 128 + signal.
    int wait() {
        if (reaped_) return status_;
        int st = 0;
        while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return status_;
    }

  private:
    pid_t pid_ = -1;
    int from_ = -1;
    int to_ = -1;
    bool reaped_ = false;
    int status_ = -1;
};

}  // namespace keyed_test
