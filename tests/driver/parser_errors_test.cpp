// Definition errors of the schedule header: the grammar's error alternatives,
// the checks of values and names in both name modes, the messages, and the
// exit status 2 of a real definition error.
#include <cstdlib>
#include <string>

#include "parser_testutil.h"

namespace {

using ptest::find_entry;
using ptest::ParserTest;

struct ErrorCase {
    std::string text;
    int error;  // 0: none
};

std::string rep(char c, std::size_t n) {
    return std::string(n, c);
}

class DefinitionErrors : public ParserTest {
  protected:
    void SetUp() override {
        ParserTest::SetUp();
        calendar("PAYDAY", {{2027, 1, 8}});
        run_date(2027, 1, 8);
    }

    // The first definition error of a forced parse (so that every text gets
    // past its ON clause), 0 for none; the parse must end in accept.
    int first_error(const std::string& text) {
        ptest::recorded().definition_errors.clear();
        testing::internal::CaptureStderr();
        const int rc = parse(text, true);
        last_stderr_ = testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, 0) << text;
        return errors().empty() ? 0 : errors().front();
    }

    void expect_all(const std::vector<ErrorCase>& cases) {
        for (const ErrorCase& c : cases)
            EXPECT_EQ(first_error(c.text), c.error) << c.text;
    }

    std::string last_stderr_;
};

TEST_F(DefinitionErrors, TheHeadersStructure) {
    expect_all({
        {"SCHEDUL CPU1#S1 ON FR\n:\nJ1\nEND", 36},
        {"ON FR\n:\nJ1", 36},
        {"SCHEDULE CPU1#S1 :\nJ1\nEND", 35},
        {"SCHEDULE CPU1#S1\n:\nJ1\nEND", 35},
        {"SCHEDULE CPU1#S1 ON FR\n:", 52},
        {"SCHEDULE CPU1#S1 ON FR\n:\n", 52},
        {"SCHEDULE CPU1#S1 ON FR\n:\nEND", 0},
        {"SCHEDULE #S1 ON FR\n:\nJ1", 38},
        {"SCHEDULE CPU1#S1 ON FR FOLLOWS ,X\n:\nJ1", 38},
        {"SCHEDULE CPU1#S1 ON FR FOLLOWS X.\n:\nJ1", 38},
        {"SCHEDULE CPU1#S1 ON FR NEEDS ,\n:\nJ1", 38},
    });
}

TEST_F(DefinitionErrors, DateClauses) {
    expect_all({
        {"SCHEDULE CPU1#S1 ON FR EXCEPT WORKDAYS\n:\nJ1", 41},
        {"SCHEDULE CPU1#S1 ON FR EXCEPT EVERYDAY\n:\nJ1", 41},
        {"SCHEDULE CPU1#S1 ON FR EXCEPT\n:\nJ1", 41},
        {"SCHEDULE CPU1#S1 ON FR,\n:\nJ1", 41},
        {"SCHEDULE CPU1#S1 ON MO +\n:\nJ1\nEND", 43},
        {"SCHEDULE CPU1#S1 ON PAYDAY + DAYS\n:\nJ1", 42},
        {"SCHEDULE CPU1#S1 ON PAYDAY -\n:\nJ1", 42},
        {"SCHEDULE CPU1#S1 ON PAYDAY +1 HOURS\n:\nJ1", 44},
        {"SCHEDULE CPU1#S1 ON 2027/02/30\n:\nJ1", 26},
        {"SCHEDULE CPU1#S1 ON FR EXCEPT 27/13/01\n:\nJ1", 26},
        {"SCHEDULE CPU1#S1 ON 2028/02/29\n:\nJ1", 0},
    });
}

TEST_F(DefinitionErrors, ScheduleKeywords) {
    const std::string h = "SCHEDULE CPU1#S1 ON FR ";
    expect_all({
        {h + "PRIORITY .\n:\nJ1", 43},
        {h + "OPENS #\n:\nJ1", 43},
        {h + "OPENS ,\n:\nJ1", 43},
        {h + "AT\n:\nJ1", 39},
        {h + "AT 2460\n:\nJ1", 1},
        {h + "AT 2400\n:\nJ1", 1},
        {h + "UNTIL 1260\n:\nJ1", 1},
        {h + "AT 2359 UNTIL 0000 +1 DAY\n:\nJ1", 0},
        {h + "AT 1200 +1 WEEKS\n:\nJ1", 42},
        {h + "AT X\n:\nJ1", 39},
        {h + "LIMIT X\n:\nJ1", 39},
        {h + "LIMIT 1000\n:\nJ1", 2},
        {h + "LIMIT 999\n:\nJ1", 0},
        {h + "NEEDS 33 TAPE\n:\nJ1", 3},
        {h + "NEEDS 0 TAPE\n:\nJ1", 3},
        {h + "NEEDS 32 CPU2#TAPE, TAPE2\n:\nJ1", 0},
        {h + "PRIORITY 100\n:\nJ1", 4},
        {h + "PRIORITY 99 PRIORITY HI PRIORITY GO\n:\nJ1", 0},
        {h + "IN ORDER CARRYFORWARD\n:\nJ1", 211},
        {h + "IN ORDER LIMIT 5\n:\nJ1", 211},
        {h + "CARRYFORWARD LIMIT 5 IN ORDER\n:\nJ1", 0},
    });
}

