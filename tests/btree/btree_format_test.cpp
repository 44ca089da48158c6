// The bytes the tree writes: a new index, the first root split, the key end
// table's place, the free list after deleting everything, and a file built
// here by hand that the tree must read.
#include <algorithm>
#include <cstring>
#include <map>

#include "bt_testutil.h"

using namespace bttest;

namespace {

std::string key4(int i) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "K%03d", i);
    return buf;
}

// The free list as the file has it, head first.
std::vector<std::int32_t> free_list(const Bytes& file) {
    std::vector<std::int32_t> pages;
    for (std::int32_t off = be32(file, 20); off != -1 && pages.size() < 10000;
         off = be32(file, static_cast<std::size_t>(off)))
        pages.push_back(off);
    return pages;
}

}  // namespace

TEST(BtreeFormat, ZeroLengthFileBecomesAnEmptyIndex) {
    TempDir dir;
    const std::string path = dir.file("new.KEY");
    write_file(path, {});
    auto h = btopen(path.c_str(), 0, 0600);
    ASSERT_TRUE(h);
    EXPECT_EQ(btclose(std::move(h)), 0);

    Bytes expected = superblock(512, 1, 0, 512, -1, 1024);
    append(expected, page_image(512, -1, -1, -1, {}, {}));
    EXPECT_EQ(read_file(path), expected);

    // Opening it again changes nothing; a missing file is not created unasked.
    ASSERT_TRUE(btopen(path.c_str(), 0, 0600));
    EXPECT_EQ(read_file(path), expected);
    EXPECT_FALSE(btopen(dir.file("missing.KEY").c_str(), 0, 0600));
}

TEST(BtreeFormat, KeyLengthLimits) {
    TempDir dir;
    auto h = open_index(dir.file("keys.KEY"));
    ASSERT_TRUE(h);
    const std::string longest(BT_MAX_KEY, 'x');
    const std::string too_long(BT_MAX_KEY + 1, 'x');
    ASSERT_EQ(BT_MAX_KEY, 234);
    std::int32_t v = 0;

    EXPECT_EQ(insert(h.get(), longest, 7), BT_OK);
    EXPECT_EQ(find(h.get(), longest, &v), BT_OK);
    EXPECT_EQ(v, 7);

    struct Bad {
        int len;
        int error;
    };
    for (const Bad bad :
         {Bad{BT_MAX_KEY + 1, BTE_KEY_TOO_BIG}, Bad{0, BTE_ZERO_KEY}, Bad{-1, BTE_KEY_TOO_BIG}}) {
        SCOPED_TRACE(bad.len);
        EXPECT_EQ(btinsert(h.get(), too_long.data(), bad.len, 1, 0), BT_FAIL);
        EXPECT_EQ(h->error, bad.error);
        EXPECT_EQ(btfind(h.get(), too_long.data(), bad.len, &v), BT_FAIL);
        EXPECT_EQ(h->error, bad.error);
        EXPECT_EQ(btdelete(h.get(), too_long.data(), bad.len), BT_FAIL);
        EXPECT_EQ(h->error, bad.error);
        EXPECT_EQ(btload(h.get(), too_long.data(), bad.len, 1, BT_LOAD_KEY), BT_FAIL);
        EXPECT_EQ(h->error, bad.error);
    }
    EXPECT_STREQ(bterror_text(h.get()), "btree key too big");
    EXPECT_EQ(btdelete(h.get(), longest.data(), BT_MAX_KEY), BT_OK);
    EXPECT_EQ(h->error, BTE_NONE);
}

TEST(BtreeFormat, FirstRootSplitLayout) {
    TempDir dir;
    const std::string path = dir.file("split.KEY");
    auto h = open_index(path);
    ASSERT_TRUE(h);
    // 40 four-byte keys fit one page (12 * 39 + 4 + 32 < 512); the 41st splits it.
    for (int i = 0; i <= 40; ++i)
        ASSERT_EQ(insert(h.get(), key4(i), 100 + i), BT_OK) << i;
    ASSERT_EQ(btclose(std::move(h)), 0);

    // The split point is the first key i with 4 * (i + 1) + 8 * i + 24 > 256: key 20.
    std::vector<std::string> left_keys, right_keys;
    std::vector<std::int32_t> left_vals, right_vals;
    for (int i = 0; i <= 20; ++i)
        left_keys.push_back(key4(i)), left_vals.push_back(100 + i);
    for (int i = 21; i <= 40; ++i)
        right_keys.push_back(key4(i)), right_vals.push_back(100 + i);

    Bytes expected = superblock(512, 2, 0, 1536, -1, 2048);
    append(expected, page_image(512, 1024, -1, -1, right_keys, right_vals));  // 512: right half
    append(expected, page_image(512, -1, 512, -1, left_keys, left_vals));     // 1024: left half
    append(expected, page_image(512, -1, -1, 512, {key4(20)}, {1024}));       // 1536: new root
    EXPECT_EQ(read_file(path), expected);
}

TEST(BtreeFormat, KeyEndTableFollowsThePadding) {
    // 20 + B padded up to the next multiple of 4, a whole word when already aligned.
    const struct {
        int bytes;
        std::size_t table;
    } cases[] = {{1, 24}, {3, 24}, {4, 28}, {5, 28}, {7, 28}, {8, 32}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        TempDir dir;
        const std::string path = dir.file("pad.KEY");
        auto h = open_index(path);
        ASSERT_TRUE(h);
        ASSERT_EQ(insert(h.get(), std::string(static_cast<std::size_t>(c.bytes), 'a'), 99), BT_OK);
        ASSERT_EQ(btclose(std::move(h)), 0);
        const Bytes file = read_file(path);
        EXPECT_EQ(be32(file, 512 + c.table), c.bytes);
        EXPECT_EQ(be32(file, 512 + c.table + 4), 99);
        for (std::size_t i = 512 + 20 + static_cast<std::size_t>(c.bytes); i < 512 + c.table; ++i)
            EXPECT_EQ(file[i], 0) << "padding byte " << i;
    }
}

