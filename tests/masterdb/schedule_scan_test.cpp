// The schedule file read in file order (db_scan_schedules) against the walk
// in key order it stands in for: the same schedules, each once, with its
// place in key order, the same header, and the same lines, codes and error
// texts call by call, on sound files and on damaged ones.
#include <algorithm>
#include <random>

#include "masterdb_testutil.h"

namespace {

using dbtest::DbTest;
using dbtest::read_file;
using dbtest::write_file;
namespace fs = std::filesystem;

// What one schedule gives: its header's names and the results of a run of
// line reads (each "code:text", the error text for a failure).
struct seen_schedule {
    std::string names;
    std::vector<std::string> reads;
};

std::string names_of(const sched_header& h, int width) {
    return field_to_str(h.workstation.data(), width) + "#" + field_to_str(h.schedule.data(), width);
}

std::string read_result(db_handle* h, std::int16_t rc, const std::string& text, bool continued) {
    std::string out = std::to_string(rc) + ":";
    if (rc == DB_OK) return out + text + (continued ? "\\" : "");
    std::string error;
    db_error_text(h, &error);
    return out + error;
}

class ScanTest : public DbTest, public ::testing::WithParamInterface<int> {
  protected:
    void SetUp() override {
        DbTest::SetUp();
        h_ = open_db(GetParam());
        width_ = GetParam() ? DB_LONG_NAME : DB_SHORT_NAME;
    }
    void TearDown() override {
        h_.reset();
        DbTest::TearDown();
    }

    // Stores schedules under one lock.
    void store(const std::vector<std::pair<std::string, std::string>>& texts) {
        ASSERT_EQ(db_lock_schedules(h_.get()), DB_OK) << error_of(h_.get());
        for (const auto& [name, text] : texts) {
            const std::size_t cut = name.find('#');
            ASSERT_EQ(
                store_schedule_text(
                    h_.get(), make_sched_header(name.substr(0, cut), name.substr(cut + 1)), text),
                DB_OK)
                << error_of(h_.get());
        }
        ASSERT_EQ(db_unlock_schedules(h_.get()), DB_OK) << error_of(h_.get());
    }

    // Reads of one schedule: `wanted` reads (all of them and two more when
    // negative) through the reader.
    template <class Read>
    std::vector<std::string> reads(Read read, int wanted) {
        std::vector<std::string> out;
        int ends = 0;
        for (int i = 0; wanted < 0 ? ends < 2 && i < 400 : i < wanted; ++i) {
            std::string text;
            bool continued = false;
            const std::int16_t rc = read(&text, &continued);
            out.push_back(read_result(h_.get(), rc, text, continued));
            if (rc != DB_OK) ++ends;
        }
        return out;
    }

    // The walk in key order, with `wanted(rank)` reads of each schedule.
    template <class Wanted>
    std::vector<seen_schedule> walk(Wanted wanted) {
        std::vector<seen_schedule> out;
        EXPECT_EQ(db_lock_schedules(h_.get()), DB_OK) << error_of(h_.get());
        int cursor = 0;
        sched_header hdr;
        std::int16_t rc;
        while ((rc = read_next_schedule(h_.get(), "@", "@", &cursor, &hdr)) == DB_OK) {
            const std::string ws = field_to_str(hdr.workstation.data(), width_);
            const std::string name = field_to_str(hdr.schedule.data(), width_);
            int line_cursor = 0;
            out.push_back({names_of(hdr, width_), reads(
                                                      [&](std::string* text, bool* continued) {
                                                          return append_schedule_line(
                                                              h_.get(), ws.c_str(), name.c_str(),
                                                              text, continued, &line_cursor);
                                                      },
                                                      wanted(out.size()))});
        }
        EXPECT_EQ(rc, DB_E_END) << error_of(h_.get());
        EXPECT_EQ(db_unlock_schedules(h_.get()), DB_OK);
        return out;
    }

    // The scan in file order, put back in key order by rank; *rc its result.
    template <class Wanted>
    std::vector<seen_schedule> scan(Wanted wanted, std::int16_t* rc) {
        struct visitor : db_schedule_scan_visitor {
            ScanTest* t;
            Wanted* wanted;
            std::map<std::size_t, seen_schedule> seen;
            std::vector<std::size_t> order;
            bool schedule(std::size_t rank, const sched_header& header,
                          db_schedule_lines& lines) override {
                EXPECT_EQ(seen.count(rank), 0u) << "visited twice: " << rank;
                order.push_back(rank);
                seen[rank] = {
                    names_of(header, t->width_),
                    t->reads([&](std::string* text,
                                 bool* continued) { return lines.append(text, continued); },
                             (*wanted)(rank))};
                return true;
            }
        } v;
        v.t = this;
        v.wanted = &wanted;
        EXPECT_EQ(db_lock_schedules(h_.get()), DB_OK) << error_of(h_.get());
        std::size_t count = 0;
        *rc = db_scan_schedules(h_.get(), "@", "@", v, &count);
        EXPECT_EQ(db_unlock_schedules(h_.get()), DB_OK);
        std::vector<seen_schedule> out;
        for (auto& [rank, s] : v.seen) {
            EXPECT_EQ(rank, out.size()) << "a rank was skipped";
            out.push_back(std::move(s));
        }
        if (*rc == DB_OK) {
            EXPECT_EQ(count, out.size());
        }
        order_ = v.order;
        return out;
    }

