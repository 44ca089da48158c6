// The terminal channel. See termio.h.
#include "utils/libs/termio.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/fileio.h"
#include "utils/libs/issuemsg.h"

namespace {

constexpr int kDefaultLineSize = 256;

struct TermChannel {
    bool open = false;
    std::FILE* in = nullptr;
    std::FILE* out = nullptr;
    bool own_in = false;  // opened by the channel, closed by term_close
    bool own_out = false;
    int mode = 0;
    int line_size = 0;
};

TermChannel& channel() {
    static TermChannel ch;
    return ch;
}

void ensure_open() {
    if (!channel().open) term_open(false, nullptr, false, nullptr, kDefaultLineSize, 0);
}

bool has_name(const char* path) {
    return path != nullptr && *path != '\0';
}

// Reads one line of at most size - 1 characters into buf (size bytes, zero
// filled first). Returns its length without the line feed, TERM_EOF at end of
// input or on a read error, TERM_TOO_LONG when characters other than white
// space did not fit (the rest of that line is consumed either way).
int read_line(std::FILE* in, char* buf, int size) {
    std::memset(buf, 0, static_cast<std::size_t>(size));
    if (size >= 2 && std::fgets(buf, size, in) == nullptr) return TERM_EOF;

    // The buffer is zero filled, so its last character position still holds
    // 0 unless fgets filled it; holding a line feed there means the line fit.
    const bool filled = size < 2 || (buf[size - 2] != '\0' && buf[size - 2] != '\n');
    std::size_t n = std::strlen(buf);
    if (!filled) {
        if (n > 0 && buf[n - 1] == '\n') buf[--n] = '\0';
        return static_cast<int>(n);
    }

    bool any = false;
    bool non_blank = false;
    int c;
    while ((c = std::getc(in)) != EOF && c != '\n') {
        any = true;
        if (!std::isspace(c)) non_blank = true;
    }
    // With no room at all, nothing was read before: end of input is just that.
    if (size < 2 && !any && c == EOF) return TERM_EOF;
    if (non_blank) return TERM_TOO_LONG;
    return static_cast<int>(n);
}

}  // namespace

int term_open(bool in_is_event_pipe, const char* in_path, bool out_is_event_pipe,
              const char* out_path, int line_size, int options) {
    term_close();

    int mode = (options & TERM_OPT_UNATTENDED) ? TERM_UNATTENDED : 0;
    const bool unattended = mode != 0;

    std::FILE* in = stdin;
    bool own_in = false;
    if (!unattended && has_name(in_path)) {
        if (in_is_event_pipe) {
            issue_msg(MSG_STDERR, 1112, 3, {arg_errno(ENOTSUP), arg_str(in_path)});
            return TERM_IN_OPEN_FAILED;
        }
        in = std::fopen(in_path, "r");
        if (in == nullptr) {
            const int e = errno;
            issue_msg(MSG_STDERR, 1112, 3, {arg_errno(e), arg_str(in_path)});
            return TERM_IN_OPEN_FAILED;
        }
        own_in = true;
    }

    std::FILE* out = stderr;
    bool own_out = false;
    if (!unattended && has_name(out_path)) {
        int e = ENOTSUP;
        if (!out_is_event_pipe) {
            out = std::fopen(out_path, "w");
            e = errno;
        }
        if (out_is_event_pipe || out == nullptr) {
            if (own_in) std::fclose(in);
            issue_msg(MSG_STDERR, 1112, 4, {arg_errno(e), arg_str(out_path)});
            return TERM_OUT_OPEN_FAILED;
        }
        own_out = true;
    }

    if (plat::FH_isatty(fileno(in))) {
        mode |= TERM_IN_TTY;
        if (plat::FH_isatty(fileno(out))) mode |= TERM_OUT_TTY;
    }

    TermChannel& ch = channel();
    ch.open = true;
    ch.in = in;
    ch.out = out;
    ch.own_in = own_in;
    ch.own_out = own_out;
    ch.mode = mode;
    ch.line_size = line_size;
    return TERM_OK;
}

void term_close() {
    TermChannel& ch = channel();
    if (ch.own_in && ch.in != nullptr) std::fclose(ch.in);
    if (ch.own_out && ch.out != nullptr) std::fclose(ch.out);
    ch = TermChannel{};
}

void term_reset() {
    term_close();
}

int term_write(const char* text, bool line_feed) {
    ensure_open();
    std::FILE* out = channel().out;
    // Keep what the program wrote to standard output ahead of the question.
    if (out != stdout) std::fflush(stdout);
    int rc = 0;
    if (text != nullptr && std::fputs(text, out) == EOF) rc = -1;
    if (line_feed && std::fputc('\n', out) == EOF) rc = -1;
    if (std::fflush(out) == EOF) rc = -1;
    return rc;
}

int term_ask(const char* prompt, const char* default_answer, int size, char* answer) {
    if (answer == nullptr || size < 1) return TERM_NO_BUFFER;
    ensure_open();
    const TermChannel& ch = channel();

    const std::string dflt = default_answer != nullptr ? default_answer : "";
    std::string prefix;
    if (ch.mode & TERM_UNATTENDED) prefix = "^?" + dflt + " ";

    std::vector<char> line;
    try {
        line.assign(static_cast<std::size_t>(size), '\0');
    } catch (const std::bad_alloc&) {
        return TERM_NO_BUFFER;
    }

    int n;
    for (;;) {
        if (prompt != nullptr && *prompt != '\0') {
            if (ch.mode & TERM_UNATTENDED) {
                term_write((prefix + prompt).c_str(), true);
            } else {
                term_write(prompt, false);
            }
        }
        n = read_line(ch.in, line.data(), size);
        if (n != TERM_TOO_LONG) break;
        char msg[kFormatBufSize];
        std::int16_t msg_len = 0;
        format_msg(msg, &msg_len, 1112, 7);
        term_write((prefix + msg).c_str(), true);
    }
    if (n < 0) return n;

    if (!(ch.mode & TERM_OUT_TTY)) term_write((prefix + line.data()).c_str(), true);

    while (n > 0 && std::isspace(static_cast<unsigned char>(line[n - 1])))
        line[--n] = '\0';
    if (n == 0 && !dflt.empty()) {
        n = static_cast<int>(
            std::min<std::size_t>(dflt.size(), static_cast<std::size_t>(size - 1)));
        std::memcpy(line.data(), dflt.data(), static_cast<std::size_t>(n));
    }
    std::memcpy(answer, line.data(), static_cast<std::size_t>(n));
    answer[n] = '\0';
    return n;
}

int term_mode() {
    return channel().open ? channel().mode : 0;
}

int term_line_size() {
    return channel().open ? channel().line_size : 0;
}