TEST_F(DefinitionErrors, PromptTextsAndTheirParameterReferences) {
    const std::string h = "SCHEDULE CPU1#S1 ON FR PROMPT ";
    expect_all({
        {h + "\"a ^^ b\"\n:\nJ1", 210},
        {h + "\"^ABCDEFGHI^\"\n:\nJ1", 200},
        {h + "\"^1A^\"\n:\nJ1", 201},
        {h + "\"^A.B^\"\n:\nJ1", 202},
        {h + "\"cost \\^5 ^P1^ and ^P_2-X^\"\n:\nJ1", 0},
        {h + "\"one caret ^ only\"\n:\nJ1", 0},
        // Texts are joined before their references are looked at.
        {h + "\"^ABCD\" \"EFGHIJ^\"\n:\nJ1", 200},
        {h + "\"^AB\" \"CD^\", \"x\"\n:\nJ1", 0},
        {h + ",\n:\nJ1", 51},
        {h + "\"a\" ,\n:\nJ1", 51},
        {h + "RESPONSE1\n:\nJ1", 200},
    });
    // Text beyond the length kept is not looked at.
    EXPECT_EQ(first_error(h + "\"" + rep('x', 201) + "^TOOLONGNAME^\"\n:\nJ1"), 0);
}

TEST_F(DefinitionErrors, OpensFileNames) {
    const std::string h = "SCHEDULE CPU1#S1 ON FR OPENS ";
    const std::string dir = "/" + rep('d', 100) + "/";
    expect_all({
        {h + "\"" + dir + rep('f', 28) + "\"\n:\nJ1", 0},
        {h + "\"" + dir + rep('f', 29) + "\"\n:\nJ1", 56},
        {h + "\"C:\\x\\" + rep('f', 29) + "\"\n:\nJ1", 56},
        {h + "\"/" + rep('d', 120) + "/" + rep('f', 26) + "\"\n:\nJ1", 0},   // 148
        {h + "\"/" + rep('d', 120) + "/" + rep('f', 27) + "\"\n:\nJ1", 54},  // 149
        {h + "/tmp/" + rep('f', 20) + ".dat.x\n:\nJ1", 0},
        {h + "/tmp/" + rep('f', 20) + ".dat.x1234\n:\nJ1", 56},
        {h + "CPU2#/tmp/x (-s)\n:\nJ1", 0},
        {h + "AB.CD.EF\n:\nJ1", 0},
        {h + "AB.CD.EFGHIJKLM\n:\nJ1", 200},
    });
    EXPECT_EQ(first_error(h + "\"/" + rep('d', 120) + "/" + rep('f', 27) + "\"\n:\nJ1"), 54);
    EXPECT_NE(last_stderr_.find("at most 148 characters"), std::string::npos) << last_stderr_;
    EXPECT_EQ(first_error(h + "\"" + dir + rep('f', 29) + "\"\n:\nJ1"), 56);
    EXPECT_NE(last_stderr_.find("at most 28 characters"), std::string::npos) << last_stderr_;
}

TEST_F(DefinitionErrors, AtMostFortyFollowsPerSchedule) {
    std::string follows;
    for (int i = 1; i <= 40; ++i)
        follows += (i > 1 ? "," : "") + std::string("S") + std::to_string(i);
    const std::string h = "SCHEDULE CPU1#S1 ON FR FOLLOWS ";
    EXPECT_EQ(first_error(h + follows + "\n:\nJ1"), 0);
    EXPECT_EQ(find_entry("CPU1", "S1")->dependencies.size(), 40u);
    EXPECT_EQ(first_error(h + follows + ",S41\n:\nJ1"), 208);
    // Across several FOLLOWS keywords of the header too.
    EXPECT_EQ(first_error(h + follows + " FOLLOWS S41\n:\nJ1"), 208);
}

// The widths of the name modes: workstation and schedule 8 or 16, job names 8
// or 40, calendar names and resources 8 in both.
class NameWidths : public DefinitionErrors, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        long_names_ = GetParam();
        DefinitionErrors::SetUp();
    }
};

