// Input/output failures at every point of an update: the file is left as it
// was or as it should become, never in between in a way that loses records,
// and a retry (or a rebuild) gets it right.
#include <vector>

#include "btree/btcheck.h"
#include "keyed_testutil.h"
#include "platform/faults.h"

using namespace keyed_test;

namespace {

using Strings = std::vector<std::string>;

// Every master with its kind 1 chain, as read through a new handle.
Strings contents(const std::string& path) {
    Strings out;
    isam_ptr h;
    std::string msg;
    if (isam_open(&h, path.c_str(), nullptr, 1, 0, &msg) != 0) return {"open failed: " + msg};
    std::string rec;
    for (int c = read_rec(h.get(), 0, 0, "", &rec); c == 0; c = read_rec(h.get(), 0, 1, "", &rec)) {
        out.push_back(rec);
        for (const auto& d : chain(h.get(), 1))
            out.push_back(d);
        for (const auto& d : chain(h.get(), 2))
            out.push_back(d);
    }
    return out;
}

// A file with deleted records for the rebuild to drop.
void make_sample(const std::string& path) {
    isam_ptr h = create_file(path, two_kind_desc());
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    for (const char* k : {"C", "A", "B", "D"}) {
        ASSERT_EQ(add_rec(h.get(), 0, tk_master(k, k)), 0);
        for (const char* s : {"0002", "0001", "0003"})
            ASSERT_EQ(add_rec(h.get(), 1, tk_one(k, s)), 0);
        ASSERT_EQ(add_rec(h.get(), 2, tk_two(k, "x")), 0);
    }
    std::string rec;
    ASSERT_EQ(read_rec(h.get(), 0, 3, pad("B", 8), &rec), 0);
    ASSERT_EQ(isam_delete(h.get(), 0), 0);
    ASSERT_EQ(read_rec(h.get(), 0, 3, pad("C", 8), &rec), 0);
    ASSERT_EQ(read_rec(h.get(), 1, 0, "", &rec), 0);
    ASSERT_EQ(isam_delete(h.get(), 1), 0);
    ASSERT_EQ(isam_unlock(h.get()), 0);
}

void copy_pair(const std::string& from, const std::string& to) {
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(from + ".KEY", to + ".KEY",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::remove(to + ".new");
    std::filesystem::remove(to + ".old");
}

// Runs op on a fresh copy of the sample with the n-th checked call failing;
// returns op's code, or -1 when the n-th call was never reached.
template <typename Op>
int with_fault(const std::string& sample, const std::string& path, unsigned long n, Op op) {
    copy_pair(sample, path);
    isam_ptr h = open_file(path);
    if (!h) return -2;
    plat::fault_arm(plat::FaultOp::any, n, EIO);
    int c = op(h.get());
    bool reached = plat::fault_count(plat::FaultOp::any) >= n;
    plat::fault_disarm();
    return reached ? c : -1;
}

class KeyedFaults : public testing::Test {
  protected:
    void SetUp() override {
        sample = dir.file("sample");
        path = dir.file("work");
        ASSERT_NO_FATAL_FAILURE(make_sample(sample));
        original = contents(sample);
        ASSERT_EQ(original.size(), 14u);
    }
    void TearDown() override { plat::fault_disarm(); }

    ScratchDir dir;
    std::string sample, path;
    Strings original;
};

}  // namespace

TEST_F(KeyedFaults, RebuildFailingAnywhereLosesNothing) {
    testing::internal::CaptureStdout();
    int failures = 0;
    for (unsigned long n = 1; n < 500; ++n) {
        SCOPED_TRACE(n);
        const std::string data_before = slurp(sample);
        int c = with_fault(sample, path, n, [](isam_handle* h) { return isam_rebuild(h); });
        if (c == -1) break;
        ASSERT_NE(c, -2);
        EXPECT_FALSE(std::filesystem::exists(path + ".new"));
        if (c != 0) {
            ++failures;
            EXPECT_TRUE(c == 15 || c >= 400) << c;
        }
        if (slurp(path) == data_before) {
            // Failed before the swap: the old file and its index still serve.
            EXPECT_EQ(contents(path), original);
        } else {
            // After the swap: the data is complete; a rebuild restores the index.
            isam_ptr h;
            std::string msg;
            if (isam_open(&h, path.c_str(), nullptr, 1, 0, &msg) != 0) {
                ASSERT_EQ(isam_open(&h, path.c_str(), nullptr, 7, 0, &msg), 0) << msg;
            }
            if (contents(path) != original) {
                ASSERT_NE(c, 0);
                ASSERT_EQ(isam_rebuild(h.get()), 0);
            }
            h.reset();
            EXPECT_EQ(contents(path), original);
        }
        EXPECT_EQ(btree_check((path + ".KEY").c_str(), [](const std::string&) {}), 0);
    }
    testing::internal::GetCapturedStdout();
    EXPECT_GT(failures, 10);
}

TEST_F(KeyedFaults, AddFailingAnywhereIsAllOrNothing) {
    for (int slot : {0, 1, 2}) {
        int refused = 0;
        SCOPED_TRACE(slot);
        for (unsigned long n = 1; n < 100; ++n) {
            SCOPED_TRACE(n);
            std::string rec = slot == 0   ? tk_master("E", "new")
                              : slot == 1 ? tk_one("A", "0000", "new")
                                          : tk_two("A", "new");
            int c = with_fault(sample, path, n, [&](isam_handle* h) {
                std::string r;
                if (isam_lock(h, 0) != 0) return 1000;
                if (read_rec(h, 0, 3, pad("A", 8), &r) != 0) return 1001;
                int code = isam_add(h, rec.data(), slot);
                isam_unlock(h);
                return code;
            });
            if (c == -1) break;
            if (c >= 1000) continue;  // the fault hit the preparation
            if (c != 0) ++refused;
            Strings now = contents(path);
            Strings expect = original;
            if (c == 0) {
                // Where the new record goes in the listing.
                auto at = slot == 0 ? expect.end() : expect.begin() + 1;
                if (slot == 2) at = expect.begin() + 4;
                expect.insert(at, rec);
            }
            EXPECT_EQ(now, expect) << "code " << c;
            // Any half-written line was cut off or blanked.
            std::string bytes = slurp(path);
            ASSERT_EQ(bytes.back(), '\n');
        }
        // At least the append and the link (or index) write can fail.
        EXPECT_GE(refused, 2);
    }
}

TEST_F(KeyedFaults, InterruptedMasterDeleteCanBeRepeated) {
    int interrupted = 0;
    for (unsigned long n = 1; n < 100; ++n) {
        SCOPED_TRACE(n);
        int c = with_fault(sample, path, n, [&](isam_handle* h) {
            std::string r;
            if (isam_lock(h, 0) != 0) return 1000;
            if (read_rec(h, 0, 3, pad("A", 8), &r) != 0) return 1001;
            int code = isam_delete(h, 0);
            isam_unlock(h);
            return code;
        });
        if (c == -1) break;
        isam_ptr h = open_file(path);
        std::string r;
        ASSERT_EQ(isam_lock(h.get(), 0), 0);
        int again = read_rec(h.get(), 0, 3, pad("A", 8), &r);
        if (c != 0) ++interrupted;
        if (again == 0) {
            ASSERT_NE(c, 0);
            ASSERT_EQ(isam_delete(h.get(), 0), 0);
        }
        ASSERT_EQ(isam_unlock(h.get()), 0);
        h.reset();
        Strings expect(original.begin() + 5, original.end());
        EXPECT_EQ(contents(path), expect) << "code " << c;
    }
    EXPECT_GE(interrupted, 5);
}

TEST_F(KeyedFaults, UnlockReleasesAfterAFailedFlush) {
    copy_pair(sample, path);
    isam_ptr h = open_file(path);
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    // Something written under the lock, so that there is something to flush.
    ASSERT_EQ(add_rec(h.get(), 0, tk_master("E", "new")), 0);
    plat::fault_arm(plat::FaultOp::fsync, 1, EIO);
    EXPECT_EQ(isam_unlock(h.get()), 20);
    plat::fault_disarm();
    EXPECT_EQ(isam_unlock(h.get()), 5);  // released all the same
    Child other([&](int, int) {
        isam_ptr c;
        std::string msg;
        if (isam_open(&c, path.c_str(), nullptr, 1, 0, &msg) != 0) return 1;
        return isam_lock(c.get(), 1) == 0 ? 0 : 2;
    });
    EXPECT_EQ(other.wait(), 0);
}
