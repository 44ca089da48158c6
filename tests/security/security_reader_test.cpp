// Reading Security files built byte by byte: scrambling, checksums, header
// and length checks, the choice of the user's block.
#include <cstring>

#include "tests/security/sec_testutil.h"

using namespace sectest;

namespace {

// Everyone may DISPLAY and BUILD files named PROD@.
std::string simple_block(const std::string& name = "ops", const std::string& logon = "@") {
    return block(name, {user(cond('+', SEC_ATTR_LOGON, {lit(logon)})), begin(),
                        file_rule(cond('+', SEC_ATTR_NAME, {lit("PROD@")}) +
                                  actions({SEC_ACT_BUILD, SEC_ACT_DISPLAY})),
                        end()});
}

}  // namespace

TEST(SecurityScrambling, ReferenceFileUnscramblesToTheKnownConditions) {
    // The first USER record of the reference file, block "ops": LOGON with
    // two values and CPU=$THISCPU, whose variable code is a zero byte.
    const std::string file = read_file(kVectors + "/Security");
    ASSERT_GT(file.size(), 74u + 36u);
    EXPECT_EQ(file.substr(74, 8), "002408A1");
    std::string data = file.substr(83, 27);
    const unsigned sum =
        unscramble_record("ops", reinterpret_cast<std::uint8_t*>(data.data()), data.size());
    EXPECT_EQ(security_checksum(sum), 0x08A1u);
    const std::string expected = cond('+', SEC_ATTR_LOGON, {lit("operator"), lit("CORP\\batch")}) +
                                 cond('+', SEC_ATTR_CPU, {var(SEC_VAR_THISCPU)});
    EXPECT_EQ(data, expected);
}

TEST(SecurityScrambling, PlainBytesReplaceTheKeyAndAZeroShortensIt) {
    // Key "abc". The plain zero at position 1 becomes key character 1, so
    // after position 0 the position returns at once: the key is one long.
    std::string plain = {'P', '\0', 'Q', 'R', 'S', 'T'};
    std::string data = plain;
    scramble_record("abc", reinterpret_cast<std::uint8_t*>(data.data()), data.size());
    const std::string expected = {static_cast<char>('P' ^ 'a'), static_cast<char>(0 ^ 'b'),
                                  static_cast<char>('Q' ^ 'c'), static_cast<char>('R' ^ 'P'),
                                  static_cast<char>('S' ^ 'R'), static_cast<char>('T' ^ 'S')};
    EXPECT_EQ(data, expected);
    const unsigned sum =
        unscramble_record("abc", reinterpret_cast<std::uint8_t*>(data.data()), data.size());
    EXPECT_EQ(data, plain);
    EXPECT_EQ(sum, unsigned('P' + 'Q' + 'R' + 'S' + 'T'));
}

TEST(SecurityScrambling, BlockKeys) {
    EXPECT_EQ(security_block_key("ops" + std::string(33, ' ')), "ops");
    EXPECT_EQ(security_block_key(std::string(36, ' ')), "vemqad");
    EXPECT_EQ(security_block_key(""), "vemqad");
    const std::string full(36, 'k');
    EXPECT_EQ(security_block_key(full), full);
    // A checksum field holds the low 16 bits of a sum of up to 1024 bytes.
    EXPECT_EQ(security_checksum(1024u * 255u), (1024u * 255u) & 0xFFFFu);
}

TEST(SecurityReader, BlockNamesAreTheKeysOfTheirRecords) {
    TempDir dir;
    // A 36-character name, a name of blanks only, and the name of the block
    // used for the key of a big record whose sum overflows 16 bits.
    const std::string long_name(36, 'N');
    std::string big = cond('+', SEC_ATTR_NAME, {lit(std::string(120, 'Z'))});
    for (int i = 0; i < 7; ++i)
        big += cond('+', SEC_ATTR_NAME, {lit(std::string(120, char('z' - i)))});
    ASSERT_GT(big.size(), 900u);
    for (const std::string& name : {long_name, std::string("   "), std::string("x")}) {
        const std::string f = dir.file("s");
        write_file(
            f, header_line() + block(name, {user(cond('+', SEC_ATTR_LOGON, {lit("@")})), begin(),
                                            file_rule(big + actions({SEC_ACT_DISPLAY})),
                                            file_rule(cond('+', SEC_ATTR_NAME, {lit("@")}) +
                                                      actions({SEC_ACT_DISPLAY})),
                                            end()}));
        expect_check(check_once(f, "anyone", SEC_ACT_DISPLAY, "x"), true, 0);
    }
}

