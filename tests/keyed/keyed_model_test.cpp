// Random operations on a file with two detail kinds, checked against an
// in-memory model after every step that reads, and in full at checkpoints:
// key order, both chains of every master, the index's own structure, and
// that every live record line of the file is reachable.
#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "btree/btcheck.h"
#include "keyed_testutil.h"
#include "utils/libs/isamsort.h"

using namespace keyed_test;

namespace {

struct MasterModel {
    std::string text;
    std::vector<std::string> one;  // kind 1 records in chain order
    std::vector<std::string> two;  // kind 2 records in chain order
};

class Model {
  public:
    explicit Model(const std::string& path) : path_(path) {}

    void verify(isam_handle* h, bool check_index) {
        std::string rec;
        auto it = m_.begin();
        for (int c = read_rec(h, 0, 0, "", &rec); c == 0; c = read_rec(h, 0, 1, "", &rec), ++it) {
            ASSERT_NE(it, m_.end()) << "extra master " << rec;
            ASSERT_EQ(rec, tk_master(it->first, it->second.text));
            ASSERT_EQ(chain(h, 1), it->second.one) << it->first;
            ASSERT_EQ(chain(h, 2), it->second.two) << it->first;
        }
        ASSERT_EQ(isam_status(h, nullptr, nullptr), 8);
        ASSERT_EQ(it, m_.end());
        // Live record lines: exactly the model's.
        std::string bytes = slurp(path_);
        std::size_t live = 0, expect = m_.size();
        for (const auto& [k, mm] : m_)
            expect += mm.one.size() + mm.two.size();
        for (std::size_t p = 94; p < bytes.size(); p = bytes.find('\n', p) + 1)
            if (bytes[p] == 'D') ++live;
        ASSERT_EQ(live, expect);
        if (check_index) {
            std::string faults;
            int n = btree_check((path_ + ".KEY").c_str(),
                                [&](const std::string& line) { faults += line + "\n"; });
            ASSERT_EQ(n, 0) << faults;
        }
    }

    std::map<std::string, MasterModel> m_;

  private:
    std::string path_;
};

std::string key_name(int i) {
    char k[16];
    std::snprintf(k, sizeof k, "K%03d", i);
    return k;
}

}  // namespace

