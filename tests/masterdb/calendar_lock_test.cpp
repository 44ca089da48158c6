// Calendar look-ups under the calendar lock answer from the dates the handle
// keeps: they must follow the handle's own changes, see another process's
// changes after the next lock, and give the same answers as the file walk
// for chains that are not in order.
#include <sys/wait.h>
#include <unistd.h>

#include "masterdb_testutil.h"

namespace {

using dbtest::DbTest;
using dbtest::local_date;

class CalendarLockTest : public DbTest, public ::testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        DbTest::SetUp();
        h_ = open_db(GetParam());
    }
    void TearDown() override {
        h_.reset();
        DbTest::TearDown();
    }

    static time_value jan(int day) { return local_date(2027, 1, day); }

    // What the handle says about a calendar: membership of days 1..31 of
    // January and every date from a cursor, read in batches of 2.
    std::string answers(const char* name, int from_day = 1) {
        std::string out;
        for (int d = 1; d <= 31; ++d)
            out += std::to_string(find_calendar_date(h_.get(), name, jan(d)));
        out += " |";
        time_value cursor = jan(from_day);
        for (int guard = 0; guard < 100; ++guard) {
            time_value buf[2];
            int count = 2;
            const std::int16_t rc = read_calendar_dates(h_.get(), name, &cursor, buf, &count);
            if (rc != DB_OK) {
                out += " end " + std::to_string(rc);
                break;
            }
            for (int i = 0; i < count; ++i)
                out += " " + std::to_string(buf[i]);
        }
        return out;
    }

    // The answers locked and unlocked, which must agree.
    void expect_same_locked(const char* name) {
        for (int from : {1, 6, 21}) {
            SCOPED_TRACE(from);
            const std::string unlocked = answers(name, from);
            ASSERT_EQ(db_lock_calendars(h_.get()), DB_OK) << error_of(h_.get());
            EXPECT_EQ(answers(name, from), unlocked);
            EXPECT_EQ(answers(name, from), unlocked);  // from what was kept
            ASSERT_EQ(db_unlock_calendars(h_.get()), DB_OK) << error_of(h_.get());
        }
    }

    db_ptr h_;
};

INSTANTIATE_TEST_SUITE_P(Formats, CalendarLockTest, ::testing::Values(0, 1));

TEST_P(CalendarLockTest, KeptDatesFollowChangesUnderTheLock) {
    put_calendar(h_.get(), "WORK", "work days", {jan(5), jan(10), jan(20)});
    expect_same_locked("WORK");
    expect_same_locked("NOSUCH");

    db_handle* h = h_.get();
    ASSERT_EQ(db_lock_calendars(h), DB_OK);
    EXPECT_EQ(find_calendar_date(h, "WORK", jan(7)), DB_E_MISSING);
    const time_value more[] = {jan(30), jan(7), jan(10), jan(7)};
    ASSERT_EQ(add_calendar_dates(h, "WORK", more, 4), DB_OK) << error_of(h);
    EXPECT_EQ(find_calendar_date(h, "WORK", jan(7)), DB_OK);
    EXPECT_EQ(find_calendar_date(h, "WORK", jan(30)), DB_OK);
    ASSERT_EQ(delete_calendar_date(h, "WORK", jan(10)), DB_OK) << error_of(h);
    EXPECT_EQ(find_calendar_date(h, "WORK", jan(10)), DB_E_MISSING);
    ASSERT_EQ(store_calendar(h, make_calendar_info("NEW", "later")), DB_OK);
    EXPECT_EQ(find_calendar_date(h, "NEW", jan(3)), DB_E_MISSING);
    ASSERT_EQ(add_calendar_dates(h, "NEW", more, 1), DB_OK);
    EXPECT_EQ(find_calendar_date(h, "NEW", jan(30)), DB_OK);
    const std::string locked = answers("WORK");
    ASSERT_EQ(delete_calendar(h, "NEW"), DB_OK);
    EXPECT_EQ(find_calendar_date(h, "NEW", jan(30)), DB_E_MISSING);
    ASSERT_EQ(db_unlock_calendars(h), DB_OK);

    // What was answered under the lock is what the file holds.
    EXPECT_EQ(answers("WORK"), locked);
    EXPECT_NE(locked.find(" " + std::to_string(jan(7)) + " " + std::to_string(jan(20))),
              std::string::npos)
        << locked;
    EXPECT_EQ(find_calendar_date(h, "NEW", jan(30)), DB_E_MISSING);
}

TEST_P(CalendarLockTest, ChangesOfAnotherProcessAreSeenAfterRelocking) {
    put_calendar(h_.get(), "WORK", "", {jan(5)});
    ASSERT_EQ(db_lock_calendars(h_.get()), DB_OK);
    EXPECT_EQ(find_calendar_date(h_.get(), "WORK", jan(8)), DB_E_MISSING);
    ASSERT_EQ(db_unlock_calendars(h_.get()), DB_OK);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        db_ptr other;
        std::string msg;
        int rc = db_open(&other, DB_OPEN_PRIVATE, &msg, GetParam()) != DB_OK ? 1 : 0;
        const time_value d = jan(8);
        if (rc == 0 && db_lock_calendars(other.get()) != DB_OK) rc = 2;
        if (rc == 0 && add_calendar_dates(other.get(), "WORK", &d, 1) != DB_OK) rc = 3;
        if (rc == 0 && db_unlock_calendars(other.get()) != DB_OK) rc = 4;
        ::_exit(rc);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);

    ASSERT_EQ(db_lock_calendars(h_.get()), DB_OK);
    EXPECT_EQ(find_calendar_date(h_.get(), "WORK", jan(8)), DB_OK);
    ASSERT_EQ(db_unlock_calendars(h_.get()), DB_OK);
}

TEST_P(CalendarLockTest, ChainsOutOfOrderAnswerAsTheFileWalkDoes) {
    put_calendar(h_.get(), "ODD", "", {jan(5), jan(10), jan(20)});
    h_.reset();
    db_shared_reset();
    // The middle date becomes the 25th: the chain reads 5, 25, 20.
    const std::string path = db_file("calendars");
    std::string bytes = dbtest::read_file(path);
    auto field = [&](time_value t) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%10ld",
                      static_cast<long>(GetParam() == 0 ? time_to_ymd8(t) : t));
        return std::string(buf);
    };
    const std::size_t at = bytes.find("ODD     " + field(jan(10)));
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at + 8, 10, field(jan(25)));
    dbtest::write_file(path, bytes);

    h_ = open_db(GetParam());
    expect_same_locked("ODD");
    EXPECT_EQ(find_calendar_date(h_.get(), "ODD", jan(20)), DB_E_MISSING);  // the walk stops at 25
}

}  // namespace
