#include "utils/libs/termio.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
}

std::string read_all(int fd) {
    std::string out;
    char buf[512];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

// Asks one question and describes the outcome as "rc:answer".
std::string ask(const char* prompt, const char* dflt, int size = 256) {
    std::vector<char> buf(static_cast<std::size_t>(size) + 8, '#');
    const int rc = term_ask(prompt, dflt, size, buf.data());
    std::string out = std::to_string(rc);
    if (rc >= 0) out += ":" + std::string(buf.data());
    // Nothing may be written past the buffer the caller named.
    if (buf[static_cast<std::size_t>(size)] != '#') out += "!overrun";
    return out;
}

class TermTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/termio_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        term_reset();
        (void)!system(("rm -rf " + dir_).c_str());
    }

    struct ChildRun {
        std::string result;  // what the body returned
        std::string err;     // what the child wrote to standard error
        int status = -1;
    };

    // Runs body in a child process whose standard input reads `input` from a
    // pipe (no input: descriptor 0 closed) and whose standard error is kept.
    ChildRun run_child(const std::optional<std::string>& input,
                       const std::function<std::string()>& body) {
        const std::string err_path = dir_ + "/stderr";
        int in_pipe[2];
        int res_pipe[2];
        EXPECT_EQ(pipe(in_pipe), 0);
        EXPECT_EQ(pipe(res_pipe), 0);
        if (input) {
            EXPECT_EQ(write(in_pipe[1], input->data(), input->size()),
                      static_cast<ssize_t>(input->size()));
        }
        close(in_pipe[1]);

        const pid_t pid = fork();
        if (pid == 0) {
            close(res_pipe[0]);
            if (input) {
                dup2(in_pipe[0], 0);
            } else {
                close(0);
            }
            close(in_pipe[0]);
            const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(err, 2);
            close(err);
            term_reset();
            const std::string r = body();
            (void)!write(res_pipe[1], r.data(), r.size());
            _exit(0);
        }
        close(in_pipe[0]);
        close(res_pipe[1]);
        ChildRun run;
        run.result = read_all(res_pipe[0]);
        close(res_pipe[0]);
        waitpid(pid, &run.status, 0);
        run.err = read_file(err_path);
        return run;
    }

    std::string dir_;
};

}  // namespace

TEST_F(TermTest, AnswersFromPipe) {
    const auto run = run_child(std::string("  yes  \n\n   \nlast"), [] {
        std::string r = std::to_string(term_open(false, nullptr, false, nullptr, 256, 0));
        r += "|" + std::to_string(term_mode());
        r += "|" + ask("Q? ", nullptr);
        r += "|" + ask("Q? ", "dflt");   // empty line: the default
        r += "|" + ask("Q? ", nullptr);  // blanks only, no default
        r += "|" + ask("Q? ", "x");      // last line without a line feed
        r += "|" + ask("Q? ", "x");      // end of input
        return r;
    });
    EXPECT_EQ(run.result, "0|0|5:  yes|4:dflt|0:|4:last|-4");
    // Each answer is echoed as read; end of input echoes nothing.
    EXPECT_EQ(run.err, "Q?   yes  \nQ? \nQ?    \nQ? last\nQ? ");
}

TEST_F(TermTest, AnswersFromFile) {
    const std::string in = dir_ + "/answers";
    const std::string out = dir_ + "/dialogue";
    write_file(in, "first\nsecond\n");
    const auto run = run_child(std::string("never read\n"), [&] {
        std::string r = std::to_string(term_open(false, in.c_str(), false, nullptr, 255, 0));
        r += "|" + ask("A> ", nullptr);
        term_write("note", true);
        // A new channel on the same file with its own output file.
        r += "|" + std::to_string(term_open(false, in.c_str(), false, out.c_str(), 255, 0));
        for (int i = 0; i < 3; ++i)
            r += "|" + ask("B> ", nullptr);
        term_close();
        return r;
    });
    EXPECT_EQ(run.result, "0|5:first|0|5:first|6:second|-4");
    EXPECT_EQ(run.err, "A> first\nnote\n");
    EXPECT_EQ(read_file(out), "B> first\nB> second\nB> ");
}

