// Schedule headers and text lines in both name layouts: pattern scans, line
// reads, storing a schedule from a text file and writing it back out.
#include "masterdb_testutil.h"

namespace {

using dbtest::DbTest;
namespace fs = std::filesystem;
using dbtest::local_date;
using dbtest::read_file;

// Run once with short names and once with long names.
class ScheduleTest : public DbTest, public ::testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        DbTest::SetUp();
        h_ = open_db(GetParam());
    }
    void TearDown() override {
        h_.reset();
        DbTest::TearDown();
    }

    // "WS#NAME" of every header matching the patterns, in scan order.
    std::vector<std::string> scan(const char* ws, const char* sched) {
        std::vector<std::string> out;
        int cursor = 0;
        sched_header hdr;
        std::int16_t rc;
        while ((rc = read_next_schedule(h_.get(), ws, sched, &cursor, &hdr)) == DB_OK) {
            const int w = GetParam() ? DB_LONG_NAME : DB_SHORT_NAME;
            out.push_back(field_to_str(hdr.workstation.data(), w) + "#" +
                          field_to_str(hdr.schedule.data(), w));
        }
        EXPECT_EQ(rc, DB_E_END) << error_of(h_.get());
        EXPECT_EQ(read_next_schedule(h_.get(), ws, sched, &cursor, &hdr), DB_E_END);
        return out;
    }

    db_ptr h_;
};

INSTANTIATE_TEST_SUITE_P(Layouts, ScheduleTest, ::testing::Values(0, 1));

using Names = std::vector<std::string>;

TEST_P(ScheduleTest, PatternScansReturnMatchingHeadersInKeyOrder) {
    for (auto [ws, name] : {std::pair{"CPU2", "B"},
                            {"CPU10", "ALPHA"},
                            {"X", "AB"},
                            {"CPU1", "PAYROLL"},
                            {"CPU1", "A1"},
                            {"CPU1", "42"}}) {
        ASSERT_EQ(put_schedule(h_.get(), ws, name, {"SCHEDULE " + std::string(name)}), DB_OK)
            << error_of(h_.get());
    }
    EXPECT_EQ(scan("@", "@"),
              (Names{"CPU1#42", "CPU1#A1", "CPU1#PAYROLL", "CPU10#ALPHA", "CPU2#B", "X#AB"}));
    EXPECT_EQ(scan("", ""), scan("@", "@"));
    EXPECT_EQ(scan("CPU1", "@"), (Names{"CPU1#42", "CPU1#A1", "CPU1#PAYROLL"}));
    EXPECT_EQ(scan("CPU1@", "A@"), (Names{"CPU1#A1", "CPU10#ALPHA"}));
    EXPECT_EQ(scan("@", "A@"), (Names{"CPU1#A1", "CPU10#ALPHA", "X#AB"}));
    EXPECT_EQ(scan("@", "@1"), (Names{"CPU1#A1"}));
    EXPECT_EQ(scan("?", "@"), (Names{"X#AB"}));
    EXPECT_EQ(scan("@", "##"), (Names{"CPU1#42"}));
    EXPECT_EQ(scan("CPU1", "PAYROLL"), (Names{"CPU1#PAYROLL"}));
    EXPECT_EQ(scan("CPU9", "@"), Names{});
}

TEST_P(ScheduleTest, NamesFillTheirWholeWidth) {
    const std::string ws = GetParam() ? "WORKSTATION12345" : "WORKSTN1";
    const std::string name = GetParam() ? "SCHEDULENAME1234" : "SCHEDULE";
    ASSERT_EQ(put_schedule(h_.get(), ws, name, {"SCHEDULE X", ":", "END"}), DB_OK);
    EXPECT_EQ(scan(ws.c_str(), name.c_str()), Names{ws + "#" + name});
    EXPECT_EQ(scan((ws + "@").c_str(), "@"), Names{ws + "#" + name});
    EXPECT_EQ(stored_lines(h_.get(), ws, name), (Names{"SCHEDULE " + ws + "#" + name, ":", "END"}));
}

