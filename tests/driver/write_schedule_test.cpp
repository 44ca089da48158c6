// The production schedule writer: stored text copied with its long lines
// whole, each schedule's text kept to itself, and the progress and summary on
// standard output.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "driver/korvex.h"
#include "driver/korvex_list.h"
#include "driver/korvex_write.h"
#include "select_testutil.h"
#include "shared/msg_test_util.h"

namespace {

using seltest::filler;

struct Written {
    int status = -1;
    std::string out;
    std::string err;
    std::string file;
};

class WriteTest : public dbtest::DbTest {
  protected:
    // Runs the writer in a child process over these selected schedules.
    Written write(time_value run_date,
                  const std::vector<std::pair<std::string, std::string>>& selected) {
        const std::string path = (home_ / "prodsked").string();
        const msgtest::ChildResult r = msgtest::run_in_child([&] {
            db_ptr h = open_db(0);
            run_context ctx;
            ctx.database = h.get();
            ctx.run_date = run_date;
            ctx.output_path = path;
            if (open_output(ctx) != 0) ::_exit(90);
            for (const auto& [ws, name] : selected)
                if (add_selected(ws, name, 0, kKeepPriority) != kSelectedOk) ::_exit(91);
            const int rc = write_production_schedule(ctx);
            std::fflush(nullptr);
            ::_exit(rc);
        });
        return {r.status, r.out, r.err, dbtest::read_file(path)};
    }

    static std::string text(int number, const std::string& arg) {
        char buf[kFormatBufSize];
        std::int16_t len = 0;
        format_msg(buf, &len, 2207, number, {arg_str(arg.c_str())});
        return std::string(buf, static_cast<std::size_t>(len));
    }
    static std::string header(const std::string& ws) { return "*\n" + text(22, ws) + "\n*\n"; }
};

TEST_F(WriteTest, LongStatementIsWrittenWhole) {
    db_ptr h = open_db(0);
    // 100 continued pieces and the piece that ends the statement: far more
    // than a 2048-character statement buffer holds.
    const std::string statement = "PROMPT \"" + filler(100 * 126) + "\"";
    const std::vector<std::string> lines = {"SCHEDULE MASTER#LONG ON EVERYDAY", statement,
                                            "A SHORT LINE ENDING IN A BACKSLASH \\", "END"};
    ASSERT_EQ(put_schedule(h.get(), "MASTER", "LONG", lines), DB_OK);
    ASSERT_EQ(stored_lines(h.get(), "MASTER", "LONG").size(), 104u);
    h.reset();

    const Written w = write(0, {{"MASTER", "LONG"}});
    EXPECT_EQ(w.status, 0) << w.err;
    EXPECT_EQ(w.err, "");
    std::string expected = header("MASTER");
    for (const std::string& line : lines)
        expected += line + "\n";
    EXPECT_EQ(w.file, expected);
    EXPECT_EQ(w.out, text(22, "MASTER") + "\n" + text(21, "LONG") + "\n" +
                         "1 schedule selected for workstation MASTER.\n\n" +
                         "1 schedule selected in all.\n\n");
}

TEST_F(WriteTest, OpenPieceStaysWithItsSchedule) {
    db_ptr h = open_db(0);
    // A's last stored line is a continued piece with nothing after it.
    seltest::put_stored_lines(h.get(), "MASTER", "A",
                              {"SCHEDULE MASTER#A", "ON EVERYDAY", filler(126, 'x') + "\\"});
    ASSERT_EQ(put_schedule(h.get(), "MASTER", "B", {"SCHEDULE MASTER#B", "END"}), DB_OK);
    h.reset();

    const Written w = write(0, {{"MASTER", "A"}, {"MASTER", "B"}});
    EXPECT_EQ(w.status, 0) << w.err;
    EXPECT_EQ(w.file, header("MASTER") + "SCHEDULE MASTER#A\nON EVERYDAY\n" + filler(126, 'x') +
                          "\nSCHEDULE MASTER#B\nEND\n");
}

TEST_F(WriteTest, NothingSelected) {
    const Written w = write(dbtest::local_date(2024, 3, 15), {});
    EXPECT_EQ(w.status, 0) << w.err;
    EXPECT_EQ(w.file, text(20, "24/03/15") + "\n");
    EXPECT_EQ(w.out, "\n" + text(26, "0") + "\n\n");
}

}  // namespace
