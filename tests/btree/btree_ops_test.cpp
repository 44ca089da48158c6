// Traversal, positioning, bulk load, reset, refresh after changes made
// through another open file description or another process, error texts.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "bt_testutil.h"

using namespace bttest;

namespace {

std::string key_n(int i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "k%05d", i);
    return buf;
}

// An index with keys k00000, k00002, ... (even numbers only), several leaves deep.
btree_ptr even_keys(const std::string& path, int count) {
    auto h = open_index(path);
    for (int i = 0; h && i < count; ++i)
        if (insert(h.get(), key_n(2 * i), 2 * i) != BT_OK) return nullptr;
    return h;
}

}  // namespace

TEST(BtreeTraversal, EmptyIndexEndsAtOnceInBothDirections) {
    TempDir dir;
    auto h = open_index(dir.file("empty.KEY"));
    ASSERT_TRUE(h);
    for (int i = 0; i < 2; ++i) {
        const Step s = step(h.get(), BT_NEXT);
        EXPECT_EQ(s.rc, BT_END);
        EXPECT_EQ(s.value, 0);
    }
    EXPECT_EQ(step(h.get(), BT_PREVIOUS).rc, BT_BEGIN);
    EXPECT_EQ(step(h.get(), BT_PREVIOUS).rc, BT_BEGIN);
    ASSERT_EQ(btgoto(h.get(), BT_NEXT), BT_OK);
    EXPECT_EQ(step(h.get(), BT_NEXT).rc, BT_END);
}

