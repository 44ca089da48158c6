// Reading detail records in place (isam_read_view) must be indistinguishable
// from copying them out (isam_read), under the lock from the read-ahead and
// outside it from the file: the same records, the same codes and failure
// positions on damaged chains, and the same slot state after every read.
#include <vector>

#include "keyed_testutil.h"
#include "platform/faults.h"

using namespace keyed_test;

namespace {

constexpr int kMasterLine = 10 + 82 + 1;
constexpr int kDetailLine = 10 + 182 + 1;

struct Line {
    long pos;
    std::string type;  // the two type characters
    std::string name;  // the schedule name field
    int number;        // line number (details)
};

// The record lines of a schedule layout file, in file order.
std::vector<Line> layout_of(const std::string& bytes) {
    std::vector<Line> out;
    std::size_t at = ISAM_HEADER_SIZE;
    while (at < bytes.size()) {
        const bool master = bytes[at + 1] == 'M';
        const std::size_t len = master ? kMasterLine : kDetailLine;
        Line l{static_cast<long>(at), bytes.substr(at, 2), bytes.substr(at + 18, 8), 0};
        if (!master) l.number = std::stoi(bytes.substr(at + 26, 6));
        out.push_back(l);
        at += len;
    }
    return out;
}

long position_of(const std::vector<Line>& lines, const std::string& name, int number) {
    for (const Line& l : lines)
        if (l.type == "D1" && l.name == pad(name, 8) && l.number == number) return l.pos;
    return -1;
}

std::string hex8(long v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08lX", v);
    return buf;
}

// Every chain read record by record, with what the handle says after each
// read; one more read follows the first failure of a chain.
struct Walk {
    std::vector<std::string> steps;
    std::vector<std::pair<int, long>> failures;  // code and position of each chain's end
};

std::string slot_state(const isam_handle* h, int n) {
    const isam_slot& s = h->slots[static_cast<std::size_t>(n)];
    return std::to_string(s.state) + " " + std::to_string(s.current) + " " +
           std::to_string(s.previous) + " " + std::to_string(s.steps) + " " +
           std::to_string(s.resume) + " [" + std::string(s.header.data()) + "] [" +
           std::string(s.key.data(), s.key.size()) + "]";
}

int read_detail_rec(isam_handle* h, bool view, int mode, std::string* rec) {
    rec->clear();
    const int rl = isam_record_length(h, 1);
    if (!view) {
        std::string buf(static_cast<std::size_t>(rl), '\0');
        const int c = isam_read(h, buf.data(), mode, nullptr, 1);
        if (c == 0) *rec = buf;
        return c;
    }
    const char* at = nullptr;
    const int c = isam_read_view(h, &at, mode, nullptr, 1);
    if (c == 0) rec->assign(at, static_cast<std::size_t>(rl));
    if (c != 0 && at != nullptr) return 1000;  // a failure must hand nothing out
    return c;
}

Walk walk(const std::string& path, bool view, bool locked) {
    Walk w;
    isam_ptr h = open_file(path);
    if (!h) return w;
    if (locked && isam_lock(h.get(), 0) != 0) return w;
    std::string rec;
    for (int m = read_rec(h.get(), 0, ISAM_READ_FIRST, "", &rec); m == 0;
         m = read_rec(h.get(), 0, ISAM_READ_NEXT, "", &rec)) {
        int c = read_detail_rec(h.get(), view, ISAM_READ_FIRST, &rec);
        for (int i = 0; i < 2000; ++i) {
            std::int16_t code = 0;
            int err = 0;
            std::int64_t detail = 0;
            isam_status(h.get(), &code, &err, &detail);
            w.steps.push_back(std::to_string(c) + " " + std::to_string(code) + " " +
                              std::to_string(detail) + " " + std::to_string(err) + " " +
                              slot_state(h.get(), 1) + " " + rec);
            if (c != 0) {
                w.failures.emplace_back(c, static_cast<long>(detail));
                break;
            }
            c = read_detail_rec(h.get(), view, ISAM_READ_NEXT, &rec);
        }
        // After the failure: the state the slot was left in decides.
        c = read_detail_rec(h.get(), view, ISAM_READ_NEXT, &rec);
        w.steps.push_back("after " + std::to_string(c) + " " + slot_state(h.get(), 1) + rec);
        c = read_detail_rec(h.get(), view, ISAM_READ_CURRENT, &rec);
        w.steps.push_back("current " + std::to_string(c) + " " + slot_state(h.get(), 1) + rec);
    }
    if (locked) isam_unlock(h.get());
    return w;
}

// Masters and lines appended in turns, so that chains jump about the file;
// one chain is longer than the longest read-ahead run.
class KeyedView : public testing::Test {
  protected:
    void SetUp() override {
        sample = dir.file("sample");
        path = dir.file("work");
        isam_ptr h = create_file(sample, sched_desc());
        ASSERT_TRUE(h);
        ASSERT_EQ(isam_lock(h.get(), 0), 0);
        const std::vector<std::pair<std::string, int>> schedules = {
            {"ALPHA", 3}, {"BETA", 0}, {"GAMMA", 7}, {"LONG", 420}, {"OMEGA", 1}};
        for (const auto& [name, lines] : schedules)
            ASSERT_EQ(add_rec(h.get(), 0, sched_master("WS", name, "hdr")), 0);
        std::string rec;
        for (int n = 1; n <= 420; ++n) {
            for (const auto& [name, lines] : schedules) {
                if (n > lines) continue;
                ASSERT_EQ(read_rec(h.get(), 0, ISAM_READ_EXACT, pad("WS", 8) + pad(name, 8), &rec),
                          0);
                ASSERT_EQ(add_rec(h.get(), 1, sched_line("WS", name, n, "text " + name)), 0);
            }
        }
        ASSERT_EQ(isam_unlock(h.get()), 0);
        h.reset();
        bytes = slurp(sample);
        lines = layout_of(bytes);
    }
    void TearDown() override { plat::fault_disarm(); }

