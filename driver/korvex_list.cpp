// The selected-schedule list.
//
// Ordering gives levels and time keys as a repeated sweep over the entries
// would: sweep 1, 2, 3 ... visits the entries in the order they were first
// added; an entry whose followed schedules (those in the list) all got their
// level in earlier sweeps gets the sweep's number as its level, and while an
// entry is not yet levelled every sweep raises its time key to the largest
// key among the schedules it follows, as they stand when it is visited. The
// sweeps stop after the first one that levels nothing.
//
// Levels do not depend on the visiting order: 1 plus the highest level
// followed, 1 when nothing in the list is followed, 0 when a cycle is reached.
// They come from one topological walk. The number of sweeps is then the
// highest level plus one.
//
// A levelled entry's time key is final once it is levelled: the largest key
// in everything it follows, directly or not. That too is one walk.
//
// Entries left at level 0 keep taking keys for every sweep, and how far a key
// travels around a cycle depends on the number of sweeps and on which entry
// of each pair is visited first. For them (and whatever they follow) the
// sweeps are replayed, but only entries whose followed schedules changed since
// their last visit are visited again, and the replay ends as soon as a sweep
// changes nothing. Without cycles this step does nothing. Its cost is one
// visit per key change and follower, so it stays linear while keys settle in a
// few sweeps, as they do around the occasional small cycle; only a key that
// has to creep around a long cycle one entry per sweep, many times over, costs
// more.
#include "driver/korvex_list.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <queue>
#include <utility>

namespace {

// The names eight bytes at a time, each piece mixed in by a multiply; the
// length ends each name so that ("AB", "C") and ("A", "BC") differ. Names
// are short, so this costs a few steps where a byte-wise hash costs many.
std::uint64_t mix_name(std::uint64_t h, std::string_view s) {
    constexpr std::uint64_t kMul = 0x9e3779b97f4a7c15ULL;
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t piece = 0;
        std::memcpy(&piece, s.data() + i, 8);
        h = (h ^ piece) * kMul;
        h ^= h >> 29;
    }
    std::uint64_t tail = 0;
    if (i < s.size()) std::memcpy(&tail, s.data() + i, s.size() - i);
    h = (h ^ tail ^ (static_cast<std::uint64_t>(s.size()) << 56)) * kMul;
    return h ^ (h >> 32);
}

}  // namespace

std::size_t selected_name_hash::operator()(selected_name_view n) const noexcept {
    return static_cast<std::size_t>(
        mix_name(mix_name(0x243f6a8885a308d3ULL, n.workstation), n.schedule));
}

int add_selected(selected_list& list, std::string_view workstation, std::string_view schedule,
                 std::int32_t time_key, std::int32_t priority, const char* dep_workstation,
                 const char* dep_schedule) {
    if (list.ordered) return kSelectedAlreadyOrdered;
    if ((dep_workstation == nullptr) != (dep_schedule == nullptr)) return kSelectedHalfDependency;

    try {
        std::size_t at = 0;
        bool created = false;
        if (list.last < list.entries.size() && list.entries[list.last].workstation == workstation &&
            list.entries[list.last].schedule == schedule) {
            at = list.last;
        } else if (const auto found = list.index.find(selected_name_view{workstation, schedule});
                   found != list.index.end()) {
            at = found->second;
        } else {
            selected_entry entry;
            entry.workstation = workstation;
            entry.schedule = schedule;
            list.entries.push_back(std::move(entry));
            at = list.entries.size() - 1;
            try {
                list.index.emplace(selected_name{std::string(workstation), std::string(schedule),
                                                 selected_name_hash{}({workstation, schedule})},
                                   at);
            } catch (...) {
                list.entries.pop_back();
                throw;
            }
            created = true;
        }

        if (dep_workstation != nullptr) {
            try {
                list.entries[at].dependencies.push_back(
                    selected_dependency{dep_workstation, dep_schedule});
            } catch (...) {
                if (created) {
                    list.index.erase(list.index.find(selected_name_view{workstation, schedule}));
                    list.entries.pop_back();
                }
                throw;
            }
        }

        selected_entry& e = list.entries[at];
        if (time_key != 0) e.time_key = time_key;
        if (priority >= 0) e.priority = priority;
        list.last = at;
        return kSelectedOk;
    } catch (const std::bad_alloc&) {
        return kSelectedNoMemory;
    }
}

