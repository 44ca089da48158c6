// Options files: typed lookups through the near and far files, the line
// syntax, the directories of the master database and the master's name.
#include "utils/libs/voropts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "options_testhome.h"
#include "utils/libs/utlopts.h"

namespace {

using optstest::TestHome;

constexpr const char* kGlobalNear = "brantis/globalopts";
constexpr const char* kGlobalFar = "../telvar/network/globalopts";
constexpr const char* kLocalNear = "localopts";
constexpr const char* kLocalFar = "../telvar/localopts";

// The value and source of one short-number key.
struct Short {
    std::int16_t value = -999;
    int source = -1;
};
Short get_short(int number) {
    Short s;
    const OptionRequest req[] = {{number, &s.value}};
    int src[1] = {-1};
    EXPECT_EQ(get_options(req, src), 0);
    s.source = src[0];
    return s;
}

struct Flag {
    bool value = false;
    int source = -1;
};
Flag get_flag(int number) {
    Flag f;
    const OptionRequest req[] = {{number, &f.value}};
    int src[1] = {-1};
    EXPECT_EQ(get_options(req, src), 0);
    f.source = src[0];
    return f;
}

}  // namespace

TEST(GetOptions, NumbersComeFromTheNearFileThenTheFarFileThenTheDefault) {
    TestHome h;
    h.write(kGlobalNear, "start=0600\n");
    EXPECT_EQ(get_short(OPT_START).value, 600);
    EXPECT_EQ(get_short(OPT_START).source, OPTION_NEAR);
    h.write(kGlobalNear, "\tSTART = 0600\n");
    EXPECT_EQ(get_short(OPT_START).value, 600);

    // A sign is not a number: the far file is tried, then the default.
    h.write(kGlobalNear, "start = -5\n");
    h.write(kGlobalFar, "start = 0700\n");
    EXPECT_EQ(get_short(OPT_START).value, 700);
    EXPECT_EQ(get_short(OPT_START).source, OPTION_FAR);
    h.remove(kGlobalFar);
    EXPECT_EQ(get_short(OPT_START).value, 0);
    EXPECT_EQ(get_short(OPT_START).source, OPTION_DEFAULT);

    // Local keys live in the local files, not in the global ones.
    h.write(kGlobalNear, "consolewidth = 132\n");
    EXPECT_EQ(get_short(OPT_CONSOLEWIDTH).value, 80);
    h.write(kLocalFar, "consolewidth = 132\n");
    EXPECT_EQ(get_short(OPT_CONSOLEWIDTH).value, 132);
    EXPECT_EQ(get_short(OPT_CONSOLEWIDTH).source, OPTION_FAR);
    // Short numbers are 16 bits; leading digits are enough.
    h.write(kLocalNear, "consolewidth = 70000\nstdlistwidth = 96cols\n");
    EXPECT_EQ(get_short(OPT_CONSOLEWIDTH).value, static_cast<std::int16_t>(70000));
    EXPECT_EQ(get_short(OPT_STDLISTWIDTH).value, 96);
}

TEST(GetOptions, TheFirstMatchingLineEndsTheSearchInItsFile) {
    TestHome h;
    // history = with no value stops the near file: its second line is never
    // seen and the far file gives the value.
    h.write(kGlobalNear, "history =\nhistory = 5\ncompany =\ncompany = Acme\n");
    h.write(kGlobalFar, "history = 7\n");
    EXPECT_EQ(get_short(OPT_HISTORY).value, 7);
    EXPECT_EQ(get_short(OPT_HISTORY).source, OPTION_FAR);

    std::string company = "old";
    const OptionRequest req[] = {{OPT_COMPANY, &company}};
    int src[1] = {-1};
    EXPECT_EQ(get_options(req, src), 0);
    EXPECT_EQ(company, "");
    EXPECT_EQ(src[0], OPTION_DEFAULT);
}

