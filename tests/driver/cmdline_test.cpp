// Command line, run date, output file and debug switch of the run driver.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "driver/korvex.h"
#include "utils/libs/dateutil.h"
#include "utils/libs/issuemsg.h"
#include "utils/libs/stdutil.h"

namespace fs = std::filesystem;

namespace {

struct ChildResult {
    int status = -1;     // exit status, or -1 when the child did not exit
    std::string output;  // standard output and standard error together
};

// Runs body in a child process with standard output and standard error on a
// pipe; the child exits with body's result unless body ends it first.
ChildResult run_child(const std::function<int()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[1]);
        const int rc = body();
        std::fflush(nullptr);
        _exit(rc);
    }
    close(fds[1]);
    ChildResult r;
    char buf[512];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        r.output.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int ws = 0;
    waitpid(pid, &ws, 0);
    if (WIFEXITED(ws)) r.status = WEXITSTATUS(ws);
    return r;
}

// Local midnight of the day that holds t, computed independently.
time_value local_midnight(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
    tm.tm_isdst = -1;
    return static_cast<time_value>(std::mktime(&tm));
}

time_value local_date(int year, int month, int day) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_isdst = -1;
    return static_cast<time_value>(std::mktime(&tm));
}

std::string read_file(const fs::path& p) {
    std::ifstream in(p);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A valid date text of the given length, padded with leading blanks.
std::string padded_date(std::size_t length) {
    return std::string(length - 8, ' ') + "98/05/23";
}

class DriverCmdline : public ::testing::Test {
  protected:
    void SetUp() override {
        // A home without catalogs: messages use their fallback text with the
        // reference suffix, and the date order is year/month/day.
        home_ = fs::temp_directory_path() / ("korvex-cmdline-" + std::to_string(getpid()));
        fs::create_directories(home_);
        set_home_dir(home_.string());
        msg_state_reset();
        date_state_reset();
        unsetenv("TELDATESTRIP");
    }
    void TearDown() override {
        set_home_dir("");
        msg_state_reset();
        std::error_code ec;
        fs::remove_all(home_, ec);
    }

    static bool parse(run_context& ctx, std::vector<const char*> args) {
        args.insert(args.begin(), "korvex");
        return parse_command_line(ctx, static_cast<int>(args.size()), args.data());
    }

    fs::path home_;
};

TEST_F(DriverCmdline, AcceptsEachOptionAndKeepsItsValue) {
    run_context ctx;
    ASSERT_TRUE(parse(ctx, {"-date", "98/05/23", "-scheds", "forced.txt", "-prodsked", "out"}));
    EXPECT_TRUE(ctx.date_given);
    EXPECT_EQ(ctx.date_text, "98/05/23");
    EXPECT_FALSE(ctx.autodate);
    EXPECT_TRUE(ctx.scheds_given);
    EXPECT_EQ(ctx.schedule_list_path, "forced.txt");
    EXPECT_EQ(ctx.output_path, "out");

    // A lone "-" is the terminal, respectively standard output.
    run_context dashes;
    ASSERT_TRUE(parse(dashes, {"-autodate", "-scheds", "-", "-prodsked", "-"}));
    EXPECT_TRUE(dashes.autodate);
    EXPECT_EQ(dashes.schedule_list_path, "-");
    EXPECT_EQ(dashes.output_path, "-");
}

TEST_F(DriverCmdline, RefusesEveryBrokenRule) {
    const std::string long_path(kRunPathMax + 1, 'p');
    // Cut to its first 31 characters this would still read as a date.
    const std::string long_date = padded_date(kDateTextMax + 1);
    const std::vector<std::vector<const char*>> invalid = {
        {"prodsked"},                    // bare word
        {"-date", "98/05/23", "extra"},  // bare word after a valid option
        {"-date", "98/05/23", "-autodate"},
        {"-autodate", "-date", "98/05/23"},
        {"-date"},  // missing values
        {"-scheds"},
        {"-prodsked"},
        {"-date", "-1"},
        {"-scheds", "-x"},
        {"-prodsked", "-x"},
        {"-prodsked", ""},
        {"-prodsked", long_path.c_str()},
        {"-scheds", long_path.c_str()},
        {"-date", long_date.c_str()},
        {"-Date", "98/05/23"},  // options are case-sensitive
        {"-x"},
        {"-parm", "5"},
        {"-debug"},
        {"-"},
    };
    for (const auto& args : invalid) {
        run_context ctx;
        EXPECT_FALSE(parse(ctx, args)) << args.front();
        EXPECT_TRUE(ctx.command_line_invalid);
    }

    const std::string just_fits(kRunPathMax, 'p');
    run_context ctx;
    EXPECT_TRUE(parse(ctx, {"-prodsked", just_fits.c_str(), "-scheds", just_fits.c_str()}));
}

TEST_F(DriverCmdline, SettlesTheRunDateFromTheCommandLine) {
    run_context dated;
    ASSERT_TRUE(parse(dated, {"-date", "98/05/23"}));
    EXPECT_EQ(settle_run_date(dated), run_date_result::Go);  // nothing asked
    EXPECT_EQ(dated.run_date, local_date(1998, 5, 23));

    // Up to 31 characters are taken, leading blanks included.
    run_context padded;
    const std::string longest = padded_date(kDateTextMax);
    ASSERT_TRUE(parse(padded, {"-date", longest.c_str()}));
    EXPECT_EQ(settle_run_date(padded), run_date_result::Go);
    EXPECT_EQ(padded.run_date, local_date(1998, 5, 23));

    run_context zero;
    zero.run_date = 12345;
    ASSERT_TRUE(parse(zero, {"-date", "0"}));
    EXPECT_EQ(settle_run_date(zero), run_date_result::Go);
    EXPECT_EQ(zero.run_date, 0);

    run_context undated;
    ASSERT_TRUE(parse(undated, {"-scheds", "-"}));
    EXPECT_EQ(settle_run_date(undated), run_date_result::AskDate);
}

TEST_F(DriverCmdline, ReportsAnInvalidCommandLineOrDateOnce) {
    const std::vector<std::vector<const char*>> cases = {
        {"-autodate", "-date", "98/05/23"},
        {"-date", "98/02/30"},
        {"-date", "23.5.1998x"},
        {"-date", ""},
    };
    for (const auto& args : cases) {
        const ChildResult r = run_child([&] {
            run_context ctx;
            parse(ctx, args);
            return settle_run_date(ctx) == run_date_result::NothingToDo ? 0 : 9;
        });
        EXPECT_EQ(r.status, 0) << args[1];
        const auto first = r.output.find("[2207.4]");
        EXPECT_NE(first, std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("[2207.4]", first + 1), std::string::npos) << r.output;
    }
}

TEST_F(DriverCmdline, AutodateIsTodaysLocalMidnightInAnyZone) {
    // Far east, far west and UTC: the day boundary differs from UTC's by up to
    // half a day either way.
    for (const char* zone : {"EAST-14", "WEST+12", "UTC0"}) {
        const ChildResult r = run_child([&] {
            setenv("TZ", zone, 1);
            tzset();
            setenv("TELDATESTRIP", "0", 1);  // stripping on unless the driver turns it off
            date_state_reset();
            run_context ctx;
            if (!parse(ctx, {"-autodate"})) return 2;
            const std::time_t before = std::time(nullptr);
            if (settle_run_date(ctx) != run_date_result::Go) return 3;
            const std::time_t after = std::time(nullptr);
            if (ctx.run_date != local_midnight(before) && ctx.run_date != local_midnight(after))
                return 4;
            if (set_date_strip(7) != 0) return 5;  // query: stripping must be off
            return 0;
        });
        EXPECT_EQ(r.status, 0) << zone << ": " << r.output;
    }
}

TEST_F(DriverCmdline, OpensTheOutputFileOrStandardOutput) {
    const fs::path out = home_ / "prodsked.out";
    {
        std::FILE* f = std::fopen(out.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("old contents\n", f);
        std::fclose(f);
    }
    run_context ctx;
    ctx.output_path = out.string();
    ASSERT_EQ(open_output(ctx), 0);
    ASSERT_NE(ctx.output.get(), nullptr);
    EXPECT_EQ(read_file(out), "");  // replaced, not appended to
    std::fputs("line\n", ctx.output.get());
    EXPECT_EQ(close_output(ctx), 0);
    EXPECT_EQ(ctx.output.get(), nullptr);
    EXPECT_EQ(read_file(out), "line\n");

    // The context owns the file: dropping it writes the buffered text back.
    {
        run_context owner;
        owner.output_path = out.string();
        ASSERT_EQ(open_output(owner), 0);
        std::fputs("kept\n", owner.output.get());
    }
    EXPECT_EQ(read_file(out), "kept\n");

    // "-" is standard output, which outlives the context.
    const ChildResult r = run_child([&] {
        {
            run_context std_ctx;
            if (!parse(std_ctx, {"-prodsked", "-"}) || open_output(std_ctx) != 0) return 2;
            if (std_ctx.output.get() != stdout) return 3;
            std::fputs("first\n", std_ctx.output.get());
        }
        std::fputs("second\n", stdout);
        return 0;
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "first\nsecond\n");
}

TEST_F(DriverCmdline, OutputFileThatCannotBeOpenedIsFatal) {
    const fs::path out = home_ / "no-such-dir" / "prodsked";
    const ChildResult r = run_child([&] {
        run_context ctx;
        ctx.output_path = out.string();
        open_output(ctx);
        return 0;  // must not get here
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("[2207.8]"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(std::strerror(ENOENT)), std::string::npos) << r.output;
}

TEST_F(DriverCmdline, DebugSwitchReadsBitZeroOfADecimalNumber) {
    const struct {
        const char* value;  // nullptr: unset
        bool trace;
    } cases[] = {
        {nullptr, false},
        {"1", true},
        {"3", true},
        {"2", false},
        {"0", false},
        {" 5 ", true},
        {"-1", true},
        {"yes", false},
        {"", false},
        {"1x", false},
        {"0x1", false},
        {"011", true},
        {"99999999999999999999", false},
    };
    for (const auto& c : cases) {
        if (c.value != nullptr)
            setenv("SCHDEBUG", c.value, 1);
        else
            unsetenv("SCHDEBUG");
        run_context ctx;
        ctx.parser_trace = !c.trace;
        EXPECT_EQ(read_debug_switch(ctx), c.trace) << (c.value ? c.value : "(unset)");
        EXPECT_EQ(ctx.parser_trace, c.trace);
    }
    unsetenv("SCHDEBUG");
}

}  // namespace
