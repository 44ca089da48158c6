// The mksecurity program: what it compiles, what it refuses, and how it
// replaces the Security file.
#include <sys/stat.h>

#include <random>

#include "tests/security/sec_testutil.h"

using namespace sectest;

namespace {

struct Compiled {
    RunResult run;
    std::string file;
};

Compiled compile(const TempDir& dir, const std::string& source) {
    const std::string src = dir.file("rules.txt");
    write_file(src, source);
    const std::string out = dir.file("Security");
    std::filesystem::remove(out);
    Compiled c{mksecurity({src, "-o", out}), out};
    return c;
}

// Every statement form in one source.
const char* kRichSource =
    "* rules of the production team\n"
    "user Production logon=oper@,\"CORP\\batch\" + cpu=$thiscpu,cpu2\n"
    "USER LOGON=night ~ GROUP=guests\n"
    "BEGIN\n"
    "  FILE NAME=PROD@ ~ NAME=PRODTEST@ ACCESS=BUILD,DISPLAY\n"
    "  DATABASE NAME=MAST@ ACCESS=D@\n"
    "  JOB CPU=$MASTER NAME=@ LOGON=$USER ACCESS=@\n"
    "  CPU CPU=$SLAVES ACCESS=ST@,LINK\n"
    "  SCHEDULE CPU=@ ACCESS=ADD,SUBMIT\n"
    "  FILE NAME=SECRET ACCESS=\n"
    "  FILE NAME='A B,C' ACCESS=MODIFY\n"
    "END\n"
    "USER \"\" LOGON=@\n"
    "BEGIN\n"
    "  RESOURCE NAME=TAPE ACCESS=RESOURCE,USE\n"
    "END\n";

}  // namespace

TEST(Mksecurity, CompilesEveryStatementForm) {
    TempDir dir;
    const Compiled c = compile(dir, kRichSource);
    ASSERT_EQ(c.run.status, 0) << c.run.err;
    // The operator's block: BUILD on PROD files except PRODTEST ones, and
    // nothing at all on SECRET; only on CPU2 and this workstation.
    expect_check(check_once(c.file, "operator", SEC_ACT_BUILD, "prodsked", "CPU1"), true, 0);
    expect_check(check_once(c.file, "Corp\\Batch", SEC_ACT_BUILD, "prodsked", "CPU1"), true, 0);
    expect_check(check_once(c.file, "operator", SEC_ACT_BUILD, "prodtest1"), false, SEC_REFUSED);
    expect_check(check_once(c.file, "operator", SEC_ACT_DISPLAY, "secret", "CPU1"), false,
                 SEC_REFUSED);
    expect_check(check_once(c.file, "operator", SEC_ACT_MODIFY, "a b,c", "CPU1"), true, 0);
    // D@ on a FILE: DELETE and DISPLAY, not CLEAN.
    expect_check(check_once(c.file, "operator", SEC_ACT_DELETE, "mastsked", "CPU1"), true, 0);
    expect_check(check_once(c.file, "operator", SEC_ACT_BUILD, "mastsked", "CPU1"), false,
                 SEC_REFUSED);
    // The second USER statement of the block: night, on any workstation.
    expect_check(check_once(c.file, "night", SEC_ACT_BUILD, "prodsked", "CPU9"), true, 0);
    // Everyone else falls to the block with the empty name.
    expect_check(check_once(c.file, "guest", SEC_ACT_BUILD, "prodsked"), false, SEC_REFUSED);

    // Decompiling and compiling again gives the same bytes.
    const RunResult d = mksecurity({"-d", c.file});
    ASSERT_EQ(d.status, 0) << d.err;
    const std::string first = read_file(c.file);
    const Compiled again = compile(dir, d.out);
    ASSERT_EQ(again.run.status, 0) << again.run.err << d.out;
    EXPECT_EQ(read_file(again.file), first) << d.out;
    EXPECT_NE(d.out.find("FILE NAME=SECRET ACCESS=\n"), std::string::npos) << d.out;
    EXPECT_NE(d.out.find("NAME=\"A B,C\""), std::string::npos) << d.out;
}