namespace {

// Entry positions as a compact adjacency table: the items of row i are
// items[start[i]] up to items[start[i + 1]].
struct index_rows {
    std::vector<std::size_t> start;
    std::vector<std::size_t> items;

    std::size_t begin(std::size_t i) const { return start[i]; }
    std::size_t end(std::size_t i) const { return start[i + 1]; }
};

struct missing_dependency {
    std::size_t entry;
    std::size_t dependency;  // position in the entry's dependencies
};

// Sort record of one entry: the output keys, with the workstation replaced by
// its rank among the list's workstations and the first 8 bytes of the
// schedule name packed so that comparing the numbers compares the bytes.
// Sorting these small records instead of the entries keeps the sort in the
// processor's caches for long lists.
struct sort_record {
    std::int32_t workstation_rank;
    std::int32_t level;
    std::int32_t time_key;
    std::int32_t priority;
    std::uint64_t name_start;
    std::size_t entry;
};

std::uint64_t packed_start(const std::string& name) {
    std::uint64_t v = 0;
    for (std::size_t k = 0; k < 8; ++k)
        v = (v << 8) | (k < name.size() ? static_cast<unsigned char>(name[k]) : 0u);
    return v;
}

// Orders by workstation, level, time key, priority (higher first) and
// schedule name; names compare as unsigned bytes, a name before its
// extensions. The (workstation, schedule) pairs are unique, so no two entries
// compare equal.
std::vector<sort_record> output_order(const std::vector<selected_entry>& entries,
                                      const std::vector<std::int32_t>& levels,
                                      const std::vector<std::int32_t>& keys) {
    const std::size_t n = entries.size();
    std::unordered_map<std::string_view, std::int32_t> workstation_ids;
    std::vector<std::string_view> workstations;
    std::vector<sort_record> records(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto [at, added] = workstation_ids.try_emplace(
            entries[i].workstation, static_cast<std::int32_t>(workstations.size()));
        if (added) workstations.push_back(entries[i].workstation);
        records[i] = {
            at->second, levels[i], keys[i], entries[i].priority, packed_start(entries[i].schedule),
            i};
    }
    std::vector<std::int32_t> rank_of(workstations.size());
    {
        std::vector<std::int32_t> by_name(workstations.size());
        for (std::size_t k = 0; k < by_name.size(); ++k)
            by_name[k] = static_cast<std::int32_t>(k);
        std::sort(by_name.begin(), by_name.end(), [&](std::int32_t a, std::int32_t b) {
            return workstations[static_cast<std::size_t>(a)] <
                   workstations[static_cast<std::size_t>(b)];
        });
        for (std::size_t k = 0; k < by_name.size(); ++k)
            rank_of[static_cast<std::size_t>(by_name[k])] = static_cast<std::int32_t>(k);
    }
    for (sort_record& r : records)
        r.workstation_rank = rank_of[static_cast<std::size_t>(r.workstation_rank)];

    std::sort(records.begin(), records.end(), [&](const sort_record& a, const sort_record& b) {
        if (a.workstation_rank != b.workstation_rank)
            return a.workstation_rank < b.workstation_rank;
        if (a.level != b.level) return a.level < b.level;
        if (a.time_key != b.time_key) return a.time_key < b.time_key;
        if (a.priority != b.priority) return a.priority > b.priority;
        if (a.name_start != b.name_start) return a.name_start < b.name_start;
        return entries[a.entry].schedule.compare(entries[b.entry].schedule) < 0;
    });
    return records;
}

// Replays the sweeps for the entries marked in `replay` (a set closed under
// following), starting from their own keys in `keys`.
void replay_sweeps(const index_rows& follows, const index_rows& followers,
                   const std::vector<char>& replay, std::int32_t sweeps,
                   std::vector<std::int32_t>& keys) {
    const std::size_t n = replay.size();
    std::vector<std::int32_t> queued_for(n, 0);
    std::vector<std::int32_t> visited_in(n, 0);
    std::priority_queue<std::size_t, std::vector<std::size_t>, std::greater<>> now;
    std::vector<std::size_t> later;

    for (std::size_t i = 0; i < n; ++i) {
        if (replay[i] && follows.begin(i) != follows.end(i)) {
            queued_for[i] = 1;
            now.push(i);
        }
    }
    for (std::int32_t sweep = 1; sweep <= sweeps; ++sweep) {
        if (sweep > 1) {
            now = decltype(now)(std::greater<>{}, std::move(later));
            later = {};
        }
        if (now.empty()) break;
        while (!now.empty()) {
            const std::size_t i = now.top();
            now.pop();
            if (visited_in[i] == sweep) continue;
            visited_in[i] = sweep;
            std::int32_t m = keys[i];
            for (std::size_t k = follows.begin(i); k < follows.end(i); ++k)
                m = std::max(m, keys[follows.items[k]]);
            if (m == keys[i]) continue;
            keys[i] = m;
            for (std::size_t k = followers.begin(i); k < followers.end(i); ++k) {
                const std::size_t w = followers.items[k];
                if (!replay[w]) continue;
                // Entries after this one see the new key in this sweep, the
                // others (this one included) in the next.
                const std::int32_t when = w > i ? sweep : sweep + 1;
                if (queued_for[w] >= when) continue;
                queued_for[w] = when;
                if (when == sweep)
                    now.push(w);
                else
                    later.push_back(w);
            }
        }
    }
}

}  // namespace

