// Numbered messages: catalog lookup and its fallback, set values, the !n
// substitution and the reference suffix, typed arguments.
#include "utils/libs/issuemsg.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "msg_test_util.h"
#include "platform/catalogs.h"
#include "utils/libs/stdutil.h"

namespace {

using msgtest::lines_of;
using msgtest::run_in_child;
using msgtest::TempHome;

// Texts that exercise the expansion rules, compiled by gencat for real.
const char kTestVortan[] = R"($ test texts
$set 1
1 vortan test catalog
$set 207
1 hash at the end#
2 tilde ~!1 and !! and ~x
3 first\\Nsecond
4 bang at the end !
5 [!1][!2][!3][!4][!5]
6 !9 !0 !a
7 !1!1!1!1!1!1!1!1!1!1!1!1!1!1!1!1!1!1!1!1
11 !2|!3
15 fifteen
)";

const char kTestTelvar[] = R"($set 1
1 telvar test catalog
$set 50
35 12abc
)";

std::string fmt(int set_value, int number, MsgArgs args = {}, std::int16_t* len_out = nullptr) {
    char buf[kFormatBufSize];
    std::memset(buf, 'Z', sizeof buf);
    std::int16_t len = -1;
    char* r = format_msg(buf, &len, set_value, number, args);
    EXPECT_EQ(r, buf);
    EXPECT_EQ(static_cast<std::size_t>(len), std::strlen(buf));
    if (len_out) *len_out = len;
    return std::string(buf);
}

class MsgCatalogTest : public ::testing::Test {
  protected:
    msgtest::MsgStateGuard guard_;
    TempHome home_;

    void SetUp() override {
        ASSERT_TRUE(home_.add_catalog("vortan", kTestVortan));
        ASSERT_TRUE(home_.add_catalog("telvar", kTestTelvar));
        set_home_dir(home_.dir());
    }
};

TEST_F(MsgCatalogTest, ExpansionRulesAndSuffix) {
    EXPECT_EQ(fmt(2207, 1), "hash at the end");
    EXPECT_EQ(fmt(2207, 2, {arg_str("X")}), "tilde !1 and ! and ~x [2207.2]");
    EXPECT_EQ(fmt(2207, 3), "first\\Nsecond [2207.3]");
    EXPECT_EQ(fmt(2207, 4), "bang at the end  [2207.4]");
    EXPECT_EQ(fmt(2207, 5, {arg_str("a"), arg_str("b")}), "[a][b][][][] [2207.5]");
    EXPECT_EQ(fmt(2207, 6, {arg_str("a")}), "9 0 a [2207.6]");
    // An argument that ends the text in '#' suppresses the suffix like a
    // catalog text does.
    EXPECT_EQ(fmt(2207, 11, {arg_str("a"), arg_str("b"), arg_str("x#")}), "b|x");
}

TEST_F(MsgCatalogTest, DateFormatCodeFromLeadingDigits) {
    EXPECT_EQ(get_date_format(), 12);
    ASSERT_TRUE(home_.add_catalog("telvar", "$set 1\n1 telvar\n$set 50\n35 date order\n"));
    msg_state_reset();
    EXPECT_EQ(get_date_format(), 0);
}

TEST_F(MsgCatalogTest, SetValueArithmetic) {
    EXPECT_EQ(fmt(2207, 15), "fifteen [2207.15]");
    EXPECT_EQ(fmt(2000, 20715), "fifteen [2207.15]");
    EXPECT_EQ(fmt(0, 20715), "fifteen [2207.15]");
    EXPECT_EQ(fmt(207, 15), "fifteen [2207.15]");
    EXPECT_EQ(fmt(13001, 4, {arg_str("a")}), "NO MSG: a,,,, [product > MAX]  [13001.4]");
    // Products without a catalog name are never opened.
    EXPECT_EQ(fmt(3001, 1), "NO MSG: ,,,, open failed " + std::to_string(ENOENT) + "  [3001.1]");
    // A message missing from an open catalog.
    EXPECT_EQ(fmt(2207, 99),
              "NO MSG: ,,,,catgets failed " + std::to_string(ENOMSG) + "  [2207.99]");
    // Extreme negative values: the reference suffix is computed without
    // overflow (the sanitizer build stops on a signed overflow here).
    const std::string extreme = fmt(-2141182000, -2147483600);
    EXPECT_NE(extreme.find("[-"), std::string::npos) << extreme;
}