TEST(BtreeTraversal, BothDirectionsAcrossLeaves) {
    TempDir dir;
    const int n = 600;
    auto h = even_keys(dir.file("t.KEY"), n);
    ASSERT_TRUE(h);
    ASSERT_GE(h->sb.depth, 2);

    std::vector<std::string> forward = all_keys(h.get(), BT_NEXT);
    ASSERT_EQ(forward.size(), static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(forward[static_cast<std::size_t>(i)], key_n(2 * i));
    std::vector<std::string> backward = all_keys(h.get(), BT_PREVIOUS);
    std::reverse(backward.begin(), backward.end());
    EXPECT_EQ(backward, forward);

    // Past the end, every further step says so; one step back is the last key.
    ASSERT_EQ(btgoto(h.get(), BT_NEXT), BT_OK);
    EXPECT_EQ(step(h.get(), BT_NEXT).rc, BT_END);
    EXPECT_EQ(step(h.get(), BT_NEXT).rc, BT_END);
    Step last = step(h.get(), BT_PREVIOUS);
    EXPECT_EQ(last.key, key_n(2 * (n - 1)));
    EXPECT_EQ(last.value, 2 * (n - 1));
    // From the beginning, turning round goes back to the start.
    ASSERT_EQ(btgoto(h.get(), BT_PREVIOUS), BT_OK);
    EXPECT_EQ(step(h.get(), BT_NEXT).key, key_n(0));
    EXPECT_EQ(step(h.get(), BT_NEXT).key, key_n(2));
    EXPECT_EQ(step(h.get(), BT_PREVIOUS).key, key_n(0));
    EXPECT_EQ(step(h.get(), BT_PREVIOUS).rc, BT_BEGIN);
    EXPECT_EQ(step(h.get(), BT_NEXT).key, key_n(0));
    // Any position but the end counts as the beginning.
    ASSERT_EQ(btgoto(h.get(), 7), BT_OK);
    EXPECT_EQ(step(h.get(), BT_NEXT).key, key_n(0));
}

TEST(BtreeTraversal, StepsFromAFindPosition) {
    TempDir dir;
    auto h = even_keys(dir.file("f.KEY"), 600);
    ASSERT_TRUE(h);
    std::int32_t v = -1;
    // A found key leads to its neighbours on both sides, a missing one to the
    // first key above it, across leaf boundaries as well.
    for (int i = 1; i < 1198; ++i) {
        SCOPED_TRACE(i);
        const bool present = i % 2 == 0;
        ASSERT_EQ(find(h.get(), key_n(i), &v), present ? BT_OK : BT_NOT_FOUND);
        const Step next = step(h.get(), BT_NEXT);
        EXPECT_EQ(next.key, key_n(present ? i + 2 : i + 1));
        EXPECT_EQ(next.value, present ? i + 2 : i + 1);
        if (!present) continue;
        ASSERT_EQ(find(h.get(), key_n(i), &v), BT_OK);
        EXPECT_EQ(v, i);
        EXPECT_EQ(step(h.get(), BT_PREVIOUS).key, key_n(i - 2));
    }
    // Above every key: the end; below every key: the first one.
    ASSERT_EQ(find(h.get(), "zzz", &v), BT_NOT_FOUND);
    EXPECT_EQ(step(h.get(), BT_NEXT).rc, BT_END);
    ASSERT_EQ(find(h.get(), "a", &v), BT_NOT_FOUND);
    EXPECT_EQ(step(h.get(), BT_NEXT).key, key_n(0));
}

TEST(BtreeTraversal, ChangesClearThePositionAndSmallBuffersKeepIt) {
    TempDir dir;
    auto h = even_keys(dir.file("c.KEY"), 100);
    ASSERT_TRUE(h);
    std::int32_t v = 0;
    ASSERT_EQ(find(h.get(), key_n(100), &v), BT_OK);
    ASSERT_EQ(insert(h.get(), key_n(101), 101), BT_OK);
    EXPECT_EQ(step(h.get(), BT_NEXT).key, key_n(0));  // starts again from an end
    ASSERT_EQ(find(h.get(), key_n(100), &v), BT_OK);
    ASSERT_EQ(erase(h.get(), key_n(101)), BT_OK);
    EXPECT_EQ(step(h.get(), BT_PREVIOUS).key, key_n(198));

    // A key longer than the buffer fails the step without moving past it.
    ASSERT_EQ(find(h.get(), key_n(100), &v), BT_OK);
    char small[3];
    int len = 0;
    EXPECT_EQ(btravrs(h.get(), BT_NEXT, small, sizeof small, &len, &v), BT_FAIL);
    EXPECT_EQ(h->error, BTE_BUFFER_SMALL);
    EXPECT_EQ(step(h.get(), BT_NEXT).key, key_n(102));
    EXPECT_EQ(btravrs(h.get(), 4, small, sizeof small, &len, &v), BT_FAIL);
    EXPECT_EQ(h->error, BTE_BAD_ARGUMENT);
}

TEST(BtreeTraversal, ByteKeysSortUnsignedAndPrefixFirst) {
    // Keys that differ in their first, eighth, ninth or last byte, by bytes
    // above 0x7f, or only in length around the eight-byte steps of the
    // comparison: the walk gives them in unsigned byte order, and each is
    // found with its own value while its near neighbours are not.
    TempDir dir;
    auto h = open_index(dir.file("bytes.KEY"));
    ASSERT_TRUE(h);
    std::vector<std::string> keys;
    const std::string base = "ABCDEFGHIJKLMNOPQR";
    for (const std::size_t len : {1u, 7u, 8u, 9u, 15u, 16u, 17u})
        keys.push_back(base.substr(0, len));
    for (const std::size_t at : {0u, 7u, 8u, 15u})
        for (const unsigned char b : {0x00, 0x7f, 0x80, 0xff}) {
            std::string k = base.substr(0, 16);
            k[at] = static_cast<char>(b);
            keys.push_back(k);
        }
    for (std::size_t i = 0; i < keys.size(); ++i)
        ASSERT_EQ(insert(h.get(), keys[i], static_cast<std::int32_t>(i)), BT_OK) << i;

    std::vector<std::string> sorted = keys;
    std::sort(sorted.begin(), sorted.end(), [](const std::string& a, const std::string& b) {
        return std::lexicographical_compare(
            a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
                return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
            });
    });
    EXPECT_EQ(all_keys(h.get()), sorted);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        std::int32_t v = -1;
        ASSERT_EQ(find(h.get(), keys[i], &v), BT_OK) << i;
        EXPECT_EQ(v, static_cast<std::int32_t>(i));
        std::string near = keys[i];
        near.back() = static_cast<char>(static_cast<unsigned char>(near.back()) ^ 0x01);
        if (std::find(keys.begin(), keys.end(), near) == keys.end()) {
            EXPECT_EQ(find(h.get(), near, &v), BT_NOT_FOUND) << i;
        }
    }
}