TEST_P(ScheduleTest, TextLinesOfOneScheduleAtATime) {
    ASSERT_EQ(put_schedule(h_.get(), "CPU1", "A", {"SCHEDULE CPU1#A", "", "  indented", "END"}),
              DB_OK);
    ASSERT_EQ(put_schedule(h_.get(), "CPU1", "B", {"SCHEDULE CPU1#B", "END"}), DB_OK);
    ASSERT_EQ(put_schedule(h_.get(), "CPU1", "EMPTY", {}), DB_OK);

    std::string line;
    int cursor = 0;
    EXPECT_EQ(read_schedule_line(h_.get(), "CPU1", "NONE", &line, &cursor), DB_E_MISSING);
    EXPECT_EQ(error_of(h_.get()), message(7));
    cursor = 0;
    EXPECT_EQ(read_schedule_line(h_.get(), "CPU1", "EMPTY", &line, &cursor), DB_E_END);

    // Lines of A, then of B, then of A again from its first line.
    EXPECT_EQ(stored_lines(h_.get(), "CPU1", "A"),
              (Names{"SCHEDULE CPU1#A", "", "  indented", "END"}));
    EXPECT_EQ(stored_lines(h_.get(), "CPU1", "B"), (Names{"SCHEDULE CPU1#B", "END"}));
    EXPECT_EQ(stored_lines(h_.get(), "CPU1", "A").size(), 4u);

    // After the end of the lines the next read starts at the first line.
    cursor = 0;
    while (read_schedule_line(h_.get(), "CPU1", "B", &line, &cursor) == DB_OK) {
    }
    EXPECT_EQ(read_schedule_line(h_.get(), "CPU1", "B", &line, &cursor), DB_OK);
    EXPECT_EQ(line, "SCHEDULE CPU1#B");

    // The selection pass reads each header's lines between header reads.
    std::vector<std::string> seen;
    int scan_cursor = 0;
    sched_header hdr;
    while (read_next_schedule(h_.get(), "@", "@", &scan_cursor, &hdr) == DB_OK) {
        const int w = GetParam() ? DB_LONG_NAME : DB_SHORT_NAME;
        const std::string ws = field_to_str(hdr.workstation.data(), w);
        const std::string name = field_to_str(hdr.schedule.data(), w);
        seen.push_back(name + ":" + std::to_string(stored_lines(h_.get(), ws, name).size()));
    }
    EXPECT_EQ(seen, (Names{"A:4", "B:2", "EMPTY:0"}));
}

TEST_P(ScheduleTest, HeaderFieldsAndDatesSurviveTheRecord) {
    sched_header in = make_sched_header("CPU1", "DATED");
    std::memcpy(in.text1.data(), "FIRST-TEXT-FIELD-LONGER-THAN-EIGHT", 34);
    in.flag = 'Y';
    std::memcpy(in.text2.data(), "SECOND", 6);
    std::memcpy(in.text3.data(), "THIRD", 5);
    in.date = local_date(1999, 3, 15);
    ASSERT_EQ(put_schedule(h_.get(), in, {"SCHEDULE CPU1#DATED"}), DB_OK);
    ASSERT_EQ(put_schedule(h_.get(), "CPU1", "UNDATED", {}), DB_OK);

    const std::string file = read_file(db_file("mastsked"));
    sched_header out;
    int cursor = 0;
    ASSERT_EQ(read_next_schedule(h_.get(), "CPU1", "DATED", &cursor, &out), DB_OK);
    EXPECT_EQ(out.date, local_date(1999, 3, 15));
    EXPECT_EQ(out.text2, in.text2);
    EXPECT_EQ(out.text3, in.text3);
    if (GetParam() == 0) {
        // Short records keep 8 characters of the first field, no flag, and
        // the date as a packed date.
        EXPECT_NE(file.find("FIRST-TESECOND  THIRD   " + std::string(2, ' ') + "19990315"),
                  std::string::npos);
        EXPECT_EQ(std::string(out.text1.data(), 10), "FIRST-TE  ");
        EXPECT_EQ(out.flag, ' ');
    } else {
        char date[16];
        std::snprintf(date, sizeof date, "%10d", in.date);
        EXPECT_NE(
            file.find("LONGER-THAN-EIGHT" + std::string(13, ' ') + "YSECOND  THIRD   " + date),
            std::string::npos);
        EXPECT_EQ(out.text1, in.text1);
        EXPECT_EQ(out.flag, 'Y');
    }
    cursor = 0;
    ASSERT_EQ(read_next_schedule(h_.get(), "CPU1", "UNDATED", &cursor, &out), DB_OK);
    EXPECT_EQ(out.date, 0);
}

