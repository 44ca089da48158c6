// The list's ordering against a plain model of it: repeated sweeps over the
// entries in the order they were added, linear look-ups, dependencies kept
// newest first and dropped as they are satisfied.
#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <random>
#include <string>
#include <vector>

#include "driver/korvex_list.h"

namespace {

struct ModelEntry {
    std::string ws, sched;
    std::int32_t deps_added = 0, resolved = 0, key = 0, priority = 10, level = 0;
    std::list<std::pair<std::string, std::string>> deps;  // newest first
};

std::string describe(const std::string& ws, const std::string& sched, std::int32_t level,
                     std::int32_t key, std::int32_t prio, std::int32_t resolved, std::size_t deps) {
    return ws + "#" + sched + " L" + std::to_string(level) + " K" + std::to_string(key) + " P" +
           std::to_string(prio) + " R" + std::to_string(resolved) + "/" + std::to_string(deps);
}

// Orders the model; returns the entries described in output order, and the
// dependencies on missing schedules in the order they were met.
std::vector<std::string> order_model(std::vector<ModelEntry>& es,
                                     std::vector<std::string>& missing) {
    auto find = [&](const std::pair<std::string, std::string>& k) -> ModelEntry* {
        for (ModelEntry& e : es)
            if (e.ws == k.first && e.sched == k.second) return &e;
        return nullptr;
    };
    for (std::int32_t sweep = 1, changed = 1; changed; ++sweep) {
        changed = 0;
        for (ModelEntry& e : es) {
            if (e.deps_added == 0 && e.level == 0) e.level = sweep, changed = 1;
            if (e.resolved >= e.deps_added) continue;
            std::int32_t m = e.key;
            for (auto it = e.deps.begin(); it != e.deps.end();) {
                if (const ModelEntry* f = find(*it)) {
                    m = std::max(m, f->key);
                    if (f->level <= 0 || f->level > sweep - 1) {
                        ++it;
                        continue;
                    }
                } else {
                    missing.push_back(e.sched + ">" + it->first + "#" + it->second);
                }
                it = e.deps.erase(it);
                ++e.resolved;
            }
            e.key = m;
            if (e.resolved == e.deps_added) e.level = sweep, changed = 1;
        }
    }
    std::sort(es.begin(), es.end(), [](const ModelEntry& a, const ModelEntry& b) {
        return std::tie(a.ws, a.level, a.key, b.priority, a.sched) <
               std::tie(b.ws, b.level, b.key, a.priority, b.sched);
    });
    std::vector<std::string> out;
    for (const ModelEntry& e : es)
        out.push_back(
            describe(e.ws, e.sched, e.level, e.key, e.priority, e.resolved, e.deps_added));
    return out;
}

// Builds the same random list in both and compares the orderings. Small name
// pools make repeated keys, cycles and self-dependencies common; dependencies
// also name schedules never added; `reach` keeps most of them near, so that
// long chains form. Keys include values past 16 bits and negatives. A long
// stem makes names that agree in their first 8 bytes.
void compare_random(std::mt19937& rng, int names, int adds, int reach, const std::string& stem) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    std::vector<ModelEntry> model;
    selected_list list;
    for (int k = 0; k < adds; ++k) {
        const std::string ws = pick(4) == 0 ? "W2" : "W1";
        const int id = pick(names);
        const std::string sched = stem + std::to_string(id);
        const int kind = pick(6);
        const std::int32_t key = kind < 3    ? 0
                                 : kind == 3 ? pick(1440)
                                 : kind == 4 ? 30000 + pick(9000)
                                             : -pick(50);
        const std::int32_t prio = pick(2) ? -1 : pick(102);
        const bool dep = pick(10) < 6;
        const std::string dws = pick(5) ? ws : pick(2) ? "W2" : "NET";
        const int near = std::clamp(id + 1 + pick(2 * reach + 1) - reach, 0, names + 1);
        const std::string ds = stem + std::to_string(pick(3) ? near : pick(names + 2));

        auto e = std::find_if(model.begin(), model.end(),
                              [&](const ModelEntry& x) { return x.ws == ws && x.sched == sched; });
        if (e == model.end()) {
            model.emplace_back();
            e = model.end() - 1;
            e->ws = ws, e->sched = sched;
        }
        if (key != 0) e->key = key;
        if (prio >= 0) e->priority = prio;
        if (dep) e->deps.emplace_front(dws, ds), ++e->deps_added;
        ASSERT_EQ(add_selected(list, ws, sched, key, prio, dep ? dws.c_str() : nullptr,
                               dep ? ds.c_str() : nullptr),
                  kSelectedOk);
    }
    std::vector<std::string> want_missing, missing;
    const std::vector<std::string> want = order_model(model, want_missing);
    ASSERT_EQ(
        order_selected(
            list,
            [&](std::string_view, std::string_view s, std::string_view dws, std::string_view ds) {
                missing.push_back(std::string(s) + ">" + std::string(dws) + "#" + std::string(ds));
            }),
        kSelectedOk);
    std::vector<std::string> got;
    for (const selected_entry& e : list.entries)
        got.push_back(describe(e.workstation, e.schedule, e.level, e.time_key, e.priority,
                               e.resolved_count, e.dependencies.size()));
    ASSERT_EQ(got, want);
    ASSERT_EQ(missing, want_missing);
}

TEST(SelectedListModel, RandomListsOrderAsTheSweepsDo) {
    std::mt19937 rng(20240611);
    for (int round = 0; round < 4000; ++round) {  // small lists
        SCOPED_TRACE(round);
        compare_random(rng, 2 + round % 9, 1 + round % 23, 2, "S");
        if (HasFatalFailure()) return;
    }
    for (int round = 0; round < 150; ++round) {  // deep chains with cycles off them
        SCOPED_TRACE(round);
        compare_random(rng, 40 + round, 60 + 3 * round, 1 + round % 3, "SCHEDULE");
        if (HasFatalFailure()) return;
    }
}

}  // namespace