TEST(BtreeUpdate, InsertReplaceAndDeleteResults) {
    TempDir dir;
    const std::string path = dir.file("u.KEY");
    auto h = open_index(path);
    ASSERT_TRUE(h);
    std::int32_t v = 0;
    ASSERT_EQ(insert(h.get(), "alpha", 1), BT_OK);
    const Bytes before = read_file(path);
    EXPECT_EQ(insert(h.get(), "alpha", 2), BT_FAIL);
    EXPECT_EQ(h->error, BTE_DUPLICATE);
    EXPECT_STREQ(bterror_text(h.get()), "duplicate btree key");
    EXPECT_EQ(read_file(path), before);  // a refused change leaves the file alone
    EXPECT_EQ(insert(h.get(), "alpha", 2, 1), BT_OK);
    EXPECT_EQ(h->error, BTE_NONE);
    ASSERT_EQ(find(h.get(), "alpha", &v), BT_OK);
    EXPECT_EQ(v, 2);
    EXPECT_EQ(erase(h.get(), "beta"), BT_NOT_FOUND);
    EXPECT_EQ(erase(h.get(), "alpha"), BT_OK);
    EXPECT_EQ(erase(h.get(), "alpha"), BT_NOT_FOUND);
    EXPECT_EQ(find(h.get(), "alpha", &v), BT_NOT_FOUND);
}

TEST(BtreeLoad, DescendingKeysRefusedOrderAndContinuation) {
    TempDir dir;
    const std::string path = dir.file("load.KEY");
    auto h = open_index(path);
    ASSERT_TRUE(h);
    ASSERT_EQ(btload(h.get(), nullptr, 0, 0, BT_LOAD_START), BT_OK);
    for (int i = 3999; i >= 2000; --i)
        ASSERT_EQ(btload(h.get(), key_n(i).data(), 6, i, BT_LOAD_KEY), BT_OK) << i;
    const Bytes before = read_file(path);
    // Keys out of order and unknown operations are refused without harm.
    EXPECT_EQ(btload(h.get(), key_n(2000).data(), 6, 0, BT_LOAD_KEY), BT_FAIL);
    EXPECT_EQ(h->error, BTE_DUPLICATE);
    EXPECT_EQ(btload(h.get(), key_n(3000).data(), 6, 0, BT_LOAD_KEY), BT_FAIL);
    EXPECT_EQ(h->error, BTE_BAD_ARGUMENT);
    EXPECT_EQ(btload(h.get(), key_n(1).data(), 6, 0, 1), BT_FAIL);
    EXPECT_EQ(h->error, BTE_BAD_ARGUMENT);
    EXPECT_STREQ(bterror_text(h.get()), "invalid btree argument");
    EXPECT_EQ(read_file(path), before);
    ASSERT_EQ(btclose(std::move(h)), 0);

    // A load taken up again on a reopened index finds its leftmost pages.
    h = open_index(path);
    ASSERT_TRUE(h);
    for (int i = 1999; i >= 0; --i)
        ASSERT_EQ(btload(h.get(), key_n(i).data(), 6, i, BT_LOAD_KEY), BT_OK) << i;
    ASSERT_EQ(btload(h.get(), nullptr, 0, 0, BT_LOAD_FINISH), BT_OK);
    const std::vector<std::string> keys = all_keys(h.get());
    ASSERT_EQ(keys.size(), 4000u);
    for (int i = 0; i < 4000; ++i)
        ASSERT_EQ(keys[static_cast<std::size_t>(i)], key_n(i));
    std::int32_t v = 0;
    ASSERT_EQ(find(h.get(), key_n(2345), &v), BT_OK);
    EXPECT_EQ(v, 2345);
    // Ordinary changes mix with a loaded tree.
    ASSERT_EQ(erase(h.get(), key_n(17)), BT_OK);
    ASSERT_EQ(insert(h.get(), "k00017x", 5), BT_OK);
    ASSERT_EQ(btclose(std::move(h)), 0);
    bt_check_summary sum;
    EXPECT_EQ(joined(check_faults(path, &sum)), "");
    EXPECT_EQ(sum.keys, 4000);
    EXPECT_GE(sum.depth, 3);
}