    // A copy of the sample with bytes replaced.
    void damaged(long pos, const std::string& with) {
        std::filesystem::copy_file(sample, path, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::copy_file(sample + ".KEY", path + ".KEY",
                                   std::filesystem::copy_options::overwrite_existing);
        if (pos >= 0) patch(path, static_cast<std::size_t>(pos), with);
    }

    // All four ways of walking agree; the first one's walk.
    Walk agreed() {
        const Walk copied = walk(path, false, false);
        EXPECT_FALSE(copied.steps.empty());
        for (bool view : {false, true})
            for (bool locked : {false, true}) {
                SCOPED_TRACE(std::string(view ? "view" : "copy") + (locked ? " locked" : ""));
                const Walk other = walk(path, view, locked);
                EXPECT_EQ(other.steps, copied.steps);
            }
        return copied;
    }

    ScratchDir dir;
    std::string sample, path, bytes;
    std::vector<Line> lines;
};

}  // namespace

TEST_F(KeyedView, SoundChainsReadTheSameEveryWay) {
    damaged(-1, "");
    const Walk w = agreed();
    // 431 lines and one end per schedule.
    EXPECT_EQ(w.steps.size(), 431u + 5u * 3u);
    for (const auto& [code, pos] : w.failures)
        EXPECT_EQ(code, ISAM_E_NOT_FOUND);
}

TEST_F(KeyedView, DamagedChainsFailAtTheSamePlaceEveryWay) {
    const long gamma4 = position_of(lines, "GAMMA", 4);
    const long long300 = position_of(lines, "LONG", 300);
    const long long2 = position_of(lines, "LONG", 2);
    ASSERT_GT(gamma4, 0);
    ASSERT_GT(long300, 0);
    const long size = static_cast<long>(bytes.size());
    struct Case {
        const char* what;
        long at;           // damaged bytes
        std::string with;  // their replacement
        int code;          // the failure that ends the damaged chain
        long where;        // and its position (-1: not checked)
    };
    const std::vector<Case> cases = {
        {"wrong type", gamma4, "D2", ISAM_E_WRONG_TYPE, gamma4},
        {"master type", long300, "DM", ISAM_E_WRONG_TYPE, long300},
        {"deleted line", gamma4, "  ", ISAM_E_WRONG_TYPE, gamma4},
        {"pointer not hexadecimal", gamma4 + 2, "0000G000", ISAM_E_WRONG_TYPE, gamma4},
        {"pointer into the file header", long300 + 2, "00000010", ISAM_E_WRONG_TYPE, long300},
        {"foreign key", gamma4 + 10 + 8, "OMEGA   ", ISAM_E_WRONG_TYPE, gamma4},
        {"line end missing", gamma4 + kDetailLine - 1, "X", ISAM_E_WRONG_TYPE, gamma4},
        {"pointer past the end", long300 + 2, hex8(size + 4000), ISAM_E_READ, size + 4000},
        {"pointer into a line", gamma4 + 2, hex8(long2 + 7), ISAM_E_WRONG_TYPE, long2 + 7},
        {"chain loop", long300 + 2, hex8(long2), ISAM_E_WRONG_TYPE, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        damaged(c.at, c.with);
        const Walk w = agreed();
        int damaged_ends = 0;
        for (const auto& [code, pos] : w.failures) {
            if (code == ISAM_E_NOT_FOUND) continue;
            ++damaged_ends;
            EXPECT_EQ(code, c.code);
            if (c.where >= 0) {
                EXPECT_EQ(pos, c.where);
            }
        }
        EXPECT_EQ(damaged_ends, 1);
    }
}

// A read failing at any system call of a locked walk fails the same way
// whether the record is copied or viewed.
TEST_F(KeyedView, FailedReadsOfTheFileFailTheSameWay) {
    damaged(-1, "");
    auto faulted = [&](bool view, unsigned long n, bool* reached) {
        isam_ptr h = open_file(path);
        std::vector<std::string> out;
        if (!h || isam_lock(h.get(), 0) != 0) return out;
        std::string rec;
        plat::fault_arm(plat::FaultOp::any, n, EIO);
        int c = read_rec(h.get(), 0, ISAM_READ_EXACT, pad("WS", 8) + pad("LONG", 8), &rec);
        for (int mode = ISAM_READ_FIRST, i = 0; c == 0 && i < 500; mode = ISAM_READ_NEXT, ++i) {
            c = read_detail_rec(h.get(), view, mode, &rec);
            std::int16_t code = 0;
            int err = 0;
            std::int64_t detail = 0;
            isam_status(h.get(), &code, &err, &detail);
            out.push_back(std::to_string(c) + " " + std::to_string(detail) + " " +
                          std::to_string(err) + " " + slot_state(h.get(), 1) + rec);
        }
        *reached = plat::fault_count(plat::FaultOp::any) >= n;
        plat::fault_disarm();
        isam_unlock(h.get());
        return out;
    };
    int failed = 0;
    for (unsigned long n = 1; n < 40; ++n) {
        SCOPED_TRACE(n);
        bool reached_copy = false, reached_view = false;
        const auto copied = faulted(false, n, &reached_copy);
        const auto viewed = faulted(true, n, &reached_view);
        EXPECT_EQ(viewed, copied);
        EXPECT_EQ(reached_view, reached_copy);
        if (!reached_copy) break;
        if (!copied.empty() && copied.back().rfind("11 ", 0) == 0) ++failed;
    }
    EXPECT_GE(failed, 1);  // some fault hit a read of the lines
}
