// The page cache: pages are read once while the cache is trusted, it stays
// within its budget, and it never shows a page the file does not hold: not
// after a failed write, not after btree_sync, not after another process
// changed the file.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>

#include "bt_testutil.h"
#include "platform/faults.h"

using namespace bttest;

namespace {

std::string key_n(int n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "KEY%07d", n);
    return buf;
}

// An index of n keys inserted in random order (value: the key's number),
// closed again; its modification time is put an hour back so that a stamp
// taken of it is trusted.
void build(const std::string& path, int n, std::uint32_t seed = 7) {
    auto h = open_index(path);
    ASSERT_TRUE(h);
    std::vector<int> order(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        order[static_cast<std::size_t>(i)] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    for (int i : order)
        ASSERT_EQ(insert(h.get(), key_n(i), i), BT_OK);
    ASSERT_EQ(btclose(std::move(h)), 0);
    std::filesystem::last_write_time(
        path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
}

std::int64_t pages_of(const std::string& path) {
    return static_cast<std::int64_t>(std::filesystem::file_size(path)) / BT_PAGE_SIZE;
}

// Every step of a walk from the front, failures included: what the handle
// believes the file holds.
std::vector<Step> walk(btree_handle* h, std::size_t limit) {
    std::vector<Step> steps;
    if (btgoto(h, BT_PREVIOUS) != BT_OK) return {Step{BT_FAIL, "goto", h->error}};
    while (steps.size() < limit) {
        steps.push_back(step(h, BT_NEXT));
        if (steps.back().rc != BT_OK) break;
    }
    return steps;
}

bool same_walk(const std::vector<Step>& a, const std::vector<Step>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].rc != b[i].rc || a[i].key != b[i].key || a[i].value != b[i].value) return false;
    return true;
}

class BtreeCache : public ::testing::Test {
  protected:
    void TearDown() override { plat::fault_disarm(); }
    TempDir dir_;
};

}  // namespace

TEST_F(BtreeCache, EveryPageIsReadOnceUntilSync) {
    const std::string path = dir_.file("once.KEY");
    ASSERT_NO_FATAL_FAILURE(build(path, 4000));
    const std::int64_t pages = pages_of(path);
    auto h = open_index(path);
    ASSERT_TRUE(h);
    ASSERT_GE(h->sb.depth, 3);

    plat::fault_disarm();  // counts from zero
    std::vector<int> order(4000);
    for (int i = 0; i < 4000; ++i)
        order[static_cast<std::size_t>(i)] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(9));
    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_EQ(all_keys(h.get()).size(), 4000u);
        ASSERT_EQ(all_keys(h.get(), BT_PREVIOUS).size(), 4000u);
        for (int i : order) {
            std::int32_t v = -1;
            ASSERT_EQ(find(h.get(), key_n(i), &v), BT_OK);
            ASSERT_EQ(v, i);
        }
        ASSERT_EQ(btree_refresh(h.get()), 0);  // unchanged: the cache stays
    }
    EXPECT_LE(plat::fault_count(plat::FaultOp::read), static_cast<unsigned long>(pages));

    // Writing goes through to the file and keeps what it wrote.
    for (int i = 0; i < 4000; i += 3)
        ASSERT_EQ(insert(h.get(), key_n(i), -i, 1), BT_OK);
    EXPECT_LE(plat::fault_count(plat::FaultOp::read), static_cast<unsigned long>(pages));
    EXPECT_GE(plat::fault_count(plat::FaultOp::write), 1334u);

    // After a sync the pages are read again.
    ASSERT_EQ(btree_sync(h.get()), 0);
    plat::fault_disarm();
    ASSERT_EQ(all_keys(h.get()).size(), 4000u);
    EXPECT_GE(plat::fault_count(plat::FaultOp::read), static_cast<unsigned long>(pages / 2));
}

TEST_F(BtreeCache, SyncForgetsPagesOthersMayChange) {
    // Between the caller's update locks others change the file; what was
    // cached before the sync must not be used afterwards, even by a caller
    // that does not refresh.
    const std::string path = dir_.file("sync.KEY");
    ASSERT_NO_FATAL_FAILURE(build(path, 2000));
    auto h = open_index(path);
    ASSERT_TRUE(h);
    ASSERT_EQ(all_keys(h.get()).size(), 2000u);
    ASSERT_EQ(btree_sync(h.get()), 0);

    auto other = open_index(path);
    ASSERT_TRUE(other);
    for (int i = 0; i < 2000; ++i)
        ASSERT_EQ(insert(other.get(), key_n(i), 5000 + i, 1), BT_OK);
    ASSERT_EQ(btclose(std::move(other)), 0);

    for (int i = 0; i < 2000; i += 7) {
        std::int32_t v = 0;
        ASSERT_EQ(find(h.get(), key_n(i), &v), BT_OK);
        ASSERT_EQ(v, 5000 + i);
    }
}