TEST(SecurityReader, HeaderLine) {
    TempDir dir;
    const std::string f = dir.file("s");
    const std::string rest = simple_block();
    struct Case {
        std::string header;
        int reason;
    } cases[] = {
        {std::string("SF  0001") + std::string(19, ' ') + "\n", SEC_HEADER_LENGTH},  // 27
        {std::string("SF  0001") + std::string(22, ' ') + "\n", SEC_HEADER_LENGTH},  // 30
        {std::string("SX  0001") + std::string(20, ' ') + "\n", SEC_NOT_SF},
        {std::string("SF  0002") + std::string(20, ' ') + "\n", SEC_BAD_VERSION},
        {std::string("SFxx0001") + std::string(20, '-') + "\n", 0},  // free characters
        {"", SEC_HEADER_UNREADABLE},
    };
    for (const Case& c : cases) {
        write_file(f, c.header + (c.header.empty() ? "" : rest));
        const Check got = check_once(f, "u", SEC_ACT_BUILD, "prodsked");
        EXPECT_EQ(got.allowed, c.reason == 0) << c.header;
        EXPECT_EQ(got.reason, c.reason) << c.header;
    }
}

TEST(SecurityReader, DamagedRecordsAreRefusedWithTheirReason) {
    TempDir dir;
    const std::string f = dir.file("s");
    const std::string key = "ops";
    const std::string user_rec = record(key, user(cond('+', SEC_ATTR_LOGON, {lit("@")})));
    const std::string rule =
        record(key, file_rule(cond('+', SEC_ATTR_NAME, {lit("@")}) + actions({SEC_ACT_BUILD})));
    auto make = [&](const std::string& body) {
        std::string name = key;
        name.resize(36, ' ');
        return header_line() + hex4(static_cast<unsigned>(45 + body.size())) + "0000" +
               static_cast<char>(10) + name + body;
    };
    const std::string b = record(key, begin());
    const std::string e = record(key, end());

    // Checksum off by one, in a USER record and in an object record.
    const std::string bad_user = record(key, user(cond('+', SEC_ATTR_LOGON, {lit("@")})), 1);
    const std::string bad_rule =
        record(key, file_rule(cond('+', SEC_ATTR_NAME, {lit("@")}) + actions({SEC_ACT_BUILD})), 1);
    // Data of 1025 bytes.
    std::string huge_plain = cond('+', SEC_ATTR_NAME, {lit("@")});
    huge_plain += actions({});
    huge_plain.append(1025 - huge_plain.size(), static_cast<char>(SEC_ACT_BUILD));
    const std::string huge = record(key, file_rule(huge_plain));
    std::string not_hex_len = rule;
    not_hex_len[1] = 'G';
    std::string not_hex_sum = rule;
    not_hex_sum[6] = ' ';
    std::string zero_len = rule;
    zero_len.replace(0, 4, "0000");

    struct Case {
        const char* what;
        std::string file;
        int reason;
    } cases[] = {
        {"good", make(user_rec + b + rule + e), 0},
        {"user checksum", make(bad_user + b + rule + e), SEC_CHECKSUM_MISMATCH},
        {"rule checksum", make(user_rec + b + bad_rule + e), SEC_CHECKSUM_MISMATCH},
        {"1025 bytes", make(user_rec + b + huge + e), SEC_RECORD_TOO_LONG},
        {"length not hex", make(user_rec + b + not_hex_len + e), SEC_BAD_LENGTH},
        {"checksum not hex", make(user_rec + b + not_hex_sum + e), SEC_BAD_CHECKSUM_FIELD},
        {"length zero", make(user_rec + b + zero_len + e), SEC_BAD_LENGTH},
        {"no BEGIN", make(user_rec + rule + e), SEC_UNEXPECTED_TYPE},
        {"USER among rules", make(user_rec + b + user_rec + e), SEC_UNEXPECTED_TYPE},
        {"BEGIN among rules", make(user_rec + b + rule + b + e), SEC_UNEXPECTED_TYPE},
        {"no END", make(user_rec + b + rule), SEC_RECORD_UNREADABLE},
        {"data cut short", make(user_rec + b + rule.substr(0, rule.size() - 2)),
         SEC_DATA_UNREADABLE},
        {"no blocks", header_line(), SEC_NO_USER_BLOCK},
        {"half a block header", header_line() + make("").substr(29, 20), SEC_BLOCK_UNREADABLE},
    };
    for (const Case& c : cases) {
        write_file(f, c.file);
        Session s(f, "someone", "CPU1", "CPU1");
        const Check got = s.check(SEC_ACT_BUILD, SEC_OBJ_FILE, "prodsked");
        EXPECT_EQ(got.allowed, c.reason == 0) << c.what;
        EXPECT_EQ(got.reason, c.reason) << c.what;
        // A failed load is not retried, and later checks do not fall back on
        // a rule list that was only partly read.
        const Check again = s.check(SEC_ACT_BUILD, SEC_OBJ_FILE, "prodsked");
        EXPECT_EQ(again.allowed, c.reason == 0) << c.what;
        EXPECT_EQ(again.reason, c.reason) << c.what;
        if (c.reason != 0) {
            EXPECT_FALSE(s.check(SEC_ACT_KILL, SEC_OBJ_FILE, "prodsked").allowed) << c.what;
        }
    }
}

