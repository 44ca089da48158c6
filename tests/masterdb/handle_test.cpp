// The database handle: opening files on demand, creation on the master, the
// shared handle, locks and result texts.
#include <sys/wait.h>
#include <unistd.h>

#include "masterdb_testutil.h"

namespace {

using dbtest::DbTest;
namespace fs = std::filesystem;
using dbtest::read_file;

class HandleTest : public DbTest {};

TEST_F(HandleTest, MissingFileOffTheMasterIsCode15AndTheHandleStaysUsable) {
    set_workstations("WS2", "MASTER");
    ASSERT_EQ(this_cpu_name(), "WS2");
    db_ptr h = open_db(0);
    int cursor = 0;
    sched_header hdr;
    EXPECT_EQ(read_next_schedule(h.get(), "@", "@", &cursor, &hdr), DB_E_NOT_MASTER);
    EXPECT_EQ(error_of(h.get()), message(15));
    EXPECT_FALSE(fs::exists(db_file("mastsked")));

    std::string msg;
    std::int16_t flag = 0;
    EXPECT_EQ(db_probe_file(DB_PROBE_CALENDARS, DB_OPEN_PRIVATE, &msg, &flag), DB_E_NOT_MASTER);
    EXPECT_EQ(msg, message(15));

    // Once this workstation is the master the same handle opens (and creates)
    // the file on the next operation.
    set_workstations("MASTER", "MASTER");
    cursor = 0;
    EXPECT_EQ(read_next_schedule(h.get(), "@", "@", &cursor, &hdr), DB_E_END) << error_of(h.get());
    EXPECT_TRUE(fs::exists(db_file("mastsked")));
}

TEST_F(HandleTest, TheMasterCreatesEmptyFilesInTheHandlesLayout) {
    const std::string pad39(39, ' ');
    const std::string expect[2][3] = {
        {"AH00010000mastsked        000100520000001000B600100006" + pad39 + "\n",
         "AH00010000job.sched       0001001000000010001800100008" + pad39 + "\n",
         "AH00010000calendars       000100680000000800320008000A" + pad39 + "\n"},
        {"AH00010001mastsked        0001008A0000002000C600200006" + pad39 + "\n",
         "AH00010001job.sched       0001002000000020004800200028" + pad39 + "\n",
         "AH00010001calendars       000100680000000800320008000A" + pad39 + "\n"},
    };
    for (int flag : {0, 1}) {
        SCOPED_TRACE(flag);
        for (const char* f : {"mastsked", "job.sched", "calendars"}) {
            fs::remove(db_file(f));
            fs::remove(db_file(std::string(f) + ".KEY"));
        }
        db_ptr h = open_db(flag);
        ASSERT_EQ(db_lock_schedules(h.get()), DB_OK) << error_of(h.get());
        ASSERT_EQ(db_lock_calendars(h.get()), DB_OK) << error_of(h.get());
        EXPECT_EQ(read_file(db_file("mastsked")), expect[flag][0]);
        EXPECT_EQ(read_file(db_file("job.sched")), expect[flag][1]);
        EXPECT_EQ(read_file(db_file("calendars")), expect[flag][2]);
        for (const char* f : {"mastsked.KEY", "job.sched.KEY", "calendars.KEY"})
            EXPECT_EQ(fs::file_size(db_file(f)), 1024u) << f;
        std::int16_t got = -1;
        EXPECT_EQ(db_long_names(h.get(), &got), DB_OK);
        EXPECT_EQ(got, flag);
        EXPECT_EQ(db_unlock_schedules(h.get()), DB_OK);
        EXPECT_EQ(db_unlock_calendars(h.get()), DB_OK);
        h.reset();

        // The probe reports the layout of the file, whatever flag it is given.
        std::string msg;
        std::int16_t probed = static_cast<std::int16_t>(1 - flag);
        EXPECT_EQ(db_probe_file(DB_PROBE_SCHEDULES, 0, &msg, &probed), DB_OK) << msg;
        EXPECT_EQ(probed, flag);
    }
}

TEST_F(HandleTest, SharedHandleLivesUntilItsLastReference) {
    db_ptr a, b, priv;
    std::string msg;
    ASSERT_EQ(db_open(&a, 0, &msg, 0), DB_OK);
    ASSERT_EQ(db_open(&b, 0, &msg, 1), DB_OK);
    ASSERT_EQ(db_open(&priv, DB_OPEN_PRIVATE, &msg, 0), DB_OK);
    EXPECT_EQ(a.get(), b.get());
    EXPECT_NE(a.get(), priv.get());
    EXPECT_EQ(a->refs, 2);

    // A probe through the shared handle takes a reference and gives it back.
    std::int16_t flag = 0;
    ASSERT_EQ(db_probe_file(DB_PROBE_SCHEDULES, 0, &msg, &flag), DB_OK) << msg;
    EXPECT_EQ(a->refs, 2);
    EXPECT_TRUE(a->files[DB_FILE_SCHEDULES]);

    db_handle* shared = b.get();
    EXPECT_EQ(db_close(&a), DB_OK);
    EXPECT_FALSE(a);
    EXPECT_EQ(shared->magic, DB_MAGIC);
    EXPECT_TRUE(shared->files[DB_FILE_SCHEDULES]);
    int cursor = 0;
    EXPECT_EQ(read_next_schedule(b.get(), "@", "@", &cursor, nullptr), DB_E_END);
    EXPECT_EQ(db_close(&b), DB_OK);
    EXPECT_EQ(db_close(&b), DB_E_NO_HANDLE);

    // The next shared open starts a new handle.
    db_ptr c;
    ASSERT_EQ(db_open(&c, 0, &msg, 0), DB_OK);
    EXPECT_EQ(c->refs, 1);
    EXPECT_FALSE(c->files[DB_FILE_SCHEDULES]);
}

TEST_F(HandleTest, ResultsAndTheirTexts) {
    std::string text;
    EXPECT_EQ(db_error_text(nullptr, &text), DB_E_NO_HANDLE);
    EXPECT_EQ(text, message(4));
    int cursor = 0;
    EXPECT_EQ(read_next_schedule(nullptr, "@", "@", &cursor, nullptr), DB_E_NO_HANDLE);

    db_handle foreign;
    foreign.magic = 1;
    EXPECT_EQ(find_calendar_date(&foreign, "X", 0), DB_E_BAD_HANDLE);
    EXPECT_EQ(db_error_text(&foreign, &text), DB_E_BAD_HANDLE);
    EXPECT_EQ(text, message(2));

    db_ptr h = open_db(0);
    EXPECT_EQ(db_unlock_schedules(h.get()), DB_E_NOT_OPEN);
    EXPECT_EQ(error_of(h.get()), message(3));
    EXPECT_EQ(db_unlock_calendars(h.get()), DB_E_NOT_OPEN);
    EXPECT_EQ(store_calendar(h.get(), make_calendar_info("X", "")), DB_E_NOT_OPEN);

    // A success clears the previous result.
    EXPECT_EQ(db_lock_calendars(h.get()), DB_OK);
    std::int16_t code = -1;
    std::int32_t detail = -1;
    EXPECT_EQ(db_status(h.get(), &code, &detail), DB_OK);
    EXPECT_EQ(detail, 0);
    EXPECT_EQ(error_of(h.get()), "");

    // Keyed failures keep the keyed file layer's code and text.
    EXPECT_EQ(db_lock_calendars(h.get()), DB_E_KEYED);
    EXPECT_EQ(db_status(h.get(), &code, &detail), DB_E_KEYED);
    EXPECT_EQ(detail, ISAM_E_LOCK_HELD);
    std::string keyed;
    isam_error_text(h->files[DB_FILE_CALENDARS].get(), &keyed);
    EXPECT_FALSE(keyed.empty());
    EXPECT_EQ(error_of(h.get()), keyed);
}

TEST_F(HandleTest, ScheduleLocksExcludeOtherUpdatersUntilReleased) {
    db_ptr h = open_db(0);
    ASSERT_EQ(db_lock_schedules(h.get()), DB_OK) << error_of(h.get());
    const std::string path = db_file("mastsked");
    // Another process asks for the exclusive lock, which is refused at once
    // while anyone holds the update lock.
    auto other_can_lock = [&path]() {
        const pid_t pid = ::fork();
        if (pid == 0) {
            isam_ptr f;
            std::string msg;
            if (isam_open(&f, path.c_str(), nullptr, ISAM_ACCESS_SHARED, ISAM_OPEN_EXISTING,
                          &msg) != ISAM_OK)
                ::_exit(2);
            ::_exit(isam_lock(f.get(), ISAM_LOCK_EXCLUSIVE) == ISAM_OK ? 0 : 1);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(other_can_lock(), 1);
    ASSERT_EQ(db_unlock_schedules(h.get()), DB_OK) << error_of(h.get());
    EXPECT_EQ(other_can_lock(), 0);
}

TEST_F(HandleTest, FailedSecondLockReleasesTheFirst) {
    db_ptr h = open_db(0);
    ASSERT_EQ(db_open_file(h.get(), DB_FILE_SCHED_JOBS), DB_OK) << error_of(h.get());
    ASSERT_EQ(isam_lock(h->files[DB_FILE_SCHED_JOBS].get(), ISAM_LOCK_UPDATE), ISAM_OK);
    EXPECT_EQ(db_lock_schedules(h.get()), DB_E_KEYED);
    std::int16_t code = 0;
    std::int32_t detail = 0;
    db_status(h.get(), &code, &detail);
    EXPECT_EQ(detail, ISAM_E_LOCK_HELD);
    EXPECT_EQ(h->files[DB_FILE_SCHEDULES]->flags & ISAM_FL_LOCKED, 0u);
}

TEST_F(HandleTest, FilesOfTheWrongLayoutAreRefused) {
    // A schedule file whose records do not have the layout its format value
    // names: short names announced, long records present.
    isam_file_desc desc;
    desc.name = "mastsked";
    desc.format = 0;
    desc.kinds = 1;
    desc.slots[0] = {138, 0, 32};
    desc.slots[1] = {198, 32, 6};
    isam_ptr f;
    std::string msg;
    ASSERT_EQ(isam_open(&f, db_file("mastsked").c_str(), &desc, ISAM_ACCESS_SHARED,
                        ISAM_OPEN_CREATE, &msg),
              ISAM_OK)
        << msg;
    f.reset();
    db_ptr h = open_db(0);
    int cursor = 0;
    EXPECT_EQ(read_next_schedule(h.get(), "@", "@", &cursor, nullptr), DB_E_KEYED);
    std::int16_t code = 0;
    std::int32_t detail = 0;
    db_status(h.get(), &code, &detail);
    EXPECT_EQ(detail, ISAM_E_SLOT_RECLEN);
    EXPECT_FALSE(h->files[DB_FILE_SCHEDULES]);

    // A parameters file (in the home directory) with long names.
    desc.name = "parameters";
    desc.format = 1;
    desc.slots[0] = {40, 0, 16};
    desc.slots[1] = {40, 16, 8};
    ASSERT_EQ(isam_open(&f, (home_ / "parameters").c_str(), &desc, ISAM_ACCESS_SHARED,
                        ISAM_OPEN_CREATE, &msg),
              ISAM_OK)
        << msg;
    f.reset();
    EXPECT_EQ(db_open_file(h.get(), DB_FILE_PARAMETERS), DB_E_LAYOUT);
    EXPECT_EQ(error_of(h.get()), message(5));
}

}  // namespace