TEST_F(MsgCatalogTest, FormatBufferLimitAndSuffixCut) {
    std::string src = "$set 1\n1 vortan\n$set 207\n7 !1!1!1!1!1!1!1!1!1!1\n";
    src += "8 " + std::string(244, 'L') + "\n";
    src += "9 " + std::string(245, 'L') + "\n";
    ASSERT_TRUE(home_.add_catalog("vortan", src));
    std::int16_t len = 0;
    std::string s = fmt(2207, 8, {}, &len);
    EXPECT_EQ(s, std::string(244, 'L') + " [2207.8]");
    EXPECT_EQ(len, 253);
    s = fmt(2207, 9, {}, &len);
    EXPECT_EQ(s, std::string(244, 'L'));
    EXPECT_EQ(len, 244);
    // Many expansions of a long argument stop at the buffer: 255 characters,
    // the last one removed because no suffix fits.
    const std::string big(300, 'q');
    s = fmt(2207, 7, {arg_str(big.c_str())}, &len);
    EXPECT_EQ(len, 254);
    EXPECT_EQ(s, std::string(254, 'q'));
}

TEST_F(MsgCatalogTest, IssueMsgTextStaysWithinItsBuffer) {
    const std::string big(400, 'w');
    auto r = run_in_child([&] { issue_msg(0, 2207, 7, {arg_str(big.c_str())}); });
    ASSERT_EQ(r.status, 0);
    std::size_t chars = 0;
    for (const std::string& line : lines_of(r.out)) {
        EXPECT_LE(line.size(), 75u);
        chars += line.size();
    }
    // 4199 characters fill the text; the last is dropped and no suffix added.
    EXPECT_EQ(chars, 4198u);
    EXPECT_EQ(r.out.find('['), std::string::npos);
}

TEST_F(MsgCatalogTest, BareNameNeedsTheSignature) {
    // A catalog found by the bare name through the search path is used only
    // when set 1 message 1 begins with the catalog's name.
    ASSERT_TRUE(
        home_.add_catalog("vortan", "$set 1\n1 something else\n$set 207\n15 nls text\n", "nls"));
    ::setenv("NLSPATH", (home_.dir() + "/nls/%N.cat").c_str(), 1);
    msg_state_reset();
    EXPECT_EQ(fmt(2207, 15), "fifteen [2207.15]");

    ASSERT_TRUE(home_.add_catalog(
        "vortan", "$set 1\n1 vortan (search path)\n$set 207\n15 nls text\n", "nls"));
    msg_state_reset();
    EXPECT_EQ(fmt(2207, 15), "nls text [2207.15]");
}

TEST(MsgFallbackTest, NoCatalogsReportsOncePerProduct) {
    msgtest::MsgStateGuard guard;
    TempHome home;  // no catalog directory at all
    auto r = run_in_child([&] {
        set_home_dir(home.dir());
        msg_state_reset();
        issue_msg(1, 2207, 24, {arg_str("no context")});
        issue_msg(1, 2207, 25);
        std::printf("date format %d\n", get_date_format());
    });
    ASSERT_EQ(r.status, 0);
    const std::string ebadf = std::to_string(EBADF);
    const std::vector<std::string> expected = {
        "catopen on " + home.dir() + "/catalog/telvar.cat error: " + std::strerror(ENOENT),
        "catopen on " + home.dir() + "/catalog/vortan.cat error: " + std::strerror(ENOENT),
        "NO MSG: no context,,,,catgets failed " + ebadf + "  [2207.24]",
        "NO MSG: ,,,,catgets failed " + ebadf + "  [2207.25]",
    };
    EXPECT_EQ(lines_of(r.err), expected);
    EXPECT_EQ(r.out, "date format 0\n");
}

TEST(MsgFallbackTest, LangIsSetWhenMissing) {
    auto r = run_in_child([] {
        ::unsetenv("LANG");
        msg_state_reset();
        get_date_format();
        const char* lang = std::getenv("LANG");
        std::printf("%s", lang ? lang : "(unset)");
    });
    EXPECT_EQ(r.out, "C");
}

