// Random damage to a valid Security file: the check never crashes and never
// answers outside its reasons.
#include <random>
#include <set>

#include "tests/security/sec_testutil.h"

using namespace sectest;

namespace {

std::string valid_file() {
    const std::string name_rule = cond('+', SEC_ATTR_NAME, {lit("PROD@"), var(SEC_VAR_USER)}) +
                                  cond('~', SEC_ATTR_CPU, {lit("X?")}) +
                                  cond('+', SEC_ATTR_CPU, {var(SEC_VAR_THISCPU)}) +
                                  actions({SEC_ACT_BUILD, SEC_ACT_DISPLAY});
    return header_line() +
           block("first", {user(cond('+', SEC_ATTR_LOGON, {lit("nobody")})), begin(),
                           file_rule(name_rule), end()}) +
           block("", {user(cond('+', SEC_ATTR_LOGON, {lit("op@"), var(SEC_VAR_USER)}) +
                           cond('+', SEC_ATTR_CPU, {var(SEC_VAR_SLAVES)})),
                      begin(), file_rule(name_rule),
                      Rec{SEC_OBJ_JOB, cond('+', SEC_ATTR_NAME, {lit("@")}) + actions({12})},
                      file_rule(cond('+', SEC_ATTR_NAME, {lit("@")}) + actions({10})), end()});
}

}  // namespace

TEST(SecurityFuzz, RandomDamageNeverCrashes) {
    TempDir dir;
    const std::string f = dir.file("Security");
    const std::string good = valid_file();
    write_file(f, good);
    expect_check(check_once(f, "operator", SEC_ACT_BUILD, "prodsked"), true, 0);

    const std::set<int> reasons = {0,  4,  5,  7,  8,  9,  10, 11, 12, 13,
                                   14, 15, 16, 18, 19, 21, 22, 23, 27};
    std::mt19937 rng(20240607);
    int refused = 0;
    constexpr int kRounds = 3000;
    for (int round = 0; round < kRounds; ++round) {
        std::string bad = good;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = rng() % bad.size();
            switch (rng() % 5) {
                case 0:  // a random byte
                    bad[at] = static_cast<char>(rng());
                    break;
                case 1:  // one bit
                    bad[at] = static_cast<char>(bad[at] ^ (1 << (rng() % 8)));
                    break;
                case 2:  // cut
                    bad.resize(at);
                    break;
                case 3:  // a hexadecimal digit in place of another character
                    bad[at] = "0123456789ABCDEF"[rng() % 16];
                    break;
                default:  // a byte removed
                    bad.erase(at, 1);
                    break;
            }
            if (bad.empty()) break;
        }
        write_file(f, bad);
        Session s(f, "operator", "CPU1", "CPU1");
        for (int action : {int{SEC_ACT_BUILD}, int{SEC_ACT_DISPLAY}, 0}) {
            const Check c = s.check(action, SEC_OBJ_FILE, "prodsked");
            EXPECT_TRUE(reasons.count(c.reason)) << "round " << round << " reason " << c.reason;
            EXPECT_EQ(c.allowed, c.reason == 0) << "round " << round;
            if (!c.allowed) ++refused;
            // The refusal can always be put into words.
            EXPECT_EQ(security_error_text(s.ctx.get()).empty(), c.allowed);
        }
    }
    EXPECT_GT(refused, kRounds);
}