TEST(Mksecurity, LongStatementIsWrittenWhole) {
    TempDir dir;
    // One statement over 100 continuation lines: far more than 2048
    // characters of text, all of it compiled.
    std::string source = "USER ops LOGON=@\nBEGIN\n FILE NAME=";
    for (int i = 1; i <= 100; ++i) {
        char value[16];
        std::snprintf(value, sizeof value, "N%03d", i);
        source += std::string(20, ' ') + value + (i < 100 ? "," : "") + std::string(10, ' ') + "\n";
    }
    source += "      ACCESS=DISPLAY\nEND\n";
    ASSERT_GT(source.size(), 3000u);
    const Compiled c = compile(dir, source);
    ASSERT_EQ(c.run.status, 0) << c.run.err;
    expect_check(check_once(c.file, "u", SEC_ACT_DISPLAY, "n001"), true, 0);
    expect_check(check_once(c.file, "u", SEC_ACT_DISPLAY, "n050"), true, 0);
    expect_check(check_once(c.file, "u", SEC_ACT_DISPLAY, "n100"), true, 0);
    expect_check(check_once(c.file, "u", SEC_ACT_DISPLAY, "n101"), false, SEC_REFUSED);

    // A statement whose rule would exceed 1024 bytes is refused, naming its
    // line, and nothing is written.
    std::string too_long = "USER ops LOGON=@\nBEGIN\n FILE NAME=";
    for (int i = 0; i < 10; ++i)
        too_long += std::string(i ? "," : "") + std::string(110, 'A' + i) + "\n";
    too_long += " ACCESS=DISPLAY\nEND\n";
    const Compiled big = compile(dir, too_long);
    EXPECT_EQ(big.run.status, 1);
    EXPECT_NE(big.run.err.find("line 3, at \"FILE\""), std::string::npos) << big.run.err;
    EXPECT_NE(big.run.err.find("1024"), std::string::npos) << big.run.err;
    EXPECT_FALSE(std::filesystem::exists(big.file));

    // A block whose length would not fit its 4-digit field is refused too.
    std::string huge_block = "USER ops LOGON=@\nBEGIN\n";
    for (int rule = 0; rule < 70; ++rule) {
        huge_block += " FILE NAME=";
        for (int v = 0; v < 8; ++v)
            huge_block += std::string(v ? "," : "") + std::string(120, 'A' + v);
        huge_block += " ACCESS=DISPLAY\n";
    }
    huge_block += "END\n";
    const Compiled over = compile(dir, huge_block);
    EXPECT_EQ(over.run.status, 1);
    EXPECT_NE(over.run.err.find("65535"), std::string::npos) << over.run.err;
    EXPECT_FALSE(std::filesystem::exists(over.file));
}

