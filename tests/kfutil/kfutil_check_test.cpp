// "kfutil check" on damaged files: each kind of damage gives its own fault
// lines and exit status 1, and no damage makes the checker (or the dump)
// crash or hang.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tests/kfutil/kf_testutil.h"

namespace {

using namespace kftest;

// Two detail kinds: kind 1 with a 4-byte sub-key, kind 2 without one.
// Line lengths: master 39, kind 1 49, kind 2 44 bytes.
const char kLayout[] = "20,0,8:30,8,4:25,8,0";

class KfutilCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        base_ = dir_.file("base");
        RunResult r = run_kfutil({"create", base_, "sample", "1", kLayout});
        ASSERT_EQ(r.status, 0) << r;
        r = run_kfutil({"batch", base_},
                       "lock\n"
                       "add 0 AAAAAAAAmaster-a\n"
                       "read 0 3 AAAAAAAA\n"
                       "add 1 AAAAAAAA0002d1-two\n"
                       "add 1 AAAAAAAA0001d1-one\n"
                       "add 1 AAAAAAAA0003d1-three\n"
                       "add 2 AAAAAAAAnote-x\n"
                       "add 0 BBBBBBBBmaster-b\n"
                       "read 0 3 BBBBBBBB\n"
                       "add 1 BBBBBBBB0001b-one\n"
                       "unlock\n");
        ASSERT_EQ(r.status, 0) << r;
        recs_ = dump_records(base_);
        ASSERT_EQ(recs_.size(), 7u);
        ASSERT_EQ(recs_[0].pos, 94);  // master A, then its details in the order added
        const RunResult c = run_kfutil({"check", base_});
        ASSERT_EQ(c.status, 0) << c;
    }

    // A copy of the sound pair to damage.
    std::string copy(const std::string& name) {
        const std::string path = dir_.file(name);
        std::filesystem::copy_file(base_, path);
        std::filesystem::copy_file(base_ + ".KEY", path + ".KEY");
        return path;
    }

    // Runs the check and expects a failure with exactly the given fault
    // lines (in any order), or at least the given ones when exact is false.
    void expect_faults(const std::string& path, const std::vector<std::string>& faults,
                       bool exact = true) {
        const RunResult r = run_kfutil({"check", path});
        EXPECT_EQ(r.status, 1) << r;
        const std::vector<std::string> lines = lines_of(r.out);
        if (exact) {
            EXPECT_EQ(lines.size(), faults.size()) << r;
        }
        for (const std::string& f : faults) {
            EXPECT_TRUE(std::find(lines.begin(), lines.end(), f) != lines.end())
                << "missing: " << f << "\n"
                << r;
        }
    }

    std::int64_t pos(std::size_t i) const { return recs_.at(i).pos; }

    TempDir dir_;
    std::string base_;
    std::vector<DumpLine> recs_;
};

TEST_F(KfutilCheck, FindsDamagedRecordLines) {
    // A flipped type character: the line is unknown, the chain through it is
    // broken, and the detail after it hangs nowhere.
    std::string f = copy("type");
    patch_file(f, pos(1), "X");
    expect_faults(
        f, {"record at " + hex8(pos(1)) + ": unknown record type \"X1\"",
            "chain of kind 1 of the master at 0000005E: the pointer " + hex8(pos(1)) +
                " in record at " + hex8(pos(2)) + " leads to a broken record line",
            "record at " + hex8(pos(3)) + " (D1): the detail record is in no chain of a master"});

    // Cut in the middle of the last record.
    f = copy("short");
    std::filesystem::resize_file(f, static_cast<std::uintmax_t>(pos(6) + 20));
    expect_faults(
        f,
        {"record at " + hex8(pos(6)) + " (D1): the file ends 20 bytes into its 49-byte record line",
         "chain of kind 1 of the master at " + hex8(pos(5)) + ": the pointer " + hex8(pos(6)) +
             " in record at " + hex8(pos(5)) + " leads to a broken record line"});

    // A pointer field that is not hexadecimal, and a newline lost.
    f = copy("syntax");
    patch_file(f, pos(4) + 15, "x");
    patch_file(f, pos(5) + 38, "#");
    expect_faults(
        f, {"record at " + hex8(pos(4)) +
                " (D2): pointer field 2 \"00000x00\" is not 8 upper-case hex digits",
            "record at " + hex8(pos(5)) + " (DM): the record line does not end in a newline"});

    // Not a keyed data file at all: one fault, nothing else is examined.
    f = copy("magic");
    patch_file(f, 0, "XH");
    expect_faults(f, {"header: the file does not begin with \"AH\" (found \"XH\"); it is not a "
                      "keyed data file"});

    // A header too short and a header with an impossible layout.
    f = copy("tiny");
    std::filesystem::resize_file(f, 50);
    expect_faults(f, {"header: the file is 50 bytes, shorter than its 94-byte header"}, false);
    f = copy("layout");
    patch_file(f, 30, "0005");  // master records of 5 bytes cannot hold their 8-byte key
    expect_faults(f, {"header: slot 0: key at offset 0 of length 8 lies outside its 5-byte record"},
                  false);
}

