// The bytes mastdb writes: a small database built through the tool is
// compared with the files built here by hand from the record layouts.
#include <cstdio>

#include "tests/mastdb/mastdb_testutil.h"

namespace {

using mdbtest::MastdbTest;

std::string pad(const std::string& s, std::size_t width) {
    std::string out = s.substr(0, width);
    out.resize(width, ' ');
    return out;
}

std::string number(long value, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%*ld", width, value);
    return buf;
}

std::string hex(long value, int digits) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*lX", digits, value);
    return buf;
}

// The 94-byte header of a keyed data file with one detail kind.
std::string file_header(const std::string& ident, int format, int rec0, int off0, int len0,
                        int rec1, int off1, int len1) {
    std::string slots =
        hex(rec0, 4) + hex(off0, 4) + hex(len0, 4) + hex(rec1, 4) + hex(off1, 4) + hex(len1, 4);
    return "AH0001" + hex(format, 4) + pad(ident, 16) + "0001" + pad(slots, 63) + "\n";
}

// Record lines appended in this order, each detail after its master and the
// details of one master in chain order: a master points to the detail that
// follows it, a detail to the next detail.
std::string file_body(const std::vector<std::pair<bool, std::string>>& records) {
    std::vector<long> pos;
    long at = 94;
    for (const auto& [master, data] : records) {
        pos.push_back(at);
        at += 2 + 8 + static_cast<long>(data.size()) + 1;
    }
    std::string out;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const bool next_is_detail = i + 1 < records.size() && !records[i + 1].first;
        out += records[i].first ? "DM" : "D1";
        out += hex(next_is_detail ? pos[i + 1] : 0, 8);
        out += records[i].second + "\n";
    }
    return out;
}

class ExactBytes : public MastdbTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ExactBytes, SmallDatabaseBuiltByTheTool) {
    const bool long_names = GetParam();
    create(long_names);
    ok({"add-schedules", "-"}, "* the first\nschedule cpu1#daily ON MO\n:\nEND\n");
    ok({"add-calendars", "-"}, "HOLIDAYS \"New year\" 2024/02/29 2024/01/15\n");

    const std::size_t w = long_names ? 16 : 8;
    const std::string key = pad("CPU1", w) + pad("DAILY", w);
    std::string header = key;
    if (long_names)
        header +=
            std::string(47, ' ') + " " + pad("", 8) + pad("", 8);  // text1, flag, text2, text3
    else
        header += pad("", 8) + pad("", 8) + pad("", 8);
    header += number(0, 10) + std::string(32, ' ');  // no date
    ASSERT_EQ(header.size(), long_names ? 138u : 82u);
    std::vector<std::pair<bool, std::string>> sched = {{true, header}};
    int lineno = 0;
    for (const char* text : {"* the first", "SCHEDULE CPU1#DAILY ON MO", ":", "END"})
        sched.emplace_back(false,
                           key + number(lineno++, 6) + pad(text, 128) + std::string(32, ' '));
    const std::string mastsked = (long_names ? file_header("mastsked", 1, 138, 0, 32, 198, 32, 6)
                                             : file_header("mastsked", 0, 82, 0, 16, 182, 16, 6)) +
                                 file_body(sched);
    EXPECT_EQ(tree_.read("brantis/mastsked"), mastsked);

    // Calendar dates are packed dates in the short layout and time values
    // (here of UTC midnights) in the long one.
    const long jan15 = long_names ? 1705276800L : 20240115L;
    const long feb29 = long_names ? 1709164800L : 20240229L;
    const std::string cal = pad("HOLIDAYS", 8);
    const std::string calendars =
        file_header("calendars", long_names ? 1 : 0, 104, 0, 8, 50, 8, 10) +
        file_body({{true, cal + pad("New year", 64) + std::string(32, ' ')},
                   {false, cal + number(jan15, 10) + std::string(32, ' ')},
                   {false, cal + number(feb29, 10) + std::string(32, ' ')}});
    EXPECT_EQ(tree_.read("brantis/calendars"), calendars);

    EXPECT_EQ(tree_.read("brantis/job.sched"),
              long_names ? file_header("job.sched", 1, 32, 0, 32, 72, 32, 40)
                         : file_header("job.sched", 0, 16, 0, 16, 24, 16, 8));
    for (const char* index : {"mastsked.KEY", "calendars.KEY", "job.sched.KEY"})
        EXPECT_TRUE(tree_.exists(std::string("brantis/") + index)) << index;
}

INSTANTIATE_TEST_SUITE_P(Layouts, ExactBytes, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "long" : "short"; });

}  // namespace
