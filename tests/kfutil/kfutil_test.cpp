// The keyed-file utility run as a program: creating, dumping, record and
// index operations in batches, rebuild, zap, and the update lock between two
// processes.
#include <gtest/gtest.h>

#include "tests/kfutil/kf_testutil.h"

namespace {

using namespace kftest;

// The schedule file layout: 82-byte masters keyed by their first 16 bytes,
// 182-byte details with a 6-byte sub-key after the master key.
const std::vector<std::string> kScheduleLayout = {"mastsked", "0", "82,0,16:182,16,6"};

std::string create(const TempDir& dir, const std::string& name = "mastsked") {
    const std::string path = dir.file(name);
    std::vector<std::string> args{"create", path};
    args.insert(args.end(), kScheduleLayout.begin(), kScheduleLayout.end());
    const RunResult r = run_kfutil(args);
    EXPECT_EQ(r.status, 0) << r;
    return path;
}

// The result line of a read: the record padded with blanks, in quotes.
std::string ok_record(const std::string& text, std::size_t length) {
    return "ok \"" + text + std::string(length - text.size(), ' ') + "\"";
}

RunResult batch(const std::string& path, const std::string& ops) {
    return run_kfutil({"batch", path}, ops);
}

TEST(KfutilCreate, WritesTheHeaderAndAnEmptyIndex) {
    TempDir dir;
    const std::string path = create(dir);
    const std::string expected = std::string("AH0001") + "0000" + "mastsked        " + "0001" +
                                 "005200000010" + "00B600100006" + std::string(39, ' ') + "\n";
    ASSERT_EQ(expected.size(), 94u);
    EXPECT_EQ(read_file(path), expected);
    EXPECT_EQ(read_file(path + ".KEY").size(), 1024u);

    const RunResult d = run_kfutil({"dump", path});
    EXPECT_EQ(d.status, 0) << d;
    EXPECT_TRUE(contains(d.out, "header: version 0001, format 0000, name \"mastsked\", 1 detail"))
        << d;
    EXPECT_TRUE(contains(d.out, "slot 0: record length 82, key offset 0, key length 16")) << d;
    EXPECT_TRUE(contains(d.out, "slot 1: record length 182, key offset 16, key length 6")) << d;
    EXPECT_TRUE(contains(d.out, "index: depth 1, 0 keys")) << d;

    const RunResult c = run_kfutil({"check", path});
    EXPECT_EQ(c.status, 0) << c;
    EXPECT_EQ(lines_of(c.out).size(), 1u) << c;
}

TEST(KfutilCreate, RefusesExistingFilesAndBadArguments) {
    TempDir dir;
    const std::string path = create(dir);
    const std::string before = read_file(path);
    const RunResult again = run_kfutil({"create", path, "mastsked", "0", "82,0,16:182,16,6"});
    EXPECT_EQ(again.status, 1) << again;
    EXPECT_EQ(read_file(path), before);

    const std::string other = dir.file("other");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"create", other, "name-longer-than-16", "0", "10,0,4"},
             {"create", other, "x", "65536", "10,0,4"},
             {"create", other, "x", "0", "10,0,4:10,4,2:10,4,2:10,4,2"},  // three detail kinds
             {"create", other, "x", "0", "10,8,4"},                       // key outside the record
             {"create", other, "x", "0", "10,0,0"},                       // no master key
             {"create", other, "x", "0", "10,0,8:6,0,0"},  // detail cannot hold the master key
             {"create", other, "x", "0", "10;0;4"},
             {"create", other, "x", "0"},
             {"frobnicate", other},
             {}}) {
        const RunResult r = run_kfutil(args);
        EXPECT_EQ(r.status, 2) << r;
        EXPECT_TRUE(contains(r.err, "usage")) << r;
    }
    EXPECT_FALSE(std::filesystem::exists(other));

    const RunResult help = run_kfutil({"help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(contains(help.out, "kfutil batch PATH"));
}

TEST(KfutilBatch, RecordsRoundTrip) {
    TempDir dir;
    const std::string path = create(dir);
    // Details of one master added out of order come back in sub-key order;
    // a replace keeps the key, a delete removes the record.
    const RunResult r = batch(path,
                              "lock\n"
                              "add 0 \"CPU1    SCHED-B master b\"\n"
                              "add 0 \"CPU1    SCHED-A master a\"\n"
                              "read 0 3 \"CPU1    SCHED-A \"\n"
                              "add 1 \"CPU1    SCHED-A 000003 third\"\n"
                              "add 1 \"CPU1    SCHED-A 000001 first\"\n"
                              "add 1 \"CPU1    SCHED-A 000002 second\"\n"
                              "unlock\n"
                              "# reads\n"
                              "read 0 0\n"
                              "read 0 1\n"
                              "read 0 1\n"
                              "read 0 4 \"CPU1    SCHED-AA\"\n"
                              "read 0 3 \"CPU1    SCHED-A \"\n"
                              "read 1 0\n"
                              "read 1 1\n"
                              "read 1 1\n"
                              "read 1 1\n");
    ASSERT_EQ(r.status, 1) << r;  // the read past the end is a failed operation
    const std::vector<std::string> out = lines_of(r.out);
    const std::string a = ok_record("CPU1    SCHED-A master a", 82);
    const std::string b = ok_record("CPU1    SCHED-B master b", 82);
    const std::vector<std::string> expected = {"ok",
                                               "ok",
                                               "ok",
                                               a,
                                               "ok",
                                               "ok",
                                               "ok",
                                               "ok",
                                               a,
                                               b,
                                               "",
                                               b,
                                               a,
                                               ok_record("CPU1    SCHED-A 000001 first", 182),
                                               ok_record("CPU1    SCHED-A 000002 second", 182),
                                               ok_record("CPU1    SCHED-A 000003 third", 182),
                                               ""};
    ASSERT_EQ(out.size(), expected.size()) << r;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (expected[i].empty()) {
            EXPECT_EQ(out[i].rfind("err 8 ", 0), 0u) << i << ": " << out[i];
        } else {
            EXPECT_EQ(out[i], expected[i]) << i;
        }
    }
    EXPECT_TRUE(contains(out[10], "[1110.8]") || contains(out[10], "not found")) << out[10];

    const RunResult u = batch(path,
                              "lock\n"
                              "read 0 3 \"CPU1    SCHED-A \"\n"
                              "replace 0 \"CPU1    SCHED-X changed key\"\n"
                              "replace 0 \"CPU1    SCHED-A master a, changed\"\n"
                              "read 1 3 \"CPU1    SCHED-A 000002\"\n"
                              "delete 1\n"
                              "read 0 3 \"CPU1    SCHED-B \"\n"
                              "delete 0\n"
                              "unlock\n"
                              "read 0 0\n"
                              "read 0 1\n"
                              "read 0 0\n"
                              "read 1 0\n"
                              "read 1 1\n"
                              "read 1 1\n");
    const std::vector<std::string> uo = lines_of(u.out);
    ASSERT_EQ(uo.size(), 15u) << u;
    EXPECT_EQ(uo[2].rfind("err 244 ", 0), 0u) << uo[2];
    EXPECT_EQ(uo[3], "ok");
    EXPECT_EQ(uo[9], ok_record("CPU1    SCHED-A master a, changed", 82));
    EXPECT_EQ(uo[10].rfind("err 8 ", 0), 0u) << uo[10];  // master b is gone
    EXPECT_TRUE(contains(uo[12], "000001 first"));
    EXPECT_TRUE(contains(uo[13], "000003 third"));  // 000002 was deleted
    EXPECT_EQ(uo[14].rfind("err 8 ", 0), 0u);

    const RunResult c = run_kfutil({"check", path});
    EXPECT_EQ(c.status, 0) << c;
    EXPECT_TRUE(contains(c.out, "1 masters, 2 details, 2 deleted records")) << c;
}

