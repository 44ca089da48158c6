// File header, opening, files written by hand or by another writer, and
// damaged files.
#include <sys/stat.h>

#include <map>
#include <vector>

#include "btree/btree.h"
#include "keyed_testutil.h"
#include "platform/fileio.h"

using namespace keyed_test;

namespace {

std::string hex(unsigned v, int digits) {
    char b[16];
    std::snprintf(b, sizeof b, "%0*X", digits, v);
    return b;
}

// A file header in the documented layout, for files built by hand.
std::string header_bytes(const isam_file_desc& d, const std::string& version = "0001") {
    std::string h = "AH" + version + hex(static_cast<unsigned>(d.format), 4) + pad(d.name, 16) +
                    hex(static_cast<unsigned>(d.kinds), 4);
    std::string block;
    for (int i = 0; i <= d.kinds; ++i)
        block += hex(static_cast<unsigned>(d.slots[i].record_length), 4) +
                 hex(static_cast<unsigned>(d.slots[i].key_offset), 4) +
                 hex(static_cast<unsigned>(d.slots[i].key_length), 4);
    return h + pad(block, 63) + "\n";
}

std::string rec_line(const std::string& type, const std::vector<unsigned>& ptrs,
                     const std::string& data) {
    std::string s = type;
    for (unsigned p : ptrs)
        s += hex(p, 8);
    return s + data + "\n";
}

// An index with the given keys and positions, written with the index module.
void write_index(const std::string& path, const std::map<std::string, unsigned>& keys) {
    std::filesystem::remove(path);
    btree_ptr bt = btopen(path.c_str(), plat::FH_CREAT, 0600);
    ASSERT_TRUE(bt);
    for (const auto& [k, v] : keys)
        ASSERT_EQ(btinsert(bt.get(), k.data(), static_cast<int>(k.size()),
                           static_cast<std::int32_t>(v), 0),
                  0);
    ASSERT_EQ(btclose(std::move(bt)), 0);
}

int open_code(const std::string& path, isam_file_desc* d, int access = 1, int flags = 0,
              std::string* msg = nullptr) {
    isam_ptr h;
    std::string m;
    int c = isam_open(&h, path.c_str(), d, access, flags, &m);
    if (msg) *msg = m;
    if (c != 0) {
        EXPECT_FALSE(h);
        EXPECT_FALSE(m.empty());
    } else {
        EXPECT_TRUE(m.empty());
    }
    return c;
}

// A small hand-built two-master mastsked-like file with one detail kind:
//   A: details 1, 2 (chain A1 -> A2)   B: no details
struct HandFile {
    std::string path;
    isam_file_desc d = two_kind_desc();
    unsigned posA = 0, posB = 0, posA1 = 0, posA2 = 0;

    explicit HandFile(const ScratchDir& dir) : path(dir.file("hand")) {
        std::string h = header_bytes(d);
        posA = static_cast<unsigned>(h.size());
        unsigned lm = 2 + 16 + 20 + 1, l1 = 2 + 16 + 16 + 1;
        posB = posA + lm;
        posA2 = posB + lm;  // A2 written before A1 in the file
        posA1 = posA2 + l1;
        h += rec_line("DM", {posA1, 0}, tk_master("A", "first"));
        h += rec_line("DM", {0, 0}, tk_master("B", "second"));
        h += rec_line("D1", {0, 0}, tk_one("A", "0002", "two"));
        h += rec_line("D1", {posA2, 0}, tk_one("A", "0001", "one"));
        spit(path, h);
        write_index(path + ".KEY", {{pad("A", 8), posA}, {pad("B", 8), posB}});
    }
};

}  // namespace

