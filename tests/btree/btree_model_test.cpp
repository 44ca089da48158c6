// Thousands of random inserts, deletes, finds and walks checked against a
// std::map, with the structural check of the whole file after every batch.
#include <map>

#include "bt_testutil.h"

using namespace bttest;

namespace {

struct Mix {
    int max_short;   // longest key of the common kind
    int long_share;  // in 100: keys of 150 to 234 bytes
    int key_space;   // distinct short keys
};

class ModelRun {
  public:
    // cache_pages: the handle's cache limit (0: the default budget).
    ModelRun(const std::string& path, std::uint32_t seed, Mix mix, std::size_t cache_pages = 0)
        : path_(path), rng_(seed), mix_(mix), cache_pages_(cache_pages), h_(open_index(path)) {
        if (h_) h_->cache_pages = cache_pages_;
    }

    std::string random_key() {
        if (static_cast<int>(rng_() % 100) < mix_.long_share) {
            // Long keys with shared prefixes exercise splits of full interior pages.
            std::string k(150 + rng_() % (BT_MAX_KEY - 149), 'L');
            k[k.size() - 1] = static_cast<char>(rng_() % 256);
            k[rng_() % k.size()] = static_cast<char>('a' + rng_() % 4);
            return k;
        }
        // Short keys from a limited space, bytes across the whole range so the
        // unsigned comparison and embedded zero bytes matter.
        const std::uint32_t n = rng_() % static_cast<std::uint32_t>(mix_.key_space);
        std::mt19937 krng(n);
        std::string k(1 + krng() % static_cast<std::uint32_t>(mix_.max_short), '\0');
        for (char& c : k)
            c = static_cast<char>(krng() % 4 == 0 ? krng() % 256 : 'a' + krng() % 3);
        return k;
    }

    std::string existing_or_random() {
        if (model_.empty() || rng_() % 3 == 0) return random_key();
        auto it = model_.lower_bound(random_key());
        return it == model_.end() ? model_.begin()->first : it->first;
    }

    void one_op() {
        const std::uint32_t r = rng_() % 100;
        std::int32_t v = 0;
        if (r < 45) {
            const std::string k = random_key();
            const auto value = static_cast<std::int32_t>(rng_());
            const int replace = rng_() % 4 == 0;
            const int rc = insert(h_.get(), k, value, replace);
            if (model_.count(k) && !replace) {
                ASSERT_EQ(rc, BT_FAIL);
                ASSERT_EQ(h_->error, BTE_DUPLICATE);
            } else {
                ASSERT_EQ(rc, BT_OK) << bterror_text(h_.get());
                model_[k] = value;
            }
        } else if (r < 75) {
            const std::string k = existing_or_random();
            const int rc = erase(h_.get(), k);
            ASSERT_EQ(rc, model_.erase(k) ? BT_OK : BT_NOT_FOUND) << bterror_text(h_.get());
        } else if (r < 90) {
            const std::string k = existing_or_random();
            const auto it = model_.find(k);
            ASSERT_EQ(find(h_.get(), k, &v), it == model_.end() ? BT_NOT_FOUND : BT_OK);
            if (it != model_.end()) {
                ASSERT_EQ(v, it->second);
            }
            // The walk from there goes on in key order.
            auto next = model_.upper_bound(k);
            for (int i = 0; i < 5; ++i, ++next) {
                const Step s = step(h_.get(), BT_NEXT);
                if (next == model_.end()) {
                    ASSERT_EQ(s.rc, BT_END);
                    break;
                }
                ASSERT_EQ(s.rc, BT_OK);
                ASSERT_EQ(s.key, next->first);
                ASSERT_EQ(s.value, next->second);
            }
        } else {
            // A walk backwards from the end.
            ASSERT_EQ(btgoto(h_.get(), BT_NEXT), BT_OK);
            auto it = model_.rbegin();
            for (int i = 0; i < 8; ++i, ++it) {
                const Step s = step(h_.get(), BT_PREVIOUS);
                if (it == model_.rend()) {
                    ASSERT_EQ(s.rc, BT_BEGIN);
                    break;
                }
                ASSERT_EQ(s.rc, BT_OK);
                ASSERT_EQ(s.key, it->first);
            }
        }
    }

    void check_all() {
        ASSERT_EQ(btree_sync(h_.get()), 0);
        bt_check_summary sum;
        ASSERT_EQ(joined(check_faults(path_, &sum)), "");
        ASSERT_EQ(sum.keys, static_cast<std::int64_t>(model_.size()));
        ASSERT_EQ(sum.depth, h_->sb.depth);
    }

