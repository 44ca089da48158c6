// The keyed file layer may hold a store's records back until the store
// ends: a store whose records did not reach the file must fail, and a store
// that succeeds must read back whole. Every write of a store is made to
// fail in turn.
#include <cerrno>

#include "masterdb_testutil.h"
#include "platform/faults.h"

namespace {

using dbtest::DbTest;

class StoreWriteOutTest : public DbTest {
  protected:
    void TearDown() override {
        plat::fault_disarm();
        DbTest::TearDown();
    }

    // The data file ends with a whole record line.
    void expect_whole_lines(const std::string& name) {
        const std::string bytes = dbtest::read_file(db_file(name));
        ASSERT_FALSE(bytes.empty());
        EXPECT_EQ(bytes.back(), '\n') << name;
    }
};

TEST_F(StoreWriteOutTest, ScheduleStoredWholeOrReportedFailed) {
    db_ptr h = open_db(0);
    std::vector<std::string> lines;
    for (int i = 0; i < 40; ++i)
        lines.push_back("JOB" + std::to_string(i) + " line of the schedule text");
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    const auto store = [&](const std::string& name) {
        return store_schedule_text(h.get(), make_sched_header("CPU1", name), text);
    };
    ASSERT_EQ(db_lock_schedules(h.get()), DB_OK) << error_of(h.get());
    ASSERT_EQ(store("FIRST"), DB_OK) << error_of(h.get());
    plat::fault_disarm();
    ASSERT_EQ(store("SECOND"), DB_OK) << error_of(h.get());
    const unsigned long writes = plat::fault_count(plat::FaultOp::write);
    ASSERT_GT(writes, 0u);

    std::vector<std::pair<std::string, std::int16_t>> results;
    int failed = 0;
    for (unsigned long n = 1; n <= writes + 1; ++n) {
        const std::string name = "S" + std::to_string(n);
        plat::fault_arm(plat::FaultOp::write, n, ENOSPC);
        const std::int16_t rc = store(name);
        plat::fault_disarm();
        if (rc != DB_OK) {
            ++failed;
            EXPECT_EQ(rc, DB_E_KEYED);
            EXPECT_FALSE(error_of(h.get()).empty());
        }
        results.emplace_back(name, rc);
    }
    ASSERT_EQ(db_unlock_schedules(h.get()), DB_OK) << error_of(h.get());
    EXPECT_GT(failed, 0);
    for (const auto& [name, rc] : results) {
        SCOPED_TRACE(name);
        if (rc == DB_OK)
            EXPECT_EQ(stored_lines(h.get(), "CPU1", name), lines);
        else
            EXPECT_NE(stored_lines(h.get(), "CPU1", name), lines);
    }
    EXPECT_EQ(stored_lines(h.get(), "CPU1", "FIRST"), lines);
    expect_whole_lines("mastsked");
}

TEST_F(StoreWriteOutTest, CalendarDatesStoredOrReportedFailed) {
    dbtest::ZoneGuard zone("UTC");
    db_ptr h = open_db(0);
    std::vector<time_value> dates;
    for (int d = 1; d <= 28; ++d)
        dates.push_back(dbtest::local_date(2027, 2, d));
    const auto store = [&](const std::string& name) {
        std::int16_t rc = store_calendar(h.get(), make_calendar_info(name, "days"));
        if (rc == DB_OK)
            rc = add_calendar_dates(h.get(), name.c_str(), dates.data(),
                                    static_cast<int>(dates.size()));
        return rc;
    };
    const auto stored = [&](const std::string& name) {
        std::vector<time_value> out(64);
        time_value cursor = 0;
        int count = static_cast<int>(out.size());
        if (read_calendar_dates(h.get(), name.c_str(), &cursor, out.data(), &count) != DB_OK)
            count = 0;
        out.resize(static_cast<std::size_t>(count));
        return out;
    };
    ASSERT_EQ(db_lock_calendars(h.get()), DB_OK) << error_of(h.get());
    ASSERT_EQ(store("FIRST"), DB_OK) << error_of(h.get());
    plat::fault_disarm();
    ASSERT_EQ(store("SECOND"), DB_OK) << error_of(h.get());
    const unsigned long writes = plat::fault_count(plat::FaultOp::write);

    std::vector<std::pair<std::string, std::int16_t>> results;
    for (unsigned long n = 1; n <= writes + 1; ++n) {
        const std::string name = "C" + std::to_string(n);
        plat::fault_arm(plat::FaultOp::write, n, ENOSPC);
        results.emplace_back(name, store(name));
        plat::fault_disarm();
    }
    ASSERT_EQ(db_unlock_calendars(h.get()), DB_OK) << error_of(h.get());
    for (const auto& [name, rc] : results) {
        SCOPED_TRACE(name);
        if (rc == DB_OK)
            EXPECT_EQ(stored(name), dates);
        else
            EXPECT_NE(stored(name), dates);
    }
    expect_whole_lines("calendars");
}

}  // namespace
