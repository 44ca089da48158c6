// The run driver: command line, run date, output file and debug switch.
#include "driver/korvex.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "driver/korvex_dialog.h"
#include "driver/korvex_select.h"
#include "driver/sscanner.h"
#include "utils/libs/dbaccs.h"
#include "utils/libs/issuemsg.h"
#include "utils/libs/mutils.h"
#include "utils/libs/security.h"
#include "utils/libs/thiscpu.h"
#include "utils/libs/utlopts.h"

namespace {

constexpr int kDriverSet = 2207;
constexpr int kMsgNotMaster = 1;
constexpr int kMsgInvalidCommand = 4;  // invalid command line or -date value
constexpr int kMsgOutputNotOpened = 8;
constexpr int kMsgNoSecurity = 24;
constexpr int kMsgNotAllowed = 25;

constexpr int kExitNormal = 0;
constexpr int kExitFailure = 1;

// Stream buffer of the production schedule file.
constexpr std::size_t kOutputBufferSize = std::size_t{1} << 20;

// How settling the run ended.
enum class settle_result { Select, NothingToDo, Failed };

// A -scheds or -prodsked value that is an option, not a name: longer than one
// character and beginning with "-". A lone "-" is the terminal or standard
// output.
bool looks_like_option(std::string_view v) {
    return v.size() > 1 && v.front() == '-';
}

}  // namespace

void output_closer::operator()(std::FILE* f) const noexcept {
    if (f == nullptr) return;
    if (f == stdout) {
        std::fflush(f);
        return;
    }
    std::fclose(f);
}

bool parse_command_line(run_context& ctx, int argc, const char* const* argv) {
    ctx.command_line_invalid = true;  // until every argument has passed

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i] != nullptr ? argv[i] : "";
        if (arg.empty() || arg.front() != '-') return false;

        if (arg == "-autodate") {
            if (ctx.date_given) return false;
            ctx.autodate = true;
            continue;
        }

        const bool is_date = arg == "-date";
        const bool is_scheds = arg == "-scheds";
        const bool is_prodsked = arg == "-prodsked";
        if (!is_date && !is_scheds && !is_prodsked) return false;
        if (is_date && ctx.autodate) return false;

        if (i + 1 >= argc || argv[i + 1] == nullptr) return false;
        const std::string_view value = argv[++i];

        if (is_date) {
            // A longer date would have to be cut, and a cut date is another date.
            if (!value.empty() && value.front() == '-') return false;
            if (value.size() > kDateTextMax) return false;
            ctx.date_text = value;
            ctx.date_given = true;
        } else if (is_scheds) {
            // A cut file name would name another file.
            if (looks_like_option(value) || value.size() > kRunPathMax) return false;
            ctx.schedule_list_path = value;
            ctx.scheds_given = true;
        } else {
            if (looks_like_option(value) || value.empty() || value.size() > kRunPathMax)
                return false;
            ctx.output_path = value;
        }
    }

    ctx.command_line_invalid = false;
    return true;
}

run_date_result settle_run_date(run_context& ctx) {
    if (ctx.command_line_invalid) {
        issue_msg(MSG_STDERR, kDriverSet, kMsgInvalidCommand);
        return run_date_result::NothingToDo;
    }

    if (ctx.autodate) {
        // The run date is a full date, whatever the site's stripping setting.
        set_date_strip(0);
        ctx.run_date = today_midnight();
        return run_date_result::Go;
    }

    if (!ctx.date_given) return run_date_result::AskDate;

    if (ctx.date_text == "0") {
        ctx.run_date = 0;
        return run_date_result::Go;
    }

    time_value when = 0;
    if (parse_date(ctx.date_text.c_str(), &when, get_date_format()) == 0) {
        issue_msg(MSG_STDERR, kDriverSet, kMsgInvalidCommand);
        return run_date_result::NothingToDo;
    }
    ctx.run_date = when;
    return run_date_result::Go;
}

int open_output(run_context& ctx) {
    if (ctx.output_path == "-") {
        ctx.output.reset(stdout);
        return 0;
    }

    ctx.output.reset();  // a second open replaces the first stream
    errno = 0;
    std::FILE* f = std::fopen(ctx.output_path.c_str(), "w");
    if (f == nullptr) {
        const int err = errno != 0 ? errno : EIO;
        issue_msg(MSG_STDERR | MSG_FATAL2, kDriverSet, kMsgOutputNotOpened, {arg_errno(err)});
        return err;
    }
    // A buffer that holds much of a schedule file, so that the file is
    // written in large pieces. Without it stdio's own buffer serves: only
    // fewer and larger writes depend on it, never what is written.
    try {
        ctx.output_buffer = std::make_unique_for_overwrite<char[]>(kOutputBufferSize);
    } catch (const std::bad_alloc&) {
        ctx.output_buffer.reset();
    }
    if (ctx.output_buffer != nullptr &&
        std::setvbuf(f, ctx.output_buffer.get(), _IOFBF, kOutputBufferSize) != 0)
        ctx.output_buffer.reset();
    ctx.output.reset(f);
    return 0;
}