    void check_walks() {
        std::vector<std::string> expected;
        for (const auto& kv : model_)
            expected.push_back(kv.first);
        ASSERT_EQ(all_keys(h_.get(), BT_NEXT), expected);
        std::reverse(expected.begin(), expected.end());
        ASSERT_EQ(all_keys(h_.get(), BT_PREVIOUS), expected);
    }

    void reopen() {
        ASSERT_EQ(btclose(std::move(h_)), 0);
        h_ = open_index(path_);
        ASSERT_TRUE(h_);
        h_->cache_pages = cache_pages_;
    }

    void run(int ops, int batch) {
        ASSERT_TRUE(h_);
        for (int i = 1; i <= ops; ++i) {
            ASSERT_NO_FATAL_FAILURE(one_op()) << "operation " << i;
            max_depth_ = std::max(max_depth_, h_->sb.depth);
            max_size_ = std::max(max_size_, model_.size());
            if (i % batch == 0) {
                ASSERT_NO_FATAL_FAILURE(check_all()) << "after " << i;
            }
            if (i % (batch * 8) == 0) {
                ASSERT_NO_FATAL_FAILURE(check_walks()) << "after " << i;
            }
            if (i % (batch * 5) == 0) {
                ASSERT_NO_FATAL_FAILURE(reopen());
            }
        }
        max_depth_ = std::max(max_depth_, h_->sb.depth);
        max_size_ = std::max(max_size_, model_.size());
        // Empty it completely: only the root is left, as an empty leaf.
        while (!model_.empty()) {
            ASSERT_EQ(erase(h_.get(), model_.begin()->first), BT_OK);
            model_.erase(model_.begin());
        }
        ASSERT_EQ(h_->sb.depth, 1);
        ASSERT_NO_FATAL_FAILURE(check_all());
    }

    // The largest the tree got during the run.
    std::size_t max_size() const { return max_size_; }
    int max_depth() const { return max_depth_; }

  private:
    std::string path_;
    std::mt19937 rng_;
    Mix mix_;
    std::size_t cache_pages_;
    btree_ptr h_;
    std::map<std::string, std::int32_t> model_;
    std::size_t max_size_ = 0;
    int max_depth_ = 0;
};

}  // namespace

TEST(BtreeModel, ShortKeys) {
    TempDir dir;
    ModelRun run(dir.file("m1.KEY"), 1, Mix{12, 0, 8000});
    run.run(40000, 500);
    EXPECT_GE(run.max_size(), 2000u);
    EXPECT_GE(run.max_depth(), 3);
}

TEST(BtreeModel, MixedWithLongKeys) {
    TempDir dir;
    ModelRun run(dir.file("m2.KEY"), 2, Mix{30, 20, 4000});
    run.run(8000, 400);
    EXPECT_GE(run.max_depth(), 5);
}

TEST(BtreeModel, SmallestCache) {
    // Pages are evicted all the time: a stale or lost image shows at once.
    TempDir dir;
    ModelRun run(dir.file("m4.KEY"), 4, Mix{30, 10, 3000}, BT_NBUFFERS);
    run.run(12000, 400);
    EXPECT_GE(run.max_depth(), 4);
}

TEST(BtreeModel, GrowsDeepThenShrinks) {
    // Mostly inserts first, so the tree gets several levels before the mix
    // turns to deletes.
    TempDir dir;
    const std::string path = dir.file("m3.KEY");
    auto h = open_index(path);
    ASSERT_TRUE(h);
    std::mt19937 rng(3);
    std::map<std::string, std::int32_t> model;
    for (int i = 0; i < 6000; ++i) {
        std::string k(40 + rng() % 180, 'p');
        for (int j = 0; j < 6; ++j)
            k[k.size() - 1 - static_cast<std::size_t>(j)] = static_cast<char>('0' + rng() % 10);
        if (model.emplace(k, i).second) {
            ASSERT_EQ(insert(h.get(), k, i), BT_OK);
        }
    }
    ASSERT_GE(h->sb.depth, 4);
    ASSERT_EQ(btree_sync(h.get()), 0);
    EXPECT_EQ(joined(check_faults(path)), "");
    std::vector<std::string> keys;
    for (const auto& kv : model)
        keys.push_back(kv.first);
    std::shuffle(keys.begin(), keys.end(), rng);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        ASSERT_EQ(erase(h.get(), keys[i]), BT_OK);
        model.erase(keys[i]);
        if (i % 1500 == 0) {
            ASSERT_EQ(btree_sync(h.get()), 0);
            bt_check_summary sum;
            ASSERT_EQ(joined(check_faults(path, &sum)), "");
            ASSERT_EQ(sum.keys, static_cast<std::int64_t>(model.size()));
        }
    }
    EXPECT_EQ(h->sb.depth, 1);
    ASSERT_EQ(btclose(std::move(h)), 0);
    EXPECT_EQ(joined(check_faults(path)), "");
}
