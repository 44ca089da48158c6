// The page cache: pages are read once while the cache is trusted, it stays
// within its budget, and it never shows a page the file does not hold: not
// after a failed write, not after btree_sync, not after another process
// changed the file.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

// Another process rewrites the values of keys 0..n-1 in place (value: base
// plus the key's number), so that the file keeps its size.
void rewrite_in_child(const std::string& path, int n, int base) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        auto child = open_index(path);
        int rc = child ? 0 : 1;
        for (int i = 0; rc == 0 && i < n; ++i)
            if (insert(child.get(), key_n(i), base + i, 1) != BT_OK) rc = 2;
        if (child && btclose(std::move(child)) != 0) rc = 3;
        _exit(rc);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
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

    ASSERT_NO_FATAL_FAILURE(rewrite_in_child(path, 3000, 9000));
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

// ---- run reads while the file is held ----------------------------------------

namespace {

// One answer of a handle: result, error code and errno of a failure, key and value.
struct Answer {
    int rc = 0;
    int error = 0;
    int err_no = 0;
    std::string key;
    std::int32_t value = 0;
    bool operator==(const Answer&) const = default;
};

// A walk from the front (up to its first failure or its end) and a look-up
// of keys 0 .. keys-1, which are compared one by one.
std::vector<Answer> answers(btree_handle* h, int keys) {
    std::vector<Answer> out;
    auto failed = [&](int rc) {
        Answer a;
        a.rc = rc;
        a.error = h->error;
        a.err_no = rc == BT_FAIL && h->error == BTE_NONE ? errno : 0;
        return a;
    };
    errno = 0;
    if (btgoto(h, BT_PREVIOUS) != BT_OK) {
        out.push_back(failed(BT_FAIL));
    } else {
        for (;;) {
            errno = 0;
            const Step s = step(h, BT_NEXT);
            Answer a = failed(s.rc);
            a.key = s.key;
            a.value = s.value;
            out.push_back(a);
            if (s.rc != BT_OK) break;
        }
    }
    for (int i = 0; i < keys; ++i) {
        errno = 0;
        std::int32_t v = 0;
        const int rc = find(h, key_n(i), &v);
        Answer a = failed(rc);
        a.key = key_n(i);
        a.value = rc == BT_OK ? v : 0;
        out.push_back(a);
    }
    return out;
}

std::vector<Answer> answers_of(const std::string& path, int keys, bool held,
                               std::size_t cache_pages = 0) {
    auto h = open_index(path);
    if (!h) return {Answer{BT_FAIL, -1, errno, "open", 0}};
    h->cache_pages = cache_pages;
    btree_hold(h.get(), held);
    return answers(h.get(), keys);
}

bool has_error(const std::vector<Answer>& got, int error) {
    return std::any_of(got.begin(), got.end(), [&](const Answer& a) { return a.error == error; });
}

}  // namespace

TEST_F(BtreeCache, AHeldFileIsReadInRunsWithTheSameAnswers) {
    const std::string path = dir_.file("runs.KEY");
    ASSERT_NO_FATAL_FAILURE(build(path, 4000));
    const std::int64_t pages = pages_of(path);
    ASSERT_GT(pages, 150);

    plat::fault_disarm();
    const auto alone = answers_of(path, 4000, false);
    const unsigned long alone_reads = plat::fault_count(plat::FaultOp::read);
    plat::fault_disarm();
    const auto held = answers_of(path, 4000, true);
    const unsigned long held_reads = plat::fault_count(plat::FaultOp::read);
    ASSERT_EQ(alone.size(), 4001u + 4000u);
    EXPECT_TRUE(alone == held);
    EXPECT_GE(alone_reads, static_cast<unsigned long>(pages - 1));
    EXPECT_LE(held_reads, 10u) << "of " << pages << " pages";

    // The hold outlasts a sync (which forgets the pages), and what is read
    // after it comes in runs again.
    auto h = open_index(path);
    ASSERT_TRUE(h);
    btree_hold(h.get(), true);
    ASSERT_EQ(all_keys(h.get()).size(), 4000u);
    ASSERT_EQ(btree_sync(h.get()), 0);
    plat::fault_disarm();
    ASSERT_EQ(all_keys(h.get(), BT_PREVIOUS).size(), 4000u);
    EXPECT_GE(plat::fault_count(plat::FaultOp::read), 2u);
    EXPECT_LE(plat::fault_count(plat::FaultOp::read), 10u);

    // Let go, every page is read on its own again.
    btree_hold(h.get(), false);
    ASSERT_EQ(btree_sync(h.get()), 0);
    plat::fault_disarm();
    ASSERT_EQ(all_keys(h.get()).size(), 4000u);
    EXPECT_GE(plat::fault_count(plat::FaultOp::read), static_cast<unsigned long>(pages / 2));
}

