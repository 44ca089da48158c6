// Reading, adding, replacing and deleting records in one process.
#include <vector>

#include "keyed_testutil.h"

using namespace keyed_test;

namespace {

using Strings = std::vector<std::string>;

class KeyedOps : public testing::Test {
  protected:
    void SetUp() override {
        path = dir.file("data");
        h = create_file(path, two_kind_desc());
        ASSERT_TRUE(h);
    }
    int read(int slot, int mode, const std::string& key = "") {
        return read_rec(h.get(), slot, mode, key, &rec);
    }
    // Adds masters (under a lock of their own).
    void masters(const Strings& keys) {
        ASSERT_EQ(isam_lock(h.get(), 0), 0);
        for (const auto& k : keys)
            ASSERT_EQ(add_rec(h.get(), 0, tk_master(k, "m" + k)), 0);
        ASSERT_EQ(isam_unlock(h.get()), 0);
    }
    Strings subs(int n) {
        Strings out;
        for (const auto& r : chain(h.get(), n))
            out.push_back(r.substr(8, 4));
        return out;
    }

    ScratchDir dir;
    std::string path;
    isam_ptr h;
    std::string rec;
};

}  // namespace

TEST_F(KeyedOps, MasterReadModes) {
    masters({"F", "B", "D"});
    EXPECT_EQ(read(0, 0), 0);
    EXPECT_EQ(rec, tk_master("B", "mB"));
    EXPECT_EQ(read(0, 1), 0);
    EXPECT_EQ(rec.substr(0, 1), "D");
    EXPECT_EQ(read(0, 2), 0);
    EXPECT_EQ(rec.substr(0, 1), "D");
    EXPECT_EQ(read(0, 1), 0);
    EXPECT_EQ(rec.substr(0, 1), "F");
    // After the end, next keeps giving 8, and so does "current again".
    EXPECT_EQ(read(0, 1), 8);
    EXPECT_EQ(read(0, 1), 8);
    EXPECT_EQ(read(0, 2), 8);

    EXPECT_EQ(read(0, 3, pad("D", 8)), 0);
    EXPECT_EQ(rec.substr(0, 1), "D");
    EXPECT_EQ(read(0, 1), 0);
    EXPECT_EQ(rec.substr(0, 1), "F");
    EXPECT_EQ(read(0, 3, pad("C", 8)), 8);
    EXPECT_EQ(read(0, 1), 8);  // a failed read leaves no place to go on from
    EXPECT_EQ(read(0, 4, pad("C", 8)), 0);
    EXPECT_EQ(rec.substr(0, 1), "D");
    EXPECT_EQ(read(0, 1), 0);
    EXPECT_EQ(rec.substr(0, 1), "F");
    EXPECT_EQ(read(0, 4, pad("A", 8)), 0);
    EXPECT_EQ(rec.substr(0, 1), "B");
    EXPECT_EQ(read(0, 3, pad("Z", 8)), 8);
    EXPECT_EQ(read(0, 4, pad("Z", 8)), 8);
    // A key text shorter than the key is padded with zero bytes, which sort
    // before blanks: "D" alone finds nothing exactly, and "D" and more with 4.
    EXPECT_EQ(read(0, 3, "D"), 8);
    EXPECT_EQ(read(0, 4, "D"), 0);
    EXPECT_EQ(rec.substr(0, 1), "D");

    EXPECT_EQ(read(0, 6), 7);
    EXPECT_EQ(read(0, -1), 7);
    EXPECT_EQ(read(3, 0), 239);
    EXPECT_EQ(read(-1, 0), 239);
    EXPECT_EQ(read(1, 5), 9);  // no current master after the failed reads
    ASSERT_EQ(read(0, 0), 0);
    EXPECT_EQ(read(1, 5), 7);
}

