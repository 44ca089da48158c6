// Collecting, ordering and reading the selected-schedule list.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/korvex_list.h"

namespace {

// Reads the list to the end: "workstation#schedule level" per entry.
std::vector<std::string> read_all(selected_list& list) {
    std::vector<std::string> rows;
    std::string ws, sched;
    std::int32_t level = -1;
    int rc;
    while ((rc = next_selected(list, ws, sched, level)) == kSelectedOk)
        rows.push_back(ws + "#" + sched + " " + std::to_string(level));
    EXPECT_EQ(rc, kSelectedEnd);
    return rows;
}

const selected_entry& entry(const selected_list& list, const std::string& sched) {
    for (const auto& e : list.entries)
        if (e.schedule == sched) return e;
    ADD_FAILURE() << sched;
    return list.entries.front();
}

TEST(SelectedList, RepeatedAndInterleavedEntriesFindTheirOwnEntry) {
    selected_list list;
    ASSERT_EQ(add_selected(list, "CPU1", "AB", 100, -1), kSelectedOk);
    ASSERT_EQ(add_selected(list, "CPU1A", "B", 200, -1), kSelectedOk);  // the same letters
    ASSERT_EQ(add_selected(list, "CPU1", "AB", 0, 5), kSelectedOk);
    ASSERT_EQ(add_selected(list, "CPU1", "AB", 0, -1, "CPU1A", "B"), kSelectedOk);
    ASSERT_EQ(list.entries.size(), 2u);
    EXPECT_EQ(list.entries[0].time_key, 100);
    EXPECT_EQ(list.entries[0].priority, 5);
    EXPECT_EQ(list.entries[0].dependencies.size(), 1u);
    EXPECT_EQ(list.entries[1].priority, kDefaultPriority);
    // A freed list starts empty, whatever was entered last.
    free_selected(list);
    ASSERT_EQ(add_selected(list, "CPU1", "AB", 0, 7), kSelectedOk);
    ASSERT_EQ(list.entries.size(), 1u);
    EXPECT_EQ(list.entries[0].time_key, 0);
    EXPECT_EQ(list.entries[0].priority, 7);
}

TEST(SelectedList, CollectingKeepsOneEntryWithTheLatestValues) {
    selected_list list;
    ASSERT_EQ(add_selected(list, "CPU1", "A", 600, -1), kSelectedOk);
    ASSERT_EQ(add_selected(list, "CPU1", "A", 0, 100), kSelectedOk);  // key 0 keeps 600
    ASSERT_EQ(add_selected(list, "CPU1", "A", 0, -1, "CPU1", "B"), kSelectedOk);
    ASSERT_EQ(add_selected(list, "CPU1", "A", 0, -1, "CPU1", "B"), kSelectedOk);
    ASSERT_EQ(add_selected(list, "CPU1", "B", 0, 0), kSelectedOk);   // priority 0 is a value
    ASSERT_EQ(add_selected(list, "CPU1", "a", 0, -1), kSelectedOk);  // names compare exactly
    EXPECT_EQ(add_selected(list, "CPU1", "C", 0, -1, "CPU1", nullptr), kSelectedHalfDependency);
    EXPECT_EQ(add_selected(list, "CPU1", "C", 0, -1, nullptr, "C"), kSelectedHalfDependency);
    ASSERT_EQ(list.entries.size(), 3u);  // the refused calls left nothing
    EXPECT_EQ(list.entries[0].time_key, 600);
    EXPECT_EQ(list.entries[0].priority, 100);
    EXPECT_EQ(list.entries[1].priority, 0);
    EXPECT_EQ(list.entries[2].priority, kDefaultPriority);

    ASSERT_EQ(order_selected(list), kSelectedOk);
    EXPECT_EQ(entry(list, "A").resolved_count, 2);  // both copies count, both satisfied
    EXPECT_EQ(entry(list, "A").level, 2);
}

// Two workstations, a chain, a dependency on an unselected schedule, a cycle,
// key inheritance and the priority (GO 101, HI 100) and name ties, together.
TEST(SelectedList, OrdersByWorkstationLevelKeyPriorityName) {
    selected_list list;
    std::vector<std::string> missing;
    const auto add = [&](const char* ws, const char* s, std::int32_t key, std::int32_t prio,
                         const char* dws = nullptr, const char* ds = nullptr) {
        ASSERT_EQ(add_selected(list, ws, s, key, prio, dws, ds), kSelectedOk);
    };
    add("CPU2", "Z", 0, -1, "CPU2", "Y");  // CPU2 last whatever CPU1's levels
    add("CPU2", "Y", 1200, -1);
    add("CPU1", "ONE", 5, -1, "CPU1", "TWO");  // three, two, one whatever the keys
    add("CPU1", "TWO", 0, -1, "CPU1", "THREE");
    add("CPU1", "THREE", 900, -1);
    add("CPU1", "P10B", 0, -1);
    add("CPU1", "P10A", 0, -1);
    add("CPU1", "PHI", 0, 100);
    add("CPU1", "PGO", 0, 101);
    add("CPU1", "LONE", 0, -1, "NET", "GONE");   // level 1, the dependency dropped
    add("CPU1", "CYA", 300, -1, "CPU1", "CYB");  // a cycle: level 0, first
    add("CPU1", "CYB", 0, 50, "CPU1", "CYA");
    add("CPU1", "LATE", 60, -1);

    ASSERT_EQ(order_selected(list,
                             [&](std::string_view ws, std::string_view s, std::string_view dws,
                                 std::string_view ds) {
                                 missing.push_back(std::string(ws) + "#" + std::string(s) + ">" +
                                                   std::string(dws) + "#" + std::string(ds));
                             }),
              kSelectedOk);
    EXPECT_EQ(entry(list, "TWO").time_key, 900);  // from THREE
    EXPECT_EQ(entry(list, "ONE").time_key, 900);  // through TWO
    EXPECT_EQ(entry(list, "CYB").time_key, 300);  // from its partner
    EXPECT_EQ(entry(list, "LONE").resolved_count, 1);
    EXPECT_EQ(entry(list, "CYA").resolved_count, 0);
    EXPECT_EQ(missing, std::vector<std::string>{"CPU1#LONE>NET#GONE"});
    EXPECT_EQ(add_selected(list, "CPU1", "NEW", 0, -1), kSelectedAlreadyOrdered);
    EXPECT_EQ(read_all(list),
              (std::vector<std::string>{"CPU1#CYB 0", "CPU1#CYA 0", "CPU1#PGO 1", "CPU1#PHI 1",
                                        "CPU1#LONE 1", "CPU1#P10A 1", "CPU1#P10B 1", "CPU1#LATE 1",
                                        "CPU1#THREE 1", "CPU1#TWO 2", "CPU1#ONE 3", "CPU2#Y 1",
                                        "CPU2#Z 2"}));
}

// Keys of 14 days or more, and levels past 32767, keep their order.
TEST(SelectedList, LargeKeysAndDeepChains) {
    selected_list list;
    ASSERT_EQ(add_selected(list, "W", "FAR", 1050 + 14 * 2400, -1), kSelectedOk);  // +14 DAYS
    ASSERT_EQ(add_selected(list, "W", "NEAR", 3450, -1), kSelectedOk);  // AT 2330 +1 DAYS
    ASSERT_EQ(add_selected(list, "W", "NOW", 0, -1), kSelectedOk);
    ASSERT_EQ(add_selected(list, "X", "AFTER", 10, -1, "W", "FAR"), kSelectedOk);
    ASSERT_EQ(add_selected(list, "X", "BEFORE", 32000, -1, "W", "NOW"), kSelectedOk);
    EXPECT_EQ(read_all(list), (std::vector<std::string>{"W#NOW 1", "W#NEAR 1", "W#FAR 1",
                                                        "X#BEFORE 2", "X#AFTER 2"}));

    const int depth = 40000;  // each follows the one added after it
    for (int i = 0; i < depth; ++i) {
        const std::string next = std::to_string(i + 1);
        const bool dep = i + 1 < depth;
        ASSERT_EQ(add_selected(list, "W", std::to_string(i), 0, -1, dep ? "W" : nullptr,
                               dep ? next.c_str() : nullptr),
                  kSelectedOk);
    }
    const std::vector<std::string> rows = read_all(list);
    ASSERT_EQ(rows.size(), static_cast<std::size_t>(depth));
    EXPECT_EQ(rows.front(), "W#39999 1");
    EXPECT_EQ(rows.back(), "W#0 40000");
}

TEST(SelectedList, ReadingOrdersOnceThenFreesAndCollectsAgain) {
    selected_list list;
    std::string ws = "keep", sched;
    std::int32_t level = -1;
    EXPECT_EQ(next_selected(list, ws, sched, level), kSelectedEnd);
    EXPECT_EQ(ws, "keep");

    ASSERT_EQ(add_selected(list, "W", "B", 0, -1), kSelectedOk);
    ASSERT_EQ(add_selected(list, "W", "A", 0, -1), kSelectedOk);
    ASSERT_EQ(next_selected(list, ws, sched, level), kSelectedOk);
    EXPECT_EQ(sched, "A");
    EXPECT_EQ(add_selected(list, "W", "C", 0, -1), kSelectedAlreadyOrdered);
    ASSERT_EQ(next_selected(list, ws, sched, level), kSelectedOk);
    EXPECT_EQ(sched, "B");
    EXPECT_EQ(next_selected(list, ws, sched, level), kSelectedEnd);
    EXPECT_TRUE(list.entries.empty());

    ASSERT_EQ(add_selected(list, "W", "D", 0, -1), kSelectedOk);  // collecting again
    ASSERT_EQ(next_selected(list, ws, sched, level), kSelectedOk);
    free_selected(list);  // abandoning a list half-read
    ASSERT_EQ(add_selected(list, "W", "E", 0, -1), kSelectedOk);
    EXPECT_EQ(read_all(list), std::vector<std::string>{"W#E 1"});

    // The run's own list behind the short calls.
    ASSERT_EQ(add_selected("W", "F", 0, -1, "W", "G"), kSelectedOk);
    ASSERT_EQ(add_selected("W", "G", 0, -1), kSelectedOk);
    EXPECT_EQ(read_all(run_selected_list()), (std::vector<std::string>{"W#G 1", "W#F 2"}));
    EXPECT_EQ(next_selected(ws, sched, level), kSelectedEnd);
}

}  // namespace
