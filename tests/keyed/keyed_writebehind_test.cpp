// Appends held back under the update lock: read back by the handle itself,
// in the file for everyone once the lock is gone, and a failed or missing
// write-out never leaves the file pointing at lines it does not have.
#include <csignal>

#include "btree/btcheck.h"
#include "keyed_testutil.h"
#include "platform/faults.h"

using namespace keyed_test;

namespace {

using Strings = std::vector<std::string>;

std::string key(const std::string& name) {
    return pad("WS", 8) + pad(name, 8);
}

// Every master with its chain, through a new handle.
Strings contents(const std::string& path) {
    Strings out;
    isam_ptr h = open_file(path);
    if (!h) return {"open failed"};
    std::string rec;
    for (int c = read_rec(h.get(), 0, 0, "", &rec); c == 0; c = read_rec(h.get(), 0, 1, "", &rec)) {
        out.push_back(rec);
        for (const auto& d : chain(h.get(), 1))
            out.push_back(d);
    }
    return out;
}

// A master with n lines, numbered in the order given (not key order).
Strings store(isam_handle* h, const std::string& name, const std::vector<int>& numbers) {
    Strings stored;
    EXPECT_EQ(add_rec(h, 0, sched_master("WS", name)), 0);
    stored.push_back(sched_master("WS", name));
    for (int n : numbers)
        EXPECT_EQ(add_rec(h, 1, sched_line("WS", name, n, name + " line")), 0);
    for (int n = 1; n <= static_cast<int>(numbers.size()); ++n)
        stored.push_back(sched_line("WS", name, n, name + " line"));
    return stored;
}

bool index_sound(const std::string& path) {
    return btree_check((path + ".KEY").c_str(), [](const std::string&) {}) == 0;
}

class KeyedWriteBehind : public testing::Test {
  protected:
    void SetUp() override {
        path = dir.file("behind");
        h = create_file(path, sched_desc());
        ASSERT_TRUE(h);
        ASSERT_EQ(isam_set_write_behind(h.get(), 1), 0);
        ASSERT_EQ(isam_lock(h.get(), 0), 0);
        expect = store(h.get(), "BASE", {1, 2});
        ASSERT_EQ(isam_unlock(h.get()), 0);
    }
    void TearDown() override { plat::fault_disarm(); }

    ScratchDir dir;
    std::string path;
    isam_ptr h;
    Strings expect;
};

}  // namespace

// Lines appended, linked in the middle of their chain, replaced and deleted
// while still held back are read back under the lock as they will be in the
// file, and a process waiting for the lock finds them all.
TEST_F(KeyedWriteBehind, HeldBackLinesAreReadBackAndSeenByTheNextLocker) {
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    const auto size_at_lock = std::filesystem::file_size(path);
    Strings more = store(h.get(), "NEW", {1, 3, 4, 2});  // 2 links between held lines
    // The master is in the file before its key is in the index; its lines wait.
    EXPECT_EQ(std::filesystem::file_size(path), size_at_lock + 2 + 8 + 82 + 1);
    std::string rec;
    ASSERT_EQ(read_rec(h.get(), 0, ISAM_READ_EXACT, key("NEW"), &rec), 0);
    EXPECT_EQ(chain(h.get(), 1), Strings(more.begin() + 1, more.end()));
    ASSERT_EQ(read_rec(h.get(), 1, ISAM_READ_EXACT, key("NEW") + "     3", &rec), 0);
    more[3] = sched_line("WS", "NEW", 3, "replaced");
    ASSERT_EQ(isam_replace(h.get(), more[3].data(), 1), 0);
    ASSERT_EQ(read_rec(h.get(), 1, ISAM_READ_EXACT, key("NEW") + "     4", &rec), 0);
    ASSERT_EQ(isam_delete(h.get(), 1), 0);
    more.erase(more.begin() + 4);
    ASSERT_EQ(read_rec(h.get(), 0, ISAM_READ_EXACT, key("NEW"), &rec), 0);
    EXPECT_EQ(chain(h.get(), 1), Strings(more.begin() + 1, more.end()));
    // A line for the older master, whose chain is in the file.
    ASSERT_EQ(read_rec(h.get(), 0, ISAM_READ_EXACT, key("BASE"), &rec), 0);
    ASSERT_EQ(add_rec(h.get(), 1, sched_line("WS", "BASE", 3, "BASE line")), 0);
    expect.push_back(sched_line("WS", "BASE", 3, "BASE line"));
    EXPECT_EQ(chain(h.get(), 1), Strings(expect.begin() + 1, expect.end()));
    ASSERT_EQ(add_rec(h.get(), 1, sched_line("WS", "BASE", 4, "BASE line")), 0);
    expect.push_back(sched_line("WS", "BASE", 4, "BASE line"));

    Child next([&](int up, int) {
        isam_ptr c = open_file(path);
        if (!c) return 1;
        send_byte(up, 'o');
        if (isam_lock(c.get(), 0) != 0) return 2;
        Strings want = expect;
        want.insert(want.end(), more.begin(), more.end());
        return contents(path) == want ? 0 : 3;
    });
    ASSERT_TRUE(next.started());
    ASSERT_EQ(next.expect(), 'o');
    ASSERT_EQ(isam_unlock(h.get()), 0);
    EXPECT_EQ(next.wait(), 0);
}

