// Reads under the update lock come from what the handle read ahead and the
// look-ups it remembers; every change the handle makes, and every change
// another process makes between locks, must still be read back.
#include <cstdio>
#include <fstream>

#include "keyed_testutil.h"
#include "platform/faults.h"

using namespace keyed_test;

namespace {

class KeyedReadAhead : public testing::Test {
  protected:
    void SetUp() override {
        path = dir.file("cached");
        h = create_file(path, sched_desc());
        ASSERT_TRUE(h);
        ASSERT_EQ(isam_lock(h.get(), 0), 0);
        // Enough records to span several read-ahead blocks.
        for (int i = 0; i < 60; ++i) {
            const std::string name = "S" + std::to_string(100 + i);
            ASSERT_EQ(add_rec(h.get(), 0, sched_master("WS", name, "old")), 0);
            for (int n = 1; n <= 5; ++n)
                ASSERT_EQ(add_rec(h.get(), 1, sched_line("WS", name, n, "line")), 0);
        }
        ASSERT_EQ(isam_unlock(h.get()), 0);
    }

    static std::string key(const std::string& name) { return pad("WS", 8) + pad(name, 8); }

    ScratchDir dir;
    std::string path;
    isam_ptr h;
};

TEST_F(KeyedReadAhead, OwnChangesUnderTheLockAreReadBack) {
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    std::string rec;
    // Prime the remembered look-ups: a hit, a miss, a pattern with no match.
    ASSERT_EQ(read_rec(h.get(), 0, ISAM_READ_EXACT, key("S130"), &rec), 0);
    EXPECT_EQ(rec, sched_master("WS", "S130", "old"));
    EXPECT_EQ(read_rec(h.get(), 0, ISAM_READ_EXACT, key("NEW"), &rec), ISAM_E_NOT_FOUND);
    EXPECT_EQ(read_rec(h.get(), 0, ISAM_READ_PATTERN, key("NEW"), &rec), ISAM_E_NOT_FOUND);
    ASSERT_EQ(read_rec(h.get(), 0, ISAM_READ_EXACT, key("S130"), &rec), 0);
    EXPECT_EQ(chain(h.get(), 1).size(), 5u);

    // Replace, add and delete; each is seen by the very next read.
    ASSERT_EQ(read_rec(h.get(), 0, ISAM_READ_EXACT, key("S130"), &rec), 0);
    ASSERT_EQ(isam_replace(h.get(), sched_master("WS", "S130", "new").data(), 0), 0);
    ASSERT_EQ(read_rec(h.get(), 0, ISAM_READ_EXACT, key("S130"), &rec), 0);
    EXPECT_EQ(rec, sched_master("WS", "S130", "new"));
    ASSERT_EQ(add_rec(h.get(), 1, sched_line("WS", "S130", 6, "added")), 0);
    EXPECT_EQ(chain(h.get(), 1).size(), 6u);

    ASSERT_EQ(add_rec(h.get(), 0, sched_master("WS", "NEW", "x")), 0);
    EXPECT_EQ(read_rec(h.get(), 0, ISAM_READ_EXACT, key("NEW"), &rec), 0);
    EXPECT_EQ(read_rec(h.get(), 0, ISAM_READ_PATTERN, key("NEW"), &rec), 0);
    EXPECT_EQ(rec, sched_master("WS", "NEW", "x"));

    ASSERT_EQ(read_rec(h.get(), 0, ISAM_READ_EXACT, key("S101"), &rec), 0);
    ASSERT_EQ(isam_delete(h.get(), 0), 0);
    EXPECT_EQ(read_rec(h.get(), 0, ISAM_READ_EXACT, key("S101"), &rec), ISAM_E_NOT_FOUND);
    ASSERT_EQ(isam_unlock(h.get()), 0);

    // Everything read under the lock matches a fresh handle's view.
    isam_ptr fresh = open_file(path);
    ASSERT_TRUE(fresh);
    ASSERT_EQ(read_rec(fresh.get(), 0, ISAM_READ_EXACT, key("S130"), &rec), 0);
    EXPECT_EQ(rec, sched_master("WS", "S130", "new"));
    EXPECT_EQ(chain(fresh.get(), 1).size(), 6u);
    EXPECT_EQ(read_rec(fresh.get(), 0, ISAM_READ_EXACT, key("S101"), &rec), ISAM_E_NOT_FOUND);
}

TEST_F(KeyedReadAhead, AnotherProcessChangeIsSeenAfterRelocking) {
    std::string rec;
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    ASSERT_EQ(read_rec(h.get(), 0, ISAM_READ_EXACT, key("S140"), &rec), 0);
    EXPECT_EQ(read_rec(h.get(), 0, ISAM_READ_PATTERN, key("LATE"), &rec), ISAM_E_NOT_FOUND);
    ASSERT_EQ(isam_unlock(h.get()), 0);

    Child writer([&](int up, int) {
        isam_ptr c;
        std::string msg;
        if (isam_open(&c, path.c_str(), nullptr, 1, 0, &msg)) return 1;
        if (isam_lock(c.get(), 0)) return 2;
        std::string r;
        if (read_rec(c.get(), 0, ISAM_READ_EXACT, key("S140"), &r)) return 3;
        if (isam_replace(c.get(), sched_master("WS", "S140", "theirs").data(), 0)) return 4;
        if (add_rec(c.get(), 1, sched_line("WS", "S140", 9, "theirs"))) return 5;
        if (add_rec(c.get(), 0, sched_master("WS", "LATE", "theirs"))) return 6;
        if (isam_unlock(c.get())) return 7;
        send_byte(up, 'w');
        return 0;
    });
    ASSERT_TRUE(writer.started());
    ASSERT_EQ(writer.expect(), 'w');
    EXPECT_EQ(writer.wait(), 0);

    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    ASSERT_EQ(read_rec(h.get(), 0, ISAM_READ_EXACT, key("S140"), &rec), 0);
    EXPECT_EQ(rec, sched_master("WS", "S140", "theirs"));
    EXPECT_EQ(chain(h.get(), 1).size(), 6u);  // the new line at the end of the file too
    EXPECT_EQ(read_rec(h.get(), 0, ISAM_READ_PATTERN, key("LATE"), &rec), 0);
    ASSERT_EQ(isam_unlock(h.get()), 0);
}

// A scan under the lock goes on from where the index stands only while
// nothing else moved it: look-ups, adds and deletes between the steps must
// leave the scan where it would be without the lock.
TEST_F(KeyedReadAhead, ScanStepsAfterOtherReadsAndChanges) {
    std::string rec;
    auto name_of = [](const std::string& r) { return r.substr(8, 8); };
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    struct Step {
        std::function<int()> op;  // what happens before the step (0 expected)
        std::string next;         // the name the next step reads
    };
    const std::vector<Step> steps = {
        {[&] { return read_rec(h.get(), 0, ISAM_READ_FIRST, "", &rec); }, "S101    "},
        {[&] { return read_rec(h.get(), 0, ISAM_READ_EXACT, key("S130"), &rec); }, "S131    "},
        // The second look-up of a key is remembered and does not move the index.
        {[&] { return read_rec(h.get(), 0, ISAM_READ_EXACT, key("S140"), &rec); }, "S141    "},
        {[&] { return read_rec(h.get(), 0, ISAM_READ_EXACT, key("S130"), &rec); }, "S131    "},
        {[&] { return read_rec(h.get(), 0, ISAM_READ_CURRENT, "", &rec); }, "S132    "},
        {[&] { return add_rec(h.get(), 0, sched_master("WS", "S132A", "new")); }, "S133    "},
        {[&] { return read_rec(h.get(), 0, ISAM_READ_EXACT, key("S132"), &rec); }, "S132A   "},
        {[&] { return isam_delete(h.get(), 0); }, "S133    "},
        {[&] { return read_rec(h.get(), 0, ISAM_READ_GE, key("S150A"), &rec); }, "S152    "},
        {[&] { return read_rec(h.get(), 0, ISAM_READ_PATTERN, key("S15@"), &rec); }, "S151    "},
        // Pattern reads are remembered too; the scan keeps to the pattern.
        {[&] { return read_rec(h.get(), 0, ISAM_READ_PATTERN, key("S15@"), &rec); }, "S151    "},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(steps[i].op(), 0);
        ASSERT_EQ(read_rec(h.get(), 0, ISAM_READ_NEXT, "", &rec), 0);
        EXPECT_EQ(name_of(rec), steps[i].next);
    }
    // To the end of the pattern's keys, then nothing more.
    int more = 0;
    while (read_rec(h.get(), 0, ISAM_READ_NEXT, "", &rec) == 0)
        ++more;
    EXPECT_EQ(more, 8);
    ASSERT_EQ(isam_unlock(h.get()), 0);
}

// Flushing to disk is for what was written: a pass that only reads flushes
// nothing, one that wrote flushes the data file and its index.
TEST_F(KeyedReadAhead, OnlyWrittenFilesAreFlushed) {
    std::string rec;
    plat::fault_disarm();
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    ASSERT_EQ(read_rec(h.get(), 0, ISAM_READ_EXACT, key("S120"), &rec), 0);
    ASSERT_EQ(isam_unlock(h.get()), 0);
    EXPECT_EQ(plat::fault_count(plat::FaultOp::fsync), 0u);

    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    ASSERT_EQ(add_rec(h.get(), 0, sched_master("WS", "S999", "x")), 0);
    ASSERT_EQ(isam_unlock(h.get()), 0);
    EXPECT_EQ(plat::fault_count(plat::FaultOp::fsync), 2u);
    plat::fault_disarm();
}

// Bytes this process has read through read system calls so far.
long long bytes_read_so_far() {
    std::ifstream in("/proc/self/io");
    std::string word;
    long long value = -1;
    while (in >> word >> value)
        if (word == "rchar:") return value;
    return -1;
}

// A file larger than what a handle keeps, whose masters are stored in
// another order than their keys', read the way a selection pass reads it:
// every master in key order with the first record of its chain, then the
// whole chains of some masters. Fetches follow what gets read: neither walk
// reads much more than the records it wants (blocks read ahead whole would
// read the file about twice over in the first walk and three times the
// wanted bytes in the second).
TEST(KeyedReadAheadSizing, FetchesFollowWhatTheWalksRead) {
    ScratchDir dir;
    const std::string path = dir.file("large");
    isam_file_desc d;
    d.name = "large";
    d.kinds = 1;
    d.slots[0] = {100, 0, 16};
    d.slots[1] = {1000, 16, 6};
    constexpr long long kMasterLine = 2 + 8 + 100 + 1;
    constexpr long long kDetailLine = 2 + 8 + 1000 + 1;
    isam_ptr h = create_file(path, d);
    ASSERT_TRUE(h);
    ASSERT_EQ(isam_set_write_behind(h.get(), 1), 0);
    constexpr int kMasters = 5000;
    auto name = [](int i) { return pad("M" + std::to_string((i * 7919) % kMasters), 16); };
    auto lines = [](int i) { return 2 + i % 4; };
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    for (int i = 0; i < kMasters; ++i) {
        ASSERT_EQ(add_rec(h.get(), 0, pad(name(i), 100)), 0);
        for (int n = 0; n < lines(i); ++n) {
            char sub[8];
            std::snprintf(sub, sizeof sub, "%6d", n);
            ASSERT_EQ(add_rec(h.get(), 1, pad(name(i) + sub, 1000)), 0);
        }
    }
    ASSERT_EQ(isam_unlock(h.get()), 0);
    const auto size = static_cast<long long>(std::filesystem::file_size(path));
    ASSERT_GT(size, 16LL << 20);

    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    long long mark = bytes_read_so_far();
    ASSERT_GE(mark, 0);
    std::string rec;
    int masters = 0;
    for (int c = read_rec(h.get(), 0, ISAM_READ_FIRST, "", &rec); c == 0;
         c = read_rec(h.get(), 0, ISAM_READ_NEXT, "", &rec)) {
        ++masters;
        ASSERT_EQ(read_rec(h.get(), 1, ISAM_READ_FIRST, "", &rec), 0);
    }
    EXPECT_EQ(masters, kMasters);
    const long long first = bytes_read_so_far() - mark;
    const long long prefixes = kMasters * (kMasterLine + kDetailLine);
    EXPECT_LT(first, 3 * prefixes) << "first walk: " << first << " bytes for " << prefixes;
    EXPECT_LT(first, size) << "first walk: " << first << " bytes of " << size;

    mark = bytes_read_so_far();
    long long wanted = 0;
    for (int i = 0; i < kMasters; i += 3) {
        ASSERT_EQ(read_rec(h.get(), 0, ISAM_READ_EXACT, name(i), &rec), 0);
        // Runs dropped to make room leave their buffers to later fetches:
        // what those held before must never show through.
        const std::vector<std::string> details = chain(h.get(), 1);
        ASSERT_EQ(details.size(), static_cast<std::size_t>(lines(i)));
        for (std::size_t n = 0; n < details.size(); ++n) {
            char sub[8];
            std::snprintf(sub, sizeof sub, "%6d", static_cast<int>(n));
            ASSERT_EQ(details[n], pad(name(i) + sub, 1000)) << "master " << i;
        }
        wanted += kMasterLine + lines(i) * kDetailLine;
    }
    const long long second = bytes_read_so_far() - mark;
    EXPECT_LT(second, wanted + wanted / 5) << "second walk: " << second << " for " << wanted;
    ASSERT_EQ(isam_unlock(h.get()), 0);
}

}  // namespace