TEST_F(BtreeCache, RunsNeverPassTheEndOfTheFile) {
    // The superblock says the file is longer than it is: whole pages or part
    // of one are missing, so runs end early. Every page that is there must
    // answer as when read alone, every missing one fail the same way, and
    // nothing past the end may be cached.
    struct Cut {
        int keys;
        std::int64_t bytes;  // cut off the end
    };
    const Cut cuts[] = {{4000, BT_PAGE_SIZE},     {4000, 3 * BT_PAGE_SIZE},
                        {4000, BT_PAGE_SIZE / 2}, {4000, 3 * BT_PAGE_SIZE / 2},
                        {300, BT_PAGE_SIZE},      {300, 100}};
    for (const Cut& c : cuts) {
        SCOPED_TRACE(std::to_string(c.keys) + " keys, " + std::to_string(c.bytes) + " bytes cut");
        const std::string path = dir_.file("short" + std::to_string(&c - cuts) + ".KEY");
        ASSERT_NO_FATAL_FAILURE(build(path, c.keys));
        const auto size = static_cast<std::int64_t>(std::filesystem::file_size(path)) - c.bytes;
        std::filesystem::resize_file(path, static_cast<std::uintmax_t>(size));

        const auto alone = answers_of(path, c.keys, false);
        EXPECT_TRUE(has_error(alone, BTE_CORRUPT));
        auto h = open_index(path);
        ASSERT_TRUE(h);
        btree_hold(h.get(), true);
        EXPECT_TRUE(answers(h.get(), c.keys) == alone);
        for (const auto& [off, buf] : h->where)
            EXPECT_LE(off + BT_PAGE_SIZE, size) << "page " << off << " was invented";
    }
}

TEST_F(BtreeCache, BadPagesInARunAreReportedWhenAskedFor) {
    // A leaf with a broken key count and an interior page pointing nowhere
    // sit among sound neighbours: the run must keep the sound ones and leave
    // the broken ones to fail as they do when read alone.
    const std::string path = dir_.file("bad.KEY");
    ASSERT_NO_FATAL_FAILURE(build(path, 4000));
    Bytes file = read_file(path);
    int leaves = 0;
    for (std::size_t off = BT_PAGE_SIZE; off + BT_PAGE_SIZE <= file.size() && leaves < 2;
         off += 40 * BT_PAGE_SIZE) {
        if (be32(file, off + 8) == BT_NOPAGE) {
            put_be32(file, off + 12, 1000000);
            ++leaves;
        }
    }
    ASSERT_EQ(leaves, 2);
    write_file(path, file);
    std::filesystem::last_write_time(
        path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));

    const auto alone = answers_of(path, 4000, false);
    EXPECT_TRUE(has_error(alone, BTE_CORRUPT));
    EXPECT_TRUE(answers_of(path, 4000, true) == alone);
}