INSTANTIATE_TEST_SUITE_P(Modes, NameWidths, ::testing::Values(false, true));

TEST_P(NameWidths, NamesAreCheckedForLengthFirstLetterAndCharacters) {
    const bool long_names = GetParam();
    const std::string s8 = "ABCDEFGH", s9 = "ABCDEFGHI", s16 = "ABCDEFGHIJKLMNOP", s17 = s16 + "Q";
    const int ws = long_names ? 16 : 8;
    expect_all({
        {"SCHEDULE CPU1#" + s8 + " ON FR\n:\nJ1", 0},
        {"SCHEDULE CPU1#" + s9 + " ON FR\n:\nJ1", long_names ? 0 : 200},
        {"SCHEDULE CPU1#" + s16 + " ON FR\n:\nJ1", long_names ? 0 : 200},
        {"SCHEDULE CPU1#" + s17 + " ON FR\n:\nJ1", 200},
        {"SCHEDULE " + s17 + "#S1 ON FR\n:\nJ1", 200},
        {"SCHEDULE CPU1#1S ON FR\n:\nJ1", 201},
        {"SCHEDULE CPU1#-S ON FR\n:\nJ1", 201},
        {"SCHEDULE CPU1#S%1 ON FR\n:\nJ1", 202},
        {"SCHEDULE CPU1#S_1-A ON FR\n:\nJ1", 0},
        {"SCHEDULE CPU1#S1 ON FR FOLLOWS " + s9 + "\n:\nJ1", long_names ? 0 : 200},
        {"SCHEDULE CPU1#S1 ON FR FOLLOWS " + s17 + " :: X\n:\nJ1", 200},
        {"SCHEDULE CPU1#S1 ON " + s9 + "\n:\nJ1", 200},
        {"SCHEDULE CPU1#S1 ON FR NEEDS 1 " + s9 + "\n:\nJ1", 200},
        {"SCHEDULE CPU1#S1 ON FR\n:\nJOB456789", long_names ? 0 : 200},
        {"SCHEDULE CPU1#S1 ON FR\n:\nJ" + rep('1', 39), long_names ? 0 : 200},
        {"SCHEDULE CPU1#S1 ON FR\n:\nJ" + rep('1', 40), 200},
        {"SCHEDULE CPU1#S1 ON FR\n:\n" + s17 + "#J1", 200},
    });
    // The width is the message's argument; 300 characters are just too long.
    EXPECT_EQ(first_error("SCHEDULE CPU1#" + rep('S', 300) + " ON FR\n:\nJ1"), 200);
    EXPECT_NE(last_stderr_.find("at most " + std::to_string(ws) + " characters"), std::string::npos)
        << last_stderr_;
    EXPECT_NE(last_stderr_.find("schedule is not built"), std::string::npos);
}

// The grammar's alternative for a malformed file name under OPENS that the
// scanner never lets a text reach (the keyword would be a name there): fed as
// tokens to the real tables and actions.
TEST_F(DefinitionErrors, TheSecondFileNameAlternativeIsAKeywordError) {
    const std::vector<int> tokens = {SCHEDULE, ID, ON, DAY_OF_WEEK, OPENS, AUTODOCON, ':', ID};
    std::size_t next = 0;
    std::vector<int> rules;
    parser_io io;
    io.next_token = [&] { return next < tokens.size() ? tokens[next++] : 0; };
    io.token_value = [] { return 0; };
    io.shifted = [](int token) { evaluation_state().token_text = token == ID ? "NAME" : "FR"; };
    io.action = [&](int rule, std::span<const int> symbols, int& value) {
        rules.push_back(rule);
        return schedule_action(rule, symbols, value);
    };
    evaluation_state().selected = true;
    testing::internal::CaptureStderr();
    EXPECT_EQ(run_parser(io), 0);
    testing::internal::GetCapturedStderr();
    ASSERT_FALSE(rules.empty());
    EXPECT_EQ(rules.back(), 142);
    EXPECT_EQ(errors(), std::vector<int>{43});
}

// Without the test hook a definition error ends the process with status 2
// and its messages on standard error.
TEST_F(DefinitionErrors, ARealDefinitionErrorExitsWithStatusTwo) {
    set_schedule_error_hook(nullptr);
    EXPECT_EXIT(
        {
            parse("SCHEDULE CPU1#S1 ON FR PRIORITY .\n:\nJ1", true);
            std::exit(0);
        },
        ::testing::ExitedWithCode(2), "schedule is not built.*\n.*A schedule keyword is not valid");
    EXPECT_EXIT(
        {
            parse("SCHEDUL X", true);
            std::exit(0);
        },
        ::testing::ExitedWithCode(2), "must begin with the keyword SCHEDULE");
}

}  // namespace
