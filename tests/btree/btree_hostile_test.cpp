// Damaged and hostile index files: every kind gives a result code, never a
// crash, a hang or a read outside a page, and a refused operation writes
// nothing.
#include "bt_testutil.h"

using namespace bttest;

namespace {

constexpr std::size_t P = 512;

// A sound two-level file: root at 1536 over leaves 1024 ("a".."c") and 512
// ("d".."f"), a free page at 2048.
Bytes sound_file() {
    Bytes f = superblock(512, 2, 0, 1536, 2048, 2560);
    append(f, page_image(P, 1024, -1, -1, {"d", "e", "f"}, {4, 5, 6}));
    append(f, page_image(P, -1, 512, -1, {"a", "b", "c"}, {1, 2, 3}));
    append(f, page_image(P, -1, -1, 512, {"c"}, {1024}));
    Bytes free_page(P, 0);
    put_be32(free_page, 0, -1);
    put_be32(free_page, 8, -2);
    append(f, free_page);
    return f;
}

class Hostile : public testing::Test {
  protected:
    TempDir dir;
    std::string path = dir.file("h.KEY");

    // Writes the file, expects btopen to refuse it as corrupt and leave it alone.
    void expect_refused(const Bytes& file) {
        write_file(path, file);
        int error = -1;
        EXPECT_FALSE(btopen(path.c_str(), 0, 0600, &error));
        EXPECT_EQ(error, BTE_CORRUPT);
        EXPECT_EQ(read_file(path), file);
        EXPECT_FALSE(check_faults(path).empty());
    }

    // Writes the file, opens it, and expects every operation that meets the
    // damage to fail with the error code, leaving the file as it was.
    void expect_operations_fail(const Bytes& file, int error) {
        write_file(path, file);
        auto h = btopen(path.c_str(), 0, 0600);
        ASSERT_TRUE(h);
        std::int32_t v = 0;
        EXPECT_EQ(find(h.get(), "b", &v), BT_FAIL);
        EXPECT_EQ(h->error, error);
        EXPECT_EQ(find(h.get(), "e", &v), BT_FAIL);
        EXPECT_EQ(h->error, error);
        EXPECT_EQ(insert(h.get(), "bb", 1), BT_FAIL);
        EXPECT_EQ(insert(h.get(), "ee", 1), BT_FAIL);
        EXPECT_EQ(erase(h.get(), "e"), BT_FAIL);
        EXPECT_EQ(erase(h.get(), "b"), BT_FAIL);
        EXPECT_EQ(step(h.get(), BT_NEXT).rc, BT_FAIL);
        EXPECT_EQ(step(h.get(), BT_PREVIOUS).rc, BT_FAIL);
        h.reset();
        EXPECT_EQ(read_file(path), file);
        EXPECT_FALSE(check_faults(path).empty());
    }
};

}  // namespace

TEST_F(Hostile, SoundFileIsSound) {
    write_file(path, sound_file());
    EXPECT_EQ(joined(check_faults(path)), "");
    auto h = open_index(path);
    ASSERT_TRUE(h);
    EXPECT_EQ(all_keys(h.get()), (std::vector<std::string>{"a", "b", "c", "d", "e", "f"}));
}

TEST_F(Hostile, BadMagic) {
    Bytes f = sound_file();
    put_be32(f, 0, 72250);
    expect_refused(f);
}

TEST_F(Hostile, ShortSuperblock) {
    const Bytes f = sound_file();
    expect_refused(Bytes(f.begin(), f.begin() + 27));
    expect_refused(Bytes(f.begin(), f.begin() + 4));
}

TEST_F(Hostile, UnusablePageSizes) {
    for (std::int32_t size : {0, 2, 513, 510, -512, 1 << 30, 0x7fffffff}) {
        SCOPED_TRACE(size);
        Bytes f = sound_file();
        put_be32(f, 4, size);
        expect_refused(f);
    }
}