TEST_F(KfutilCheck, FindsBrokenChains) {
    // The master's head pointer one byte off a record start.
    std::string f = copy("pointer");
    patch_file(f, pos(0) + 2, hex8(pos(2) + 1));
    expect_faults(
        f, {"chain of kind 1 of the master at 0000005E: the pointer " + hex8(pos(2) + 1) +
                " in record at 0000005E is not the start of a record",
            "record at " + hex8(pos(1)) + " (D1): the detail record is in no chain of a master",
            "record at " + hex8(pos(2)) + " (D1): the detail record is in no chain of a master",
            "record at " + hex8(pos(3)) + " (D1): the detail record is in no chain of a master"});

    // The last detail pointing back to the head: a cycle.
    f = copy("cycle");
    patch_file(f, pos(3) + 2, hex8(pos(2)));
    expect_faults(f, {"chain of kind 1 of the master at 0000005E: the pointer in record at " +
                      hex8(pos(3)) + " loops back to record at " + hex8(pos(2))});

    // A chain running into the other master's chain.
    f = copy("shared");
    patch_file(f, pos(3) + 2, hex8(pos(6)));
    expect_faults(f, {"chain of kind 1 of the master at " + hex8(pos(5)) + ": record at " +
                          hex8(pos(6)) + " is also in the chain of the master at 0000005E",
                      "chain of kind 1 of the master at 0000005E: record at " + hex8(pos(6)) +
                          " has the master key \"BBBBBBBB\", not \"AAAAAAAA\""});

    // A pointer to a record of the wrong kind, and sub-keys out of order.
    f = copy("kind");
    patch_file(f, pos(0) + 10, hex8(pos(5)));
    patch_file(f, pos(3) + 18 + 8, "0000");
    expect_faults(
        f, {"chain of kind 2 of the master at 0000005E: the pointer " + hex8(pos(5)) +
                " in record at 0000005E leads to a master record",
            "record at " + hex8(pos(4)) + " (D2): the detail record is in no chain of a master",
            "chain of kind 1 of the master at 0000005E: record at " + hex8(pos(3)) +
                " with sub-key \"0000\" follows the greater sub-key \"0002\""});

    // A deleted detail still linked from its chain.
    f = copy("deleted");
    patch_file(f, pos(4), std::string(18, ' '));
    expect_faults(f, {"chain of kind 2 of the master at 0000005E: the pointer " + hex8(pos(4)) +
                      " in record at 0000005E leads to a deleted record"});
}