TEST_F(KeyedOps, PatternReads) {
    masters({"AB", "BA", "AC", "CA"});
    EXPECT_EQ(read(0, 5, "@"), 0);
    Strings seen{rec.substr(0, 2)};
    while (read(0, 1) == 0)
        seen.push_back(rec.substr(0, 2));
    EXPECT_EQ(seen, (Strings{"AB", "AC", "BA", "CA"}));
    EXPECT_EQ(read(0, 1), 8);

    EXPECT_EQ(read(0, 5, "A@   \t"), 0);  // trailing white space is not part of it
    EXPECT_EQ(rec.substr(0, 2), "AB");
    EXPECT_EQ(read(0, 1), 0);
    EXPECT_EQ(rec.substr(0, 2), "AC");
    EXPECT_EQ(read(0, 1), 8);
    EXPECT_EQ(read(0, 5, "Q@"), 8);
    // Mode 0 ends the pattern read.
    ASSERT_EQ(read(0, 5, "C@"), 0);
    ASSERT_EQ(read(0, 0), 0);
    EXPECT_EQ(read(0, 1), 0);
    EXPECT_EQ(rec.substr(0, 2), "AC");

    EXPECT_EQ(read(0, 5, std::string(8 + 64, '@')), 41);
    EXPECT_EQ(read(0, 5, std::string(8 + 63, '@')), 0);

    // An installed match function sees the key, the pattern and both lengths.
    static std::string last_pattern;
    static int last_key_len;
    isam_match_fn second_is_a = [](const char* key, const char* pat, int klen, int plen) {
        last_pattern.assign(pat, static_cast<std::size_t>(plen));
        last_key_len = klen;
        return klen > 1 && key[1] == pat[0] ? 1 : 0;
    };
    ASSERT_EQ(isam_set_match(h.get(), second_is_a), 0);
    EXPECT_EQ(read(0, 5, "A  "), 0);
    EXPECT_EQ(rec.substr(0, 2), "BA");
    EXPECT_EQ(last_pattern, "A");
    EXPECT_EQ(last_key_len, 8);
    EXPECT_EQ(read(0, 1), 0);
    EXPECT_EQ(rec.substr(0, 2), "CA");
    EXPECT_EQ(read(0, 1), 8);
    ASSERT_EQ(isam_set_match(h.get(), nullptr), 0);
    EXPECT_EQ(read(0, 5, "C@"), 0);
    EXPECT_EQ(rec.substr(0, 2), "CA");
}

TEST_F(KeyedOps, DetailReadsNeedAMaster) {
    masters({"M"});
    EXPECT_EQ(read(1, 0), 8);  // the added master is the current one
    EXPECT_EQ(read(0, 3, pad("X", 8)), 8);
    EXPECT_EQ(read(1, 0), 9);
    EXPECT_EQ(read(2, 1), 9);
    h.reset();
    h = open_file(path);
    EXPECT_EQ(read(1, 0), 9);
    ASSERT_EQ(read(0, 0), 0);
    EXPECT_EQ(read(1, 0), 8);  // an empty chain
    EXPECT_EQ(read(1, 1), 8);
}

TEST_F(KeyedOps, SubKeyChainIsSorted) {
    isam_ptr s = create_file(dir.file("mastsked"), sched_desc());
    ASSERT_EQ(isam_lock(s.get(), 0), 0);
    ASSERT_EQ(add_rec(s.get(), 0, sched_master("CPU1", "PAYROLL")), 0);
    for (int n : {3, 1, 2})
        ASSERT_EQ(add_rec(s.get(), 1, sched_line("CPU1", "PAYROLL", n, "x")), 0);
    ASSERT_EQ(isam_unlock(s.get()), 0);
    Strings nums;
    for (const auto& r : chain(s.get(), 1))
        nums.push_back(r.substr(16, 6));
    EXPECT_EQ(nums, (Strings{"     1", "     2", "     3"}));
    ASSERT_EQ(read_rec(s.get(), 0, 0, "", &rec), 0);
    for (const auto& r : chain(s.get(), 1))
        nums.push_back(r.substr(16, 6));
    EXPECT_EQ(nums.size(), 6u);
}