TEST_P(ScheduleTest, LongLinesAreStoredAsContinuedPieces) {
    std::string longline = "ON ";
    for (int i = 0; longline.size() < 300; ++i)
        longline += "MO,TU,";
    const std::string edge = std::string(126, 'a') + "\\";  // 127 characters ending in '\'
    const std::string full = std::string(127, 'b');
    const std::string over = std::string(128, 'c');
    const Names text = {"SCHEDULE CPU1#LONG", longline, edge, "tail", full, over, "END"};
    ASSERT_EQ(put_schedule(h_.get(), "CPU1", "LONG", text), DB_OK) << error_of(h_.get());

    const Names stored = stored_lines(h_.get(), "CPU1", "LONG");
    ASSERT_EQ(stored.size(), 11u);
    EXPECT_EQ(stored[1], longline.substr(0, 126) + "\\");
    EXPECT_EQ(stored[2], longline.substr(126, 126) + "\\");
    EXPECT_EQ(stored[3], longline.substr(252));
    EXPECT_EQ(stored[4], std::string(126, 'a') + "\\");
    EXPECT_EQ(stored[5], "\\");
    EXPECT_EQ(stored[6], "tail");
    EXPECT_EQ(stored[7], full);
    EXPECT_EQ(stored[8], std::string(126, 'c') + "\\");
    EXPECT_EQ(stored[9], "cc");
    EXPECT_EQ(join_stored_lines(stored), text);

    // The appending reader gives the same logical lines, each piece once and
    // without its backslash, after whatever the buffer already held.
    Names joined;
    std::string buffer = "kept:";
    bool continued = false;
    int cursor = 0;
    std::int16_t rc;
    while ((rc = append_schedule_line(h_.get(), "CPU1", "LONG", &buffer, &continued, &cursor)) ==
           DB_OK) {
        if (continued) continue;
        joined.push_back(buffer);
        buffer.clear();
    }
    EXPECT_EQ(rc, DB_E_END);
    EXPECT_TRUE(buffer.empty());
    ASSERT_EQ(joined.size(), text.size());
    EXPECT_EQ(joined[0], "kept:" + text[0]);
    EXPECT_EQ(Names(joined.begin() + 1, joined.end()), Names(text.begin() + 1, text.end()));
    buffer = "untouched";
    cursor = 0;
    EXPECT_EQ(append_schedule_line(h_.get(), "CPU1", "NONE", &buffer, &continued, &cursor),
              DB_E_MISSING);
    EXPECT_EQ(buffer, "untouched");

    // The text export gives the definition back as it was written.
    const std::string out = (home_ / "export.txt").string();
    ASSERT_EQ(write_schedule_text(h_.get(), "CPU1", "LONG", out.c_str(), nullptr), DB_OK)
        << error_of(h_.get());
    std::string expect;
    for (const std::string& line : text)
        expect += line + "\n";
    EXPECT_EQ(read_file(out), expect);
}

TEST_P(ScheduleTest, StoringRewritesTheScheduleLineAndReplacesTheOldSchedule) {
    ASSERT_EQ(put_schedule(h_.get(), "CPU1", "NEW", {"first", "old text", "END"}), DB_OK);
    ASSERT_EQ(
        put_schedule(h_.get(), "CPU1", "NEW",
                     {"* comment", "  schedule  cpu9#old   on EVERYDAY", "SCHEDULE A#B", "END"}),
        DB_OK);
    EXPECT_EQ(stored_lines(h_.get(), "CPU1", "NEW"),
              (Names{"* comment", "SCHEDULE CPU1#NEW on EVERYDAY", "SCHEDULE A#B", "END"}));
    EXPECT_EQ(scan("@", "@"), Names{"CPU1#NEW"});
}

TEST_P(ScheduleTest, StoringNeedsOpenFilesAndAReadableText) {
    const std::string path = (home_ / "text").string();
    dbtest::write_file(path, "SCHEDULE X\n");
    EXPECT_EQ(store_schedule(h_.get(), make_sched_header("CPU1", "S"), path.c_str()),
              DB_E_NOT_OPEN);

    ASSERT_EQ(put_schedule(h_.get(), "CPU1", "KEEP", {"SCHEDULE CPU1#KEEP", "END"}), DB_OK);
    ASSERT_EQ(db_lock_schedules(h_.get()), DB_OK);
    const std::string missing = (home_ / "missing").string();
    EXPECT_EQ(store_schedule(h_.get(), make_sched_header("CPU1", "KEEP"), missing.c_str()),
              DB_E_INPUT);
    char buf[kFormatBufSize];
    std::int16_t len = 0;
    format_msg(buf, &len, 2076, 9, {arg_errno(ENOENT)});
    EXPECT_EQ(error_of(h_.get()), std::string(buf, static_cast<std::size_t>(len)));
    ASSERT_EQ(db_unlock_schedules(h_.get()), DB_OK);
    // Nothing was changed.
    EXPECT_EQ(stored_lines(h_.get(), "CPU1", "KEEP"), (Names{"SCHEDULE CPU1#KEEP", "END"}));
}