TEST(GetOptions, BooleansAndCarryForward) {
    TestHome h;
    h.write(kLocalFar, "mergestdlists = TRUE\n");
    const std::pair<const char*, Flag> cases[] = {
        {"mergestdlists = y\n", {true, OPTION_NEAR}},
        {"mergestdlists = Off\n", {false, OPTION_NEAR}},
        {"mergestdlists = fa\n", {false, OPTION_NEAR}},
        // O is ambiguous (ON, OFF), YESS is no keyword: the far file decides.
        {"mergestdlists = o\n", {true, OPTION_FAR}},
        {"mergestdlists = yess\n", {true, OPTION_FAR}},
    };
    for (const auto& [line, want] : cases) {
        h.write(kLocalNear, line);
        const Flag got = get_flag(OPT_MERGESTDLISTS);
        EXPECT_EQ(got.value, want.value) << line;
        EXPECT_EQ(got.source, want.source) << line;
    }
    h.remove(kLocalFar);
    h.write(kLocalNear, "mergestdlists = o\n");
    EXPECT_EQ(get_flag(OPT_MERGESTDLISTS).value, false);
    EXPECT_EQ(get_flag(OPT_MERGESTDLISTS).source, OPTION_DEFAULT);

    // A one-byte flag destination holds 1 or 0.
    h.write(kGlobalNear, "rulesmode = yes\ncarryforward = ALL\n");
    std::uint8_t rules = 7;
    std::int16_t carry = -1;
    const OptionRequest req[] = {{OPT_RULESMODE, &rules}, {OPT_CARRYFORWARD, &carry}};
    EXPECT_EQ(get_options(req), 0);
    EXPECT_EQ(rules, 1);
    EXPECT_EQ(carry, 2);
    // Carry-forward takes whole words only; the default is 1.
    h.write(kGlobalNear, "carryforward = al\n");
    EXPECT_EQ(get_short(OPT_CARRYFORWARD).value, 1);
    EXPECT_EQ(get_short(OPT_CARRYFORWARD).source, OPTION_DEFAULT);
    h.write(kGlobalNear, "carryforward = No\n");
    EXPECT_EQ(get_short(OPT_CARRYFORWARD).value, 0);
}

TEST(GetOptions, LineSyntax) {
    TestHome h;
    h.write(kGlobalNear,
            "# start = 0100\n"
            "* start = 0200\n"
            "start = 0900 # the start of day\n"
            "Company Name = x\n"
            "COMPANY = 'Acme Corp' # quoted\n"
            "Network  Name=Net1\n");
    EXPECT_EQ(get_short(OPT_START).value, 900);
    std::string company, network;
    const OptionRequest req[] = {{OPT_COMPANY, &company}, {OPT_NETWORKNAME, &network}};
    EXPECT_EQ(get_options(req), 0);
    EXPECT_EQ(company, "Acme Corp");  // values keep their case
    EXPECT_EQ(network, "Net1");

    // A value that is only a comment is empty.
    h.write(kGlobalNear, "start = # none\n");
    h.write(kGlobalFar, "start=5\n");
    EXPECT_EQ(get_short(OPT_START).value, 5);
}

TEST(GetOptions, OverLongLinesAreCutAndTheirRestDropped) {
    TestHome h;
    // A comment of 300 characters whose tail would read as a key line.
    const std::string comment = "#" + std::string(254, 'x') + "consolewidth = 99";
    const std::string longvalue = "vortandirectory = " + std::string(300, 'A');
    h.write(kLocalNear, comment + "\nconsolewidth = 132\n" + longvalue + "\nstdlistwidth=100");
    EXPECT_EQ(get_short(OPT_CONSOLEWIDTH).value, 132);
    EXPECT_EQ(get_short(OPT_STDLISTWIDTH).value, 100);  // last line without a line feed
    std::string dir;
    const OptionRequest req[] = {{OPT_VORTANDIRECTORY, &dir}};
    EXPECT_EQ(get_options(req), 0);
    EXPECT_EQ(dir, std::string(kOptionsLineMax - 18, 'A'));
}

TEST(GetOptions, DefaultsAndRefusedRequests) {
    TestHome h;  // no options files at all
    std::int16_t console = 0, syslog = 0, carry = 0;
    std::int32_t history = -1;
    std::string company = "x";
    bool expanded = true;
    std::string wrong = "untouched";
    std::int16_t unknown = 42;
    const OptionRequest req[] = {
        {OPT_CONSOLEWIDTH, &console},
        {OPT_SYSLOGLOCAL, &syslog},
        {OPT_CARRYFORWARD, &carry},
        {OPT_HISTORY, &history},
        {OPT_COMPANY, &company},
        {OPT_EXPANDEDVERSION, &expanded},
        {OPT_START, &wrong},
        {10, &unknown},
        {OPT_START, static_cast<std::int16_t*>(nullptr)},
    };
    int src[9];
    std::fill(std::begin(src), std::end(src), -1);
    EXPECT_EQ(get_options(req, src), 3);
    EXPECT_EQ(console, 80);
    EXPECT_EQ(syslog, -1);
    EXPECT_EQ(carry, 1);
    EXPECT_EQ(history, 0);
    EXPECT_EQ(company, "");
    EXPECT_FALSE(expanded);
    EXPECT_EQ(wrong, "untouched");
    EXPECT_EQ(unknown, 42);
    for (int s : src)
        EXPECT_EQ(s, OPTION_DEFAULT);

    // A sources array shorter than the requests is written only as far as it goes.
    h.write(kGlobalNear, "start = 5\nhistory = 6\n");
    std::int16_t start = 0, hist = 0;
    const OptionRequest two[] = {{OPT_START, &start}, {OPT_HISTORY, &hist}};
    int one[1] = {-1};
    EXPECT_EQ(get_options(two, std::span<int>(one, 1)), 0);
    EXPECT_EQ(one[0], OPTION_NEAR);
    EXPECT_EQ(hist, 6);
}