// The tail is written out once it grows large: what a lock holder keeps back
// stays bounded however long it appends.
TEST_F(KeyedWriteBehind, LongRunsOfAppendsAreWrittenOutAsTheyGrow) {
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    std::vector<int> numbers(2000);
    for (int i = 0; i < 2000; ++i)
        numbers[static_cast<std::size_t>(i)] = i + 1;
    Strings big = store(h.get(), "BIG", numbers);  // about 400 KB of lines
    EXPECT_GT(std::filesystem::file_size(path), 200000u);
    std::string rec;
    ASSERT_EQ(read_rec(h.get(), 0, ISAM_READ_EXACT, key("BIG"), &rec), 0);
    EXPECT_EQ(chain(h.get(), 1).size(), 2000u);
    ASSERT_EQ(isam_unlock(h.get()), 0);
    expect.insert(expect.end(), big.begin(), big.end());
    EXPECT_EQ(contents(path), expect);
}

// A write-out that fails reports the code of what it carried, cuts the file
// back to where it stood before it, and leaves a file that reads, checks and
// rebuilds clean with only the held-back lines missing. Both the append
// write (the tail) and the link written after it can fail, at the next
// master's add and at the unlock.
TEST_F(KeyedWriteBehind, FailedWriteOutIsReportedAndCutBack) {
    struct Case {
        const char* label;
        unsigned long nth_write;  // 1: the tail, 2: the link after it
        bool at_unlock;
        int code;
    };
    const Case cases[] = {
        {"tail at the next master", 1, false, 243},
        {"link at the next master", 2, false, 350},
        {"tail at the unlock", 1, true, 243},
        {"link at the unlock", 2, true, 350},
    };
    const std::string pristine = slurp(path);
    const std::string pristine_key = slurp(path + ".KEY");
    for (const Case& k : cases) {
        SCOPED_TRACE(k.label);
        h.reset();
        spit(path, pristine);
        spit(path + ".KEY", pristine_key);
        h = open_file(path);
        ASSERT_TRUE(h);
        ASSERT_EQ(isam_set_write_behind(h.get(), 1), 0);
        ASSERT_EQ(isam_lock(h.get(), 0), 0);
        Strings a = store(h.get(), "A", {1, 2, 3});
        const auto size_before = std::filesystem::file_size(path);
        plat::fault_arm(plat::FaultOp::write, k.nth_write, ENOSPC);
        int c = k.at_unlock ? isam_unlock(h.get()) : add_rec(h.get(), 0, sched_master("WS", "B"));
        plat::fault_disarm();
        EXPECT_EQ(c, k.code);
        int err = 0;
        isam_status(h.get(), nullptr, &err);
        EXPECT_EQ(err, ENOSPC);
        EXPECT_EQ(std::filesystem::file_size(path), size_before);
        std::string rec;
        if (!k.at_unlock) {
            // No current master any more; the handle goes on with the file.
            EXPECT_EQ(read_rec(h.get(), 1, ISAM_READ_FIRST, "", &rec), ISAM_E_NO_MASTER);
            ASSERT_EQ(read_rec(h.get(), 0, ISAM_READ_EXACT, key("A"), &rec), 0);
            EXPECT_EQ(chain(h.get(), 1), Strings{});
            EXPECT_EQ(read_rec(h.get(), 0, ISAM_READ_EXACT, key("B"), &rec), ISAM_E_NOT_FOUND);
            ASSERT_EQ(isam_unlock(h.get()), 0);
        } else {
            EXPECT_EQ(isam_unlock(h.get()), ISAM_E_NOT_LOCKED);  // released all the same
        }
        // The master A is there without its held-back lines.
        Strings want = {a.front()};  // A comes before BASE
        want.insert(want.end(), expect.begin(), expect.end());
        EXPECT_EQ(contents(path), want);
        EXPECT_TRUE(index_sound(path));
        testing::internal::CaptureStdout();
        EXPECT_EQ(isam_rebuild(h.get()), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // nothing to discard
        EXPECT_EQ(contents(path), want);
        // And the file takes new lines where the lost ones were.
        ASSERT_EQ(isam_lock(h.get(), 0), 0);
        ASSERT_EQ(read_rec(h.get(), 0, ISAM_READ_EXACT, key("A"), &rec), 0);
        ASSERT_EQ(add_rec(h.get(), 1, a[1]), 0);
        ASSERT_EQ(isam_unlock(h.get()), 0);
        want.insert(want.begin() + 1, a[1]);
        EXPECT_EQ(contents(path), want);
    }
}

// A process killed while it holds lines back loses those lines and nothing
// else, and leaves no pointer to bytes the file does not have.
TEST_F(KeyedWriteBehind, KilledHolderLosesOnlyTheHeldBackLines) {
    {
        Child holder([&](int up, int) {
            isam_ptr c = open_file(path);
            if (!c || isam_set_write_behind(c.get(), 1) != 0 || isam_lock(c.get(), 0) != 0)
                return 1;
            store(c.get(), "FIRST", {1, 2});
            store(c.get(), "SECOND", {1, 2, 3});
            send_byte(up, 'h');
            ::pause();
            return 0;
        });
        ASSERT_TRUE(holder.started());
        ASSERT_EQ(holder.expect(), 'h');
    }  // killed (SIGKILL) here
    // FIRST's lines went out with SECOND's master; SECOND's lines were lost.
    Strings want = expect;
    want.push_back(sched_master("WS", "FIRST"));
    want.push_back(sched_line("WS", "FIRST", 1, "FIRST line"));
    want.push_back(sched_line("WS", "FIRST", 2, "FIRST line"));
    want.push_back(sched_master("WS", "SECOND"));
    EXPECT_EQ(contents(path), want);
    EXPECT_TRUE(index_sound(path));
    EXPECT_EQ(slurp(path).back(), '\n');
}