TEST(SecurityReader, OnlyTheFirstSelectingBlockCounts) {
    TempDir dir;
    const std::string f = dir.file("s");
    const std::string display_only =
        cond('+', SEC_ATTR_NAME, {lit("@")}) + actions({SEC_ACT_DISPLAY});
    const std::string build_too =
        cond('+', SEC_ATTR_NAME, {lit("@")}) + actions({SEC_ACT_BUILD, SEC_ACT_DISPLAY});
    // The first block is for someone else and its rule record is damaged: it
    // is skipped by its length without being read.
    std::string other = block("other", {user(cond('+', SEC_ATTR_LOGON, {lit("nobody")})), begin(),
                                        file_rule(build_too), end()});
    other[other.size() - 9 - 3] ^= 0x55;  // inside the rule's data
    const std::string first = block("first", {user(cond('+', SEC_ATTR_LOGON, {lit("nobody")})),
                                              user(cond('+', SEC_ATTR_LOGON, {lit("op@")})),
                                              begin(), file_rule(display_only), end()});
    const std::string second = block("second", {user(cond('+', SEC_ATTR_LOGON, {lit("@")})),
                                                begin(), file_rule(build_too), end()});
    write_file(f, header_line() + other + first + second);
    expect_check(check_once(f, "operator", SEC_ACT_BUILD, "prodsked"), false, SEC_REFUSED);
    expect_check(check_once(f, "operator", SEC_ACT_DISPLAY, "prodsked"), true, 0);
    expect_check(check_once(f, "guest", SEC_ACT_BUILD, "prodsked"), true, 0);
    // The damaged record is found when its block does select the user.
    expect_check(check_once(f, "nobody", SEC_ACT_BUILD, "prodsked"), false, SEC_CHECKSUM_MISMATCH);

    // No block for the user: the search ends at the end of the file.
    write_file(f, header_line() + first);
    expect_check(check_once(f, "guest", SEC_ACT_DISPLAY, "prodsked"), false, SEC_NO_USER_BLOCK);

    // A block with BEGIN directly followed by END.
    write_file(f, header_line() + block("empty", {user(cond('+', SEC_ATTR_LOGON, {lit("@")})),
                                                  begin(), end()}));
    expect_check(check_once(f, "guest", SEC_ACT_DISPLAY, "prodsked"), false, SEC_NO_RULES);
}

TEST(SecurityReader, FindBlockByName) {
    TempDir dir;
    const std::string f = dir.file("s");
    const std::string a = simple_block("alpha", "nobody");
    const std::string b = simple_block("beta", "nobody");
    write_file(f, header_line() + a + b);
    Session s(f, "u", "CPU1", "CPU1");
    EXPECT_EQ(find_user_block(*s.ctx, "beta"), static_cast<std::int64_t>(29 + a.size() + 45));
    EXPECT_EQ(s.ctx->block_key, "beta");
    EXPECT_EQ(find_user_block(*s.ctx, "gamma"), 0);
    EXPECT_EQ(s.ctx->reason, SEC_NO_USER_BLOCK);
}

