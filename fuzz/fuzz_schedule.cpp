// Schedule definition text through the scanner, the parser engine and the
// grammar's actions, over a scratch master database holding a few calendars,
// so that ON and EXCEPT elements look calendars up.
//
// Input: the first byte chooses the run (bit 0 long names, bit 1 forced,
// bit 2 go on after value-check errors, bits 3..5 the run date, bit 6 the
// parser trace into /dev/null); the rest is the schedule text.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "driver/korvex_list.h"
#include "driver/sparser.h"
#include "driver/sscanner.h"
#include "fuzz/fuzz_util.h"
#include "utils/libs/dbaccs.h"

namespace {

struct Run {
    time_value date = 0;
    std::vector<std::string> names;
};

struct World {
    fuzz::ScratchHome home{"schedule"};
    db_ptr db[2];  // short and long layouts (each in its own database directory)
    std::vector<Run> runs;
    std::FILE* trace = nullptr;
    bool go_on = false;
};

World* g_world = nullptr;

bool error_sink(int number, const char*) {
    // The grammar's error alternatives stop whatever the answer is.
    if (!g_world->go_on) return true;
    return !is_value_check_error(number);
}

void ignore_exit(int) {}

void put_calendar(db_handle* h, const char* name, const std::vector<time_value>& dates) {
    if (db_lock_calendars(h) != DB_OK ||
        store_calendar(h, make_calendar_info(name, std::string(name) + " dates")) != DB_OK ||
        add_calendar_dates(h, name, dates.data(), static_cast<int>(dates.size())) != DB_OK ||
        db_unlock_calendars(h) != DB_OK) {
        std::fprintf(stderr, "cannot set up calendar %s\n", name);
        std::abort();
    }
}

db_ptr make_db(const fuzz::ScratchHome& home, int long_names, const char* dir) {
    // Each layout gets its own database directory, named in "localopts".
    fuzz::fs::create_directories(home.dir().file(dir));
    fuzz::write_file(
        home.dir().file("localopts"),
        "thiscpu = CPU1\nmaster = CPU1\nbrantisdirectory = " + home.dir().file(dir) + "\n");
    db_shared_reset();
    db_ptr h;
    std::string msg;
    if (db_open(&h, DB_OPEN_PRIVATE, &msg, long_names) != DB_OK) {
        std::fprintf(stderr, "db_open: %s\n", msg.c_str());
        std::abort();
    }
    using fuzz::local_date;
    put_calendar(h.get(), "HOLIDAYS",
                 {local_date(2024, 1, 1), local_date(2024, 12, 25), local_date(2025, 1, 1)});
    put_calendar(h.get(), "MONTHEND",
                 {local_date(2024, 1, 31), local_date(2024, 2, 29), local_date(2024, 3, 31),
                  local_date(2024, 12, 31)});
    put_calendar(h.get(), "PAYDAY", {local_date(2024, 2, 15), local_date(2024, 3, 15)});
    put_calendar(h.get(), "EMPTY", {});
    // Every file the parser may touch is opened now, not in the loop.
    db_open_file(h.get(), DB_FILE_CALENDARS);
    db_open_file(h.get(), DB_FILE_SCHEDULES);
    return h;
}

// The run-date names as the selection pass builds them.
Run make_run(db_handle* db, time_value date) {
    Run r;
    r.date = date;
    if (date == 0) return r;
    int cursor = 0;
    calendar_info info;
    while (read_next_calendar(db, "@", &cursor, &info) == DB_OK) {
        const std::string name = field_to_str(info.name.data(), DB_CALENDAR_NAME);
        if (find_calendar_date(db, name.c_str(), date) == DB_OK) r.names.push_back(name);
    }
    static const char* const days[] = {"MO", "TU", "WE", "TH", "FR", "SA", "SU"};
    const int weekday = time_to_daynum(date) % 7;
    if (weekday < 5) {
        r.names.push_back("WEEKDAYS");
        if (find_calendar_date(db, "HOLIDAYS", date) != DB_OK) r.names.push_back("WORKDAYS");
    }
    r.names.push_back(days[weekday]);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    tzset();
    static World world;
    g_world = &world;
    world.db[0] = make_db(world.home, 0, "short");
    world.db[1] = make_db(world.home, 1, "long");
    using fuzz::local_date;
    for (time_value d : {time_value{0}, local_date(2024, 1, 1), local_date(2024, 1, 31),
                         local_date(2024, 2, 15), local_date(2024, 2, 29), local_date(2024, 3, 10),
                         local_date(2024, 12, 28), local_date(2024, 11, 3)})
        world.runs.push_back(make_run(world.db[0].get(), d));
    world.trace = std::fopen("/dev/null", "w");
    set_schedule_error_sink(&error_sink);
    msg_set_exit_hook(&ignore_exit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned flags = data[0];
    const bool long_names = (flags & 1) != 0;
    const bool forced = (flags & 2) != 0;
    g_world->go_on = (flags & 4) != 0;
    const Run& run = g_world->runs[(flags >> 3) & 7];

    reset_evaluation_state();
    free_selected(run_selected_list());
    sched_eval_state& st = evaluation_state();
    st.db = g_world->db[long_names ? 1 : 0].get();
    st.this_workstation = "CPU1";
    st.start_of_day = 600;
    st.record_workstation = "CPU1";
    st.record_schedule = "S1";
    st.run_date = run.date;
    st.run_date_names = run.names;
    st.selected = forced;
    st.forced = forced;
    st.trace = (flags & 0x40) != 0 && g_world->trace != nullptr;
    st.trace_out = g_world->trace;
    if (forced) add_selected(st.record_workstation, st.record_schedule, 0, -1);

    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    string_lines_input in = lines_from_text(text);
    parse_schedule(in, long_names);

    // Ordering the entries the actions made runs the list's own checks.
    std::string ws, sched;
    std::int32_t level = 0;
    while (next_selected(ws, sched, level) == kSelectedOk) {
    }
    return 0;
}