TEST_F(KeyedOps, SubKeyChainPlacesEveryInsertion) {
    masters({"M"});
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    ASSERT_EQ(read(0, 0), 0);
    // Equal keys keep their insertion order; a current detail is used as the
    // start of the walk only when the new key is not smaller than its key.
    const char* texts[] = {"a", "b", "c", "d", "e"};
    int i = 0;
    for (const char* k : {"0005", "0001", "0009", "0005", "0003"})
        ASSERT_EQ(add_rec(h.get(), 1, tk_one("M", k, texts[i++])), 0);
    ASSERT_EQ(read(1, 3, pad("M", 8) + "0003"), 0);
    ASSERT_EQ(add_rec(h.get(), 1, tk_one("M", "0004")), 0);
    ASSERT_EQ(add_rec(h.get(), 1, tk_one("M", "0002")), 0);
    ASSERT_EQ(add_rec(h.get(), 1, tk_one("M", "0010")), 0);
    ASSERT_EQ(add_rec(h.get(), 1, tk_one("M", "0000")), 0);
    ASSERT_EQ(isam_unlock(h.get()), 0);
    EXPECT_EQ(subs(1),
              (Strings{"0000", "0001", "0002", "0003", "0004", "0005", "0005", "0009", "0010"}));
    ASSERT_EQ(read(0, 0), 0);
    ASSERT_EQ(read(1, 3, pad("M", 8) + "0005"), 0);
    EXPECT_EQ(rec, tk_one("M", "0005", "a"));  // the first inserted
    EXPECT_EQ(read(1, 1), 0);
    EXPECT_EQ(rec, tk_one("M", "0005", "d"));
    EXPECT_EQ(read(1, 4, pad("M", 8) + "0006"), 0);
    EXPECT_EQ(rec.substr(8, 4), "0009");
    EXPECT_EQ(read(1, 3, pad("M", 8) + "0006"), 8);
    EXPECT_EQ(read(1, 4, pad("M", 8) + "0011"), 8);
    EXPECT_EQ(read(1, 2), 8);  // the failed read left no current detail
    EXPECT_EQ(read(1, 1), 0);  // so next starts at the head
    EXPECT_EQ(rec.substr(8, 4), "0000");
    EXPECT_EQ(read(1, 2), 0);
    EXPECT_EQ(rec.substr(8, 4), "0000");
}

TEST_F(KeyedOps, DetailEndOfChainThenNextRestarts) {
    masters({"M"});
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    ASSERT_EQ(read(0, 0), 0);
    for (const char* k : {"0001", "0002"})
        ASSERT_EQ(add_rec(h.get(), 1, tk_one("M", k)), 0);
    ASSERT_EQ(isam_unlock(h.get()), 0);
    ASSERT_EQ(read(0, 0), 0);
    EXPECT_EQ(read(1, 0), 0);
    EXPECT_EQ(read(1, 1), 0);
    EXPECT_EQ(read(1, 1), 8);
    EXPECT_EQ(read(1, 1), 0);
    EXPECT_EQ(rec.substr(8, 4), "0001");
    // Any master read resets the detail slots.
    EXPECT_EQ(read(1, 1), 0);
    ASSERT_EQ(read(0, 2), 0);
    EXPECT_EQ(read(1, 1), 0);
    EXPECT_EQ(rec.substr(8, 4), "0001");
}

TEST_F(KeyedOps, ChainWithoutSubKeyFollowsTheCurrentRecord) {
    masters({"M"});
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    ASSERT_EQ(read(0, 0), 0);
    for (const char* t : {"a", "b", "c"})
        ASSERT_EQ(add_rec(h.get(), 2, tk_two("M", t)), 0);
    ASSERT_EQ(read(2, 0), 0);                             // current: a
    ASSERT_EQ(add_rec(h.get(), 2, tk_two("M", "d")), 0);  // after a
    ASSERT_EQ(read(0, 2), 0);                             // no current detail
    ASSERT_EQ(add_rec(h.get(), 2, tk_two("M", "e")), 0);  // at the head
    ASSERT_EQ(isam_unlock(h.get()), 0);
    Strings texts;
    for (const auto& r : chain(h.get(), 2))
        texts.push_back(r.substr(8, 1));
    EXPECT_EQ(texts, (Strings{"e", "a", "d", "b", "c"}));
    // The other kind's chain is untouched, and the order survives a rebuild.
    EXPECT_EQ(chain(h.get(), 1).size(), 0u);
    ASSERT_EQ(isam_rebuild(h.get()), 0);
    ASSERT_EQ(read(0, 0), 0);
    texts.clear();
    for (const auto& r : chain(h.get(), 2))
        texts.push_back(r.substr(8, 1));
    EXPECT_EQ(texts, (Strings{"e", "a", "d", "b", "c"}));
}