// Every message that the modules of this system issue has a text in the
// installed catalogs, and no text uses an argument its message never gets.
TEST(MsgInstalledCatalogs, EveryMessageHasItsText) {
    msgtest::MsgStateGuard guard;
    set_home_dir(KORVEX_BUILD_DIR);
    struct Entry {
        int set_value;
        std::vector<int> numbers;
        int args;
    };
    const std::vector<Entry> table = {
        {1050, {35}, 0},
        {1100, {53}, 2},
        {1110, {1, 2}, 0},
        {1110,
         {4,   5,   6,   7,   8,   9,   10,  11,  14,  15,  16,  17,  18,  19,  20,  22,
          23,  24,  25,  26,  27,  28,  29,  30,  31,  32,  34,  35,  39,  40,  41,  42,
          239, 240, 241, 242, 243, 244, 245, 246, 247, 349, 350, 351, 352, 353, 354, 355},
         3},
        {1110,
         {453, 454, 455, 456, 457, 458, 459, 460, 461, 462, 463, 464, 465, 466, 467,
          468, 469, 470, 471, 472, 473, 474, 475, 476, 477, 478, 479, 480, 481, 482},
         2},
        {1112, {3, 4}, 2},
        {1112, {7}, 0},
        {1113,
         {1,  2,  4,  5,  7,  8,  9,  10, 11, 12, 13, 14, 15,
          16, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 112},
         4},
        {1120,
         {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,
          15, 16, 17, 18, 20, 21, 22, 23, 24, 25, 26, 27, 28},
         3},
        {2076, {1, 2, 3, 4, 5, 6, 7, 15}, 0},
        {2076, {8, 9}, 1},
        {2207, {1, 2, 3, 4, 5, 6, 7, 9, 16, 17, 23, 25}, 0},
        {2207, {8, 10, 11, 12, 13, 14, 15, 20, 21, 22, 24, 26, 27, 28, 29}, 1},
        {2207, {18, 19}, 2},
        {2207, {30}, 3},
        {2209,
         {1,  2,  3,  4,  26,  35,  36,  38,  39,  41,  42,
          43, 44, 51, 52, 201, 202, 208, 209, 210, 211, 212},
         0},
        {2209, {54, 56, 200}, 1},
    };
    const char* marks[5] = {"<a1>", "<a2>", "<a3>", "<a4>", "<a5>"};
    for (const Entry& e : table) {
        for (int n : e.numbers) {
            const std::string s = fmt(e.set_value, n,
                                      {arg_str(marks[0]), arg_str(marks[1]), arg_str(marks[2]),
                                       arg_str(marks[3]), arg_str(marks[4])});
            SCOPED_TRACE(std::to_string(e.set_value) + "/" + std::to_string(n) + ": " + s);
            EXPECT_NE(s.rfind("NO MSG", 0), 0u);
            for (int k = e.args; k < 5; ++k)
                EXPECT_EQ(s.find(marks[k]), std::string::npos);
        }
    }
    EXPECT_EQ(get_date_format(), 0);
    // Prompts and production schedule lines carry no reference; errors do.
    EXPECT_EQ(fmt(2207, 7), "Schedule: ");
    EXPECT_EQ(fmt(2207, 22, {arg_str("CPU1")}), "* Schedules of workstation CPU1");
    EXPECT_NE(fmt(2207, 25).find(" [2207.25]"), std::string::npos);
}

TEST(MsgInstalledCatalogs, DateArgumentUsesTheSiteOrder) {
    msgtest::MsgStateGuard guard;
    set_home_dir(KORVEX_BUILD_DIR);
    std::tm tmv{};
    tmv.tm_year = 2027 - 1900;
    tmv.tm_mon = 0;
    tmv.tm_mday = 27;
    tmv.tm_isdst = -1;
    const std::time_t t = std::mktime(&tmv);
    EXPECT_EQ(fmt(2207, 20, {arg_date(static_cast<std::int32_t>(t))}),
              "* Production schedule for 27/01/27");
}

// ---------------------------------------------------------------------------
// Argument conversion, seen through "[!1][!2][!3][!4][!5]".

class MsgArgTest : public MsgCatalogTest {
  protected:
    std::string slots(MsgArgs args) {
        std::string s = fmt(2207, 5, args);
        const std::string suffix = " [2207.5]";
        if (s.size() >= suffix.size() &&
            s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0)
            s.erase(s.size() - suffix.size());
        return s;
    }
};

TEST_F(MsgArgTest, StringsAndFields) {
    EXPECT_EQ(slots({arg_str("  \t hello world \n "), arg_str(nullptr), arg_str("x")}),
              "[hello world][][x][][]");
    EXPECT_EQ(slots({arg_field("ABC     ", 8), arg_field("  A B   ", 8), arg_field("        ", 8),
                     arg_field(nullptr, 8)}),
              "[ABC][A B][ ][][]");
    // A field is read for exactly its width, terminated or not.
    std::unique_ptr<char[]> field(new char[3]{'X', 'Y', 'Z'});
    EXPECT_EQ(slots({arg_field(field.get(), 3)}), "[XYZ][][][][]");
    EXPECT_EQ(slots({arg_field("AB\0CD", 5)}), "[AB][][][][]");
    // A zero-width field is empty, not a string to read up to its terminator.
    const char no_nul[2] = {'n', 'o'};
    EXPECT_EQ(slots({arg_field(no_nul, 0), arg_str("x")}), "[][x][][][]");
}

