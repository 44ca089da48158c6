// Storing a schedule from a text in memory writes the very bytes that
// storing it from a file holding the same text writes.
#include "masterdb_testutil.h"

namespace {

using dbtest::DbTest;
namespace fs = std::filesystem;

class StoreTextTest : public DbTest, public ::testing::WithParamInterface<int> {
  protected:
    // Stores every text in turn (as WS#S<i>, then again over the first name
    // to replace it) into the database under home, from files or from
    // memory, and returns the schedule file's bytes.
    std::string store_all(const fs::path& home, const std::vector<std::string>& texts,
                          bool from_file) {
        fs::create_directories(home / "brantis");
        std::error_code ec;
        fs::create_directory_symlink(fs::path(KORVEX_BUILD_DIR) / "catalog", home / "catalog", ec);
        dbtest::write_file((home / "localopts").string(), "thiscpu = MASTER\nmaster = MASTER\n");
        set_home_dir(home.string());
        db_shared_reset();
        {
            db_ptr h = open_db(GetParam());
            EXPECT_EQ(db_lock_schedules(h.get()), DB_OK) << error_of(h.get());
            for (std::size_t i = 0; i <= texts.size(); ++i) {
                const std::string& text = texts[i % texts.size()];
                sched_header hdr = make_sched_header("CPU1", "S" + std::to_string(i % 5));
                hdr.date = dbtest::local_date(2027, 1, 1 + static_cast<int>(i));
                std::int16_t rc;
                if (from_file) {
                    const std::string path = (home / "text").string();
                    dbtest::write_file(path, text);
                    rc = store_schedule(h.get(), hdr, path.c_str());
                } else {
                    rc = store_schedule_text(h.get(), hdr, text);
                }
                EXPECT_EQ(rc, DB_OK) << error_of(h.get());
            }
            EXPECT_EQ(db_unlock_schedules(h.get()), DB_OK) << error_of(h.get());
        }
        db_shared_reset();
        return dbtest::read_file((home / "brantis" / "mastsked").string());
    }
};

INSTANTIATE_TEST_SUITE_P(Layouts, StoreTextTest, ::testing::Values(0, 1));

TEST_P(StoreTextTest, SameBytesAsStoringFromAFile) {
    const std::string long_line(300, 'x');
    const std::vector<std::string> texts = {
        "SCHEDULE A#B ON EVERYDAY\nAT 0100\n:\nJOB1\nEND\n",
        "",                                                      // nothing at all
        "\n\n",                                                  // empty lines only
        "schedule x\r\nwith crlf\r\nEND",                        // no final line end
        "text with a lone cr\r",                                 // kept: no line feed follows
        long_line + "\n" + std::string(126, 'y') + "\\\nEND\n",  // continued pieces
        std::string("nul\0inside\n", 11),
    };
    const std::string via_file = store_all(home_ / "file", texts, true);
    const std::string via_text = store_all(home_ / "text", texts, false);
    ASSERT_FALSE(via_file.empty());
    EXPECT_TRUE(via_file == via_text) << "schedule files differ";
}

}  // namespace