TEST(KfutilBatch, UpdatesOutsideALockTakeItThemselves) {
    TempDir dir;
    const std::string path = create(dir);
    // Each update below runs under a lock of its own; the record it works on
    // was read before that lock and is read again under it.
    const RunResult r = batch(path,
                              "add 0 \"CPU1    JOB1    one\"\n"
                              "read 0 3 \"CPU1    JOB1    \"\n"
                              "add 1 \"CPU1    JOB1    000001 d1\"\n"
                              "add 1 \"CPU1    JOB1    000002 d2\"\n"
                              "read 1 3 \"CPU1    JOB1    000001\"\n"
                              "replace 1 \"CPU1    JOB1    000001 d1 changed\"\n"
                              "read 1 3 \"CPU1    JOB1    000002\"\n"
                              "delete 1\n"
                              "replace 0 \"CPU1    JOB1    one changed\"\n"
                              "read 0 0\n"
                              "read 1 0\n"
                              "read 1 1\n");
    EXPECT_EQ(r.status, 1) << r;  // only the last read fails
    const std::vector<std::string> out = lines_of(r.out);
    ASSERT_EQ(out.size(), 12u) << r;
    for (int i : {0, 2, 3, 5, 7, 8})
        EXPECT_EQ(out[static_cast<std::size_t>(i)], "ok") << i << r;
    EXPECT_TRUE(contains(out[9], "one changed"));
    EXPECT_TRUE(contains(out[10], "000001 d1 changed"));
    EXPECT_EQ(out[11].rfind("err 8 ", 0), 0u);
    EXPECT_EQ(run_kfutil({"check", path}).status, 0);

    // Without a current record the layer's own refusal comes back.
    const RunResult none = batch(path, "delete 0\n");
    EXPECT_EQ(lines_of(none.out).at(0).rfind("err 246 ", 0), 0u) << none;
}