TEST_F(BtreeCache, RunsKeepToTheBudget) {
    // Neighbours only fill room the cache has not used: a small limit holds,
    // and the answers stay those of single reads.
    const std::string path = dir_.file("budget.KEY");
    ASSERT_NO_FATAL_FAILURE(build(path, 4000));
    const auto alone = answers_of(path, 4000, false);
    for (const std::size_t limit : {std::size_t{1}, std::size_t{7}, std::size_t{40}}) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        auto h = open_index(path);
        ASSERT_TRUE(h);
        h->cache_pages = limit;
        btree_hold(h.get(), true);
        EXPECT_TRUE(answers(h.get(), 4000) == alone);
        EXPECT_LE(h->buffers.size(), std::max<std::size_t>(limit, BT_NBUFFERS));
        EXPECT_LE(h->where.size(), h->buffers.size());
    }
}

TEST_F(BtreeCache, AFailedRunReadFailsLikeAPageRead) {
    // Each read of a held walk fails in turn: a failed call is reported
    // (error 0, errno kept), a cut-short one costs nothing, and what was
    // read before the failure stays right.
    const std::string path = dir_.file("rfail.KEY");
    ASSERT_NO_FATAL_FAILURE(build(path, 4000));
    const auto clean = answers_of(path, 4000, true);
    int failures = 0;
    for (const int err : {EIO, plat::FAULT_SHORT}) {
        for (unsigned long nth = 1; nth <= 12; ++nth) {
            SCOPED_TRACE("error " + std::to_string(err) + ", read " + std::to_string(nth));
            auto h = open_index(path);
            ASSERT_TRUE(h);
            btree_hold(h.get(), true);
            ASSERT_EQ(plat::fault_arm(plat::FaultOp::read, nth, err), 0);
            const auto got = answers(h.get(), 4000);
            plat::fault_disarm();
            if (err == plat::FAULT_SHORT) {
                EXPECT_TRUE(got == clean);
                continue;
            }
            const auto bad = std::find_if(got.begin(), got.end(),
                                          [](const Answer& a) { return a.rc == BT_FAIL; });
            if (bad == got.end()) {
                EXPECT_TRUE(got == clean);  // the walk needs fewer reads
                continue;
            }
            ++failures;
            EXPECT_EQ(bad->error, BTE_NONE);
            EXPECT_EQ(bad->err_no, EIO);
            const auto at = static_cast<std::size_t>(bad - got.begin());
            EXPECT_TRUE(std::equal(got.begin(), bad, clean.begin()));
            // A walk stops at its failure; the look-ups after it go on.
            const std::size_t next = at < 4001 ? 4001 : at + 1;
            EXPECT_TRUE(std::equal(bad + 1, got.end(), clean.begin() + static_cast<long>(next),
                                   clean.end()));
            EXPECT_TRUE(answers(h.get(), 4000) == clean);
        }
    }
    EXPECT_GE(failures, 3);
}

TEST_F(BtreeCache, PagesReadInRunsAreForgottenWithTheLock) {
    // A held handle caches the whole file in runs, syncs (the caller gives
    // up its lock), another process rewrites every value in place; the next
    // hold must see the new values, with or without a refresh.
    const std::string path = dir_.file("relock.KEY");
    ASSERT_NO_FATAL_FAILURE(build(path, 3000));
    auto h = open_index(path);
    ASSERT_TRUE(h);
    btree_hold(h.get(), true);
    ASSERT_EQ(all_keys(h.get()).size(), 3000u);
    ASSERT_EQ(btree_sync(h.get()), 0);
    btree_hold(h.get(), false);

    ASSERT_NO_FATAL_FAILURE(rewrite_in_child(path, 3000, 7000));

    btree_hold(h.get(), true);
    std::int32_t v = 0;
    ASSERT_EQ(find(h.get(), key_n(1234), &v), BT_OK);
    EXPECT_EQ(v, 7000 + 1234);
    ASSERT_EQ(btree_refresh(h.get()), 0);
    ASSERT_EQ(btgoto(h.get(), BT_PREVIOUS), BT_OK);
    for (int i = 0; i < 3000; ++i) {
        const Step s = step(h.get(), BT_NEXT);
        ASSERT_EQ(s.rc, BT_OK);
        ASSERT_EQ(s.value, 7000 + i);
    }
}