TEST(SecurityReader, TruncatedAtEveryLengthNeverAllows) {
    TempDir dir;
    const std::string f = dir.file("s");
    // The user is selected only by the last block, so every cut refuses.
    const std::string full = header_line() + simple_block("a", "nobody") +
                             simple_block("b", "nobody") + simple_block("c", "operator");
    write_file(f, full);
    expect_check(check_once(f, "operator", SEC_ACT_BUILD, "prodsked"), true, 0);
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
        write_file(f, full.substr(0, cut));
        const Check c = check_once(f, "operator", SEC_ACT_BUILD, "prodsked");
        EXPECT_FALSE(c.allowed) << cut;
        const int r = c.reason;
        EXPECT_TRUE(r == SEC_HEADER_UNREADABLE || r == SEC_HEADER_LENGTH ||
                    r == SEC_NO_USER_BLOCK || r == SEC_BLOCK_UNREADABLE ||
                    r == SEC_RECORD_UNREADABLE || r == SEC_DATA_UNREADABLE)
            << "cut " << cut << " reason " << r;
    }
}

TEST(SecurityReader, ReadingFunctionsReportOffsetsAndLengths) {
    TempDir dir;
    const std::string f = dir.file("s");
    const std::string b = simple_block("ops", "@");
    write_file(f, header_line() + b);
    Session s(f, "u", "CPU1", "CPU1");
    SecurityContext& ctx = *s.ctx;
    EXPECT_EQ(read_sec_header(ctx), 29);
    std::string name;
    EXPECT_EQ(read_block_header(ctx, 29, name), static_cast<long>(b.size()));
    EXPECT_EQ(name, "ops");
    int type = 0;
    std::vector<std::uint8_t> data;
    const long n = read_sec_record(ctx, 29 + 45, "ops", type, data);
    EXPECT_EQ(type, SEC_OBJ_USER);
    const std::string plain = cond('+', SEC_ATTR_LOGON, {lit("@")});
    EXPECT_EQ(n, static_cast<long>(plain.size()));
    EXPECT_EQ(std::string(data.begin(), data.end()), plain);
    EXPECT_EQ(read_sec_record(ctx, 29 + 45 + 9 + n, "ops", type, data), 0);
    EXPECT_EQ(type, SEC_OBJ_BEGIN);
    // The wrong key gives other bytes and so a checksum mismatch.
    EXPECT_EQ(read_sec_record(ctx, 29 + 45, "opt", type, data), -1);
    EXPECT_EQ(ctx.reason, SEC_CHECKSUM_MISMATCH);
}

TEST(SecurityReader, ConditionListParsing) {
    SecConditionList list;
    const std::string good = cond('+', SEC_ATTR_NAME, {lit("A"), var(SEC_VAR_USER)}) +
                             cond('~', SEC_ATTR_CPU, {lit("X")}) + actions({4, 10});
    ASSERT_TRUE(
        parse_conditions(reinterpret_cast<const std::uint8_t*>(good.data()), good.size(), list));
    ASSERT_EQ(list.conditions.size(), 2u);
    EXPECT_EQ(list.conditions[0].values.size(), 2u);
    EXPECT_TRUE(list.conditions[0].values[1].variable);
    EXPECT_TRUE(list.conditions[1].negated);
    EXPECT_EQ(list.actions, (std::vector<int>{4, 10}));

    const std::string bad[] = {
        std::string{'+', 6, 5, 'A'},       // value runs past the end
        std::string{'+', 6, 0},            // zero length
        std::string{'+', 6},               // no value
        std::string{'+', 6, 1, 'A', ','},  // comma without a value
        std::string{'*', 6, 1, 'A'},       // unknown separator
        std::string{'+', 6, 1, 'A', 'B'},  // junk after a value
        std::string{'+', 6, '\xff'},       // variable mark without a code
    };
    for (const std::string& b : bad) {
        EXPECT_FALSE(
            parse_conditions(reinterpret_cast<const std::uint8_t*>(b.data()), b.size(), list));
    }
}