TEST_F(TermTest, TooLongAnswers) {
    std::string input = std::string(300, 'x') + "\n";              // too long
    input += std::string(255, 'y') + std::string(45, ' ') + "\n";  // fits once blanks are dropped
    input += std::string(256, 'z') + "\n";                         // one too many
    input += std::string(255, 'w') + "\n";                         // exactly fits
    input += "\nabc\n";
    const auto run = run_child(input, [] {
        std::string r = ask("N? ", nullptr);
        r += "|" + ask("N? ", nullptr);
        r += "|" + ask("N? ", nullptr, 1);  // room for the empty answer only
        r += "|" + ask("N? ", nullptr, 1);  // "abc" does not fit; then end of input
        return r;
    });
    EXPECT_EQ(run.result,
              "255:" + std::string(255, 'y') + "|255:" + std::string(255, 'w') + "|0:|-4");
    // Each rejected line gives the message and the question again, and is
    // never echoed.
    std::size_t count = 0;
    for (std::size_t at = run.err.find("1112.7"); at != std::string::npos;
         at = run.err.find("1112.7", at + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 3u) << run.err;
    EXPECT_EQ(run.err.find("xxxx"), std::string::npos);
    EXPECT_EQ(run.err.find("zzzz"), std::string::npos);
    EXPECT_NE(run.err.find(std::string(255, 'w') + "\n"), std::string::npos);
}

TEST_F(TermTest, UnattendedMode) {
    const auto run = run_child(std::string("\nabc\n"), [&] {
        // Unattended mode keeps standard input whatever path is named.
        const std::string missing = dir_ + "/missing";
        std::string r = std::to_string(term_open(false, missing.c_str(), false, nullptr, 80, 1));
        r += "|" + std::to_string(term_mode());
        r += "|" + ask("Pick", "dft");
        r += "|" + ask("Pick", nullptr);
        r += "|" + ask(nullptr, nullptr);
        return r;
    });
    EXPECT_EQ(run.result, "0|16|3:dft|3:abc|-4");
    EXPECT_EQ(run.err, "^?dft Pick\n^?dft \n^? Pick\n^? abc\n");
}

TEST_F(TermTest, ClosedStandardInputAndOpenFailures) {
    const auto closed = run_child(std::nullopt, [] {
        std::string r = std::to_string(term_open(false, nullptr, false, nullptr, 256, 0));
        r += "|" + std::to_string(term_mode());
        return r + "|" + ask("Q? ", nullptr);
    });
    EXPECT_EQ(closed.status, 0);
    EXPECT_EQ(closed.result, "0|0|-4");
    EXPECT_EQ(closed.err, "Q? ");

    const std::string missing = dir_ + "/no/such/file";
    const auto failed = run_child(std::string(), [&] {
        std::string r = std::to_string(term_open(false, missing.c_str(), false, nullptr, 256, 0));
        r += "|" + std::to_string(term_open(false, nullptr, false, missing.c_str(), 256, 0));
        r += "|" + std::to_string(term_open(true, "events", false, nullptr, 256, 0));
        r += "|" + std::to_string(term_open(false, nullptr, true, "events", 256, 0));
        return r + "|" + std::to_string(term_mode());
    });
    EXPECT_EQ(failed.result, "-7|-8|-7|-8|0");
    EXPECT_NE(failed.err.find("1112.3"), std::string::npos) << failed.err;
    EXPECT_NE(failed.err.find("1112.4"), std::string::npos) << failed.err;
    EXPECT_NE(failed.err.find(missing), std::string::npos) << failed.err;

    char buf[4];
    EXPECT_EQ(term_ask("Q? ", nullptr, 4, nullptr), TERM_NO_BUFFER);
    EXPECT_EQ(term_ask("Q? ", nullptr, 0, buf), TERM_NO_BUFFER);
}

namespace {

struct PtyRun {
    std::string screen;  // what the child wrote to the terminal
    std::string result;
};

// Runs body in a child whose standard input and standard error are the slave
// side of a new pseudo-terminal (echo off), types `typed` on the master side
// and collects what appears there until the child is gone.
PtyRun run_on_pty(const std::string& typed, const std::function<std::string()>& body) {
    PtyRun run;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    EXPECT_EQ(grantpt(master), 0);
    EXPECT_EQ(unlockpt(master), 0);
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    EXPECT_GE(slave, 0);
    termios tio{};
    EXPECT_EQ(tcgetattr(slave, &tio), 0);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    EXPECT_EQ(tcsetattr(slave, TCSANOW, &tio), 0);

    int res_pipe[2];
    EXPECT_EQ(pipe(res_pipe), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(master);
        close(res_pipe[0]);
        dup2(slave, 0);
        dup2(slave, 2);
        close(slave);
        term_reset();
        const std::string r = body();
        (void)!write(res_pipe[1], r.data(), r.size());
        _exit(0);
    }
    close(slave);
    close(res_pipe[1]);
    EXPECT_EQ(write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char buf[256];
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;  // EIO once the child has closed the slave
        run.screen.append(buf, static_cast<std::size_t>(n));
    }
    run.result = read_all(res_pipe[0]);
    close(res_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    return run;
}

}  // namespace

TEST_F(TermTest, AnswersFromTerminal) {
    const auto tty = run_on_pty("2024/01/02  \n", [] {
        std::string r = std::to_string(term_open(false, nullptr, false, nullptr, 256, 0));
        r += "|" + std::to_string(term_mode());
        return r + "|" + ask("Date? ", nullptr);
    });
    EXPECT_EQ(tty.result, "0|12|10:2024/01/02");
    // A person sees the prompt; the program does not echo what was typed.
    EXPECT_EQ(tty.screen, "Date? ");

    // Input from a terminal but output to a file: the file gets the echo.
    const std::string out = dir_ + "/log";
    const auto logged = run_on_pty("abc\n", [&] {
        std::string r = std::to_string(term_open(false, nullptr, false, out.c_str(), 256, 0));
        r += "|" + std::to_string(term_mode());
        return r + "|" + ask("Q? ", nullptr);
    });
    EXPECT_EQ(logged.result, "0|4|3:abc");
    EXPECT_EQ(logged.screen, "");
    EXPECT_EQ(read_file(out), "Q? abc\n");
}