TEST(BtreeFormat, DeletingEverythingFreesAllButTheRootAndFreedPagesAreReusedLastFirst) {
    TempDir dir;
    const std::string path = dir.file("free.KEY");
    auto h = open_index(path);
    ASSERT_TRUE(h);
    std::vector<std::string> keys;
    for (int i = 0; i < 3000; ++i)
        keys.push_back("key-" + std::to_string(i * 7919 % 3001));
    for (const auto& k : keys)
        ASSERT_EQ(insert(h.get(), k, 1), BT_OK);
    EXPECT_GE(h->sb.depth, 3);
    const std::int32_t root = h->sb.root;
    const std::int32_t end = h->sb.end;
    std::reverse(keys.begin() + 1000, keys.end());
    for (const auto& k : keys)
        ASSERT_EQ(erase(h.get(), k), BT_OK) << k;
    ASSERT_EQ(btree_sync(h.get()), 0);

    Bytes file = read_file(path);
    EXPECT_EQ(be32(file, 8), 1);      // depth
    EXPECT_EQ(be32(file, 16), root);  // the root stays where it was
    EXPECT_EQ(be32(file, 24), end);   // nothing is given back to the system
    const Bytes empty_leaf = page_image(512, -1, -1, -1, {}, {});
    EXPECT_EQ(Bytes(file.begin() + root, file.begin() + root + 20),
              Bytes(empty_leaf.begin(), empty_leaf.begin() + 20));
    const std::vector<std::int32_t> freed = free_list(file);
    EXPECT_EQ(freed.size(), static_cast<std::size_t>(end / 512 - 2));
    for (std::int32_t off : freed)
        EXPECT_EQ(be32(file, static_cast<std::size_t>(off) + 8), -2);
    bt_check_summary sum;
    EXPECT_EQ(joined(check_faults(path, &sum)), "");
    EXPECT_EQ(sum.keys, 0);
    EXPECT_EQ(sum.free_pages, end / 512 - 2);

    // The first split takes the head of the list for its left half and the
    // next page for the new root.
    for (int i = 0; i <= 40; ++i)
        ASSERT_EQ(insert(h.get(), key4(i), i), BT_OK);
    ASSERT_EQ(btree_sync(h.get()), 0);
    file = read_file(path);
    EXPECT_EQ(be32(file, 16), freed[1]);  // new root
    EXPECT_EQ(be32(file, 20), freed[2]);  // free list head
    EXPECT_EQ(be32(file, 24), end);
    EXPECT_EQ(be32(file, static_cast<std::size_t>(freed[1]) + 20 + 4 + 4 + 4), freed[0]);
    EXPECT_EQ(joined(check_faults(path)), "");
}

TEST(BtreeFormat, HandBuiltFileIsReadCorrectly) {
    // A 1024-byte-page index with an interior root over two leaves, a free
    // page, and key type 0, written byte by byte here.
    const std::size_t P = 1024;
    TempDir dir;
    const std::string path = dir.file("hand.KEY");
    Bytes file = superblock(1024, 2, 0, 3072, 4096, 5120);
    append(file, page_image(P, -1, 2048, -1, {"apple", "banana", "cherry"}, {11, 12, 13}));
    append(file, page_image(P, 1024, -1, -1, {"damson", "elder", "fig"}, {14, 15, 16}));
    append(file, page_image(P, -1, -1, 2048, {"cherry"}, {1024}));
    Bytes free_page(P, 0xEE);  // only words 0 and 8 of a free page mean anything
    put_be32(free_page, 0, -1);
    put_be32(free_page, 8, -2);
    put_be32(free_page, 12, 0);
    put_be32(free_page, 16, 0);
    append(file, free_page);
    write_file(path, file);
    EXPECT_EQ(joined(check_faults(path)), "");

    auto h = open_index(path);
    ASSERT_TRUE(h);
    std::int32_t v = 0;
    const std::vector<std::string> keys = {"apple", "banana", "cherry", "damson", "elder", "fig"};
    for (std::size_t i = 0; i < keys.size(); ++i) {
        ASSERT_EQ(find(h.get(), keys[i], &v), BT_OK) << keys[i];
        EXPECT_EQ(v, static_cast<std::int32_t>(11 + i));
    }
    EXPECT_EQ(find(h.get(), "cranberry", &v), BT_NOT_FOUND);
    EXPECT_EQ(step(h.get(), BT_NEXT).key, "damson");
    EXPECT_EQ(all_keys(h.get()), keys);
    EXPECT_EQ(all_keys(h.get(), BT_PREVIOUS), std::vector<std::string>(keys.rbegin(), keys.rend()));

    // The page size sets the key limit: ((1024 - 36) / 2) - 4 = 490.
    EXPECT_EQ(insert(h.get(), std::string(491, 'z'), 1), BT_FAIL);
    EXPECT_EQ(h->error, BTE_KEY_TOO_BIG);
    ASSERT_EQ(insert(h.get(), std::string(490, 'z'), 1), BT_OK);
    // Enough long keys to split the right leaf: the free page is taken first.
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(insert(h.get(), std::string(300, 'g' + i), i), BT_OK);
    EXPECT_EQ(h->sb.free_list, -1);
    EXPECT_EQ(h->sb.end, 5120);
    ASSERT_EQ(btclose(std::move(h)), 0);
    EXPECT_EQ(be32(read_file(path), 4), 1024);
    EXPECT_EQ(joined(check_faults(path)), "");
}