// A stored line's text ends before its trailing white space and at a zero
// byte, whatever the field holds (lines written by other programs too).
TEST_P(ScheduleTest, StoredTextEndsBeforeTrailingSpaceAndAtAZeroByte) {
    ASSERT_EQ(put_schedule(h_.get(), "CPU1", "Z", {"SCHEDULE CPU1#Z", "MARKERLINE", "END"}), DB_OK);
    const std::string path = db_file_path(DB_FILE_SCHEDULES);
    const std::string original = read_file(path);
    const std::size_t at = original.find("MARKERLINE");
    ASSERT_NE(at, std::string::npos);
    const std::string blanks(DB_LINE_TEXT, ' ');
    auto field = [&](std::string text) {
        text.resize(DB_LINE_TEXT, ' ');
        return text;
    };
    const std::string zero(1, '\0');
    const std::vector<std::string> fields = {
        field("abc\t\t"),
        field("abc \v\f\r\n \t"),
        field("abcdefg\t"),
        field("abcdefgh\t"),
        field("abc" + zero + "def"),
        field("abc   " + zero),
        field(zero),
        blanks,
        std::string(DB_LINE_TEXT, 'x'),
        std::string(DB_LINE_TEXT - 1, 'x') + "\t",
        field(std::string(56, 'y') + "z"),
        field(std::string(100, ' ') + "w"),
        blanks.substr(0, 64) + zero + blanks.substr(65),
        field(std::string(70, 'q') + zero),
    };
    for (const std::string& f : fields) {
        SCOPED_TRACE(testing::PrintToString(f));
        std::string bytes = original;
        bytes.replace(at, DB_LINE_TEXT, f);
        dbtest::write_file(path, bytes);
        const std::string want(f.data(),
                               static_cast<std::size_t>(field_length(f.data(), DB_LINE_TEXT)));
        EXPECT_EQ(stored_lines(h_.get(), "CPU1", "Z"), (Names{"SCHEDULE CPU1#Z", want, "END"}));
    }
    dbtest::write_file(path, original);
}

TEST_P(ScheduleTest, TextExportToATemporaryFile) {
    ASSERT_EQ(put_schedule(h_.get(), "CPU1", "T", {"SCHEDULE CPU1#T", "END"}), DB_OK);
    const fs::path temp = home_ / "temp";
    fs::create_directory(temp);
    const char* old = std::getenv("TEMP");
    const std::string saved = old != nullptr ? old : "";
    ::setenv("TEMP", temp.c_str(), 1);
    std::string written;
    EXPECT_EQ(write_schedule_text(h_.get(), "CPU1", "T", nullptr, &written), DB_OK);
    EXPECT_EQ(written, (temp / ("sched." + std::to_string(::getpid()))).string());
    EXPECT_EQ(read_file(written), "SCHEDULE CPU1#T\nEND\n");
    // A stale file of the same name is replaced.
    dbtest::write_file(written, "stale stale stale stale\n");
    EXPECT_EQ(write_schedule_text(h_.get(), "CPU1", "T", "", &written), DB_OK);
    EXPECT_EQ(read_file(written), "SCHEDULE CPU1#T\nEND\n");
    if (old != nullptr)
        ::setenv("TEMP", saved.c_str(), 1);
    else
        ::unsetenv("TEMP");

    written.clear();
    EXPECT_EQ(write_schedule_text(h_.get(), "CPU1", "NONE", nullptr, &written), DB_E_MISSING);
    EXPECT_EQ(written, "");
    const std::string bad = (home_ / "no" / "such" / "dir").string();
    EXPECT_EQ(write_schedule_text(h_.get(), "CPU1", "T", bad.c_str(), nullptr), DB_E_TEMP);
}

}  // namespace