TEST(Mksecurity, ErrorsNameTheLineAndTheWord) {
    TempDir dir;
    struct Case {
        const char* source;
        const char* where;
    } cases[] = {
        {"USER a LOGON=x\nBEGIN\n JOB NAME=A ACCESS=@\nEND\n",
         "line 3, at \"JOB\": CPU is missing"},
        {"USER a LOGON=x\nBEGIN\n FILE NAME=A OWNER=b ACCESS=@\nEND\n", "line 3, at \"OWNER\""},
        {"USER a LOGON=x\nBEGIN\n FILE NAME=A ACCESS=KILL\nEND\n", "line 3, at \"KILL\""},
        {"USER a LOGON=x\nBEGIN\n FILE NAME=A\n ACCESS=NOSUCH\nEND\n", "line 4, at \"NOSUCH\""},
        {"USER a LOGON=x\nBEGIN\n FILE NAMES=A ACCESS=@\nEND\n", "line 3, at \"NAMES\""},
        {"USER a LOGON=x\nBEGIN\n FILE NAME=$THISCPU ACCESS=@\nEND\n", "line 3, at \"$THISCPU\""},
        {"USER a LOGON=x\nBEGIN\n FILE NAME=A\n", "END is missing"},
        {"USER a LOGON=x\nFILE NAME=A ACCESS=@\n", "line 2, at \"FILE\""},
        {"USER a\nBEGIN\nEND\n", "line 2, at \"BEGIN\""},
        {"USER a LOGON=x\nUSER b LOGON=y\nBEGIN\nEND\n", "line 2, at \"b\""},
        {"USER a LOGON=x\nBEGIN\n FILE NAME=\"open ACCESS=@\nEND\n", "line 3"},
        {"USER a234567890123456789012345678901234567 LOGON=x\nBEGIN\nEND\n", "line 1"},
    };
    for (const Case& c : cases) {
        const Compiled r = compile(dir, c.source);
        EXPECT_EQ(r.run.status, 1) << c.source;
        EXPECT_NE(r.run.err.find(c.where), std::string::npos) << c.source << r.run.err;
        EXPECT_FALSE(std::filesystem::exists(r.file)) << c.source;
    }
    // A value of 128 characters.
    const Compiled r = compile(dir, "USER a LOGON=" + std::string(128, 'x') + "\nBEGIN\nEND\n");
    EXPECT_EQ(r.run.status, 1);
    EXPECT_NE(r.run.err.find("127"), std::string::npos) << r.run.err;
    // Errors in several statements are all reported.
    const Compiled many =
        compile(dir, "USER a LOGON=x\nBEGIN\n FILE BAD=1 ACCESS=@\n FILE NAME=A ACCESS=ZAP\nEND\n");
    EXPECT_NE(many.run.err.find("line 3"), std::string::npos) << many.run.err;
    EXPECT_NE(many.run.err.find("line 4"), std::string::npos) << many.run.err;
}

TEST(Mksecurity, ReplacesTheFileOnlyWhenWrittenWhole) {
    TempDir dir;
    const std::string out = dir.file("Security");
    const std::string src = dir.file("rules.txt");
    write_file(out, "previous");
    ::chmod(out.c_str(), 0640);
    write_file(src, "USER a LOGON=x\nBEGIN\n FILE NAME=A ACCESS=NOPE\nEND\n");
    EXPECT_EQ(mksecurity({src, "-o", out}).status, 1);
    EXPECT_EQ(read_file(out), "previous");
    write_file(src, "USER a LOGON=x\nBEGIN\nEND\n");
    ASSERT_EQ(mksecurity({src, "-o", out}).status, 0);
    EXPECT_EQ(read_file(out).substr(0, 8), "SF  0001");
    struct stat st;
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // No temporary file is left behind.
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 2);
    // A directory that does not exist: an error, nothing written.
    EXPECT_EQ(mksecurity({src, "-o", dir.file("no/Security")}).status, 1);
    // Usage errors.
    EXPECT_EQ(mksecurity({}).status, 2);
    EXPECT_EQ(mksecurity({src, "-o"}).status, 2);
    EXPECT_EQ(mksecurity({src, "-x"}).status, 2);
    EXPECT_EQ(mksecurity({dir.file("missing.txt"), "-o", out}).status, 1);
}