TEST_F(Hostile, SuperblockOffsetsOutOfRange) {
    struct Case {
        std::size_t word;
        std::int32_t value;
    };
    const Case cases[] = {
        {16, 0},    {16, 100}, {16, 2560}, {16, -512}, {16, 0x7ffffe00},  // root
        {20, 0},    {20, 700}, {20, 9999}, {20, -2},                      // free list
        {24, 1000}, {24, 512}, {24, 0},    {24, -512},                    // end offset
        {8, 0},     {8, -1},   {8, 65},    {8, 5},                        // depth
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.word) + " = " + std::to_string(c.value));
        Bytes f = sound_file();
        put_be32(f, c.word, c.value);
        expect_refused(f);
    }
}

TEST_F(Hostile, FileShorterThanItsPages) {
    const Bytes f = sound_file();
    expect_operations_fail(Bytes(f.begin(), f.begin() + 1024), BTE_CORRUPT);
    expect_operations_fail(Bytes(f.begin(), f.begin() + 1800), BTE_CORRUPT);
}

TEST_F(Hostile, RootPageCountsOutOfRange) {
    struct Case {
        std::size_t word;
        std::int32_t value;
    };
    // Key count and key bytes of the root.
    for (const Case c : {Case{12, -1}, Case{12, 1000}, Case{12, 0x7fffffff}, Case{12, 61},
                         Case{16, -5}, Case{16, 600}, Case{16, 0}, Case{16, 2}}) {
        SCOPED_TRACE(std::to_string(c.word) + " = " + std::to_string(c.value));
        Bytes f = sound_file();
        put_be32(f, 1536 + c.word, c.value);
        expect_operations_fail(f, BTE_CORRUPT);
    }
}

TEST_F(Hostile, KeyEndTableOutOfRange) {
    // The root leaf's table starts at 20 + 3 + 1 = 24: ends 1, 2, 3.
    const std::size_t table = 512 + 24;
    for (const auto& ends : std::vector<std::vector<std::int32_t>>{
             {2, 1, 3}, {1, 1, 3}, {1, 2, 400}, {-1, 2, 3}, {1, 2, 2}, {0x7fffffff, 2, 3}}) {
        Bytes f = sound_file();
        for (std::size_t i = 0; i < 3; ++i)
            put_be32(f, table + 4 * i, ends[i]);
        write_file(path, f);
        auto h = btopen(path.c_str(), 0, 0600);
        ASSERT_TRUE(h);
        std::int32_t v = 0;
        EXPECT_EQ(find(h.get(), "e", &v), BT_FAIL);
        EXPECT_EQ(h->error, BTE_CORRUPT);
        EXPECT_EQ(find(h.get(), "b", &v), BT_OK);  // the other leaf is fine
        EXPECT_EQ(insert(h.get(), "ee", 1), BT_FAIL);
        h.reset();
        EXPECT_EQ(read_file(path), f);
        EXPECT_FALSE(check_faults(path).empty());
    }
}

TEST_F(Hostile, KeyLongerThanThePageAllows) {
    // One key of 300 bytes in a 512-byte page passes the size rule but not
    // the key length limit.
    Bytes f = superblock(512, 1, 0, 512, -1, 1024);
    append(f, page_image(P, -1, -1, -1, {std::string(300, 'k')}, {1}));
    expect_operations_fail(f, BTE_CORRUPT);
}

TEST_F(Hostile, ChildPointersThatAreNotPages) {
    for (std::int32_t child : {0, 700, 2560, 4096, -3, 0x7ffffe00}) {
        SCOPED_TRACE(child);
        Bytes f = sound_file();
        put_be32(f, 1536 + 8, child);           // high pointer of the root
        put_be32(f, 1536 + 20 + 4 + 4, child);  // its only child pointer (key "c")
        expect_operations_fail(f, BTE_BAD_POINTER);
    }
}

