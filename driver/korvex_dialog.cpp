// The run driver's terminal dialogue: run date and forced schedules.
#include "driver/korvex_dialog.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <optional>
#include <string>

#include "utils/libs/dateutil.h"
#include "utils/libs/dbaccs.h"
#include "utils/libs/issuemsg.h"
#include "utils/libs/termio.h"
#include "utils/libs/tokenize.h"

namespace {

constexpr int kDriverSet = 2207;
constexpr int kMsgNoMemory = 2;
constexpr int kMsgLineRejected = 3;
constexpr int kMsgDatePrompt = 5;
constexpr int kMsgForcedHeading = 6;
constexpr int kMsgForcedPrompt = 7;
constexpr int kMsgBadDate = 9;
constexpr int kMsgDatabaseFailed = 10;

// Line sizes of the two channels, and the answer buffer of term_ask.
constexpr int kDateLineSize = 256;
constexpr int kListLineSize = 255;
constexpr int kAnswerSize = kDialogAnswerMax + 1;

constexpr int kExitFailure = 1;

// Closes the terminal channel however the dialogue ends.
struct channel_guard {
    channel_guard() = default;
    channel_guard(const channel_guard&) = delete;
    channel_guard& operator=(const channel_guard&) = delete;
    ~channel_guard() { term_close(); }
};

std::string message_text(int number) {
    char buf[kFormatBufSize];
    std::int16_t length = 0;
    format_msg(buf, &length, kDriverSet, number);
    return std::string(buf, static_cast<std::size_t>(std::max<std::int16_t>(length, 0)));
}

std::string upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// A workstation or schedule name: a letter, "-" or "_", then letters, digits,
// "-" or "_" (letters and digits as the current locale has them).
bool valid_name(const std::string& name) {
    if (name.empty()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const bool ok = c == '-' || c == '_' || std::isalpha(c) || (i > 0 && std::isdigit(c));
        if (!ok) return false;
    }
    return true;
}

// The names a forced-list line gives, or nothing when the line is rejected.
// Rejections are reported by the caller.
std::optional<forced_schedule> names_of_line(const char* line, int length,
                                             const std::string& this_workstation, std::size_t width,
                                             bool* no_memory) {
    static const CharClasses classes{
        .leading = "", .ordinary = "#\n", .rest_of_line = "*", .restart = ""};
    std::optional<WordList> words = split_words(line, length, classes);
    if (!words) {
        *no_memory = true;
        return std::nullopt;
    }
    if (words->words.empty()) return std::nullopt;

    const Word& first = words->words.front();
    std::string name = upper(first.text);
    if (name.size() > width) return std::nullopt;

    forced_schedule out;
    if (first.delimiter == '#') {
        if (words->words.size() < 2) return std::nullopt;
        out.workstation = std::move(name);
        out.schedule = upper(words->words[1].text);
        if (out.schedule.size() > width) return std::nullopt;
    } else {
        out.workstation = this_workstation;
        out.schedule = std::move(name);
    }
    if (!valid_name(out.workstation) || !valid_name(out.schedule)) return std::nullopt;
    return out;
}

bool already_forced(const run_context& ctx, const forced_schedule& f) {
    return std::any_of(ctx.forced.begin(), ctx.forced.end(), [&](const forced_schedule& g) {
        return g.workstation == f.workstation && g.schedule == f.schedule;
    });
}

}  // namespace

int ask_run_date(run_context& ctx) {
    const std::string prompt = message_text(kMsgDatePrompt);
    if (term_open(false, nullptr, false, nullptr, kDateLineSize, 0) != TERM_OK) return kExitFailure;
    channel_guard guard;

    std::array<char, kAnswerSize> answer{};
    for (;;) {
        const int n = term_ask(prompt.c_str(), nullptr, kAnswerSize, answer.data());
        if (n < 0) return kExitFailure;  // the input ended before an answer
        if (n == 0) {
            ctx.run_date = 0;
            break;
        }
        time_value when = 0;
        if (parse_date(answer.data(), &when, get_date_format()) == 1) {
            ctx.run_date = when;
            break;
        }
        issue_msg(MSG_STDERR, kDriverSet, kMsgBadDate);
    }
    ctx.prompted = true;
    return 0;
}

int read_forced_list(run_context& ctx) {
    const std::string& path = ctx.schedule_list_path;
    const char* source = path.empty() || path == "-" ? nullptr : path.c_str();
    if (term_open(false, source, false, nullptr, kListLineSize, 0) != TERM_OK) return kExitFailure;
    channel_guard guard;

    auto* db = static_cast<db_handle*>(ctx.database);
    const std::size_t width = ctx.long_names ? DB_LONG_NAME : DB_SHORT_NAME;
    const std::string prompt = message_text(kMsgForcedPrompt);
    issue_msg(MSG_STDERR, kDriverSet, kMsgForcedHeading);

    std::array<char, kAnswerSize> answer{};
    for (;;) {
        const int n = term_ask(prompt.c_str(), nullptr, kAnswerSize, answer.data());
        if (n <= 0) break;  // an empty line or the end of the input ends the list
        if (answer[0] == '#' || answer[0] == '*') continue;

        bool no_memory = false;
        std::optional<forced_schedule> names =
            names_of_line(answer.data(), n, ctx.this_workstation, width, &no_memory);
        if (no_memory) {
            issue_msg(MSG_STDERR, kDriverSet, kMsgNoMemory);
            return kExitFailure;
        }
        if (!names) {
            issue_msg(MSG_STDERR, kDriverSet, kMsgLineRejected);
            continue;
        }

        int cursor = 0;
        const std::int16_t rc = read_next_schedule(db, names->workstation.c_str(),
                                                   names->schedule.c_str(), &cursor, nullptr);
        if (rc == DB_E_END) {
            issue_msg(MSG_STDERR, kDriverSet, kMsgLineRejected);
            continue;
        }
        if (rc != DB_OK) {
            std::string text;
            db_error_text(db, &text);
            issue_msg(MSG_STDERR | MSG_FATAL, kDriverSet, kMsgDatabaseFailed,
                      {arg_str(text.c_str())});
            return kExitFailure;
        }
        if (!already_forced(ctx, *names)) ctx.forced.push_front(std::move(*names));
    }
    return 0;
}