TEST(BtreeZap, ResetGivesANewEmptyIndex) {
    TempDir dir;
    const std::string path = dir.file("zap.KEY");
    auto h = even_keys(path, 2000);
    ASSERT_TRUE(h);
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(erase(h.get(), key_n(2 * i)), BT_OK);
    ASSERT_NE(h->sb.free_list, -1);
    ASSERT_EQ(btzap(h.get()), BT_OK);
    const Bytes file = read_file(path);
    ASSERT_EQ(file.size(), 1024u);
    const std::int32_t sb[] = {BT_MAGIC, 512, 1, 0, 512, -1, 1024};
    for (std::size_t i = 0; i < 7; ++i)
        EXPECT_EQ(be32(file, 4 * i), sb[i]) << i;
    for (std::size_t i = 0; i < 12; i += 4)
        EXPECT_EQ(be32(file, 512 + i), -1);
    for (std::size_t i = 512 + 12; i < 1024; ++i)
        ASSERT_EQ(file[i], 0) << i;

    std::int32_t v = 0;
    EXPECT_EQ(find(h.get(), key_n(1998), &v), BT_NOT_FOUND);
    EXPECT_TRUE(all_keys(h.get()).empty());
    ASSERT_EQ(insert(h.get(), "again", 3), BT_OK);
    ASSERT_EQ(find(h.get(), "again", &v), BT_OK);
    EXPECT_EQ(v, 3);
    ASSERT_EQ(btclose(std::move(h)), 0);
    EXPECT_EQ(joined(check_faults(path)), "");
}

TEST(BtreeRefresh, ChangesThroughAnotherOpenAreSeen) {
    TempDir dir;
    const std::string path = dir.file("r.KEY");
    auto reader = even_keys(path, 50);
    ASSERT_TRUE(reader);
    std::int32_t v = 0;
    ASSERT_EQ(find(reader.get(), key_n(10), &v), BT_OK);  // pages now cached

    auto writer = open_index(path);
    ASSERT_TRUE(writer);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(insert(writer.get(), key_n(2 * i + 1), i), BT_OK);
    ASSERT_EQ(erase(writer.get(), key_n(10)), BT_OK);

    ASSERT_EQ(btree_refresh(reader.get()), 0);
    EXPECT_EQ(reader->sb.depth, writer->sb.depth);
    EXPECT_EQ(reader->cur_page, -1);  // the position went with the cache
    EXPECT_EQ(find(reader.get(), key_n(10), &v), BT_NOT_FOUND);
    ASSERT_EQ(find(reader.get(), key_n(1999), &v), BT_OK);
    EXPECT_EQ(v, 999);
    EXPECT_EQ(all_keys(reader.get()).size(), 1049u);

    // Reset and then emptied to nothing by the other side.
    ASSERT_EQ(btzap(writer.get()), BT_OK);
    ASSERT_EQ(btree_refresh(reader.get()), 0);
    EXPECT_TRUE(all_keys(reader.get()).empty());
    ASSERT_EQ(plat::FH_truncate_file(writer->fd, 0), 0);
    ASSERT_EQ(btree_refresh(reader.get()), 0);  // made an empty index again
    EXPECT_EQ(read_file(path).size(), 1024u);
    EXPECT_EQ(insert(reader.get(), "x", 1), BT_OK);
}

TEST(BtreeRefresh, SmallChangesRightAfterAnotherAreSeen) {
    // A change that keeps the file's size, made within the same clock tick
    // as the change before it, must not leave the reader on stale pages.
    TempDir dir;
    const std::string path = dir.file("s.KEY");
    auto reader = even_keys(path, 10);
    ASSERT_TRUE(reader);
    auto writer = open_index(path);
    ASSERT_TRUE(writer);
    std::int32_t v = 0;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(btree_refresh(reader.get()), 0);
        ASSERT_EQ(find(reader.get(), key_n(2 * i + 1), &v), BT_NOT_FOUND);
        ASSERT_EQ(insert(writer.get(), key_n(2 * i + 1), i), BT_OK);
        ASSERT_EQ(btree_refresh(reader.get()), 0);
        ASSERT_EQ(find(reader.get(), key_n(2 * i + 1), &v), BT_OK) << i;
    }
}