TEST_F(Hostile, DescentThatNeverReachesALeaf) {
    // The root points at itself: bounded by the depth, however deep it claims to be.
    for (std::int32_t depth : {2, 3}) {
        Bytes f = sound_file();
        put_be32(f, 8, depth);
        put_be32(f, 1536 + 8, 1536);
        put_be32(f, 1536 + 28, 1536);
        expect_operations_fail(f, BTE_CORRUPT);
    }
    // A leaf above the leaf level.
    Bytes f = sound_file();
    put_be32(f, 8, 3);
    expect_operations_fail(f, BTE_CORRUPT);
}

TEST_F(Hostile, TreeLeadsIntoAFreePage) {
    Bytes f = sound_file();
    put_be32(f, 1536 + 8, 2048);  // keys above "c" now go to the free page
    write_file(path, f);
    auto h = btopen(path.c_str(), 0, 0600);
    ASSERT_TRUE(h);
    std::int32_t v = 0;
    EXPECT_EQ(find(h.get(), "e", &v), BT_FAIL);
    EXPECT_EQ(h->error, BTE_CORRUPT);
    EXPECT_EQ(find(h.get(), "a", &v), BT_OK);
    EXPECT_EQ(btgoto(h.get(), BT_NEXT), BT_FAIL);
    EXPECT_EQ(h->error, BTE_CORRUPT);
    h.reset();
    EXPECT_EQ(read_file(path), f);
}

TEST_F(Hostile, SiblingChainsThatLoop) {
    // Both leaves point at each other in both directions.
    Bytes f = sound_file();
    put_be32(f, 512 + 0, 1024);
    put_be32(f, 512 + 4, 1024);
    put_be32(f, 1024 + 0, 512);
    put_be32(f, 1024 + 4, 512);
    write_file(path, f);
    EXPECT_FALSE(check_faults(path).empty());
    auto h = btopen(path.c_str(), 0, 0600);
    ASSERT_TRUE(h);
    for (int direction : {BT_NEXT, BT_PREVIOUS}) {
        SCOPED_TRACE(direction);
        ASSERT_EQ(btgoto(h.get(), direction == BT_NEXT ? BT_PREVIOUS : BT_NEXT), BT_OK);
        int steps = 0;
        Step s;
        do {
            s = step(h.get(), direction);
        } while (s.rc == BT_OK && ++steps < 1000);
        EXPECT_EQ(s.rc, BT_FAIL);
        EXPECT_EQ(h->error, BTE_CORRUPT);
        EXPECT_LT(steps, 100);
    }
}

TEST_F(Hostile, SiblingThatDoesNotPointBack) {
    // Deleting the last key of a leaf unlinks it; a neighbour that does not
    // point back stops the delete before anything is written.
    Bytes f = superblock(512, 2, 0, 1536, -1, 2048);
    append(f, page_image(P, 1024, -1, -1, {"d"}, {4}));
    append(f, page_image(P, -1, 1536, -1, {"a", "b", "c"}, {1, 2, 3}));  // right should be 512
    append(f, page_image(P, -1, -1, 512, {"c"}, {1024}));
    write_file(path, f);
    auto h = btopen(path.c_str(), 0, 0600);
    ASSERT_TRUE(h);
    EXPECT_EQ(erase(h.get(), "d"), BT_FAIL);
    EXPECT_EQ(h->error, BTE_CORRUPT);
    h.reset();
    EXPECT_EQ(read_file(path), f);
}