TEST_F(KeyedOps, DeletingAMasterBlanksItsDetails) {
    masters({"A", "M", "Z"});
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    ASSERT_EQ(read(0, 3, pad("M", 8)), 0);
    for (const char* k : {"0003", "0001", "0002"})
        ASSERT_EQ(add_rec(h.get(), 1, tk_one("M", k)), 0);
    for (const char* t : {"x", "y"})
        ASSERT_EQ(add_rec(h.get(), 2, tk_two("M", t)), 0);
    ASSERT_EQ(read(0, 3, pad("A", 8)), 0);
    ASSERT_EQ(add_rec(h.get(), 1, tk_one("A", "0001", "keep")), 0);
    const std::string before = slurp(path);
    ASSERT_EQ(read(0, 3, pad("M", 8)), 0);
    ASSERT_EQ(isam_delete(h.get(), 0), 0);
    ASSERT_EQ(isam_unlock(h.get()), 0);

    const std::string after = slurp(path);
    EXPECT_EQ(after.size(), before.size());
    std::size_t blanked = 0, live = 0;
    for (std::size_t p = 94; p < after.size(); p = after.find('\n', p) + 1) {
        bool of_m = after.compare(p + 18, 8, pad("M", 8)) == 0;
        if (of_m) {
            EXPECT_EQ(after.substr(p, 18), std::string(18, ' ')) << p;
            ++blanked;
        } else {
            EXPECT_EQ(after[p], 'D');
            ++live;
        }
    }
    EXPECT_EQ(blanked, 6u);
    EXPECT_EQ(live, 3u);
    EXPECT_EQ(read(0, 3, pad("M", 8)), 8);
    ASSERT_EQ(read(0, 0), 0);
    EXPECT_EQ(read(0, 1), 0);
    EXPECT_EQ(rec.substr(0, 1), "Z");
    ASSERT_EQ(read(0, 0), 0);
    EXPECT_EQ(chain(h.get(), 1), (Strings{tk_one("A", "0001", "keep")}));

    // Going on after deleting the current master reaches the next one.
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    ASSERT_EQ(read(0, 0), 0);
    ASSERT_EQ(isam_delete(h.get(), 0), 0);
    EXPECT_EQ(read(1, 0), 9);
    EXPECT_EQ(read(0, 1), 0);
    EXPECT_EQ(rec.substr(0, 1), "Z");
    ASSERT_EQ(isam_delete(h.get(), 0), 0);
    EXPECT_EQ(read(0, 2), 8);
    EXPECT_EQ(read(0, 1), 8);  // after a failed read, next has nothing to go on from
    ASSERT_EQ(isam_unlock(h.get()), 0);
}

TEST_F(KeyedOps, DeletingDetails) {
    masters({"M"});
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    ASSERT_EQ(read(0, 0), 0);
    for (const char* k : {"0001", "0002", "0003", "0004", "0005"})
        ASSERT_EQ(add_rec(h.get(), 1, tk_one("M", k)), 0);
    ASSERT_EQ(read(0, 0), 0);
    // Delete every even record while walking the chain.
    for (int c = read(1, 0); c == 0; c = read(1, 1)) {
        if ((rec[11] - '0') % 2 == 0) {
            ASSERT_EQ(isam_delete(h.get(), 1), 0);
            EXPECT_EQ(isam_delete(h.get(), 1), 246);
        }
    }
    EXPECT_EQ(subs(1), (Strings{"0001", "0003", "0005"}));
    // The head and the tail.
    ASSERT_EQ(read(0, 0), 0);
    ASSERT_EQ(read(1, 0), 0);
    ASSERT_EQ(isam_delete(h.get(), 1), 0);
    ASSERT_EQ(read(1, 1), 0);  // goes on with the record after the deleted one
    EXPECT_EQ(rec.substr(8, 4), "0003");
    ASSERT_EQ(read(1, 1), 0);
    ASSERT_EQ(isam_delete(h.get(), 1), 0);
    EXPECT_EQ(read(1, 1), 8);
    EXPECT_EQ(subs(1), (Strings{"0003"}));
    ASSERT_EQ(read(0, 0), 0);
    ASSERT_EQ(read(1, 0), 0);
    ASSERT_EQ(isam_delete(h.get(), 1), 0);
    EXPECT_EQ(subs(1), Strings{});
    ASSERT_EQ(isam_unlock(h.get()), 0);
    EXPECT_EQ(read(0, 0), 0);
}

