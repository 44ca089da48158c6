// Helpers for the master database tests: a scratch installation (home
// directory with "localopts", the database directory and the catalogs), a
// time zone switch, whole-file reads and a small JSON reader for the
// reference cases.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "utils/libs/dbaccs.h"
#include "utils/libs/issuemsg.h"
#include "utils/libs/stdutil.h"
#include "utils/libs/thiscpu.h"
#include "utils/libs/utlopts.h"

namespace dbtest {

namespace fs = std::filesystem;

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

// Sets TZ for the life of the object.
class ZoneGuard {
  public:
    explicit ZoneGuard(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            had_ = true;
            old_ = old;
        }
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ZoneGuard() {
        if (had_)
            ::setenv("TZ", old_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    ZoneGuard(const ZoneGuard&) = delete;
    ZoneGuard& operator=(const ZoneGuard&) = delete;

  private:
    bool had_ = false;
    std::string old_;
};

// Local midnight of a calendar day.
inline time_value local_date(int y, int m, int d) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = m - 1;
    tm.tm_mday = d;
    tm.tm_isdst = -1;
    return static_cast<time_value>(std::mktime(&tm));
}

// A scratch installation: <home>/localopts naming this workstation and the
// master, <home>/brantis/ for the database files, <home>/catalog linked to
// the build's catalogs. Every test starts with no shared handle and no kept
// workstation names.
class DbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device rd;
        home_ = fs::temp_directory_path() /
                ("korvex-mdb-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        fs::create_directories(home_ / "brantis");
        std::error_code ec;
        fs::create_directory_symlink(fs::path(KORVEX_BUILD_DIR) / "catalog", home_ / "catalog", ec);
        set_workstations("MASTER", "MASTER");
    }
    void TearDown() override {
        db_shared_reset();
        set_home_dir("");
        this_cpu_reset();
        master_name_reset();
        msg_state_reset();
        std::error_code ec;
        fs::remove_all(home_, ec);
    }

    void set_workstations(const std::string& thiscpu, const std::string& master) {
        write_file((home_ / "localopts").string(),
                   "thiscpu = " + thiscpu + "\nmaster = " + master + "\n");
        set_home_dir(home_.string());
        this_cpu_reset();
        master_name_reset();
        msg_state_reset();
        db_shared_reset();
    }

    std::string db_file(const std::string& name) const {
        return (home_ / "brantis" / name).string();
    }

    // A private handle.
    db_ptr open_db(int long_names) {
        db_ptr h;
        std::string msg;
        EXPECT_EQ(db_open(&h, DB_OPEN_PRIVATE, &msg, long_names), DB_OK) << msg;
        return h;
    }

    static std::string error_of(const db_handle* h) {
        std::string text;
        db_error_text(h, &text);
        return text;
    }

    static std::string message(int number) {
        char buf[kFormatBufSize];
        std::int16_t len = 0;
        format_msg(buf, &len, 2076, number);
        return std::string(buf, static_cast<std::size_t>(len));
    }

    // Stores a schedule with these text lines (the file layer's locks taken
    // and released around it).
    std::int16_t put_schedule(db_handle* h, const sched_header& hdr,
                              const std::vector<std::string>& lines) {
        std::string text;
        for (const std::string& line : lines)
            text += line + "\n";
        const std::string path = (home_ / "sched.txt").string();
        write_file(path, text);
        EXPECT_EQ(db_lock_schedules(h), DB_OK) << error_of(h);
        const std::int16_t rc = store_schedule(h, hdr, path.c_str());
        EXPECT_EQ(db_unlock_schedules(h), DB_OK) << error_of(h);
        return rc;
    }
    std::int16_t put_schedule(db_handle* h, const std::string& ws, const std::string& name,
                              const std::vector<std::string>& lines) {
        return put_schedule(h, make_sched_header(ws, name), lines);
    }

    // Stores a calendar with these dates.
    void put_calendar(db_handle* h, const std::string& name, const std::string& description,
                      const std::vector<time_value>& dates) {
        ASSERT_EQ(db_lock_calendars(h), DB_OK) << error_of(h);
        ASSERT_EQ(store_calendar(h, make_calendar_info(name, description)), DB_OK) << error_of(h);
        ASSERT_EQ(add_calendar_dates(h, name.c_str(), dates.data(), static_cast<int>(dates.size())),
                  DB_OK)
            << error_of(h);
        ASSERT_EQ(db_unlock_calendars(h), DB_OK) << error_of(h);
    }

    // The stored lines of a schedule, as read one by one.
    static std::vector<std::string> stored_lines(db_handle* h, const std::string& ws,
                                                 const std::string& name) {
        std::vector<std::string> out;
        int cursor = 0;
        std::string line;
        while (read_schedule_line(h, ws.c_str(), name.c_str(), &line, &cursor) == DB_OK)
            out.push_back(line);
        return out;
    }

    fs::path home_;
};

// ---- a small JSON reader ------------------------------------------------------

// Enough JSON for the reference cases: objects, arrays, strings (simple
// escapes) and integers.
struct Json {
    long long number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> fields;

    const Json& operator[](const std::string& key) const {
        static const Json none;
        auto it = fields.find(key);
        return it == fields.end() ? none : it->second;
    }
};

// Parses the value at s[i]; false on text it does not understand.
inline bool parse_json(const std::string& s, std::size_t& i, Json* out) {
    auto skip = [&] {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
            ++i;
    };
    auto string = [&](std::string* t) {
        for (++i; i < s.size() && s[i] != '"'; ++i) {
            if (s[i] == '\\' && ++i < s.size() && s[i] == 'n') {
                t->push_back('\n');
                continue;
            }
            t->push_back(s[i]);
        }
        return i++ < s.size();
    };
    skip();
    if (i >= s.size()) return false;
    if (s[i] == '"') return string(&out->text);
    if (s[i] == '-' || std::isdigit(static_cast<unsigned char>(s[i]))) {
        std::size_t used = 0;
        out->number = std::stoll(s.substr(i), &used);
        i += used;
        return true;
    }
    const char open = s[i];
    if (open != '[' && open != '{') return false;
    const char close = open == '[' ? ']' : '}';
    ++i;
    for (skip(); i < s.size() && s[i] != close; skip()) {
        Json v;
        std::string key;
        if (open == '{') {
            if (s[i] != '"' || !string(&key)) return false;
            skip();
            if (i >= s.size() || s[i++] != ':') return false;
        }
        if (!parse_json(s, i, &v)) return false;
        if (open == '{')
            out->fields.emplace(key, std::move(v));
        else
            out->items.push_back(std::move(v));
        skip();
        if (i < s.size() && s[i] == ',') ++i;
    }
    return i++ < s.size();
}

}  // namespace dbtest