TEST(BtreeRefresh, AnUnchangedFileKeepsItsCache) {
    TempDir dir;
    const std::string path = dir.file("old.KEY");
    ASSERT_TRUE(even_keys(path, 10));
    std::filesystem::last_write_time(
        path, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
    auto h = open_index(path);
    ASSERT_TRUE(h);
    std::int32_t v = 0;
    ASSERT_EQ(find(h.get(), key_n(4), &v), BT_OK);
    ASSERT_EQ(btree_refresh(h.get()), 0);
    EXPECT_EQ(step(h.get(), BT_NEXT).key, key_n(6));  // the position survived

    auto other = open_index(path);
    ASSERT_TRUE(other);
    ASSERT_EQ(insert(other.get(), key_n(5), 5), BT_OK);
    ASSERT_EQ(btree_refresh(h.get()), 0);
    EXPECT_EQ(h->cur_page, -1);
    ASSERT_EQ(find(h.get(), key_n(4), &v), BT_OK);
    EXPECT_EQ(step(h.get(), BT_NEXT).key, key_n(5));
}

TEST(BtreeRefresh, ChangesByAnotherProcessAreSeen) {
    TempDir dir;
    const std::string path = dir.file("p.KEY");
    auto h = even_keys(path, 20);
    ASSERT_TRUE(h);
    std::int32_t v = 0;
    ASSERT_EQ(find(h.get(), key_n(4), &v), BT_OK);

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        auto child = open_index(path);
        int rc = child ? 0 : 1;
        for (int i = 0; rc == 0 && i < 300; ++i)
            if (insert(child.get(), key_n(1000 + i), 7) != BT_OK) rc = 2;
        if (rc == 0 && erase(child.get(), key_n(4)) != BT_OK) rc = 3;
        if (child && btclose(std::move(child)) != 0) rc = 4;
        _exit(rc);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);

    ASSERT_EQ(btree_refresh(h.get()), 0);
    EXPECT_EQ(find(h.get(), key_n(4), &v), BT_NOT_FOUND);
    ASSERT_EQ(find(h.get(), key_n(1299), &v), BT_OK);
    EXPECT_EQ(v, 7);
    ASSERT_EQ(insert(h.get(), key_n(4), 4), BT_OK);
    ASSERT_EQ(btclose(std::move(h)), 0);
    EXPECT_EQ(joined(check_faults(path)), "");
}

TEST(BtreeRefresh, ABrokenFileFailsUntilItIsSoundAgain) {
    TempDir dir;
    const std::string path = dir.file("b.KEY");
    auto h = even_keys(path, 100);
    ASSERT_TRUE(h);
    const Bytes good = read_file(path);
    Bytes bad = good;
    put_be32(bad, 0, 12345);
    write_file(path, bad);
    EXPECT_EQ(btree_refresh(h.get()), BTE_REFRESH);
    std::int32_t v = 0;
    EXPECT_EQ(find(h.get(), key_n(2), &v), BT_FAIL);
    EXPECT_EQ(h->error, BTE_CORRUPT);
    EXPECT_EQ(insert(h.get(), "new", 1), BT_FAIL);
    EXPECT_EQ(step(h.get(), BT_NEXT).rc, BT_FAIL);
    EXPECT_EQ(read_file(path), bad);  // nothing written over it

    write_file(path, good);
    ASSERT_EQ(btree_refresh(h.get()), 0);
    EXPECT_EQ(find(h.get(), key_n(2), &v), BT_OK);
    EXPECT_EQ(btree_refresh(nullptr), BTE_REFRESH);
}

TEST(BtreeErrors, TextsAndPrintForm) {
    EXPECT_STREQ(bterror_text(nullptr), "No comarea");
    btree_handle h;
    const char* const texts[] = {"no btree error",         "btree key too big",
                                 "zero sized btree key",   "duplicate btree key",
                                 "invalid btree pointer",  "insufficient btree buffers",
                                 "btree label too big",    "btree buffer too small",
                                 "btree page is corrupt",  "cannot search btree page",
                                 "invalid btree argument", "refresh was called with dirty buffers"};
    errno = 0;
    for (int code = 0; code <= BTE_REFRESH; ++code) {
        h.error = code;
        EXPECT_STREQ(bterror_text(&h), texts[code]) << code;
    }
    // With no btree error the system's error is the text.
    h.error = BTE_NONE;
    errno = ENOENT;
    EXPECT_STREQ(bterror_text(&h), std::strerror(ENOENT));
    h.error = BTE_CORRUPT;
    EXPECT_STREQ(bterror_text(&h), "btree page is corrupt");

    testing::internal::CaptureStderr();
    btperror(&h, "index");
    btperror(&h, "");
    btperror(nullptr, "open");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "index: btree page is corrupt\nbtree page is corrupt\nopen: cannot open\n");
    errno = 0;
}
