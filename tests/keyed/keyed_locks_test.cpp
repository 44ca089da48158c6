// Several processes on one file: open locks, update locks, reset and
// rebuild refusals, and the index refresh.
#include <chrono>

#include "keyed_testutil.h"

using namespace keyed_test;

namespace {

class KeyedLocks : public testing::Test {
  protected:
    void SetUp() override {
        path = dir.file("shared");
        isam_ptr h = create_file(path, two_kind_desc());
        ASSERT_TRUE(h);
        ASSERT_EQ(isam_lock(h.get(), 0), 0);
        ASSERT_EQ(add_rec(h.get(), 0, tk_master("A")), 0);
        ASSERT_EQ(isam_unlock(h.get()), 0);
    }

    ScratchDir dir;
    std::string path;
};

// Child side helpers: an exit status that names the step that failed.
int child_open(const std::string& path, isam_ptr* h) {
    std::string msg;
    return isam_open(h, path.c_str(), nullptr, 1, 0, &msg);
}

}  // namespace

TEST_F(KeyedLocks, ReadersGoOnWhileAnUpdaterWorks) {
    Child reader([&](int up, int down) {
        isam_ptr h;
        if (child_open(path, &h)) return 1;
        send_byte(up, 'o');
        std::string rec;
        if (read_byte(down, 5000) != 'r') return 2;
        if (read_rec(h.get(), 0, 0, "", &rec) != 0 || rec != tk_master("A")) return 3;
        send_byte(up, 'r');
        if (read_byte(down, 5000) != 'g') return 4;
        // After the updater's unlock the new record is there.
        if (read_rec(h.get(), 0, 3, pad("B", 8), &rec) != 0) return 5;
        if (read_rec(h.get(), 0, 0, "", &rec) != 0 || read_rec(h.get(), 0, 1, "", &rec) != 0 ||
            rec != tk_master("B", "new"))
            return 6;
        send_byte(up, 'b');
        return 0;
    });
    ASSERT_TRUE(reader.started());
    ASSERT_EQ(reader.expect(), 'o');
    isam_ptr h = open_file(path);
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    reader.tell('r');
    EXPECT_EQ(reader.expect(), 'r');  // reading is not held up by the update lock
    ASSERT_EQ(add_rec(h.get(), 0, tk_master("B", "new")), 0);
    ASSERT_EQ(isam_unlock(h.get()), 0);
    reader.tell('g');
    EXPECT_EQ(reader.expect(), 'b');
    EXPECT_EQ(reader.wait(), 0);
}

TEST_F(KeyedLocks, SecondUpdaterWaitsForTheFirst) {
    isam_ptr h = open_file(path);
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    Child second([&](int up, int) {
        isam_ptr c;
        if (child_open(path, &c)) return 1;
        send_byte(up, 'o');
        if (isam_lock(c.get(), 0) != 0) return 2;
        send_byte(up, 'l');
        std::string rec;
        if (read_rec(c.get(), 0, 3, pad("B", 8), &rec) != 0) return 3;
        if (add_rec(c.get(), 0, tk_master("C")) != 0) return 4;
        if (isam_unlock(c.get()) != 0) return 5;
        return 0;
    });
    ASSERT_EQ(second.expect(), 'o');
    EXPECT_EQ(second.expect(300), -1);  // still waiting for the lock
    ASSERT_EQ(add_rec(h.get(), 0, tk_master("B")), 0);
    ASSERT_EQ(isam_unlock(h.get()), 0);
    EXPECT_EQ(second.expect(), 'l');
    EXPECT_EQ(second.wait(), 0);
    std::string rec;
    EXPECT_EQ(read_rec(h.get(), 0, 3, pad("C", 8), &rec), 0);
}

TEST_F(KeyedLocks, ExclusiveRequestsFailAtOnce) {
    Child updater([&](int up, int down) {
        isam_ptr c;
        if (child_open(path, &c)) return 1;
        if (isam_lock(c.get(), 0) != 0) return 2;
        send_byte(up, 'l');
        if (read_byte(down, 5000) != 'q') return 3;
        if (isam_unlock(c.get()) != 0) return 4;
        send_byte(up, 'u');
        return 0;
    });
    ASSERT_EQ(updater.expect(), 'l');
    isam_ptr h = open_file(path);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(isam_lock(h.get(), 1), 15);
    EXPECT_EQ(isam_rebuild(h.get()), 481);
    isam_ptr x;
    std::string msg;
    EXPECT_EQ(isam_open(&x, path.c_str(), nullptr, 3, 0, &msg), 22);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    // The refused rebuild left the handle as it was.
    std::string rec;
    EXPECT_EQ(read_rec(h.get(), 0, 0, "", &rec), 0);
    updater.tell('q');
    ASSERT_EQ(updater.expect(), 'u');
    EXPECT_EQ(isam_rebuild(h.get()), 0);
    EXPECT_EQ(isam_lock(h.get(), 1), 0);
    EXPECT_EQ(isam_unlock(h.get()), 0);
    EXPECT_EQ(updater.wait(), 0);
}