TEST_F(KeyedOps, ReplaceKeepsKeysAndHeaders) {
    masters({"M"});
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    ASSERT_EQ(read(0, 0), 0);
    ASSERT_EQ(add_rec(h.get(), 1, tk_one("M", "0001", "old")), 0);
    ASSERT_EQ(read(0, 0), 0);
    const std::string before = slurp(path);
    EXPECT_EQ(isam_replace(h.get(), tk_master("N", "x").data(), 0), 244);
    EXPECT_EQ(slurp(path), before);
    ASSERT_EQ(isam_replace(h.get(), tk_master("M", "new text").data(), 0), 0);
    ASSERT_EQ(read(1, 0), 0);
    EXPECT_EQ(isam_replace(h.get(), tk_one("M", "0002", "new").data(), 1), 244);
    EXPECT_EQ(isam_replace(h.get(), tk_one("N", "0001", "new").data(), 1), 244);
    ASSERT_EQ(isam_replace(h.get(), tk_one("M", "0001", "new").data(), 1), 0);
    EXPECT_EQ(isam_replace(h.get(), tk_one("M", "0001").data(), 2), 246);
    EXPECT_EQ(isam_replace(h.get(), tk_one("M", "0001").data(), 3), 239);
    ASSERT_EQ(isam_unlock(h.get()), 0);
    EXPECT_EQ(slurp(path).size(), before.size());
    ASSERT_EQ(read(0, 0), 0);
    EXPECT_EQ(rec, tk_master("M", "new text"));
    EXPECT_EQ(chain(h.get(), 1), (Strings{tk_one("M", "0001", "new")}));
}

TEST_F(KeyedOps, UpdatesNeedTheLockAndFreshRecords) {
    masters({"M"});
    const std::string m = tk_master("M");
    EXPECT_EQ(add_rec(h.get(), 0, tk_master("N")), 5);
    EXPECT_EQ(isam_replace(h.get(), m.data(), 0), 5);
    EXPECT_EQ(isam_delete(h.get(), 0), 5);
    EXPECT_EQ(isam_unlock(h.get()), 5);
    EXPECT_EQ(read(0, 3, pad("X", 8)), 8);  // no current master
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    EXPECT_EQ(isam_lock(h.get(), 0), 16);
    EXPECT_EQ(isam_replace(h.get(), m.data(), 0), 246);
    EXPECT_EQ(isam_delete(h.get(), 0), 246);
    EXPECT_EQ(add_rec(h.get(), 1, tk_one("M", "0001")), 246);
    ASSERT_EQ(read(0, 0), 0);
    EXPECT_EQ(add_rec(h.get(), 1, tk_one("N", "0001")), 244);
    ASSERT_EQ(add_rec(h.get(), 1, tk_one("M", "0001")), 0);
    ASSERT_EQ(read(1, 0), 0);
    ASSERT_EQ(isam_unlock(h.get()), 0);

    // Records read before the current lock must be read again.
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    const std::string before = slurp(path);
    EXPECT_EQ(isam_replace(h.get(), tk_one("M", "0001").data(), 1), 245);
    EXPECT_EQ(isam_delete(h.get(), 1), 245);
    EXPECT_EQ(isam_replace(h.get(), m.data(), 0), 6);
    EXPECT_EQ(isam_delete(h.get(), 0), 6);
    EXPECT_EQ(add_rec(h.get(), 1, tk_one("M", "0002")), 6);
    EXPECT_EQ(slurp(path), before);
    ASSERT_EQ(read(0, 2), 0);
    EXPECT_EQ(isam_replace(h.get(), m.data(), 0), 0);
    ASSERT_EQ(read(1, 0), 0);
    EXPECT_EQ(isam_delete(h.get(), 1), 0);
    ASSERT_EQ(isam_unlock(h.get()), 0);
}