    // Every schedule of the walk read whole through db_schedule_text, under
    // one lock, after a scan under that lock when `after_scan`.
    std::vector<seen_schedule> read_each(const std::vector<seen_schedule>& walked,
                                         bool after_scan) {
        std::vector<seen_schedule> out;
        EXPECT_EQ(db_lock_schedules(h_.get()), DB_OK) << error_of(h_.get());
        if (after_scan) {
            struct nothing : db_schedule_scan_visitor {
                bool schedule(std::size_t, const sched_header&, db_schedule_lines&) override {
                    return true;
                }
            } v;
            std::size_t count = 0;
            EXPECT_EQ(db_scan_schedules(h_.get(), "@", "@", v, &count), DB_OK);
        }
        db_schedule_lines lines;
        // Backwards, so that no schedule is read right after its neighbour.
        for (auto it = walked.rbegin(); it != walked.rend(); ++it) {
            const std::size_t cut = it->names.find('#');
            const std::string ws = it->names.substr(0, cut);
            const std::string name = it->names.substr(cut + 1);
            EXPECT_EQ(db_schedule_text(h_.get(), ws.c_str(), name.c_str(), &lines), DB_OK);
            out.insert(out.begin(), {it->names, reads(
                                                    [&](std::string* text, bool* continued) {
                                                        return lines.append(text, continued);
                                                    },
                                                    -1)});
        }
        EXPECT_EQ(db_unlock_schedules(h_.get()), DB_OK);
        return out;
    }

    static void expect_same(const std::vector<seen_schedule>& walked,
                            const std::vector<seen_schedule>& scanned) {
        ASSERT_EQ(walked.size(), scanned.size());
        for (std::size_t i = 0; i < walked.size(); ++i) {
            EXPECT_EQ(walked[i].names, scanned[i].names) << "rank " << i;
            EXPECT_EQ(walked[i].reads, scanned[i].reads) << walked[i].names;
        }
    }

    // The position of the first record line holding the text.
    std::size_t find_record(const std::string& data, const std::string& text) {
        const std::size_t at = data.find(text);
        EXPECT_NE(at, std::string::npos) << text;
        return data.rfind('\n', at) + 1;
    }