TEST_F(MsgArgTest, LongStringsKeepTrailingBlanks) {
    // Hard cuts of a text without candidates lose nothing, so the lines
    // joined give the whole message back.
    auto whole = [](const std::string& arg) {
        auto r = run_in_child([&] { issue_msg(0, 2207, 5, {arg_str(arg.c_str())}); });
        std::string joined;
        for (const std::string& line : lines_of(r.out))
            joined += line;
        return joined;
    };
    EXPECT_EQ(whole(std::string(2097, 'k') + "  "),
              "[" + std::string(2097, 'k') + "][][][][] [2207.5]");
    EXPECT_EQ(whole(std::string(2100, 'k') + "  "),
              "[" + std::string(2100, 'k') + "  ][][][][] [2207.5]");
}

TEST_F(MsgArgTest, NumbersAndSpecialForms) {
    const std::int32_t v = 42;
    const std::int32_t neg = -7;
    EXPECT_EQ(slots({arg_int(-42), arg_pint(&neg), arg_typed(MA_INT6, 42),
                     arg_typed(MA_PINT11, 0, &v), arg_typed(MA_EMPTY, 99)}),
              "[-42][-7][    42][         42][]");
    EXPECT_EQ(slots({arg_pint(nullptr), arg_typed(MA_PINT11, 0, nullptr), arg_errno(ENOENT),
                     arg_typed(MA_ERRNO5, EACCES)}),
              std::string("[][][") + std::strerror(ENOENT) + "][" + std::strerror(EACCES) + "][]");
    EXPECT_EQ(slots({arg_typed(MA_JOB, 1234), arg_typed(MA_JOB, -10), arg_typed(MA_JOB, 0x40000007),
                     arg_typed(MA_JOB, static_cast<std::int32_t>(0xF0000000u)),
                     arg_typed(MA_JOB, static_cast<std::int32_t>(0x80000001u))}),
              "[#J1234][#J10][#S7][#J268435456][#J-2147483647]");
    EXPECT_EQ(slots({arg_hhmm(930), arg_hhmm(5), arg_hhmm(2359),
                     arg_typed(MA_IPV4, static_cast<std::int32_t>(0xC0A80001u))}),
              "[9:30][0:05][23:59][192.168.0.1][]");
}

TEST_F(MsgArgTest, ListEndsAndSkips) {
    EXPECT_EQ(slots({arg_typed(MA_SKIP6, 1), arg_str("a"), arg_typed(MA_SKIP7, 2), arg_str("b")}),
              "[a][b][][][]");
    EXPECT_EQ(slots({arg_str("a"), arg_typed(MA_END, 0), arg_str("b")}), "[a][][][][]");
    EXPECT_EQ(slots({arg_str("a"), arg_typed(14, 0), arg_str("b")}), "[a][][][][]");
    EXPECT_EQ(slots({arg_int(1), arg_int(2), arg_int(3), arg_int(4), arg_int(5), arg_int(6)}),
              "[1][2][3][4][5]");
}

TEST_F(MsgArgTest, ArgumentAreaNeverOverflows) {
    // The converted texts share one 4200-byte area whose first byte is the
    // empty string: 4000 characters, then 197 more and the terminators fill it;
    // what does not fit is cut and later slots stay empty.
    const std::string big(4000, 'b');
    EXPECT_EQ(fmt(2207, 11, {arg_str(big.c_str()), arg_field(big.c_str(), 4000), arg_str("c")}),
              std::string(197, 'b') + "| [2207.11]");
}

TEST(CatalogWrapper, MissingTextIsReportedAsNull) {
    TempHome home;
    ASSERT_TRUE(home.add_catalog("w", "$set 3\n4 text\n"));
    plat::catalog_t cat = plat::catalog_open((home.dir() + "/catalog/w.cat").c_str(), 0);
    ASSERT_NE(cat, plat::catalog_failed());
    EXPECT_STREQ(plat::catalog_get(cat, 3, 4), "text");
    errno = 0;
    EXPECT_EQ(plat::catalog_get(cat, 3, 6), nullptr);
    EXPECT_NE(errno, 0);
    EXPECT_EQ(plat::catalog_close(cat), 0);

    errno = 0;
    cat = plat::catalog_open((home.dir() + "/catalog/none.cat").c_str(), 0);
    EXPECT_EQ(cat, plat::catalog_failed());
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(plat::catalog_get(cat, 1, 1), nullptr);
    EXPECT_EQ(errno, EBADF);
}

}  // namespace