int order_selected(selected_list& list, const missing_dependency_fn& notify) {
    if (list.ordered || list.entries.empty()) return kSelectedOk;
    std::vector<selected_entry>& entries = list.entries;
    const std::size_t n = entries.size();
    std::vector<missing_dependency> missing;
    std::vector<std::int32_t> levels;
    std::vector<std::int32_t> keys;
    std::vector<std::int32_t> resolved;
    std::vector<sort_record> order;
    std::vector<selected_entry> sorted;

    try {
        // Resolve every dependency to an entry, newest first as they are
        // walked; the ones naming no entry are dropped.
        index_rows follows;
        follows.start.assign(n + 1, 0);
        std::vector<std::size_t> follower_count(n, 0);
        for (std::size_t i = 0; i < n; ++i) {
            const auto& deps = entries[i].dependencies;
            for (std::size_t d = deps.size(); d-- > 0;) {
                const auto f =
                    list.index.find(selected_name_view{deps[d].workstation, deps[d].schedule});
                if (f == list.index.end()) {
                    missing.push_back({i, d});
                } else {
                    follows.items.push_back(f->second);
                    ++follower_count[f->second];
                }
            }
            follows.start[i + 1] = follows.items.size();
        }

        index_rows followers;
        followers.start.assign(n + 1, 0);
        for (std::size_t i = 0; i < n; ++i)
            followers.start[i + 1] = followers.start[i] + follower_count[i];
        followers.items.resize(follows.items.size());
        {
            std::vector<std::size_t> fill(followers.start.begin(), followers.start.end() - 1);
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t k = follows.begin(i); k < follows.end(i); ++k)
                    followers.items[fill[follows.items[k]]++] = i;
        }

        // Levels and the keys of levelled entries, in one topological walk.
        levels.assign(n, 0);
        keys.resize(n);
        std::vector<std::size_t> waiting(n);
        std::vector<std::size_t> walk;
        walk.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            keys[i] = entries[i].time_key;
            waiting[i] = follows.end(i) - follows.begin(i);
            if (waiting[i] == 0) {
                levels[i] = 1;
                walk.push_back(i);
            }
        }
        std::int32_t top_level = 0;
        for (std::size_t w = 0; w < walk.size(); ++w) {
            const std::size_t j = walk[w];
            for (std::size_t k = follows.begin(j); k < follows.end(j); ++k)
                keys[j] = std::max(keys[j], keys[follows.items[k]]);
            top_level = std::max(top_level, levels[j]);
            for (std::size_t k = followers.begin(j); k < followers.end(j); ++k) {
                const std::size_t i = followers.items[k];
                levels[i] = std::max(levels[i], levels[j] + 1);
                if (--waiting[i] == 0) walk.push_back(i);
            }
        }
        // Entries never reached by the walk were given provisional levels by
        // the entries they follow that were reached; they stay at 0.
        std::vector<char> replay(n, 0);
        std::vector<std::size_t> stack;
        for (std::size_t i = 0; i < n; ++i) {
            if (waiting[i] != 0) {
                levels[i] = 0;
                if (!replay[i]) {
                    replay[i] = 1;
                    stack.push_back(i);
                }
            }
        }
        const bool any_cycle = !stack.empty();
        while (!stack.empty()) {
            const std::size_t i = stack.back();
            stack.pop_back();
            for (std::size_t k = follows.begin(i); k < follows.end(i); ++k) {
                const std::size_t j = follows.items[k];
                if (!replay[j]) {
                    replay[j] = 1;
                    stack.push_back(j);
                }
            }
        }

        resolved.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            std::size_t kept = 0;
            for (std::size_t k = follows.begin(i); k < follows.end(i); ++k)
                if (levels[follows.items[k]] == 0) ++kept;
            resolved[i] = static_cast<std::int32_t>(entries[i].dependencies.size() - kept);
        }

        if (any_cycle) {
            std::vector<std::int32_t> replayed(n);
            for (std::size_t i = 0; i < n; ++i)
                replayed[i] = entries[i].time_key;
            replay_sweeps(follows, followers, replay, top_level + 1, replayed);
            for (std::size_t i = 0; i < n; ++i)
                if (levels[i] == 0) keys[i] = replayed[i];
        }

        order = output_order(entries, levels, keys);
        sorted.reserve(n);
    } catch (const std::bad_alloc&) {
        return kSelectedNoMemory;
    }

    if (notify) {
        for (const missing_dependency& m : missing) {
            const selected_entry& e = entries[m.entry];
            const selected_dependency& d = e.dependencies[m.dependency];
            notify(e.workstation, e.schedule, d.workstation, d.schedule);
        }
    }

    for (std::size_t i = 0; i < n; ++i) {
        entries[i].level = levels[i];
        entries[i].time_key = keys[i];
        entries[i].resolved_count = resolved[i];
    }
    for (const sort_record& r : order)
        sorted.push_back(std::move(entries[r.entry]));
    entries.swap(sorted);
    list.index.clear();
    list.ordered = true;
    list.position = 0;
    list.last = static_cast<std::size_t>(-1);
    return kSelectedOk;
}