    db_ptr h_;
    int width_ = 0;
    std::vector<std::size_t> order_;  // ranks in the order the scan met them
};

INSTANTIATE_TEST_SUITE_P(Layouts, ScanTest, ::testing::Values(0, 1));

std::string schedule_text(const std::string& name, int lines, std::mt19937& rng) {
    std::string text = "* " + name + " comment\nSCHEDULE " + name + "\nON MO\n:\n";
    for (int i = 0; i < lines; ++i) {
        switch (rng() % 8) {
            case 0:
                text += "\n";  // an empty line
                break;
            case 1:  // a long line, stored in continued pieces
                text += "JOB" + std::to_string(i) + " SCRIPTNAME \"" +
                        std::string(150 + rng() % 200, 'x') + "\"\n";
                break;
            default:
                text += "JOB" + std::to_string(i) + " SCRIPTNAME \"/bin/" + name + "\"\n";
        }
    }
    return text + "END\n";
}

TEST_P(ScanTest, MeetsEveryScheduleOnceWithTheWalksHeadersAndLines) {
    // Enough text for several of the scan's reads, stored out of key order,
    // then a tenth replaced (their old records stay in the file) and one
    // schedule with no lines at all.
    std::mt19937 rng(7);
    std::vector<std::pair<std::string, std::string>> texts;
    for (int i = 0; i < 2400; ++i) {
        const int n = static_cast<int>(rng() % 2400);
        const std::string name = "CPU" + std::to_string(n % 7) + "#S" + std::to_string(n);
        texts.emplace_back(name, schedule_text(name, static_cast<int>(rng() % 30), rng));
    }
    store(texts);
    std::vector<std::pair<std::string, std::string>> again;
    for (std::size_t i = 0; i < texts.size(); i += 10)
        again.emplace_back(texts[i].first, schedule_text(texts[i].first, 5, rng));
    again.emplace_back("CPU9#EMPTY", "");
    store(again);
    ASSERT_GT(fs::file_size(db_file("mastsked")), std::size_t{3} << 20);

    // Whole texts, and a few lines only (as a selection reads them).
    for (const int wanted : {-1, 2, 9}) {
        auto reads = [&](std::size_t rank) { return rank % 3 == 0 ? -1 : wanted; };
        std::int16_t rc = 0;
        const std::vector<seen_schedule> scanned = scan(reads, &rc);
        ASSERT_EQ(rc, DB_OK) << error_of(h_.get());
        expect_same(walk(reads), scanned);
    }
    // Met in file order, not key order.
    EXPECT_FALSE(std::is_sorted(order_.begin(), order_.end()));
    // Each schedule's text read on its own, with and without the places the
    // scan found.
    auto all = [](std::size_t) { return -1; };
    const std::vector<seen_schedule> walked = walk(all);
    expect_same(walked, read_each(walked, true));
    expect_same(walked, read_each(walked, false));
}

TEST_P(ScanTest, DamagedChainsReadAsTheWalkReadsThem) {
    std::mt19937 rng(3);
    std::vector<std::pair<std::string, std::string>> texts;
    for (int i = 0; i < 40; ++i) {
        const std::string name = "CPU1#D" + std::to_string(i);
        std::string text = "SCHEDULE " + name + "\n";
        for (int k = 0; k < 12; ++k)
            text += "LINE-" + std::to_string(k) + "-OF-" + name + "\n";
        texts.emplace_back(name, text + "END\n");
    }
    store(texts);
    const std::string path = db_file("mastsked");
    const std::string clean = read_file(path);
    // Where a record's data starts: after its type and pointers.
    const std::size_t first = find_record(clean, "LINE-0-OF-CPU1#D0");
    const std::size_t hl = clean.find("CPU1", first) - first;

    struct damage {
        const char* what;
        std::function<void(std::string&, std::size_t)> apply;  // at the record's position
    };
    const std::vector<damage> damages = {
        {"record type", [](std::string& d, std::size_t at) { d[at + 1] = '7'; }},
        {"deleted record", [](std::string& d, std::size_t at) { d[at] = d[at + 1] = ' '; }},
        {"pointer not hex", [](std::string& d, std::size_t at) { d[at + 4] = 'g'; }},
        {"pointer into the file header",
         [](std::string& d, std::size_t at) { std::memcpy(&d[at + 2], "00000010", 8); }},
        {"pointer past the end",
         [](std::string& d, std::size_t at) { std::memcpy(&d[at + 2], "7FFFFFF0", 8); }},
        {"pointer to itself",
         [](std::string& d, std::size_t at) {
             char hex[9];
             std::snprintf(hex, sizeof hex, "%08zX", at);
             std::memcpy(&d[at + 2], hex, 8);
         }},
        {"foreign key", [hl](std::string& d, std::size_t at) { d[at + hl + 1] ^= 1; }},
        {"newline", [](std::string& d, std::size_t at) { d[d.find('\n', at)] = ' '; }},
    };
    for (const damage& dm : damages) {
        SCOPED_TRACE(dm.what);
        std::string data = clean;
        // Damage line 5 of D7 and line 0 of D20.
        dm.apply(data, find_record(data, "LINE-5-OF-CPU1#D7"));
        dm.apply(data, find_record(data, "LINE-0-OF-CPU1#D20"));
        write_file(path, data);
        h_.reset();
        h_ = open_db(GetParam());
        auto all = [](std::size_t) { return -1; };
        std::int16_t rc = 0;
        const std::vector<seen_schedule> scanned = scan(all, &rc);
        ASSERT_EQ(rc, DB_OK) << error_of(h_.get());
        const std::vector<seen_schedule> walked = walk(all);
        expect_same(walked, scanned);
        expect_same(walked, read_each(walked, true));
    }
}

TEST_P(ScanTest, AHeaderTheWalkWouldRejectFailsTheScan) {
    store({{"CPU1#A", "SCHEDULE CPU1#A\nEND\n"}, {"CPU1#B", "SCHEDULE CPU1#B\nEND\n"}});
    const std::string path = db_file("mastsked");
    std::string data = read_file(path);
    // B's header record names another schedule than its index key.
    const std::size_t at = data.find("DM", ISAM_HEADER_SIZE);
    const std::size_t b = data.find("DM", at + 2);
    ASSERT_NE(b, std::string::npos);
    const std::size_t name = data.find("CPU1", b);
    ASSERT_LT(name - b, 40u);
    data[name + static_cast<std::size_t>(width_)] = 'Z';
    write_file(path, data);
    h_.reset();
    h_ = open_db(GetParam());
    auto all = [](std::size_t) { return -1; };
    std::int16_t rc = 0;
    scan(all, &rc);
    EXPECT_NE(rc, DB_OK);
}

TEST_P(ScanTest, NeedsTheScheduleLock) {
    store({{"CPU1#A", "SCHEDULE CPU1#A\nEND\n"}});
    struct none : db_schedule_scan_visitor {
        bool schedule(std::size_t, const sched_header&, db_schedule_lines&) override {
            ADD_FAILURE() << "visited without the lock";
            return true;
        }
    } v;
    std::size_t count = 0;
    EXPECT_NE(db_scan_schedules(h_.get(), "@", "@", v, &count), DB_OK);
}

}  // namespace