TEST_F(Hostile, FreeListIntoALivePageOrAroundItself) {
    // Splitting a full leaf needs a page; the free list offers a page of the tree.
    std::vector<std::string> keys;
    std::vector<std::int32_t> vals;
    for (int i = 0; i < 40; ++i) {
        keys.push_back("k" + std::to_string(100 + i));
        vals.push_back(i);
    }
    for (std::int32_t head_next : {-1, 2048}) {
        Bytes f = superblock(512, 2, 0, 1536, 2048, 2560);
        append(f, page_image(P, 1024, -1, -1, keys, vals));
        append(f, page_image(P, -1, 512, -1, {"a"}, {1}));
        append(f, page_image(P, -1, -1, 512, {"a"}, {1024}));
        Bytes free_page(P, 0);
        put_be32(free_page, 0, head_next);  // -1: sound; 2048: a loop
        put_be32(free_page, 8, -2);
        append(f, free_page);
        if (head_next == -1) put_be32(f, 20, 1024);  // head is the live leaf
        write_file(path, f);
        auto h = btopen(path.c_str(), 0, 0600);
        ASSERT_TRUE(h);
        EXPECT_EQ(insert(h.get(), "k999", 1), BT_FAIL);
        EXPECT_EQ(h->error, BTE_CORRUPT);
        h.reset();
        EXPECT_EQ(read_file(path), f);
        EXPECT_FALSE(check_faults(path).empty());
    }
}

TEST_F(Hostile, KeyTypesThatCannotBeCompared) {
    // Searching needs the key type; walking the leaves does not.
    for (std::int32_t type : {7, -1, int{BT_KEY_USER}}) {
        SCOPED_TRACE(type);
        Bytes f = sound_file();
        put_be32(f, 12, type);
        write_file(path, f);
        auto h = btopen(path.c_str(), 0, 0600);
        ASSERT_TRUE(h);
        std::int32_t v = 0;
        EXPECT_EQ(find(h.get(), "b", &v), BT_FAIL);
        EXPECT_EQ(h->error, BTE_SEARCH);
        EXPECT_STREQ(bterror_text(h.get()), "cannot search btree page");
        EXPECT_EQ(insert(h.get(), "bb", 1), BT_FAIL);
        EXPECT_EQ(h->error, BTE_SEARCH);
        EXPECT_EQ(erase(h.get(), "b"), BT_FAIL);
        EXPECT_EQ(h->error, BTE_SEARCH);
        EXPECT_EQ(all_keys(h.get()).size(), 6u);
        h.reset();
        EXPECT_EQ(read_file(path), f);
        EXPECT_EQ(check_faults(path).empty(), type == BT_KEY_USER);
    }
    // With a comparison function, key type 4 works.
    Bytes f = sound_file();
    put_be32(f, 12, BT_KEY_USER);
    write_file(path, f);
    auto h = btopen(path.c_str(), 0, 0600);
    ASSERT_TRUE(h);
    h->compare = [](const void* s, int sl, const void* k, int kl) {
        const int c = std::memcmp(s, k, static_cast<std::size_t>(std::min(sl, kl)));
        return c != 0 ? c : sl - kl;
    };
    std::int32_t v = 0;
    EXPECT_EQ(find(h.get(), "e", &v), BT_OK);
    EXPECT_EQ(v, 5);
    EXPECT_EQ(insert(h.get(), "ee", 9), BT_OK);
    EXPECT_EQ(step(h.get(), BT_NEXT).key, "a");
}