int close_output(run_context& ctx) {
    std::FILE* f = ctx.output.release();
    if (f == nullptr) return 0;
    // A write that failed earlier (its buffer already dropped) leaves only
    // the error flag behind.
    const bool failed_before = std::ferror(f) != 0;
    errno = 0;
    const int rc = f == stdout ? std::fflush(f) : std::fclose(f);
    if (rc != 0) return errno != 0 ? errno : EIO;
    return failed_before ? EIO : 0;
}

bool read_debug_switch(run_context& ctx) {
    ctx.parser_trace = false;
    ctx.line_echo = false;
    const char* text = std::getenv("SCHDEBUG");
    if (text == nullptr) return false;

    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text || errno == ERANGE) return false;  // no number there
    while (std::isspace(static_cast<unsigned char>(*end)))
        ++end;
    if (*end != '\0') return false;  // trailing text: not a number

    ctx.parser_trace = (value & kSchdebugTrace) != 0;
    ctx.line_echo = (value & kSchdebugEcho) != 0;
    return ctx.parser_trace;
}

namespace {

// The command line, the run date, the forced schedules, the output file and
// what the selection pass needs besides.
settle_result settle_run(run_context& ctx, int argc, const char* const* argv) {
    parse_command_line(ctx, argc, argv);
    const run_date_result date = settle_run_date(ctx);
    if (date == run_date_result::NothingToDo) return settle_result::NothingToDo;
    if (date == run_date_result::AskDate && ask_run_date(ctx) != 0) return settle_result::Failed;
    if (ctx.prompted || ctx.scheds_given) {
        if (read_forced_list(ctx) != 0) return settle_result::Failed;
    }
    if (open_output(ctx) != 0) return settle_result::Failed;
    if (ctx.run_date == 0 && ctx.forced.empty()) return settle_result::NothingToDo;
    read_debug_switch(ctx);
    return settle_result::Select;
}

}  // namespace

int korvex_main(int argc, const char* const* argv) {
    std::string identity = kKorvexIdentity;
    ProgramIdentity id;
    program_start(identity, kKorvexRevision, id, START_DEFAULT, argc, argv);

    run_context ctx;

    // Only the master builds the production schedule.
    ctx.this_workstation = this_cpu_name();
    const std::string master = master_name();
    if (ctx.this_workstation != master) {
        issue_msg(MSG_STDERR | MSG_FATAL2, kDriverSet, kMsgNotMaster);
        return kExitFailure;
    }

    std::int16_t long_names = 0;
    std::string text;
    if (db_probe_file(DB_PROBE_SCHEDULES, 0, &text, &long_names) != DB_OK) {
        issue_text(MSG_STDERR | MSG_FATAL, text.data());
        return kExitFailure;
    }
    db_ptr db;
    if (db_open(&db, 0, &text, long_names) != DB_OK) {
        issue_text(MSG_STDERR | MSG_FATAL, text.data());
        return kExitFailure;
    }
    ctx.database = db.get();
    ctx.long_names = long_names != 0;

    {
        std::string error_text;
        std::unique_ptr<SecurityContext> security =
            open_security(id, ctx.long_names, ctx.this_workstation, master, error_text);
        if (!security) {
            issue_msg(MSG_STDERR, kDriverSet, kMsgNoSecurity, {arg_str(error_text.c_str())});
            return kExitFailure;
        }
        const bool allowed = check_access(security.get(), SEC_ACT_BUILD, SEC_OBJ_FILE, "prodsked");
        close_security(security, error_text);
        if (!allowed) {
            issue_msg(MSG_STDERR, kDriverSet, kMsgNotAllowed);
            return kExitFailure;
        }
    }

    switch (settle_run(ctx, argc, argv)) {
        case settle_result::Failed:
            return kExitFailure;
        case settle_result::NothingToDo:
            close_output(ctx);
            break;
        case settle_result::Select:
            if (selection_pass(ctx) != 0) return kExitFailure;
            break;
    }

    db_close(&db);
    return kExitNormal;
}
