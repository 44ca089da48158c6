// Compatibility with master databases written by another implementation of
// the same file formats: reading them, and writing the same bytes.
#include <algorithm>

#include "btree/btree.h"
#include "masterdb_testutil.h"

namespace {

using dbtest::DbTest;
namespace fs = std::filesystem;
using dbtest::Json;
using dbtest::read_file;
using dbtest::ZoneGuard;

const std::string kVectors = std::string(KORVEX_VECTORS_DIR) + "/";
const char* const kFiles[] = {"mastsked", "job.sched", "calendars"};

struct Schedule {
    std::string ws, name;
    std::vector<std::string> lines;
};
struct Calendar {
    std::string name, description;
    std::vector<time_value> dates;  // in list order, as local (UTC) midnights
};
struct Database {
    std::vector<Schedule> schedules;
    std::vector<Calendar> calendars;
};

// The reference content; dates are built under the caller's time zone.
bool load_reference(Database* db) {
    Json root;
    const std::string text = read_file(kVectors + "masterdb.json");
    std::size_t at = 0;
    if (!dbtest::parse_json(text, at, &root)) return false;
    for (const Json& s : root["schedules"].items) {
        Schedule sched{s["ws"].text, s["name"].text, {}};
        for (const Json& line : s["lines"].items)
            sched.lines.push_back(line.text);
        db->schedules.push_back(sched);
    }
    for (const Json& c : root["calendars"].items) {
        Calendar cal{c["name"].text, c["description"].text, {}};
        for (const Json& d : c["dates"].items)
            cal.dates.push_back(dbtest::local_date(static_cast<int>(d.items.at(0).number),
                                                   static_cast<int>(d.items.at(1).number),
                                                   static_cast<int>(d.items.at(2).number)));
        db->calendars.push_back(cal);
    }
    return !db->schedules.empty() && !db->calendars.empty();
}

std::string padded(const std::string& s, int width) {
    return s + std::string(static_cast<std::size_t>(std::max<int>(0, width - int(s.size()))), ' ');
}

std::int32_t be32(const std::string& b, std::size_t off) {
    if (off + 4 > b.size()) return 0;
    return static_cast<std::int32_t>((std::uint32_t(std::uint8_t(b[off])) << 24) |
                                     (std::uint32_t(std::uint8_t(b[off + 1])) << 16) |
                                     (std::uint32_t(std::uint8_t(b[off + 2])) << 8) |
                                     std::uint32_t(std::uint8_t(b[off + 3])));
}

// Where two index files differ in bytes the index format defines: the
// superblock, each page's header and keys, its key end and pointer tables,
// and the free-list words of a free page.
std::string index_difference(const std::string& ours, const std::string& ref) {
    if (ours.size() != ref.size())
        return "sizes " + std::to_string(ours.size()) + " and " + std::to_string(ref.size());
    auto differs = [&](std::size_t from, std::size_t to) {
        return ours.compare(from, to - from, ref, from, to - from) != 0;
    };
    if (differs(0, BT_SUPER_SIZE)) return "superblock";
    const auto page = static_cast<std::size_t>(be32(ref, 4));
    if (page == 0) return "page size";
    for (std::size_t off = page; off + page <= ref.size(); off += page) {
        if (be32(ref, off + 8) == BT_FREEPAGE) {
            if (differs(off, off + 4) || differs(off + 8, off + 12))
                return "free page " + std::to_string(off);
            continue;
        }
        const auto count = static_cast<std::size_t>(be32(ref, off + 12));
        const auto bytes = static_cast<std::size_t>(be32(ref, off + 16));
        const std::size_t table = off + 20 + bytes + (4 - (20 + bytes) % 4);
        if (differs(off, off + 20 + bytes) || differs(table, table + 8 * count))
            return "page " + std::to_string(off);
    }
    return "";
}

class VectorTest : public DbTest, public ::testing::WithParamInterface<int> {
  protected:
    std::string layout_dir() const {
        return kVectors + (GetParam() ? "masterdb-long/" : "masterdb-short/");
    }
    int width() const { return GetParam() ? DB_LONG_NAME : DB_SHORT_NAME; }
};

INSTANTIATE_TEST_SUITE_P(Layouts, VectorTest, ::testing::Values(0, 1));

TEST_P(VectorTest, ReferenceDatabaseReadsAsItsContent) {
    ZoneGuard utc("UTC");
    Database ref;
    ASSERT_TRUE(load_reference(&ref));
    for (const char* f : kFiles) {
        for (const std::string suffix : {"", ".KEY"}) {
            fs::copy_file(layout_dir() + f + suffix, db_file(f + suffix));
            fs::permissions(db_file(f + suffix), fs::perms::owner_read | fs::perms::owner_write);
        }
    }
    std::string msg;
    std::int16_t flag = -1;
    ASSERT_EQ(db_probe_file(DB_PROBE_SCHEDULES, 0, &msg, &flag), DB_OK) << msg;
    EXPECT_EQ(flag, GetParam());
    db_ptr h;
    ASSERT_EQ(db_open(&h, 0, &msg, flag), DB_OK);
    ASSERT_EQ(db_lock_schedules(h.get()), DB_OK) << error_of(h.get());
    ASSERT_EQ(db_lock_calendars(h.get()), DB_OK) << error_of(h.get());

    // Every schedule in key order, each with its lines.
    std::vector<Schedule> expect = ref.schedules;
    std::sort(expect.begin(), expect.end(), [&](const Schedule& a, const Schedule& b) {
        return padded(a.ws, width()) + padded(a.name, width()) <
               padded(b.ws, width()) + padded(b.name, width());
    });
    std::size_t n = 0;
    int cursor = 0;
    sched_header hdr;
    while (read_next_schedule(h.get(), "@", "@", &cursor, &hdr) == DB_OK) {
        ASSERT_LT(n, expect.size());
        const Schedule& s = expect[n++];
        EXPECT_EQ(field_to_str(hdr.workstation.data(), width()), s.ws);
        EXPECT_EQ(field_to_str(hdr.schedule.data(), width()), s.name);
        EXPECT_EQ(hdr.date, 0);
        std::vector<std::string> stored = stored_lines(h.get(), s.ws, s.name);
        std::vector<std::string> pieces;
        for (const std::string& line : s.lines)
            for (const std::string& p : split_logical_line(line))
                pieces.push_back(p);
        EXPECT_EQ(stored, pieces) << s.name;
        EXPECT_EQ(join_stored_lines(stored), s.lines) << s.name;
    }
    EXPECT_EQ(n, expect.size());
    EXPECT_EQ(error_of(h.get()), message(6));

    // Every calendar in name order, each with its dates.
    std::vector<Calendar> cals = ref.calendars;
    std::sort(cals.begin(), cals.end(),
              [](const Calendar& a, const Calendar& b) { return a.name < b.name; });
    n = 0;
    cursor = 0;
    calendar_info info;
    while (read_next_calendar(h.get(), "@", &cursor, &info) == DB_OK) {
        ASSERT_LT(n, cals.size());
        Calendar& c = cals[n++];
        EXPECT_EQ(field_to_str(info.name.data(), DB_CALENDAR_NAME), c.name);
        EXPECT_EQ(field_to_str(info.description.data(), DB_CALENDAR_DESC), c.description);
        for (time_value d : c.dates)
            EXPECT_EQ(find_calendar_date(h.get(), c.name.c_str(), d), DB_OK);
        EXPECT_EQ(find_calendar_date(h.get(), c.name.c_str(), c.dates[0] + 86400 * 400),
                  DB_E_MISSING);
        std::vector<time_value> got;
        time_value from = 0;
        time_value buf[5];
        int count = 5;
        while (read_calendar_dates(h.get(), c.name.c_str(), &from, buf, &count) == DB_OK) {
            got.insert(got.end(), buf, buf + count);
            count = 5;
        }
        std::sort(c.dates.begin(), c.dates.end());
        EXPECT_EQ(got, c.dates) << c.name;
    }
    EXPECT_EQ(n, cals.size());
    EXPECT_EQ(db_unlock_schedules(h.get()), DB_OK);
    EXPECT_EQ(db_unlock_calendars(h.get()), DB_OK);
}

TEST_P(VectorTest, WritingTheSameContentGivesTheSameFiles) {
    ZoneGuard utc("UTC");
    Database ref;
    ASSERT_TRUE(load_reference(&ref));
    db_ptr h = open_db(GetParam());
    for (const Schedule& s : ref.schedules)
        ASSERT_EQ(put_schedule(h.get(), s.ws, s.name, s.lines), DB_OK) << error_of(h.get());
    for (const Calendar& c : ref.calendars)
        put_calendar(h.get(), c.name, c.description, c.dates);
    ASSERT_EQ(db_close(&h), DB_OK);

    for (const char* f : kFiles) {
        SCOPED_TRACE(f);
        EXPECT_TRUE(read_file(db_file(f)) == read_file(layout_dir() + f)) << "data file differs";
        EXPECT_EQ(index_difference(read_file(db_file(std::string(f) + ".KEY")),
                                   read_file(layout_dir() + f + ".KEY")),
                  "");
    }
}

}  // namespace
