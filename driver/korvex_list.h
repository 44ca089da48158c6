// The selected-schedule list: every schedule chosen for the run, with what the
// production schedule file needs to order it (the schedules it follows, its
// time key and its priority). The list orders itself once, when reading
// begins: dependency levels first, then a sort by workstation, level, time
// key, priority (higher first) and schedule name. Reading past the end frees
// it, and it collects again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Result codes of add_selected and next_selected.
constexpr int kSelectedOk = 0;
constexpr int kSelectedNoMemory = 1;        // memory was not available
constexpr int kSelectedAlreadyOrdered = 2;  // add_selected after reading began
constexpr int kSelectedHalfDependency = 3;  // only one of the two dependency names given
constexpr int kSelectedEnd = 4;             // list empty or read to the end

// Priority of an entry that was never given one, and the value that leaves an
// entry's priority unchanged when passed to add_selected (any negative does).
constexpr std::int32_t kDefaultPriority = 10;
constexpr std::int32_t kKeepPriority = -1;

// One followed schedule.
struct selected_dependency {
    std::string workstation;
    std::string schedule;
};

// One selected schedule; the (workstation, schedule) pair is unique in a list.
struct selected_entry {
    std::string workstation;
    std::string schedule;
    // Every dependency ever added, oldest first (the same one added twice is
    // kept twice). The dependency count is its size.
    std::vector<selected_dependency> dependencies;
    // Dependencies dropped while ordering: satisfied by a schedule of an
    // earlier level, or naming a schedule that is not in the list.
    std::int32_t resolved_count = 0;
    // Minutes after the start of the production day plus 2400 per day of
    // offset; 0 until set. Ordering raises it to the largest key among the
    // selected schedules it follows.
    std::int32_t time_key = 0;
    std::int32_t priority = kDefaultPriority;
    // 0 until ordered; after ordering 1 for a schedule that follows nothing in
    // the list, one more than the highest level it follows otherwise, and 0
    // for a schedule caught in (or following) a cycle of dependencies.
    std::int32_t level = 0;
};

// Lookup key of the entry index: workstation and schedule, compared exactly.
// The key keeps its hash, so that walking a bucket never reads names again.
struct selected_name {
    std::string workstation;
    std::string schedule;
    std::size_t hash = 0;
};
struct selected_name_view {
    std::string_view workstation;
    std::string_view schedule;
};
struct selected_name_hash {
    using is_transparent = void;
    std::size_t operator()(selected_name_view n) const noexcept;
    std::size_t operator()(const selected_name& n) const noexcept { return n.hash; }
};
struct selected_name_equal {
    using is_transparent = void;
    static selected_name_view view(const selected_name& n) noexcept {
        return {n.workstation, n.schedule};
    }
    static selected_name_view view(selected_name_view n) noexcept { return n; }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const noexcept {
        const selected_name_view x = view(a);
        const selected_name_view y = view(b);
        return x.workstation == y.workstation && x.schedule == y.schedule;
    }
};

struct selected_list {
    // Entries in the order of their first add_selected; in output order once
    // ordered.
    std::vector<selected_entry> entries;
    // Position of each entry in `entries` while collecting; emptied when the
    // list is ordered.
    std::unordered_map<selected_name, std::size_t, selected_name_hash, selected_name_equal> index;
    bool ordered = false;      // reading has begun; add_selected refuses
    std::size_t position = 0;  // next entry to read
    // The entry of the last add_selected while collecting (a schedule is
    // mostly entered several times in a row), or past the end: none.
    std::size_t last = static_cast<std::size_t>(-1);
};

// Told of each dependency on a schedule that is not in the list, while the
// list is ordered: the entry's names, then the followed schedule's names.
using missing_dependency_fn =
    std::function<void(std::string_view workstation, std::string_view schedule,
                       std::string_view dep_workstation, std::string_view dep_schedule)>;

// Enters a schedule, or updates its entry. A time key other than 0 replaces
// the entry's key; a priority of 0 or more replaces its priority. The
// dependency names are both given or both null; given, the followed schedule
// is added to the entry's dependencies. On failure the list is unchanged.
int add_selected(selected_list& list, std::string_view workstation, std::string_view schedule,
                 std::int32_t time_key, std::int32_t priority,
                 const char* dep_workstation = nullptr, const char* dep_schedule = nullptr);

// Reads the next entry in output order; the first call orders the list. At
// the end the list is freed and kSelectedEnd returned (also at once for an
// empty list). Returns kSelectedNoMemory when ordering could not get memory.
int next_selected(selected_list& list, std::string& workstation, std::string& schedule,
                  std::int32_t& level, const missing_dependency_fn& notify = {});

// Gives every entry its level and inherited time key, sorts the entries into
// output order and marks the list ordered (reading starts at the first entry;
// add_selected refuses from now on). Does nothing for an empty or already
// ordered list. Runs in time linear in entries and dependencies (the sort
// adds its log factor), except for schedules caught in or following a cycle
// (see korvex_list.cpp). Returns kSelectedOk or kSelectedNoMemory (the list
// is then unchanged).
int order_selected(selected_list& list, const missing_dependency_fn& notify = {});

// Releases every entry; the list is empty and collecting again.
void free_selected(selected_list& list);

// The run's list, created on first use; the driver's calls use it.
selected_list& run_selected_list();

int add_selected(std::string_view workstation, std::string_view schedule, std::int32_t time_key,
                 std::int32_t priority, const char* dep_workstation = nullptr,
                 const char* dep_schedule = nullptr);
int next_selected(std::string& workstation, std::string& schedule, std::int32_t& level,
                  const missing_dependency_fn& notify = {});