TEST(KfutilBatch, BadLinesGiveUsageErrors) {
    TempDir dir;
    const std::string path = create(dir);
    const RunResult r = batch(path,
                              "frob\n"
                              "read 0\n"
                              "add 0 \"unclosed\n"
                              "add 0 bad\\qescape\n"
                              "add 0 \"" +
                                  std::string(83, 'x') +
                                  "\"\n"
                                  "lock sideways\n"
                                  "bt-goto middle\n"
                                  "where 7\n"
                                  "   \n"
                                  "format\n");
    EXPECT_EQ(r.status, 1);
    const std::vector<std::string> out = lines_of(r.out);
    ASSERT_EQ(out.size(), 9u) << r;
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_EQ(out[i].rfind("err usage ", 0), 0u) << out[i];
    EXPECT_EQ(out[8], "ok 0");
    const RunResult dump = run_kfutil({"dump", path});
    EXPECT_EQ(lines_of(dump.out).size(), 5u) << dump;  // nothing was added

    // Escapes work both ways: bytes that are not printable survive a round trip.
    const RunResult e = batch(path,
                              "add 0 \"K\\x01\\x02\\\"\\\\ \\xff\"\n"
                              "read 0 0\n");
    ASSERT_EQ(lines_of(e.out).size(), 2u) << e;
    EXPECT_EQ(lines_of(e.out)[1].substr(0, 25), "ok \"K\\x01\\x02\\\"\\\\ \\xFF   ") << e;
}

TEST(KfutilBatch, DrivesTheIndex) {
    TempDir dir;
    const std::string path = create(dir);
    const RunResult r = batch(path,
                              "bt-first\n"
                              "bt-insert beta 20\n"
                              "bt-insert alpha 10\n"
                              "bt-insert gamma -30\n"
                              "bt-insert beta 21\n"
                              "bt-insert beta 22 replace\n"
                              "bt-find beta\n"
                              "bt-find delta\n"
                              "bt-first\n"
                              "bt-next\n"
                              "bt-next\n"
                              "bt-next\n"
                              "bt-last\n"
                              "bt-prev\n"
                              "bt-delete alpha\n"
                              "bt-delete alpha\n"
                              "bt-first\n");
    const std::vector<std::string> out = lines_of(r.out);
    const std::vector<std::string> expected = {"end",
                                               "ok",
                                               "ok",
                                               "ok",
                                               "",
                                               "ok",
                                               "ok 22",
                                               "notfound",
                                               "ok \"alpha\" 10",
                                               "ok \"beta\" 22",
                                               "ok \"gamma\" -30",
                                               "end",
                                               "ok \"gamma\" -30",
                                               "ok \"beta\" 22",
                                               "ok",
                                               "notfound",
                                               "ok \"beta\" 22"};
    ASSERT_EQ(out.size(), expected.size()) << r;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (expected[i].empty()) {
            EXPECT_EQ(out[i], "err 3 duplicate btree key") << i;
        } else {
            EXPECT_EQ(out[i], expected[i]) << i;
        }
    }
    // Keys that belong to no master record are faults of the pair.
    const RunResult c = run_kfutil({"check", path});
    EXPECT_EQ(c.status, 1) << c;
    EXPECT_EQ(lines_of(c.out).size(), 2u) << c;
    EXPECT_TRUE(contains(c.out, "index: key \"beta\" -> 00000016")) << c;
}

