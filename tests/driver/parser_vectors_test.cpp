// The reference parses: for each schedule text, the rules reduced in order
// until the parse stops, and the result, through the real scanner, engine and
// actions.
//
// The reference runs stop only where the outcome needs no run date: at the
// first job name, at the end of the text, and at the grammar's error
// alternatives. So the schedule is parsed as a forced one (its ON clause
// selects whatever the date, its EXCEPT elements never match), with the
// calendars that the offsets read in the database; errors found by value
// checks (a LIMIT of 1000, an AT time of 2460) are recorded and the parse goes
// on past them, as in the reference runs.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "parser_testutil.h"

namespace {

using ptest::ParserTest;

struct Case {
    std::string text;
    std::vector<int> rules;
    int result = 0;
};

std::vector<Case> read_cases() {
    const std::string path = std::string(KORVEX_VECTORS_DIR) + "/parser.json";
    const std::string s = dbtest::read_file(path);
    dbtest::Json root;
    std::size_t at = 0;
    std::vector<Case> out;
    if (!dbtest::parse_json(s, at, &root)) return out;
    for (const dbtest::Json& item : root.items) {
        Case c;
        c.text = item["text"].text;
        for (const dbtest::Json& r : item["reductions"].items)
            c.rules.push_back(static_cast<int>(r.number));
        c.result = static_cast<int>(item["result"].number);
        out.push_back(std::move(c));
    }
    return out;
}

// The rule numbers of the "Reduce by (n)" lines of a trace.
std::vector<int> reductions_in(const std::string& trace) {
    std::vector<int> rules;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        int n = 0;
        if (std::sscanf(line.c_str(), "Reduce by (%d)", &n) == 1) rules.push_back(n);
    }
    return rules;
}

std::string read_all(std::FILE* f) {
    std::string out;
    std::rewind(f);
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        out.append(buf, n);
    return out;
}

// The definition error that each error alternative (and the missing END)
// raises when the parse stops there.
const std::map<int, int> kStopErrors = {
    {8, 36},  {10, 52}, {13, 38},  {20, 35},  {24, 41},  {33, 41},  {69, 42},
    {73, 44}, {84, 43}, {104, 39}, {132, 43}, {142, 43}, {262, 39}, {270, 43},
};

class ParserVectors : public ParserTest {};

TEST_F(ParserVectors, EveryReferenceParseIsReproduced) {
    for (const char* name : {"CAL", "CALA", "CALB", "CALC", "MONTHEND", "PAYDAY", "TAXDAY", "QEND"})
        calendar(name, {{2026, 10, 30}, {2027, 1, 15}});
    calendar("HOLIDAYS", {{2026, 12, 25}});
    run_date(0, 0, 0);
    ptest::recorded().go_on_after_checks = true;

    const std::vector<Case> cases = read_cases();
    ASSERT_EQ(cases.size(), 50u);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE("case " + std::to_string(i) + ": " + c.text);
        ptest::recorded().definition_errors.clear();
        std::FILE* trace = std::tmpfile();
        ASSERT_NE(trace, nullptr);
        sched_eval_state& st = evaluation_state();
        st.trace = true;
        st.trace_out = trace;
        testing::internal::CaptureStderr();  // missing calendars are reported there
        const int rc = parse(c.text, true);
        testing::internal::GetCapturedStderr();
        st.trace = false;
        st.trace_out = nullptr;
        const std::vector<int> got = reductions_in(read_all(trace));
        std::fclose(trace);

        EXPECT_EQ(rc, c.result);
        EXPECT_EQ(got, c.rules);
        ASSERT_FALSE(c.rules.empty());
        const auto stop = kStopErrors.find(c.rules.back());
        if (stop != kStopErrors.end()) {
            ASSERT_FALSE(ptest::recorded().definition_errors.empty());
            EXPECT_EQ(ptest::recorded().definition_errors.back(), stop->second);
        }
        // Every other error is one that the reference runs pass over.
        std::vector<int> others = ptest::recorded().definition_errors;
        if (stop != kStopErrors.end() && !others.empty()) others.pop_back();
        for (int e : others) {
            EXPECT_TRUE(ptest::is_check_error(e)) << e;
        }
    }
    EXPECT_TRUE(ptest::recorded().exits.empty());
}

// The checks the reference runs pass over: each is a definition error here.
TEST_F(ParserVectors, ValueChecksOfTheReferenceTextsAreDefinitionErrors) {
    calendar("CALA", {{2027, 1, 15}});
    run_date(0, 0, 0);
    const struct {
        const char* text;
        int error;
    } cases[] = {
        {"Schedule CPU3#S121\nON CALA,27/12/10,TH AT 2460\n:\nEND", 1},
        {"SCHEDULE CPU3#S161 on CALA +0 DAYS\nat 1845 +2 DAY LIMIT 1000\n:\nJ1\nEND", 2},
        {"SCHEDULE CPU1#S142 On EVERYDAY LIMIT 50 PRIORITY 150\n:\nJ1\nEND", 4},
    };
    for (const auto& c : cases) {
        ptest::recorded().definition_errors.clear();
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse(c.text, true), 0);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(errors(), std::vector<int>{c.error}) << c.text;
    }
}

}  // namespace