TEST_F(KfutilCheck, ComparesTheIndexWithTheMasters) {
    // A key taken out of the index, through the program itself.
    std::string f = copy("unindexed");
    ASSERT_EQ(run_kfutil({"batch", f}, "bt-delete AAAAAAAA\n").out, "ok\n");
    expect_faults(f, {"record at 0000005E (DM): master key \"AAAAAAAA\" is not in the index"});

    // A key whose position is another master's.
    f = copy("moved");
    ASSERT_EQ(
        run_kfutil({"batch", f}, "bt-insert AAAAAAAA " + std::to_string(pos(5)) + " replace\n").out,
        "ok\n");
    expect_faults(f, {"index: key \"AAAAAAAA\" -> " + hex8(pos(5)) +
                      ": the master with this key is at 0000005E"});

    // A master whose record was deleted behind the index's back.
    f = copy("ghost");
    patch_file(f, pos(5), "  ");
    expect_faults(
        f, {"index: key \"BBBBBBBB\" -> " + hex8(pos(5)) +
                ": no live master has this key, and the position holds a deleted record",
            "record at " + hex8(pos(6)) + " (D1): the detail record is in no chain of a master"});
}

TEST_F(KfutilCheck, PassesOnIndexFaults) {
    // The root leaf claims more keys than a page holds.
    std::string f = copy("page");
    patch_file(f + ".KEY", 512 + 12, std::string("\x7f\xff\xff\xff", 4));
    const RunResult page = run_kfutil({"check", f});
    EXPECT_EQ(page.status, 1) << page;
    EXPECT_TRUE(contains(page.out, "index: page 512 is corrupt")) << page;
    for (const std::string& l : lines_of(page.out))
        EXPECT_EQ(l.rfind("index: ", 0), 0u) << l;

    f = copy("imagic");
    patch_file(f + ".KEY", 0, std::string("\0\0\0\0", 4));
    expect_faults(f, {"index: bad magic number 0 (expected 72251)"});

    f = copy("nokey");
    std::filesystem::remove(f + ".KEY");
    const RunResult nokey = run_kfutil({"check", f});
    EXPECT_EQ(nokey.status, 1);
    ASSERT_EQ(lines_of(nokey.out).size(), 1u) << nokey;
    EXPECT_EQ(nokey.out.rfind("index: cannot open ", 0), 0u) << nokey;
}

TEST_F(KfutilCheck, SurvivesHostileFiles) {
    std::mt19937 rng(20240607);
    const std::string data = read_file(base_);
    const std::string index = read_file(base_ + ".KEY");
    const std::string f = dir_.file("hostile");
    const auto run_both = [&](const std::string& what) {
        for (const char* cmd : {"check", "dump"}) {
            SCOPED_TRACE(what + " " + cmd);
            const RunResult r = run_kfutil({cmd, f});
            EXPECT_LE(r.status, 1) << what << " " << cmd << "\n" << r;
            if (std::string(cmd) == "check" && r.status == 1) {
                EXPECT_FALSE(contains(r.out, ": sound:")) << what;
            }
        }
    };
    std::uniform_int_distribution<int> byte(0, 255);
    const std::string loaded_bytes = "DM12  0\n\x7f\xff";
    for (int round = 0; round < 40; ++round) {
        std::string d = data, k = index;
        const int flips = 1 + round % 4;
        for (int i = 0; i < flips; ++i) {
            std::string& target = (round % 3 == 2) ? k : d;
            const std::size_t at =
                std::uniform_int_distribution<std::size_t>(0, target.size() - 1)(rng);
            target[at] = (round % 2 == 0) ? static_cast<char>(byte(rng))
                                          : loaded_bytes[std::uniform_int_distribution<std::size_t>(
                                                0, loaded_bytes.size() - 1)(rng)];
        }
        if (round % 5 == 4) d.resize(std::uniform_int_distribution<std::size_t>(0, d.size())(rng));
        write_file(f, d);
        write_file(f + ".KEY", k);
        run_both("round " + std::to_string(round));
    }
    // Pure noise behind a valid header, and a file of nothing.
    std::string noise = data.substr(0, 94);
    for (int i = 0; i < 5000; ++i)
        noise += static_cast<char>(byte(rng));
    write_file(f, noise);
    run_both("noise");
    write_file(f, "");
    write_file(f + ".KEY", "");
    run_both("empty");
}

}  // namespace