TEST(FindOption, MatchesKeysCaseInsensitivelyFromTheTop) {
    TestHome h;
    h.write(kLocalNear, "x\nBrantis Directory = D:\\Sched\nempty =\n");
    OptionsFile f = open_options_file(h.path(kLocalNear));
    ASSERT_TRUE(f);
    std::string v = "junk";
    EXPECT_TRUE(find_option(f.get(), "BRANTISdirectory", v));
    EXPECT_EQ(v, "D:\\Sched");
    // The file is rewound on every call.
    EXPECT_TRUE(find_option(f.get(), "brantisdirectory", v));
    EXPECT_TRUE(find_option(f.get(), "empty", v));
    EXPECT_EQ(v, "");
    v = "junk";
    EXPECT_FALSE(find_option(f.get(), "missing", v));
    EXPECT_EQ(v, "");
    EXPECT_FALSE(find_option(nullptr, "x", v));
}

TEST(LocateDirFile, DirectoryKeysAndDefaults) {
    TestHome h;
    std::string name = "calendars";
    EXPECT_EQ(locate_dir_file(DIR_MASTER_DB, name), -1);  // no localopts
    EXPECT_EQ(name, "calendars");

    h.write(kLocalNear, "thiscpu = ws1\n");
    EXPECT_EQ(locate_dir_file(DIR_MASTER_DB, name), 0);
    EXPECT_EQ(name, h.home() + "/brantis/calendars");
    name = "x";
    EXPECT_EQ(locate_dir_file(DIR_NETWORK, name), 0);
    EXPECT_EQ(name, h.home() + "/../telvar/network/x");
    name = "parameters";
    EXPECT_EQ(locate_dir_file(DIR_PARAMETERS, name), 0);
    EXPECT_EQ(name, h.home() + "/parameters");

    h.write(kLocalNear,
            "brantisdirectory = d:\\sched\nparametersdirectory = parms/\n"
            "telvarnetworkdirectory = d:\\net\\\n");
    name = "calendars";
    EXPECT_EQ(locate_dir_file(DIR_MASTER_DB, name), 0);
    EXPECT_EQ(name, "d:\\sched/calendars");
    name = "parameters";
    EXPECT_EQ(locate_dir_file(DIR_PARAMETERS, name), 0);
    EXPECT_EQ(name, "parms/parameters");  // used as given, not made absolute
    name = "x";
    EXPECT_EQ(locate_dir_file(DIR_NETWORK, name), 0);
    EXPECT_EQ(name, "d:\\net\\x");

    name = "x";
    EXPECT_EQ(locate_dir_file(3, name), -1);
    EXPECT_EQ(name, "x");
}

TEST(LocateDirFile, UnreadableLocalOptions) {
    TestHome h;
    std::filesystem::create_directories(h.path(kLocalNear));  // a directory in its place
    std::string name = "mastsked";
    EXPECT_EQ(locate_dir_file(DIR_MASTER_DB, name), -1);
    EXPECT_EQ(name, "mastsked");
    h.remove(kLocalNear);

    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not stop the super user";
    h.write(kLocalNear, "brantisdirectory = /x\n");
    ASSERT_EQ(::chmod(h.path(kLocalNear).c_str(), 0), 0);
    EXPECT_EQ(locate_dir_file(DIR_MASTER_DB, name), -1);
    EXPECT_EQ(name, "mastsked");
    // get_options passes over it as a missing file.
    h.write(kGlobalNear, "");
    std::int16_t width = 0;
    const OptionRequest req[] = {{OPT_CONSOLEWIDTH, &width}};
    EXPECT_EQ(get_options(req), 0);
    EXPECT_EQ(width, 80);
}

TEST(MasterName, SearchOrderAndLineForm) {
    TestHome h;
    EXPECT_EQ(master_name(), "");
    // The third place: "config" directly followed by "globalopts".
    h.write("configglobalopts", "mastercpu = cfg\n");
    EXPECT_EQ(master_name(), "CFG");
    master_name_reset();
    h.write(kGlobalNear, "# master = no\nMasterCPU = glob\n");
    EXPECT_EQ(master_name(), "GLOB");
    master_name_reset();
    h.write(kLocalNear, "master # ws9\n*master ws8\nmaster WS1\n");
    EXPECT_EQ(master_name(), "WS1");

    // Kept for the process once found.
    h.write(kLocalNear, "master ws2\n");
    EXPECT_EQ(master_name(), "WS1");
    master_name_reset();
    h.write(kLocalNear, "master = 'abcdefghijklmnopqrst'\n");
    EXPECT_EQ(master_name(), "ABCDEFGHIJKLMNOP");
    master_name_reset();
    h.write(kLocalNear, "master = 'ws3   '\n");
    EXPECT_EQ(master_name(), "WS3");
}