TEST_F(KeyedOps, FailedAddLeavesABlankedRecord) {
    masters({"M"});
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    const auto size = slurp(path).size();
    EXPECT_EQ(add_rec(h.get(), 0, tk_master("M", "twin")), 461);
    const std::string after = slurp(path);
    ASSERT_EQ(after.size(), size + 39);
    EXPECT_EQ(after.substr(size, 2), "  ");
    EXPECT_EQ(after.substr(size + 2, 16), std::string(16, '0'));
    ASSERT_EQ(isam_unlock(h.get()), 0);
    ASSERT_EQ(read(0, 3, pad("M", 8)), 0);
    EXPECT_EQ(rec, tk_master("M", "mM"));
    EXPECT_EQ(read(0, 1), 8);
}

TEST_F(KeyedOps, ZapEmptiesTheFile) {
    masters({"A", "B"});
    ASSERT_EQ(read(0, 0), 0);
    ASSERT_EQ(isam_zap(h.get()), 0);
    EXPECT_EQ(slurp(path).size(), 94u);
    EXPECT_EQ(read(0, 2), 8);
    EXPECT_EQ(read(0, 0), 8);
    EXPECT_EQ(read(0, 3, pad("A", 8)), 8);
    masters({"C"});
    EXPECT_EQ(read(0, 0), 0);
    EXPECT_EQ(rec.substr(0, 1), "C");
}

TEST_F(KeyedOps, ExclusiveModeNeedsNoLocking) {
    h.reset();
    isam_ptr x = open_file(path, 3);
    ASSERT_TRUE(x);
    ASSERT_EQ(add_rec(x.get(), 0, tk_master("A")), 0);
    EXPECT_EQ(isam_lock(x.get(), 0), 0);
    EXPECT_EQ(isam_lock(x.get(), 0), 0);
    EXPECT_EQ(isam_unlock(x.get()), 0);
    EXPECT_EQ(isam_unlock(x.get()), 0);
    ASSERT_EQ(add_rec(x.get(), 0, tk_master("B")), 0);
    ASSERT_EQ(isam_rebuild(x.get()), 0);
    ASSERT_EQ(add_rec(x.get(), 0, tk_master("C")), 0);
    ASSERT_EQ(isam_zap(x.get()), 0);
    ASSERT_EQ(add_rec(x.get(), 0, tk_master("D")), 0);
    std::string msg;
    EXPECT_EQ(isam_close(&x, &msg), 0) << msg;
    EXPECT_FALSE(x);
}

TEST(KeyedNoDetails, FileWithoutDetailKinds) {
    ScratchDir dir;
    isam_file_desc d;
    d.name = "plain";
    d.slots[0] = {10, 2, 4};
    isam_ptr h = create_file(dir.file("plain"), d);
    ASSERT_TRUE(h);
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    for (const char* r : {"xxBBBBdata", "xxAAAAdata", "xxCCCCdata"})
        ASSERT_EQ(add_rec(h.get(), 0, r), 0);
    std::string rec;
    ASSERT_EQ(read_rec(h.get(), 0, 3, "BBBB", &rec), 0);
    ASSERT_EQ(isam_delete(h.get(), 0), 0);
    EXPECT_EQ(read_rec(h.get(), 1, 0, "", &rec), 239);
    EXPECT_EQ(add_rec(h.get(), 1, "xxDDDDdata"), 239);
    ASSERT_EQ(isam_unlock(h.get()), 0);
    EXPECT_EQ(slurp(dir.file("plain")).substr(94), "  xxBBBBdata\nDMxxAAAAdata\nDMxxCCCCdata\n");
    ASSERT_EQ(isam_rebuild(h.get()), 0);
    EXPECT_EQ(slurp(dir.file("plain")).substr(94), "DMxxAAAAdata\nDMxxCCCCdata\n");
    ASSERT_EQ(read_rec(h.get(), 0, 0, "", &rec), 0);
    EXPECT_EQ(rec, "xxAAAAdata");
}