TEST_F(BtreeCache, SameSizeChangesByAnotherProcessAreSeenAfterRefresh) {
    // The hardest change to notice: values rewritten in place, so the file
    // keeps its size, while every page is cached from a stamp that was old.
    const std::string path = dir_.file("proc.KEY");
    ASSERT_NO_FATAL_FAILURE(build(path, 3000));
    const auto size = std::filesystem::file_size(path);
    auto h = open_index(path);
    ASSERT_TRUE(h);
    ASSERT_EQ(all_keys(h.get()).size(), 3000u);

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        auto child = open_index(path);
        int rc = child ? 0 : 1;
        for (int i = 0; rc == 0 && i < 3000; ++i)
            if (insert(child.get(), key_n(i), 9000 + i, 1) != BT_OK) rc = 2;
        if (child && btclose(std::move(child)) != 0) rc = 3;
        _exit(rc);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_EQ(std::filesystem::file_size(path), size);

    ASSERT_EQ(btree_refresh(h.get()), 0);
    ASSERT_EQ(btgoto(h.get(), BT_PREVIOUS), BT_OK);
    for (int i = 0; i < 3000; ++i) {
        const Step s = step(h.get(), BT_NEXT);
        ASSERT_EQ(s.rc, BT_OK);
        ASSERT_EQ(s.key, key_n(i));
        ASSERT_EQ(s.value, 9000 + i);
    }
}

TEST_F(BtreeCache, AFailedWriteLeavesNothingTheFileDoesNotHold) {
    // Each write of a run of inserts fails once in turn (the run splits
    // leaves and interior pages and moves the free list); afterwards the
    // handle that failed must see exactly what a fresh handle reads from the
    // file, and the value of a failed replace must not show.
    const std::string path = dir_.file("fail.KEY");
    ASSERT_NO_FATAL_FAILURE(build(path, 1500));
    const Bytes original = read_file(path);
    for (const int err : {EIO, ENOSPC, plat::FAULT_SHORT}) {
        for (unsigned long nth = 1; nth <= 40; ++nth) {
            SCOPED_TRACE("error " + std::to_string(err) + ", write " + std::to_string(nth));
            write_file(path, original);
            auto h = open_index(path);
            ASSERT_TRUE(h);
            ASSERT_EQ(all_keys(h.get()).size(), 1500u);  // everything cached
            for (int i = 0; i < 1500; i += 10)
                ASSERT_EQ(erase(h.get(), key_n(i)), BT_OK);
            ASSERT_EQ(plat::fault_arm(plat::FaultOp::write, nth, err), 0);
            int failed_at = -1;
            for (int i = 0; i < 400 && failed_at < 0; ++i) {
                const int k = i % 2 == 0 ? 100000 + i : (i * 37) % 1500;
                if (insert(h.get(), key_n(k), -1 - i, 1) != BT_OK) failed_at = k;
            }
            plat::fault_disarm();
            ASSERT_GE(failed_at, 0);

            auto fresh = open_index(path);
            ASSERT_TRUE(fresh);
            ASSERT_TRUE(same_walk(walk(h.get(), 2500), walk(fresh.get(), 2500)));
            std::int32_t a = 0;
            std::int32_t b = 0;
            const int ra = find(h.get(), key_n(failed_at), &a);
            const int rb = find(fresh.get(), key_n(failed_at), &b);
            ASSERT_EQ(ra, rb);
            if (ra == BT_OK) {
                ASSERT_EQ(a, b);
            }
        }
    }
}

TEST_F(BtreeCache, StaysWithinItsBudget) {
    // 64 KB pages: the byte budget holds far fewer pages than this index
    // has, built by hand as a root over 200 one-key leaves.
    const std::string path = dir_.file("big.KEY");
    constexpr std::int32_t page = BT_MAX_PAGE_SIZE;
    constexpr int leaves = 200;
    const std::int32_t root = page * (leaves + 1);
    Bytes file = superblock(page, 2, BT_KEY_BYTES, root, BT_NOPAGE, page * (leaves + 2));
    std::vector<std::string> keys;
    std::vector<std::int32_t> children;
    for (int i = 0; i < leaves; ++i) {
        const std::int32_t off = page * (i + 1);
        append(file,
               page_image(page, i == 0 ? BT_NOPAGE : off - page,
                          i == leaves - 1 ? BT_NOPAGE : off + page, BT_NOPAGE, {key_n(i)}, {i}));
        if (i < leaves - 1) {
            keys.push_back(key_n(i));
            children.push_back(off);
        }
    }
    append(file, page_image(page, BT_NOPAGE, BT_NOPAGE, page * leaves, keys, children));
    write_file(path, file);

    const std::size_t budget = static_cast<std::size_t>(BT_CACHE_BYTES / page);
    ASSERT_LT(budget, static_cast<std::size_t>(leaves));
    auto h = open_index(path);
    ASSERT_TRUE(h);
    for (int pass = 0; pass < 2; ++pass) {
        const auto got = all_keys(h.get());
        ASSERT_EQ(got.size(), static_cast<std::size_t>(leaves));
        EXPECT_EQ(got.back(), key_n(leaves - 1));
        for (int i = leaves - 1; i >= 0; i -= 13) {
            std::int32_t v = -1;
            ASSERT_EQ(find(h.get(), key_n(i), &v), BT_OK);
            ASSERT_EQ(v, i);
        }
    }
    EXPECT_LE(h->buffers.size(), budget);

    // A smaller limit set by the caller is kept too.
    h->cache_pages = 7;
    ASSERT_EQ(btree_sync(h.get()), 0);
    ASSERT_EQ(all_keys(h.get(), BT_PREVIOUS).size(), static_cast<std::size_t>(leaves));
    EXPECT_LE(h->buffers.size(), 7u);
}