int next_selected(selected_list& list, std::string& workstation, std::string& schedule,
                  std::int32_t& level, const missing_dependency_fn& notify) {
    if (list.entries.empty()) return kSelectedEnd;
    if (!list.ordered) {
        if (const int rc = order_selected(list, notify); rc != kSelectedOk) return rc;
    }
    if (list.position < list.entries.size()) {
        const selected_entry& e = list.entries[list.position];
        try {
            workstation = e.workstation;
            schedule = e.schedule;
        } catch (const std::bad_alloc&) {
            return kSelectedNoMemory;
        }
        level = e.level;
        ++list.position;
        return kSelectedOk;
    }
    free_selected(list);
    return kSelectedEnd;
}

void free_selected(selected_list& list) {
    // Swapping with empty containers gives the memory back, not just the size.
    std::vector<selected_entry>().swap(list.entries);
    decltype(list.index)().swap(list.index);
    list.ordered = false;
    list.position = 0;
    list.last = static_cast<std::size_t>(-1);
}

selected_list& run_selected_list() {
    static selected_list list;
    return list;
}

int add_selected(std::string_view workstation, std::string_view schedule, std::int32_t time_key,
                 std::int32_t priority, const char* dep_workstation, const char* dep_schedule) {
    return add_selected(run_selected_list(), workstation, schedule, time_key, priority,
                        dep_workstation, dep_schedule);
}

int next_selected(std::string& workstation, std::string& schedule, std::int32_t& level,
                  const missing_dependency_fn& notify) {
    return next_selected(run_selected_list(), workstation, schedule, level, notify);
}