TEST(KeyedHeader, NewFileHasTheDocumentedHeader) {
    ScratchDir dir;
    std::string path = dir.file("mastsked");
    {
        isam_ptr h = create_file(path, sched_desc());
        ASSERT_TRUE(h);
        EXPECT_EQ(isam_format(h.get()), 0);
    }
    std::string expect = std::string("AH") + "0001" + "0000" + "mastsked        " + "0001" +
                         "005200000010" + "00B600100006" + std::string(39, ' ') + "\n";
    ASSERT_EQ(expect.size(), 94u);
    EXPECT_EQ(slurp(path), expect);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((path + ".KEY").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(KeyedHeader, FormatValueComesBackFromTheFile) {
    ScratchDir dir;
    std::string path = dir.file("f");
    isam_file_desc d = sched_desc();
    d.format = 0x1A;
    create_file(path, d).reset();
    EXPECT_EQ(slurp(path).substr(6, 4), "001A");
    isam_file_desc again = sched_desc();
    isam_ptr h;
    std::string msg;
    ASSERT_EQ(isam_open(&h, path.c_str(), &again, 1, 0, &msg), 0) << msg;
    EXPECT_EQ(again.format, 0x1A);
    EXPECT_EQ(isam_format(h.get()), 0x1A);
    // Without a description the file's own layout is used.
    isam_ptr h2 = open_file(path);
    EXPECT_EQ(isam_record_length(h2.get(), 0), 82);
    EXPECT_EQ(isam_record_length(h2.get(), 1), 182);
    EXPECT_EQ(isam_key_length(h2.get(), 1), 22);
    EXPECT_EQ(isam_record_length(h2.get(), 2), -1);
}

TEST(KeyedHeader, DescriptionMismatchesAreRefused) {
    ScratchDir dir;
    std::string path = dir.file("mastsked");
    create_file(path, sched_desc()).reset();

    struct Case {
        std::function<void(isam_file_desc&)> change;
        int code;
    };
    const Case cases[] = {
        {[](isam_file_desc& d) { d.slots[1].record_length = 183; }, 353},
        {[](isam_file_desc& d) { d.slots[1].key_offset = 17; }, 354},
        {[](isam_file_desc& d) { d.slots[0].key_length = 15; }, 355},
        {[](isam_file_desc& d) { d.name = "calendars"; }, 26},
        {[](isam_file_desc& d) { d.kinds = 2; }, 28},
    };
    for (const Case& c : cases) {
        isam_file_desc d = sched_desc();
        c.change(d);
        std::string msg;
        EXPECT_EQ(open_code(path, &d, 1, 0, &msg), c.code);
        EXPECT_NE(msg.find(path), std::string::npos) << msg;
    }
    // A shorter name matches over its own length.
    isam_file_desc d = sched_desc();
    d.name = "mast";
    EXPECT_EQ(open_code(path, &d), 0);
}

TEST(KeyedHeader, SlotMismatchNamesTheSlot) {
    ScratchDir dir;
    std::string path = dir.file("mastsked");
    create_file(path, sched_desc()).reset();
    // The detail of a failed open is in its text: message 1110/353 names the
    // record kind. Compare the texts of two mismatches that differ only there.
    isam_file_desc d1 = sched_desc();
    d1.slots[1].record_length = 1;
    isam_file_desc d0 = sched_desc();
    d0.slots[0].record_length = 1;
    std::string m1, m0;
    EXPECT_EQ(open_code(path, &d1, 1, 0, &m1), 353);
    EXPECT_EQ(open_code(path, &d0, 1, 0, &m0), 353);
    EXPECT_NE(m1, m0);
}

TEST(KeyedHeader, VersionAndSignature) {
    ScratchDir dir;
    std::string path = dir.file("v");
    isam_file_desc d = two_kind_desc();
    spit(path, header_bytes(d, "0002"));
    write_index(path + ".KEY", {});
    EXPECT_EQ(open_code(path, &d), 27);
    EXPECT_EQ(open_code(path, nullptr), 27);
    spit(path, header_bytes(d, "0000"));
    EXPECT_EQ(open_code(path, &d), 0);
    std::string h = header_bytes(d);
    h[1] = 'X';
    spit(path, h);
    EXPECT_EQ(open_code(path, &d), 25);
}

TEST(KeyedOpen, MissingFilesAndIndexes) {
    ScratchDir dir;
    std::string path = dir.file("data");
    std::string msg;
    EXPECT_EQ(open_code(path, nullptr, 1, 0, &msg), 19);
    EXPECT_NE(msg.find(path), std::string::npos);
    isam_file_desc d = two_kind_desc();
    // Creation needs both the flag and a description.
    EXPECT_EQ(open_code(path, nullptr, 1, ISAM_OPEN_CREATE), 19);
    EXPECT_EQ(open_code(path, &d, 1, 0), 19);
    EXPECT_FALSE(std::filesystem::exists(path));

    {
        isam_ptr h = create_file(path, d);
        ASSERT_EQ(isam_lock(h.get(), 0), 0);
        ASSERT_EQ(add_rec(h.get(), 0, tk_master("K1")), 0);
        ASSERT_EQ(isam_unlock(h.get()), 0);
    }
    std::filesystem::remove(path + ".KEY");
    EXPECT_EQ(open_code(path, nullptr, 1, 0), 34);
    // An existing data file does not quietly get an empty index.
    EXPECT_EQ(open_code(path, &d, 1, ISAM_OPEN_CREATE), 466);
    EXPECT_FALSE(std::filesystem::exists(path + ".KEY"));
    // Mode 7 asks for one; a rebuild then recovers the keys.
    isam_ptr h;
    ASSERT_EQ(isam_open(&h, path.c_str(), nullptr, 7, 0, &msg), 0) << msg;
    std::string rec;
    EXPECT_EQ(read_rec(h.get(), 0, 0, "", &rec), 8);
    testing::internal::CaptureStdout();
    ASSERT_EQ(isam_rebuild(h.get()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(read_rec(h.get(), 0, 0, "", &rec), 0);
    EXPECT_EQ(rec, tk_master("K1"));

    // A corrupt index is "cannot be opened" as well.
    h.reset();
    spit(path + ".KEY", std::string(1024, 'x'));
    EXPECT_EQ(open_code(path, nullptr, 1, 0), 34);
    ASSERT_EQ(isam_open(&h, path.c_str(), nullptr, 7, 0, &msg), 0) << msg;
}

TEST(KeyedOpen, HandlesAreChecked) {
    EXPECT_EQ(isam_read(nullptr, nullptr, 0, "", 0), 1);
    EXPECT_EQ(isam_lock(nullptr, 0), 1);
    std::string text;
    EXPECT_EQ(isam_error_text(nullptr, &text), 1);
    EXPECT_FALSE(text.empty());
    isam_handle foreign;
    foreign.magic = 1234;
    char buf[8];
    EXPECT_EQ(isam_read(&foreign, buf, 0, "", 0), 2);
    EXPECT_EQ(isam_add(&foreign, buf, 0), 2);
    EXPECT_EQ(isam_unlock(&foreign), 2);
    EXPECT_EQ(isam_zap(&foreign), 2);
    EXPECT_EQ(isam_rebuild(&foreign), 2);
    EXPECT_EQ(isam_format(&foreign), -1);
    EXPECT_EQ(isam_error_text(&foreign, &text), 2);
    EXPECT_FALSE(text.empty());
    std::int16_t code = 0;
    EXPECT_EQ(isam_status(&foreign, &code, nullptr), 2);
    isam_ptr none;
    EXPECT_EQ(isam_close(&none, &text), 1);
    EXPECT_EQ(isam_close(nullptr, nullptr), 1);
}

TEST(KeyedOpen, ErrorTextsCarryPathAndIndexText) {
    ScratchDir dir;
    std::string path = dir.file("e");
    isam_ptr h = create_file(path, two_kind_desc());
    std::string text;
    EXPECT_EQ(isam_error_text(h.get(), &text), 0);
    EXPECT_EQ(text, "");
    // 5: the path and the detail.
    EXPECT_EQ(add_rec(h.get(), 0, tk_master("X")), 5);
    EXPECT_EQ(isam_error_text(h.get(), &text), 5);
    EXPECT_NE(text.find(path), std::string::npos) << text;
    // 461: the path and the index's own text for a duplicate key.
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    ASSERT_EQ(add_rec(h.get(), 0, tk_master("X")), 0);
    EXPECT_EQ(add_rec(h.get(), 0, tk_master("X")), 461);
    EXPECT_EQ(isam_error_text(h.get(), &text), 461);
    EXPECT_NE(text.find(path), std::string::npos) << text;
    EXPECT_NE(text.find("duplicate"), std::string::npos) << text;
    std::int16_t code = 0;
    int err = -1;
    EXPECT_EQ(isam_status(h.get(), &code, &err), 461);
    EXPECT_EQ(code, 461);
    // The next successful call clears it.
    EXPECT_EQ(isam_unlock(h.get()), 0);
    EXPECT_EQ(isam_status(h.get(), &code, &err), 0);
    EXPECT_EQ(err, 0);
}

TEST(KeyedForeignFiles, HandBuiltFileReadsBack) {
    ScratchDir dir;
    HandFile f(dir);
    isam_ptr h = open_file(f.path);
    ASSERT_TRUE(h);
    std::string rec;
    ASSERT_EQ(read_rec(h.get(), 0, 0, "", &rec), 0);
    EXPECT_EQ(rec, tk_master("A", "first"));
    EXPECT_EQ(chain(h.get(), 1),
              (std::vector<std::string>{tk_one("A", "0001", "one"), tk_one("A", "0002", "two")}));
    EXPECT_EQ(chain(h.get(), 2), std::vector<std::string>{});
    ASSERT_EQ(read_rec(h.get(), 1, 3, pad("A", 8) + "0002", &rec), 0);
    EXPECT_EQ(rec, tk_one("A", "0002", "two"));
    ASSERT_EQ(read_rec(h.get(), 0, 1, "", &rec), 0);
    EXPECT_EQ(rec, tk_master("B", "second"));
    EXPECT_EQ(read_rec(h.get(), 1, 0, "", &rec), 8);
    EXPECT_EQ(read_rec(h.get(), 0, 1, "", &rec), 8);

    // Adding to it links into the existing chain in key order.
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    ASSERT_EQ(read_rec(h.get(), 0, 3, pad("A", 8), &rec), 0);
    ASSERT_EQ(add_rec(h.get(), 1, tk_one("A", "0000", "zero")), 0);
    ASSERT_EQ(add_rec(h.get(), 1, tk_one("A", "0003", "three")), 0);
    ASSERT_EQ(isam_unlock(h.get()), 0);
    std::vector<std::string> subs;
    for (const auto& r : chain(h.get(), 1))
        subs.push_back(r.substr(8, 4));
    EXPECT_EQ(subs, (std::vector<std::string>{"0000", "0001", "0002", "0003"}));
}

TEST(KeyedForeignFiles, ReferenceDatabaseReads) {
    for (const char* layout : {"masterdb-short", "masterdb-long"}) {
        SCOPED_TRACE(layout);
        std::string src = std::string(KORVEX_VECTORS_DIR) + "/" + layout;
        if (!std::filesystem::exists(src + "/mastsked")) GTEST_SKIP() << "no reference files";
        ScratchDir dir;
        for (const char* f : {"mastsked", "mastsked.KEY", "calendars", "calendars.KEY"}) {
            std::filesystem::copy_file(src + "/" + f, dir.file(f));
            std::filesystem::permissions(dir.file(f), std::filesystem::perms::owner_read |
                                                          std::filesystem::perms::owner_write);
        }
        for (const char* f : {"mastsked", "calendars"}) {
            std::string path = dir.file(f);
            std::string bytes = slurp(path);
            isam_ptr h = open_file(path);
            ASSERT_TRUE(h);
            const int klen = isam_key_length(h.get(), 0);
            const int dklen = isam_key_length(h.get(), 1);
            // Every master in key order, each chain in ascending key order,
            // and every record line of the file reached exactly once.
            std::size_t masters = 0, details = 0;
            std::string rec, last;
            for (int c = read_rec(h.get(), 0, 0, "", &rec); c == 0;
                 c = read_rec(h.get(), 0, 1, "", &rec)) {
                std::string key = rec.substr(0, static_cast<std::size_t>(klen));
                EXPECT_LT(last, key);
                last = key;
                ++masters;
                std::string prev;
                for (const std::string& d : chain(h.get(), 1)) {
                    EXPECT_EQ(d.substr(0, static_cast<std::size_t>(klen)), key);
                    std::string dk = d.substr(0, static_cast<std::size_t>(dklen));
                    EXPECT_LE(prev, dk);
                    prev = dk;
                    ++details;
                }
                EXPECT_EQ(isam_status(h.get(), nullptr, nullptr), 8);
            }
            std::size_t dm = 0, d1 = 0;
            for (std::size_t p = 94; p < bytes.size(); p = bytes.find('\n', p) + 1) {
                if (bytes.compare(p, 2, "DM") == 0) ++dm;
                if (bytes.compare(p, 2, "D1") == 0) ++d1;
            }
            EXPECT_GT(masters, 0u);
            EXPECT_EQ(masters, dm);
            EXPECT_EQ(details, d1);
        }
        // A known schedule and its first line.
        isam_ptr h = open_file(dir.file("mastsked"));
        const int w = isam_key_length(h.get(), 0) / 2;
        std::string rec;
        ASSERT_EQ(read_rec(h.get(), 0, 3, pad("CPU1", w) + pad("PAYROLL", w), &rec), 0);
        ASSERT_EQ(read_rec(h.get(), 1, 0, "", &rec), 0);
        EXPECT_NE(rec.find("SCHEDULE CPU1#PAYROLL ON WORKDAYS"), std::string::npos) << rec;
    }
}

// ---- damaged files --------------------------------------------------------------

TEST(KeyedHostile, BrokenHeaders) {
    ScratchDir dir;
    std::string path = dir.file("h");
    isam_file_desc d = two_kind_desc();
    write_index(path + ".KEY", {});
    const std::string good = header_bytes(d);
    struct Case {
        std::string bytes;
        int with_desc;
        int without_desc;
    };
    std::string many = good;
    many.replace(26, 4, "0003");
    std::string nothex = good;
    nothex[34] = 'G';
    std::string keyout = good;
    keyout.replace(30, 12, "000400000010");  // key longer than the record
    std::string kindsbad = good;
    kindsbad.replace(26, 4, "00Z1");
    std::string negative = good;
    negative.replace(30, 4, "FFFF");
    const Case cases[] = {
        {"", 24, 24},
        {"AH0001", 24, 24},
        {good.substr(0, 50), 29, 29},
        {std::string(94, '\0'), 25, 25},
        {std::string(200, 'z'), 25, 25},
        {many, 28, 28},
        {nothex, 25, 25},
        {keyout, 353, 25},
        {kindsbad, 25, 25},
        {negative, 25, 25},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 40));
        spit(path, c.bytes);
        isam_file_desc dd = d;
        EXPECT_EQ(open_code(path, &dd), c.with_desc);
        EXPECT_EQ(open_code(path, nullptr), c.without_desc);
        EXPECT_EQ(slurp(path), c.bytes);  // never written to
    }
}

TEST(KeyedHostile, RecordsThatAreNotWhatTheyClaim) {
    ScratchDir dir;
    struct Damage {
        const char* what;
        std::function<void(HandFile&)> apply;
        int master_code;  // mode 0 read of slot 0
        int detail_code;  // chain read of slot 1 after reading A
    };
    const Damage damages[] = {
        {"master type", [](HandFile& f) { patch(f.path, f.posA, "D1"); }, 247, 9},
        {"deleted master", [](HandFile& f) { patch(f.path, f.posA, "  "); }, 247, 9},
        {"master pointer not hex", [](HandFile& f) { patch(f.path, f.posA + 2, "0000Q0AB"); }, 247,
         9},
        {"pointer not hex", [](HandFile& f) { patch(f.path, f.posA1 + 2, "0000Q0AB"); }, 0, 247},
        {"pointer into the header", [](HandFile& f) { patch(f.path, f.posA1 + 2, "00000010"); }, 0,
         247},
        {"pointer past the end", [](HandFile& f) { patch(f.path, f.posA + 2, "00100000"); }, 0, 11},
        {"pointer into a record",
         [](HandFile& f) { patch(f.path, f.posA + 2, hex(f.posA2 + 3, 8)); }, 0, 247},
        {"pointer to a master", [](HandFile& f) { patch(f.path, f.posA + 2, hex(f.posB, 8)); }, 0,
         247},
        {"missing newline", [](HandFile& f) { patch(f.path, f.posA1 + 2 + 16 + 16, "X"); }, 0, 247},
        {"detail of another master", [](HandFile& f) { patch(f.path, f.posA1 + 2 + 16, "B"); }, 0,
         247},
        {"index points past the end",
         [](HandFile& f) {
             write_index(f.path + ".KEY", {{pad("A", 8), 100000}, {pad("B", 8), f.posB}});
         },
         11, 9},
        {"index key differs from record",
         [](HandFile& f) {
             write_index(f.path + ".KEY", {{pad("A", 8), f.posB}, {pad("B", 8), f.posB}});
         },
         247, 9},
        {"truncated file", [](HandFile& f) { std::filesystem::resize_file(f.path, f.posA1 + 10); },
         0, 11},
    };
    for (const Damage& dmg : damages) {
        SCOPED_TRACE(dmg.what);
        HandFile f(dir);
        dmg.apply(f);
        const std::string before = slurp(f.path);
        isam_ptr h = open_file(f.path);
        ASSERT_TRUE(h);
        std::string rec;
        EXPECT_EQ(read_rec(h.get(), 0, 0, "", &rec), dmg.master_code);
        if (dmg.master_code != 0) {
            EXPECT_EQ(read_rec(h.get(), 0, 3, pad("A", 8), &rec), dmg.master_code);
        }
        int c = read_rec(h.get(), 1, 0, "", &rec);
        if (c == 0) c = read_rec(h.get(), 1, 1, "", &rec);
        EXPECT_EQ(c, dmg.detail_code);
        // Updates through the damage are refused without writing anything.
        ASSERT_EQ(isam_lock(h.get(), 0), 0);
        if (read_rec(h.get(), 0, 3, pad("A", 8), &rec) == 0) {
            EXPECT_NE(add_rec(h.get(), 1, tk_one("A", "0009")), 0);
            std::size_t size = before.size();
            std::string now = slurp(f.path);
            // The refused record may have been appended and blanked, nothing else.
            EXPECT_EQ(now.substr(0, size), before);
            if (now.size() > size) {
                EXPECT_EQ(now.substr(size, 2), "  ");
            }
        }
        EXPECT_EQ(isam_unlock(h.get()), 0);
    }
}

TEST(KeyedHostile, CyclicChainsEnd) {
    ScratchDir dir;
    HandFile f(dir);
    // A2 points back to A1: A1 -> A2 -> A1 -> ...
    patch(f.path, f.posA2 + 2, hex(f.posA1, 8));
    isam_ptr h = open_file(f.path);
    std::string rec;
    ASSERT_EQ(read_rec(h.get(), 0, 3, pad("A", 8), &rec), 0);
    int c = 0, reads = 0;
    for (c = read_rec(h.get(), 1, 0, "", &rec); c == 0 && reads < 1000;
         c = read_rec(h.get(), 1, 1, "", &rec))
        ++reads;
    EXPECT_EQ(c, 247);
    EXPECT_LT(reads, 10);
    EXPECT_EQ(read_rec(h.get(), 1, 3, pad("A", 8) + "0005", &rec), 247);
    EXPECT_EQ(read_rec(h.get(), 1, 4, pad("A", 8) + "0005", &rec), 247);
    ASSERT_EQ(isam_lock(h.get(), 0), 0);
    ASSERT_EQ(read_rec(h.get(), 0, 3, pad("A", 8), &rec), 0);
    const std::string before = slurp(f.path);
    // Both keys are not greater than 0005: the walk goes round until its bound.
    EXPECT_EQ(add_rec(h.get(), 1, tk_one("A", "0005")), 247);
    EXPECT_EQ(slurp(f.path), before);
    // Deleting the master blanks each record once and stops.
    ASSERT_EQ(read_rec(h.get(), 0, 3, pad("A", 8), &rec), 0);
    EXPECT_EQ(isam_delete(h.get(), 0), 0);
    EXPECT_EQ(read_rec(h.get(), 0, 3, pad("A", 8), &rec), 8);
    EXPECT_EQ(isam_unlock(h.get()), 0);
}

TEST(KeyedHostile, RebuildDiscardsWhatIsNotARecord) {
    ScratchDir dir;
    HandFile f(dir);
    std::string bytes = slurp(f.path);
    bytes += "garbage line\n";
    bytes += "D1short\n";
    bytes += "   a deleted line\n";
    bytes += rec_line("D1", {0, 0}, tk_one("Z", "0001", "orph"));  // no master Z
    bytes += rec_line("DM", {0, 0}, tk_master("B", "dupe"));       // second B
    bytes += "DMno newline at the end";
    spit(f.path, bytes);
    isam_ptr h = open_file(f.path);
    testing::internal::CaptureStdout();
    ASSERT_EQ(isam_rebuild(h.get()), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Discarded:garbage line\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Discarded:D1short\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Discarded:D1"), std::string::npos) << out;
    EXPECT_NE(out.find("dupe"), std::string::npos) << out;
    EXPECT_NE(out.find("Discarded:DMno newline at the end\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("deleted"), std::string::npos) << out;
    std::string rec;
    ASSERT_EQ(read_rec(h.get(), 0, 0, "", &rec), 0);
    EXPECT_EQ(rec, tk_master("A", "first"));
    EXPECT_EQ(chain(h.get(), 1).size(), 2u);
    ASSERT_EQ(read_rec(h.get(), 0, 1, "", &rec), 0);
    EXPECT_EQ(rec, tk_master("B", "second"));
    EXPECT_EQ(read_rec(h.get(), 0, 1, "", &rec), 8);
    EXPECT_TRUE(std::filesystem::exists(f.path + ".old"));
    EXPECT_FALSE(std::filesystem::exists(f.path + ".new"));
}