TEST_F(KeyedLocks, ZapIsRefusedWhileOthersHaveTheFileOpen) {
    Child holder([&](int up, int down) {
        isam_ptr c;
        if (child_open(path, &c)) return 1;
        send_byte(up, 'o');
        if (read_byte(down, 5000) != 'q') return 2;
        c.reset();
        send_byte(up, 'c');
        return 0;
    });
    ASSERT_EQ(holder.expect(), 'o');
    isam_ptr h = open_file(path);
    const std::string before = slurp(path);
    EXPECT_EQ(isam_zap(h.get()), 481);
    EXPECT_EQ(slurp(path), before);
    std::string rec;
    EXPECT_EQ(read_rec(h.get(), 0, 0, "", &rec), 0);  // the index was not reset either
    holder.tell('q');
    ASSERT_EQ(holder.expect(), 'c');
    EXPECT_EQ(holder.wait(), 0);
    EXPECT_EQ(isam_zap(h.get()), 0);
    EXPECT_EQ(slurp(path).size(), 94u);
    EXPECT_EQ(read_rec(h.get(), 0, 0, "", &rec), 8);
    // The open lock is shared again: another process can open the file.
    Child opener([&](int, int) {
        isam_ptr c;
        return child_open(path, &c);
    });
    EXPECT_EQ(opener.wait(), 0);
}

TEST_F(KeyedLocks, ReaderSeesIndexChangesOfOtherProcesses) {
    isam_ptr h = open_file(path);
    std::string rec;
    ASSERT_EQ(read_rec(h.get(), 0, 0, "", &rec), 0);
    ASSERT_EQ(read_rec(h.get(), 0, 1, "", &rec), 8);
    // Enough keys to split the root page several times.
    Child writer([&](int, int) {
        isam_ptr c;
        if (child_open(path, &c)) return 1;
        if (isam_lock(c.get(), 0) != 0) return 2;
        for (int i = 0; i < 300; ++i) {
            char k[16];
            std::snprintf(k, sizeof k, "K%04d", i);
            if (add_rec(c.get(), 0, tk_master(k)) != 0) return 3;
        }
        if (read_rec(c.get(), 0, 3, pad("A", 8), &rec) != 0) return 4;
        if (isam_delete(c.get(), 0) != 0) return 5;
        if (isam_unlock(c.get()) != 0) return 6;
        return 0;
    });
    ASSERT_EQ(writer.wait(), 0);
    EXPECT_EQ(read_rec(h.get(), 0, 3, pad("K0150", 8), &rec), 0);
    EXPECT_EQ(read_rec(h.get(), 0, 3, pad("A", 8), &rec), 8);
    int n = 0;
    for (int c = read_rec(h.get(), 0, 0, "", &rec); c == 0; c = read_rec(h.get(), 0, 1, "", &rec))
        ++n;
    EXPECT_EQ(n, 300);
}

TEST_F(KeyedLocks, StaleRecordsAreNotWrittenBack) {
    isam_ptr h = open_file(path);
    std::string rec;
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    ASSERT_EQ(read_rec(h.get(), 0, 3, pad("A", 8), &rec), 0);
    ASSERT_EQ(add_rec(h.get(), 1, tk_one("A", "0001")), 0);
    ASSERT_EQ(isam_unlock(h.get()), 0);
    // Another process deletes the master while we do not hold the lock.
    Child deleter([&](int, int) {
        isam_ptr c;
        std::string r;
        if (child_open(path, &c)) return 1;
        if (isam_lock(c.get(), 0) != 0) return 2;
        if (read_rec(c.get(), 0, 3, pad("A", 8), &r) != 0) return 3;
        if (isam_delete(c.get(), 0) != 0) return 4;
        if (add_rec(c.get(), 0, tk_master("A", "reborn")) != 0) return 5;
        return isam_unlock(c.get()) == 0 ? 0 : 6;
    });
    ASSERT_EQ(deleter.wait(), 0);
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    const std::string before = slurp(path);
    EXPECT_EQ(isam_replace(h.get(), tk_master("A", "mine").data(), 0), 6);
    EXPECT_EQ(isam_delete(h.get(), 0), 6);
    EXPECT_EQ(isam_delete(h.get(), 1), 245);
    EXPECT_EQ(add_rec(h.get(), 1, tk_one("A", "0002")), 6);
    EXPECT_EQ(slurp(path), before);
    // Read again, the master is the new one, without details.
    ASSERT_EQ(read_rec(h.get(), 0, 2, "", &rec), 247);
    ASSERT_EQ(read_rec(h.get(), 0, 3, pad("A", 8), &rec), 0);
    EXPECT_EQ(rec, tk_master("A", "reborn"));
    EXPECT_EQ(read_rec(h.get(), 1, 0, "", &rec), 8);
    EXPECT_EQ(isam_replace(h.get(), tk_master("A", "mine").data(), 0), 0);
    EXPECT_EQ(isam_unlock(h.get()), 0);
}