TEST(KeyedModel, RandomOperationsMatchTheModel) {
    ScratchDir dir;
    const std::string path = dir.file("model");
    isam_ptr h = create_file(path, two_kind_desc());
    ASSERT_TRUE(h);
    Model model(path);
    auto& m = model.m_;
    std::mt19937 rng(20240611);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto any_master = [&]() {
        auto it = m.begin();
        std::advance(it, pick(static_cast<int>(m.size())));
        return it;
    };
    std::string rec;
    int serial = 0;
    auto text = [&]() { return std::to_string(++serial % 10000); };

    isam_sort_set_run_limit(600);  // many small runs, and merges of merges
    bool locked = false;
    for (int step = 0; step < 3000; ++step) {
        SCOPED_TRACE(step);
        if (!locked && pick(4) != 0) {
            ASSERT_EQ(isam_lock(h.get(), pick(2)), 0);
            locked = true;
        }
        int op = pick(locked ? 12 : 4);
        if (!locked) {
            // Reads without the lock, checked against the model.
            std::string k = key_name(pick(80));
            auto lb = m.lower_bound(k);
            int c = read_rec(h.get(), 0, op % 2 ? 4 : 3, pad(k, 8), &rec);
            if (op % 2) {
                ASSERT_EQ(c, lb == m.end() ? 8 : 0);
                if (c == 0) {
                    ASSERT_EQ(rec.substr(0, 8), pad(lb->first, 8));
                }
            } else {
                ASSERT_EQ(c, m.count(k) ? 0 : 8);
            }
            if (op == 3 && pick(10) == 0) {
                ASSERT_EQ(isam_rebuild(h.get()), 0);
            }
            if (op == 2 && pick(10) == 0) {
                std::string msg;
                ASSERT_EQ(isam_close(&h, &msg), 0) << msg;
                h = open_file(path);
                ASSERT_TRUE(h);
            }
            continue;
        }
        if (op <= 1 || m.empty()) {  // add a master
            std::string k = key_name(pick(80));
            std::string t = text();
            int c = add_rec(h.get(), 0, tk_master(k, t));
            if (m.count(k)) {
                ASSERT_EQ(c, 461);
            } else {
                ASSERT_EQ(c, 0);
                m[k].text = pad(t, 12);
            }
            continue;
        }
        auto it = any_master();
        MasterModel& mm = it->second;
        ASSERT_EQ(read_rec(h.get(), 0, 3, pad(it->first, 8), &rec), 0);
        switch (op) {
            case 2:  // delete the master
                if (pick(3) == 0) {
                    ASSERT_EQ(isam_delete(h.get(), 0), 0);
                    m.erase(it);
                }
                break;
            case 3: {  // replace the master
                std::string t = text();
                ASSERT_EQ(isam_replace(h.get(), tk_master(it->first, t).data(), 0), 0);
                mm.text = pad(t, 12);
                break;
            }
            case 4:
            case 5: {  // add a kind 1 detail, sometimes from a current detail
                if (!mm.one.empty() && pick(2)) {
                    std::size_t j = static_cast<std::size_t>(pick(static_cast<int>(mm.one.size())));
                    ASSERT_EQ(read_rec(h.get(), 1, 3, mm.one[j].substr(0, 12), &rec), 0);
                }
                char sub[8];
                std::snprintf(sub, sizeof sub, "%04d", pick(15));
                std::string d = tk_one(it->first, sub, text());
                ASSERT_EQ(add_rec(h.get(), 1, d), 0);
                auto at = std::upper_bound(mm.one.begin(), mm.one.end(), d,
                                           [](const std::string& a, const std::string& b) {
                                               return a.compare(0, 12, b, 0, 12) < 0;
                                           });
                mm.one.insert(at, d);
                break;
            }
            case 6:
            case 7: {  // add a kind 2 detail after a chosen one, or at the head
                int j = pick(static_cast<int>(mm.two.size()) + 1) - 1;
                if (j >= 0) {
                    ASSERT_EQ(read_rec(h.get(), 2, 0, "", &rec), 0);
                    for (int i = 0; i < j; ++i)
                        ASSERT_EQ(read_rec(h.get(), 2, 1, "", &rec), 0);
                    ASSERT_EQ(rec, mm.two[static_cast<std::size_t>(j)]);
                }
                std::string d = tk_two(it->first, text());
                ASSERT_EQ(add_rec(h.get(), 2, d), 0);
                mm.two.insert(mm.two.begin() + (j + 1), d);
                break;
            }
            case 8:
            case 9:
            case 10: {  // delete or replace a detail of either kind
                int kind = pick(2) + 1;
                auto& v = kind == 1 ? mm.one : mm.two;
                if (v.empty()) {
                    ASSERT_EQ(read_rec(h.get(), kind, 0, "", &rec), 8);
                    break;
                }
                int j = pick(static_cast<int>(v.size()));
                ASSERT_EQ(read_rec(h.get(), kind, 0, "", &rec), 0);
                for (int i = 0; i < j; ++i)
                    ASSERT_EQ(read_rec(h.get(), kind, 1, "", &rec), 0);
                ASSERT_EQ(rec, v[static_cast<std::size_t>(j)]);
                if (op == 10) {
                    std::string d = kind == 1 ? tk_one(it->first, rec.substr(8, 4), text())
                                              : tk_two(it->first, text());
                    ASSERT_EQ(isam_replace(h.get(), d.data(), kind), 0);
                    v[static_cast<std::size_t>(j)] = d;
                } else {
                    ASSERT_EQ(isam_delete(h.get(), kind), 0);
                    v.erase(v.begin() + j);
                    // The next read goes on with the record after it.
                    int c = read_rec(h.get(), kind, 1, "", &rec);
                    if (static_cast<std::size_t>(j) < v.size()) {
                        ASSERT_EQ(c, 0);
                        ASSERT_EQ(rec, v[static_cast<std::size_t>(j)]);
                    } else {
                        ASSERT_EQ(c, 8);
                    }
                }
                break;
            }
            default:  // rebuild under the lock, or end the batch
                if (pick(8) == 0) {
                    ASSERT_EQ(isam_rebuild(h.get()), 0);
                    ASSERT_EQ(add_rec(h.get(), 0, tk_master("ZZ" + text())), 0);
                    m["ZZ" + std::to_string(serial % 10000)].text = pad("", 12);
                } else {
                    ASSERT_EQ(isam_unlock(h.get()), 0);
                    locked = false;
                }
                break;
        }
        if (step % 250 == 0) {
            if (locked) {
                ASSERT_EQ(isam_unlock(h.get()), 0);
                locked = false;
            }
            ASSERT_NO_FATAL_FAILURE(model.verify(h.get(), true));
        }
    }
    if (locked) {
        ASSERT_EQ(isam_unlock(h.get()), 0);
    }
    ASSERT_NO_FATAL_FAILURE(model.verify(h.get(), true));
    ASSERT_EQ(isam_rebuild(h.get()), 0);
    ASSERT_NO_FATAL_FAILURE(model.verify(h.get(), true));
    isam_sort_set_run_limit(0);
    EXPECT_GT(m.size(), 10u);
}