TEST(KfutilMaintenance, RebuildDropsDeletedRecords) {
    TempDir dir;
    const std::string path = create(dir);
    std::string ops = "lock\n";
    for (char c = 'A'; c <= 'E'; ++c) {
        const std::string key = std::string("CPU1    JOB") + c + "    ";
        ops += "add 0 \"" + key + "master\"\nread 0 3 \"" + key + "\"\n";
        ops += "add 1 \"" + key + "000002 two\"\nadd 1 \"" + key + "000001 one\"\n";
    }
    ops += "read 0 3 \"CPU1    JOBB    \"\ndelete 0\n";
    ops += "read 0 3 \"CPU1    JOBD    \"\nread 1 0\ndelete 1\nunlock\n";
    const RunResult b = batch(path, ops);
    ASSERT_EQ(b.status, 0) << b;
    const std::size_t before = read_file(path).size();
    EXPECT_EQ(before, 94u + 5 * 93 + 10 * 193);

    const RunResult rb = run_kfutil({"rebuild", path});
    ASSERT_EQ(rb.status, 0) << rb;
    EXPECT_EQ(read_file(path).size(), 94u + 4 * 93 + 7 * 193);
    const RunResult c = run_kfutil({"check", path});
    EXPECT_EQ(c.status, 0) << c;
    EXPECT_TRUE(contains(c.out, "4 masters, 7 details, 0 deleted records")) << c;
    for (const DumpLine& l : dump_records(path))
        EXPECT_NE(l.type, "deleted");

    const RunResult rd = batch(path,
                               "read 0 0\nread 0 1\nread 0 1\nread 0 1\nread 0 1\n"
                               "read 0 3 \"CPU1    JOBD    \"\nread 1 0\nread 1 1\n");
    const std::vector<std::string> out = lines_of(rd.out);
    ASSERT_EQ(out.size(), 8u) << rd;
    EXPECT_TRUE(contains(out[0], "JOBA"));
    EXPECT_TRUE(contains(out[1], "JOBC"));
    EXPECT_TRUE(contains(out[2], "JOBD"));
    EXPECT_TRUE(contains(out[3], "JOBE"));
    EXPECT_EQ(out[4].rfind("err 8 ", 0), 0u);
    EXPECT_TRUE(contains(out[6], "000002 two"));
    EXPECT_EQ(out[7].rfind("err 8 ", 0), 0u);
}

TEST(KfutilMaintenance, ZapEmptiesTheFileUnlessItIsInUse) {
    TempDir dir;
    const std::string path = create(dir);
    ASSERT_EQ(batch(path, "add 0 \"CPU1    JOB1    x\"\nadd 0 \"CPU1    JOB2    y\"\n").status, 0);
    {
        BatchProcess user(path);
        ASSERT_EQ(user.ask("format"), "ok 0");
        const RunResult busy = run_kfutil({"zap", path});
        EXPECT_EQ(busy.status, 1) << busy;
        EXPECT_TRUE(contains(busy.err, "1110.481") || contains(busy.err, "refused")) << busy;
        EXPECT_GT(read_file(path).size(), 94u);
    }
    const RunResult z = run_kfutil({"zap", path});
    EXPECT_EQ(z.status, 0) << z;
    EXPECT_EQ(read_file(path).size(), 94u);
    const RunResult c = run_kfutil({"check", path});
    EXPECT_EQ(c.status, 0) << c;
    EXPECT_TRUE(contains(c.out, "0 masters, 0 details, 0 deleted records; index of depth 1 with 0"))
        << c;
}

TEST(KfutilMaintenance, ReplacesALostIndexWhenRebuilding) {
    TempDir dir;
    const std::string path = create(dir);
    ASSERT_EQ(batch(path, "add 0 \"CPU1    JOB1    x\"\n").status, 0);
    std::filesystem::remove(path + ".KEY");
    const RunResult open = batch(path, "read 0 0\n");
    EXPECT_EQ(open.status, 1) << open;
    EXPECT_TRUE(contains(open.err, "1110.34") || contains(open.err, "index")) << open;
    const RunResult rb = run_kfutil({"rebuild", path});
    EXPECT_EQ(rb.status, 0) << rb;
    EXPECT_EQ(run_kfutil({"check", path}).status, 0);
    EXPECT_TRUE(contains(batch(path, "read 0 0\n").out, "CPU1    JOB1    x"));
}

TEST(KfutilLocking, AnUpdaterWaitsForTheLockHolder) {
    TempDir dir;
    const std::string path = create(dir);
    BatchProcess holder(path);
    ASSERT_EQ(holder.ask("lock"), "ok");

    BatchProcess waiter(path);
    // An exclusive request is refused at once while the update lock is held.
    EXPECT_EQ(waiter.ask("lock exclusive").rfind("err 15 ", 0), 0u);
    // An update takes the update lock for itself and has to wait for it.
    waiter.send("add 0 \"CPU1    SECOND  \"");
    ASSERT_EQ(holder.ask("add 0 \"CPU1    FIRST   \""), "ok");
    EXPECT_EQ(waiter.result(300), "<timeout>");
    ASSERT_EQ(holder.ask("unlock"), "ok");
    EXPECT_EQ(waiter.result(), "ok");
    EXPECT_EQ(holder.finish(), 0);
    EXPECT_EQ(waiter.finish(), 1);  // its exclusive request was refused

    // The waiter's record was appended after the holder's.
    const std::vector<DumpLine> recs = dump_records(path);
    ASSERT_EQ(recs.size(), 2u);
    const RunResult order = batch(path, "read 0 3 \"CPU1    FIRST   \"\nwhere 0\n");
    EXPECT_EQ(lines_of(order.out).at(1), "ok " + hex8(94));
    EXPECT_EQ(run_kfutil({"check", path}).status, 0);
}

}  // namespace