TEST(Mksecurity, DefaultFileIsTheInstallations) {
    TempDir dir;
    // A copy of the program in an installation of its own.
    const std::string home = dir.file("inst/home");
    std::filesystem::create_directories(home + "/bin");
    std::filesystem::create_directories(dir.file("inst/telvar/network"));
    const std::string program = home + "/bin/mksecurity";
    std::filesystem::copy_file(kMksecurity, program);
    const std::string src = dir.file("rules.txt");
    write_file(src, "USER a LOGON=x\nBEGIN\n FILE NAME=A ACCESS=DISPLAY\nEND\n");
    const RunResult r = run_program(program, {src});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string target = dir.file("inst/telvar/network/Security");
    EXPECT_EQ(read_file(target).substr(0, 8), "SF  0001");
    // -d without a file reads it back; without the network file, the local one.
    RunResult d = run_program(program, {"-d"});
    EXPECT_EQ(d.status, 0) << d.err;
    EXPECT_NE(d.out.find("FILE NAME=A ACCESS=DISPLAY"), std::string::npos) << d.out;
    std::filesystem::rename(target, dir.file("inst/telvar/Security"));
    d = run_program(program, {"-d"});
    EXPECT_EQ(d.status, 0) << d.err;
    std::filesystem::remove(dir.file("inst/telvar/Security"));
    d = run_program(program, {"-d"});
    EXPECT_EQ(d.status, 1);
}

TEST(Mksecurity, DecompileChecksEveryRecord) {
    TempDir dir;
    const Compiled c = compile(dir, kRichSource);
    ASSERT_EQ(c.run.status, 0) << c.run.err;
    const std::string good = read_file(c.file);
    // Each record's checksum in turn is made wrong by one: the decompiler
    // reads every record and notices each of them.
    int records = 0;
    for (std::size_t blk = 29; blk < good.size();) {
        const std::size_t block_length = std::stoul(good.substr(blk, 4), nullptr, 16);
        for (std::size_t rec = blk + 45; rec < blk + block_length;) {
            const std::size_t length = std::stoul(good.substr(rec, 4), nullptr, 16);
            const unsigned sum =
                static_cast<unsigned>(std::stoul(good.substr(rec + 4, 4), nullptr, 16));
            std::string bad = good;
            bad.replace(rec + 4, 4, hex4(sum + 1));
            write_file(c.file, bad);
            const RunResult d = mksecurity({"-d", c.file});
            EXPECT_EQ(d.status, 1) << "record at " << rec;
            EXPECT_NE(d.err.find("checksum"), std::string::npos) << d.err;
            ++records;
            rec += length;
        }
        blk += block_length;
    }
    EXPECT_EQ(records, 15);
    // The fixed characters of a block header.
    std::string bad = good;
    bad[29 + 5] = '1';
    write_file(c.file, bad);
    EXPECT_EQ(mksecurity({"-d", c.file}).status, 1);
}

TEST(Mksecurity, DamagedSourcesNeverCrashTheCompiler) {
    TempDir dir;
    const std::string good = kRichSource;
    std::mt19937 rng(77);
    const char pieces[] = "=,+~ \n\"'$*@?ABCxyz\\";
    int compiled = 0;
    for (int round = 0; round < 120; ++round) {
        std::string src = good;
        const int edits = 1 + static_cast<int>(rng() % 3);
        for (int e = 0; e < edits && !src.empty(); ++e) {
            const std::size_t at = rng() % src.size();
            switch (rng() % 3) {
                case 0:
                    src[at] = pieces[rng() % (sizeof pieces - 1)];
                    break;
                case 1:
                    src.erase(at, 1 + rng() % 8);
                    break;
                default:
                    src.insert(at, 1, pieces[rng() % (sizeof pieces - 1)]);
                    break;
            }
        }
        const Compiled c = compile(dir, src);
        ASSERT_TRUE(c.run.status == 0 || c.run.status == 1) << src;
        if (c.run.status == 1) {
            EXPECT_NE(c.run.err.find(", line "), std::string::npos) << c.run.err;
            continue;
        }
        // Whatever compiles reads back as source that compiles to the same bytes.
        ++compiled;
        const RunResult d = mksecurity({"-d", c.file});
        ASSERT_EQ(d.status, 0) << src << d.err;
        const std::string bytes = read_file(c.file);
        const Compiled again = compile(dir, d.out);
        ASSERT_EQ(again.run.status, 0) << d.out << again.run.err;
        EXPECT_EQ(read_file(again.file), bytes) << src << "\n---\n" << d.out;
    }
    EXPECT_GT(compiled, 10);
}