TEST_F(Hostile, CheckNamesEachKindOfFault) {
    struct Case {
        const char* what;
        std::size_t at;  // word to change
        std::int32_t value;
        const char* line;  // part of a line the check must report
    };
    const Case cases[] = {
        {"magic", 0, 1, "bad magic number 1"},
        {"depth", 8, 3, "leaf 1024 is at level 1 of 3"},
        {"root keys", 1536 + 12, 1000, "page 1536 is corrupt"},
        {"leaf chain", 1024 + 4, -1, "level 1: page 1024 has right sibling -1, expected 512"},
        {"back link", 512 + 0, 2048, "page 512 has left sibling 2048, expected 1024"},
        {"free loop", 2048, 2048, "free list loops back to page 2048"},
        {"lost page", 20, -1, "page 2048 is neither in the tree nor on the free list"},
        {"free in tree", 20, 1024, "free page 1024 is also in the tree"},
        {"shared child", 1536 + 8, 1024, "page 1024 is reached twice"},
        {"bad child", 1536 + 8, 700, "page 1536 points to 700, which is not a page"},
        {"end offset", 24, 3072, "file is 2560 bytes but its end offset is 3072"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes f = sound_file();
        put_be32(f, c.at, c.value);
        write_file(path, f);
        const std::string report = joined(check_faults(path));
        EXPECT_NE(report.find(c.line), std::string::npos) << report;
    }
    // Key order inside a page and against the parent's separator.
    Bytes f = sound_file();
    f[1024 + 21] = 'c';  // "a", "c", "c"
    f[512 + 20] = 'b';   // "b" below the separator "c"
    write_file(path, f);
    const std::string report = joined(check_faults(path));
    EXPECT_NE(report.find("page 1024: key 2 is not greater than key 1"), std::string::npos);
    EXPECT_NE(report.find("page 512: key 0 is not above the bound \"c\""), std::string::npos)
        << report;
    // A zero-length file is a sound, not yet initialised index.
    write_file(path, {});
    EXPECT_EQ(btree_check(path.c_str(), nullptr), 0);
    EXPECT_EQ(btree_check(dir.file("missing").c_str(), nullptr), -1);
}

TEST_F(Hostile, RandomDamageNeverCrashesOrHangs) {
    // A file of a few hundred keys, damaged at random: every operation ends
    // with some result and every walk stops.
    {
        auto h = open_index(path);
        ASSERT_TRUE(h);
        for (int i = 0; i < 400; ++i)
            ASSERT_EQ(insert(h.get(), "key" + std::to_string(i * 37 % 401), i), BT_OK);
        for (int i = 0; i < 100; ++i)
            ASSERT_EQ(erase(h.get(), "key" + std::to_string(i * 37 % 401)), BT_OK);
    }
    const Bytes good = read_file(path);
    const std::int32_t pages = static_cast<std::int32_t>(good.size() / P);
    std::mt19937 rng(20240601);
    const std::int32_t interesting[] = {-2, -1, 0, 1, 4, 511, 512, 1024, 0x7fffffff, -512};
    for (int round = 0; round < 1000; ++round) {
        Bytes f = good;
        const int changes = 1 + static_cast<int>(rng() % 4);
        for (int c = 0; c < changes; ++c) {
            const std::size_t page = rng() % static_cast<std::uint32_t>(pages);
            if (rng() % 2) {
                const std::size_t word = page * P + 4 * (rng() % 8);
                const std::int32_t value =
                    rng() % 2
                        ? interesting[rng() % 10]
                        : static_cast<std::int32_t>(rng() % static_cast<std::uint32_t>(pages)) *
                              512;
                put_be32(f, word, value);
            } else {
                f[page * P + rng() % P] = static_cast<std::uint8_t>(rng());
            }
        }
        write_file(path, f);
        check_faults(path);
        auto h = btopen(path.c_str(), 0, 0600);
        if (!h) continue;
        std::int32_t v = 0;
        for (int i = 0; i < 20; ++i)
            find(h.get(), "key" + std::to_string(rng() % 401), &v);
        for (int direction : {BT_NEXT, BT_PREVIOUS}) {
            int steps = 0;
            btgoto(h.get(), direction == BT_NEXT ? BT_PREVIOUS : BT_NEXT);
            while (step(h.get(), direction).rc == BT_OK)
                ASSERT_LT(++steps, 100000);
        }
        for (int i = 0; i < 30; ++i) {
            insert(h.get(), "new" + std::to_string(rng() % 1000) + std::string(rng() % 60, 'x'), i);
            erase(h.get(), "key" + std::to_string(rng() % 401));
        }
        btload(h.get(), "a", 1, 0, BT_LOAD_KEY);
        btclose(std::move(h));
        check_faults(path);
    }
}
