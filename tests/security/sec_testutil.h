// Helpers for the security tests: scratch directories, Security files built
// byte by byte, contexts for a chosen user, and the real mksecurity program.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "utils/libs/security.h"

namespace sectest {

inline const std::string kMksecurity = KORVEX_BUILD_DIR "/bin/mksecurity";
inline const std::string kVectors = KORVEX_VECTORS_DIR "/security";

class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "korvex-sec-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes a new file in place of any old one (truncating a file that holds
// data is slow on some file systems, and the tests rewrite files often).
inline void write_file(const std::string& path, const std::string& data) {
    ::unlink(path.c_str());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// ---------------------------------------------------------------------------
// Plain record data

inline std::string lit(const std::string& text) {
    return std::string(1, static_cast<char>(text.size())) + text;
}
inline std::string var(int code) {
    return std::string{static_cast<char>(0xFF), static_cast<char>(code)};
}
// A condition: separator, attribute and values (each from lit or var).
inline std::string cond(char sep, int attribute, std::initializer_list<std::string> values) {
    std::string out{sep, static_cast<char>(attribute)};
    bool first = true;
    for (const std::string& v : values) {
        if (!first) out += ',';
        first = false;
        out += v;
    }
    return out;
}
inline std::string actions(std::initializer_list<int> codes) {
    std::string out = "=";
    for (int c : codes)
        out += static_cast<char>(c);
    return out;
}

// ---------------------------------------------------------------------------
// Files built byte by byte

inline std::string hex4(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", v & 0xFFFFu);
    return buf;
}

inline std::string header_line() {
    return std::string("SF  0001") + std::string(20, ' ') + "\n";
}

struct Rec {
    int type;
    std::string plain;
};

inline Rec user(const std::string& plain) {
    return {SEC_OBJ_USER, plain};
}
inline Rec begin() {
    return {SEC_OBJ_BEGIN, ""};
}
inline Rec end() {
    return {SEC_OBJ_END, ""};
}
inline Rec file_rule(const std::string& plain) {
    return {SEC_OBJ_FILE, plain};
}

// One record, scrambled with the key; `checksum_delta` spoils the checksum.
inline std::string record(const std::string& key, const Rec& r, unsigned checksum_delta = 0) {
    std::string data = r.plain;
    const unsigned sum =
        scramble_record(key, reinterpret_cast<std::uint8_t*>(data.data()), data.size());
    return hex4(static_cast<unsigned>(9 + data.size())) + hex4(sum + checksum_delta) +
           static_cast<char>(r.type) + data;
}

inline std::string block(const std::string& name, const std::vector<Rec>& records) {
    const std::string key = security_block_key(name);
    std::string body;
    for (const Rec& r : records)
        body += record(key, r);
    std::string padded = name;
    padded.resize(36, ' ');
    return hex4(static_cast<unsigned>(45 + body.size())) + "0000" + static_cast<char>(10) + padded +
           body;
}

// ---------------------------------------------------------------------------
// Contexts

struct Check {
    bool allowed;
    int reason;
};

struct Session {
    std::unique_ptr<SecurityContext> ctx;

    Session(const std::string& file, const std::string& user_name, const std::string& this_cpu,
            const std::string& master, bool super_user = false, unsigned flags = 0,
            bool long_names = false) {
        UserIdentity u;
        u.full_name = user_name;
        u.short_name = short_user_name(user_name);
        u.super_user = super_user;
        SecurityOpenOptions o;
        o.identity_flags = flags;
        o.long_names = long_names;
        o.this_cpu = this_cpu;
        o.master = master;
        o.user = &u;
        o.file = file;
        std::string err;
        ctx = open_security(o, err);
    }
    Check check(int action, int type, const char* name) {
        const bool allowed = check_access(ctx.get(), action, type, name);
        return {allowed, security_error(ctx.get()).reason};
    }
};

// One access check against a file in a new context.
inline Check check_once(const std::string& file, const std::string& user_name, int action,
                        const char* name, const std::string& cpu = "CPU1",
                        const std::string& master = "CPU1") {
    Session s(file, user_name, cpu, master);
    return s.check(action, SEC_OBJ_FILE, name);
}

inline void expect_check(const Check& c, bool allowed, int reason) {
    EXPECT_EQ(c.allowed, allowed);
    EXPECT_EQ(c.reason, reason);
}

// ---------------------------------------------------------------------------
// The real program

struct RunResult {
    int status = -1;  // exit status, -1 when it did not exit normally
    std::string out;
    std::string err;
};

inline RunResult run_program(const std::string& program, const std::vector<std::string>& args) {
    RunResult r;
    TempDir io;
    const std::string out_path = io.file("out");
    const std::string err_path = io.file("err");
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = ::open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0) ::_exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::alarm(60);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        r.status = WEXITSTATUS(status);
    }
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    return r;
}

inline RunResult mksecurity(const std::vector<std::string>& args) {
    return run_program(kMksecurity, args);
}

}  // namespace sectest
