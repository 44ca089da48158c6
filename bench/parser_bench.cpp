// Times the schedule parser: how many schedule definitions per second the
// scanner, the parser and the date-clause evaluation get through, for a mix
// of realistic headers, in a scratch installation whose calendar file holds a
// year of dates for a handful of calendars.
//
// Three runs over the same 2,000 definitions:
//   not selected - a run date that no ON clause matches: parsing stops at the
//                  end of each ON clause;
//   selected     - a run date that most clauses match: each header is read to
//                  the first job name, with AT, PRIORITY and FOLLOWS recorded;
//   forced       - every schedule forced: every header read to the end.
// Usage: parser_bench [rounds] (default 5).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "driver/korvex_list.h"
#include "driver/sparser.h"
#include "utils/libs/dbaccs.h"
#include "utils/libs/stdutil.h"
#include "utils/libs/thiscpu.h"
#include "utils/libs/utlopts.h"

namespace {

namespace fs = std::filesystem;

time_value local_date(int y, int m, int d) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = m - 1;
    tm.tm_mday = d;
    tm.tm_isdst = -1;
    return static_cast<time_value>(std::mktime(&tm));
}

const char* const kCalendars[] = {"HOLIDAYS", "PAYDAY", "MONTHEND", "QEND", "TAXDAY", "CALA"};

// A schedule header and its first jobs, in the shapes stored definitions take.
std::string definition(std::mt19937& rng, int i) {
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    static const char* const days[] = {"MO", "TU", "WE", "TH", "FR", "SA", "SU"};
    static const char* const units[] = {"DAYS", "WEEKDAYS", "WORKDAYS"};
    std::string t = "SCHEDULE CPU" + std::to_string(1 + i % 4) + "#S" + std::to_string(i) + "\nON ";
    const int elements = 1 + pick(4);
    for (int e = 0; e < elements; ++e) {
        if (e > 0) t += ",";
        switch (pick(5)) {
            case 0:
                t += days[pick(7)];
                break;
            case 1:
                t += pick(2) == 0 ? "WEEKDAYS" : "WORKDAYS";
                break;
            case 2:
                t += kCalendars[1 + pick(5)];
                break;
            case 3:
                t += std::string(kCalendars[1 + pick(5)]) + (pick(2) == 0 ? " +" : " -") +
                     std::to_string(pick(4)) + " " + units[pick(3)];
                break;
            default:
                t += "2027/0" + std::to_string(1 + pick(9)) + "/1" + std::to_string(pick(10));
                break;
        }
    }
    if (pick(3) == 0) t += std::string("\nEXCEPT HOLIDAYS,") + days[pick(7)];
    t += "\nAT " + std::to_string(100 * pick(24) + pick(60)) + (pick(4) == 0 ? " +1 DAYS" : "");
    if (pick(2) == 0) t += " PRIORITY " + std::to_string(pick(100));
    if (pick(2) == 0)
        t += "\nFOLLOWS CPU1#S" + std::to_string(pick(i + 1)) + ",S" + std::to_string(pick(i + 1)) +
             ".JOB1";
    if (pick(4) == 0) t += " LIMIT 10 CARRYFORWARD";
    t += "\n:\nJOB1 SCRIPTNAME \"/bin/true\"\nJOB2 SCRIPTNAME \"/bin/true\" FOLLOWS JOB1\nEND";
    return t;
}

// Names the run date satisfies, as the selection pass builds them.
std::vector<std::string> names_for(db_handle* db, time_value date) {
    std::vector<std::string> names;
    for (const char* cal : kCalendars)
        if (find_calendar_date(db, cal, date) == DB_OK) names.push_back(cal);
    static const char* const days[] = {"MO", "TU", "WE", "TH", "FR", "SA", "SU"};
    const int weekday = time_to_daynum(date) % 7;
    if (weekday < 5) {
        names.push_back("WEEKDAYS");
        if (find_calendar_date(db, "HOLIDAYS", date) != DB_OK) names.push_back("WORKDAYS");
    }
    names.push_back(days[weekday]);
    return names;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::random_device rd;
    const fs::path home =
        fs::temp_directory_path() / ("korvex-parser-bench-" + std::to_string(rd()));
    fs::create_directories(home / "brantis");
    std::ofstream(home / "localopts") << "thiscpu = CPU1\nmaster = CPU1\n";
#ifdef KORVEX_BUILD_DIR
    std::error_code link_ec;  // the build's message catalogs, for the date format
    fs::create_directory_symlink(fs::path(KORVEX_BUILD_DIR) / "catalog", home / "catalog", link_ec);
#endif
    set_home_dir(home.string());
    this_cpu_reset();
    master_name_reset();

    db_ptr db;
    std::string msg;
    if (db_open(&db, DB_OPEN_PRIVATE, &msg, 0) != DB_OK) {
        std::fprintf(stderr, "cannot open the scratch database: %s\n", msg.c_str());
        return 1;
    }
    // A year of dates: every 9th day in HOLIDAYS, paydays twice a month, ...
    std::mt19937 rng(2027);
    db_lock_calendars(db.get());
    for (const char* cal : kCalendars) {
        store_calendar(db.get(), make_calendar_info(cal, "bench"));
        std::vector<time_value> dates;
        for (int m = 1; m <= 12; ++m)
            for (int d = 1; d <= 28; ++d)
                if (std::uniform_int_distribution<int>(0, 9)(rng) == 0)
                    dates.push_back(local_date(2027, m, d));
        add_calendar_dates(db.get(), cal, dates.data(), static_cast<int>(dates.size()));
    }
    db_unlock_calendars(db.get());

    std::vector<std::string> texts;
    for (int i = 0; i < 2000; ++i)
        texts.push_back(definition(rng, i));

    sched_eval_state& st = evaluation_state();
    st.db = db.get();
    st.this_workstation = "CPU1";
    st.start_of_day = 600;

    struct mode {
        const char* name;
        time_value run_date;
        bool forced;
    };
    const mode modes[] = {
        {"not selected", local_date(2027, 12, 31), false},
        {"selected", local_date(2027, 6, 14), false},
        {"forced", local_date(2027, 6, 14), true},
    };
    std::printf("%-13s %10s %12s %16s\n", "run", "schedules", "seconds", "schedules/s");
    for (const mode& m : modes) {
        st.run_date = m.run_date;
        // "not selected": a run date whose names match nothing written.
        st.run_date_names = m.forced || m.run_date != modes[0].run_date
                                ? names_for(db.get(), m.run_date)
                                : std::vector<std::string>{"NONE"};
        std::size_t parsed = 0, selected = 0;
        const auto start = std::chrono::steady_clock::now();
        for (int r = 0; r < rounds; ++r) {
            for (std::size_t i = 0; i < texts.size(); ++i) {
                st.record_workstation = "CPU" + std::to_string(1 + i % 4);
                st.record_schedule = "S" + std::to_string(i);
                st.selected = m.forced;
                st.forced = m.forced;
                string_lines_input in = lines_from_text(texts[i]);
                if (parse_schedule(in, false) != 0) {
                    std::fprintf(stderr, "parse failed: %s\n", texts[i].c_str());
                    return 1;
                }
                selected += st.selected ? 1 : 0;
                ++parsed;
            }
            free_selected(run_selected_list());
        }
        const double secs =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%-13s %10zu %12.3f %16.0f   (%zu selected)\n", m.name, parsed, secs,
                    secs > 0 ? static_cast<double>(parsed) / secs : 0.0, selected);
    }
    db.reset();
    std::error_code ec;
    fs::remove_all(home, ec);
    return 0;
}
