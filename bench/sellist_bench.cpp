// Times the ordering of the selected-schedule list for 10,000 and 100,000
// schedules (and 1,000,000 with "--large") and prints how the time grows with
// the count.
//
// The ordering does a fixed amount of work per schedule and dependency (the
// final sort adds a log factor), but much of it is reaching entries scattered
// in memory, and each such reach gets dearer once the list outgrows the
// processor's caches. So beside the time, each row gives the time in units of
// one look-up of a schedule in the list's own index, measured on the same list
// just before ordering: a constant number of look-ups per schedule across the
// sizes is what linear growth looks like on real memory.
//
// Three shapes of list, each built the same way at every size:
//   chains   - 4 workstations, chains of 50 schedules, each following the one
//              before it, added in shuffled order;
//   reversed - one chain through every schedule, each added before the one it
//              follows (as many levels as schedules);
//   cycles   - the chains, with every 100th chain closed into a cycle.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "driver/korvex_list.h"

namespace {

struct planned_add {
    std::string workstation, schedule, dep_workstation, dep_schedule;
    std::int32_t time_key = 0, priority = -1;
};

std::string name_of(std::size_t i) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "S%07zu", i);
    return buf;
}

std::vector<planned_add> plan(const char* shape, std::size_t n) {
    std::mt19937 rng(12345);
    const std::string kind = shape;
    std::vector<planned_add> adds(n);
    const std::size_t chain = 50;
    for (std::size_t i = 0; i < n; ++i) {
        planned_add& a = adds[i];
        a.schedule = name_of(i);
        a.time_key =
            static_cast<std::int32_t>(rng() % 2) ? static_cast<std::int32_t>(rng() % 1440) : 0;
        a.priority = rng() % 4 == 0 ? static_cast<std::int32_t>(rng() % 102) : -1;
        if (kind == "reversed") {
            a.workstation = "CPU1";
            if (i + 1 < n) a.dep_schedule = name_of(i + 1);
        } else {
            a.workstation = "CPU" + std::to_string(i / chain % 4 + 1);
            const std::size_t first = i - i % chain;
            if (i % chain != 0) {
                a.dep_schedule = name_of(i - 1);
            } else if (kind == "cycles" && (i / chain) % 100 == 0 && first + chain - 1 < n) {
                a.dep_schedule = name_of(first + chain - 1);  // closes the chain
            }
        }
        if (!a.dep_schedule.empty()) a.dep_workstation = a.workstation;
    }
    if (kind != "reversed") std::shuffle(adds.begin(), adds.end(), rng);
    return adds;
}

struct timing {
    double order = 0;   // seconds of processor time
    double lookup = 0;  // seconds per look-up
    std::int32_t levels = 0;
};

double seconds_since(std::clock_t start) {
    return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}

// Fills a list from the plan, times look-ups of every schedule in shuffled
// order, then orders it. Processor time, so that other work on the machine
// counts less.
bool order_once(const std::vector<planned_add>& adds, timing& t) {
    selected_list list;
    for (const planned_add& a : adds) {
        const bool dep = !a.dep_schedule.empty();
        if (add_selected(list, a.workstation, a.schedule, a.time_key, a.priority,
                         dep ? a.dep_workstation.c_str() : nullptr,
                         dep ? a.dep_schedule.c_str() : nullptr) != kSelectedOk) {
            std::fprintf(stderr, "add_selected failed\n");
            return false;
        }
    }
    std::vector<std::size_t> probe(adds.size());
    for (std::size_t i = 0; i < probe.size(); ++i)
        probe[i] = i;
    std::shuffle(probe.begin(), probe.end(), std::mt19937(7));
    std::size_t found = 0;
    const std::clock_t t0 = std::clock();
    for (const std::size_t i : probe)
        found += list.index.count(selected_name_view{adds[i].workstation, adds[i].schedule});
    t.lookup = seconds_since(t0) / static_cast<double>(probe.size());
    if (found != list.entries.size()) return false;

    const std::clock_t t1 = std::clock();
    if (order_selected(list) != kSelectedOk) return false;
    t.order = seconds_since(t1);
    t.levels = 0;
    for (const selected_entry& e : list.entries)
        t.levels = std::max(t.levels, e.level);
    free_selected(list);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::size_t> sizes = {10000, 100000};
    if (argc > 1 && std::strcmp(argv[1], "--large") == 0) sizes.push_back(1000000);
    std::printf("%-9s %9s %7s %11s %12s %16s\n", "shape", "schedules", "levels", "order (ms)",
                "ns/schedule", "look-ups/sched.");
    for (const char* shape : {"chains", "reversed", "cycles"}) {
        std::vector<double> took;
        for (const std::size_t n : sizes) {
            const std::vector<planned_add> adds = plan(shape, n);
            timing best;
            best.order = 1e9;
            for (int round = 0; round < (n < 1000000 ? 5 : 2); ++round) {
                timing t;
                if (!order_once(adds, t)) return 1;
                if (t.order < best.order) best = t;
            }
            took.push_back(best.order);
            const double per = best.order / static_cast<double>(n);
            std::printf("%-9s %9zu %7d %11.2f %12.1f %16.1f\n", shape, n, best.levels,
                        best.order * 1e3, per * 1e9, per / best.lookup);
        }
        std::printf("%-9s time for 10x the schedules:", shape);
        for (std::size_t k = 1; k < took.size(); ++k)
            std::printf(" %.1fx", took[k] / took[k - 1]);
        std::printf("\n");
    }
    return 0;
}
