// The parser engine: the stack limit, error recovery and accept on a small
// hand-built table set, and the trace and the end of input on the schedule
// language's own tables.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "driver/sparser.h"
#include "driver/sparser_tables.h"

namespace {

// Tables for the right-recursive grammar
//   1  S : 'a' S        2  S : 'b'        3  S : error 'b'
// (S is nonterminal 1; every rule has an action). States:
//   0  start            shifts 'a' -> 2, 'b' -> 3, error -> 4, goto S -> 1
//   1  S read           accepts at end of input, needs a token, shifts nothing
//   2  'a' read         shifts as state 0 (same packed entries), goto S -> 5
//   3  'b' read         reduces 2 without a token
//   4  error read       shifts 'b' -> 6
//   5  'a' S read       reduces 1
//   6  error 'b' read   reduces 3
struct TinyTables {
    std::vector<std::int16_t> base{0, -1000, 0, -3000, 1, -3000, -3000};
    std::vector<std::int16_t> action = std::vector<std::int16_t>(304, 0);
    std::vector<std::int16_t> check{-1000, -1, 'a', 'b', 256, -1, 'b'};
    std::vector<std::int16_t> dflt{0, -2, 0, 2, 0, 1, 3};
    std::vector<std::int16_t> exceptions{-1, 1, 0, -1, -2, 0};
    std::vector<std::int16_t> goto_base{0, 300};
    std::vector<std::int16_t> lhs{0, 1, 1, 1};
    std::vector<std::int16_t> length{0, 5, 3, 5};
    std::vector<SparserTokenName> names{{"SCH_EOF", 0}, {"-unknown-", -1}};
    std::vector<const char*> texts{"-no such reduction-", "S : 'a' S", "S : 'b'", "S : error 'b'"};

    TinyTables() {
        action['a'] = 2;
        action['b'] = 3;
        action[256] = 4;
        action['b' + 1] = 6;  // state 4's base is 1
        action[300] = 1;      // goto S, default
        action[303] = 5;      // goto S from state 2
    }
    SparserTables view() const {
        return {base, action, check, dflt, exceptions, goto_base, lhs, length, names, texts, 0, 0};
    }
};

struct ParseRun {
    int result = -1;
    std::vector<int> rules;
    std::string trace;
};

ParseRun run(const SparserTables& t, const std::string& input, bool trace = false) {
    ParseRun r;
    std::size_t next = 0;
    std::FILE* out = std::tmpfile();
    parser_io io;
    io.next_token = [&] {
        return next < input.size() ? static_cast<unsigned char>(input[next++]) : 0;
    };
    io.token_value = [] { return 7; };
    io.action = [&](int rule, std::span<const int>, int&) {
        r.rules.push_back(rule);
        return action_result::go_on;
    };
    io.trace = trace;
    io.trace_out = out;
    r.result = run_parser(io, t);
    std::rewind(out);
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, out)) > 0;)
        r.trace.append(buf, n);
    std::fclose(out);
    return r;
}

TEST(ParserEngine, ShiftsReducesAndAcceptsAtTheEnd) {
    const TinyTables tiny;
    const ParseRun r = run(tiny.view(), "aaab");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.rules, (std::vector<int>{2, 1, 1, 1}));
    // Input that stops short has no way on: abort.
    EXPECT_EQ(run(tiny.view(), "aa").result, 1);
}

TEST(ParserEngine, TheHundredAndFiftyFirstStateAborts) {
    const TinyTables tiny;
    // State 0, 148 states for 'a' and one for 'b': 150 states.
    EXPECT_EQ(run(tiny.view(), std::string(148, 'a') + "b").result, 0);
    const ParseRun deep = run(tiny.view(), std::string(149, 'a') + "b");
    EXPECT_EQ(deep.result, 1);
    EXPECT_TRUE(deep.rules.empty());
    EXPECT_TRUE(deep.trace.empty());  // nothing is reported
    EXPECT_EQ(run(tiny.view(), std::string(100000, 'a')).result, 1);
}

TEST(ParserEngine, ErrorRecoveryShiftsErrorDiscardsAndPops) {
    const TinyTables tiny;
    // 'c' is unexpected after 'a': error is shifted from state 2, 'c' is
    // discarded in state 4, and 'b' completes S : error 'b'.
    ParseRun r = run(tiny.view(), "acb", true);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.rules, (std::vector<int>{3, 1}));
    EXPECT_NE(r.trace.find("Error recovery discards token -unknown-\n"), std::string::npos)
        << r.trace;

    // A second error right after recovery: state 1 cannot shift error (its
    // base is far below the table), so it is popped and state 0 shifts it.
    r = run(tiny.view(), "acbb", true);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.rules, (std::vector<int>{3, 1, 3}));
    EXPECT_NE(r.trace.find("Error recovery pops state 1, uncovers state 0\n"), std::string::npos)
        << r.trace;

    // Discarding reaches the end of input: abort.
    r = run(tiny.view(), "cc", true);
    EXPECT_EQ(r.result, 1);
    EXPECT_NE(r.trace.find("Error recovery discards token end-of-file\n"), std::string::npos);

    // No state on the stack shifts error: abort.
    TinyTables no_error = tiny;
    no_error.action[256] = 0;
    EXPECT_EQ(run(no_error.view(), "c").result, 1);
    EXPECT_EQ(run(no_error.view(), "ac").result, 1);
}

// Each state's exception sequence is found wherever it stands in the table;
// only its first pair decides for a token, the closing pair for any other;
// a state without a sequence has no way on.
TEST(ParserEngine, ExceptionSequencesDecidePerState) {
    TinyTables tiny;
    // Another state's sequence first, then state 1's, whose pair for 'x'
    // comes before a second one that must never be reached.
    tiny.exceptions = {-1, 5, 0, 1, -2, 0, -1, 1, 'x', 2, 'x', 1, 0, -1, -2, 0};
    EXPECT_EQ(run(tiny.view(), "b").result, 0);
    EXPECT_EQ(run(tiny.view(), "ab").result, 0);
    // Without a sequence for state 1, reading the end after S is an error
    // with nothing to recover by.
    tiny.exceptions = {-1, 5, 0, -1, -2, 0};
    EXPECT_EQ(run(tiny.view(), "b").result, 1);
    tiny.exceptions.clear();
    EXPECT_EQ(run(tiny.view(), "b").result, 1);
}

TEST(ParserEngine, TheTraceShowsStatesTokensAndReductions) {
    const TinyTables tiny;
    const ParseRun r = run(tiny.view(), "ab", true);
    EXPECT_EQ(r.trace,
              "State 0, token -none-\n"
              "Received token -unknown-\n"
              "State 2, token -none-\n"
              "Received token -unknown-\n"
              "State 3, token -none-\n"
              "Reduce by (2) \"S : 'b'\"\n"
              "State 5, token -none-\n"
              "Reduce by (1) \"S : 'a' S\"\n"
              "State 1, token -none-\n"
              "Received token end-of-file\n");
}

// Rule 4 accepts a text that is nothing but the end of input; rules 3 and 4
// must stop the parse, or it would read the end of input for ever.
TEST(ParserEngine, EndOfInputAloneIsAccepted) {
    std::vector<int> rules;
    int calls = 0;
    parser_io io;
    io.next_token = [&] { return ++calls > 1000 ? -1 : 0; };
    io.action = [&](int rule, std::span<const int> symbols, int& value) {
        rules.push_back(rule);
        return schedule_action(rule, symbols, value);
    };
    EXPECT_EQ(run_parser(io), 0);
    EXPECT_EQ(rules, std::vector<int>{4});
    // A negative token code counts as the end of input.
    rules.clear();
    io.next_token = [] { return -5; };
    EXPECT_EQ(run_parser(io), 0);
    EXPECT_EQ(rules, std::vector<int>{4});
}

TEST(ParserEngine, TheTraceOfAOneLineSchedule) {
    reset_evaluation_state();
    sched_eval_state& st = evaluation_state();
    st.selected = true;
    st.this_workstation = "CPU1";
    st.trace = true;
    std::FILE* out = std::tmpfile();
    st.trace_out = out;
    string_lines_input in = lines_from_text("SCHEDULE CPU1#S1 ON EVERYDAY : J1");
    EXPECT_EQ(parse_schedule(in, false), 0);
    std::string trace;
    std::rewind(out);
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, out)) > 0;)
        trace.append(buf, n);
    std::fclose(out);
    reset_evaluation_state();

    for (const char* line : {
             "State 0, token -none-\n",
             "Received token SCHEDULE\n",
             "Reduce by (9) \"schedstart : SCHEDULE\"\n",
             "Received token ID\n",
             "Received token -unknown-\n",
             "Reduce by (5) \"sched_stmt : schedstart schedid\"\n",
             "Received token ON\n",
             "Received token EVERYDAY\n",
             "Reduce by (40) \"on_day : EVERYDAY\"\n",
             "Reduce by (21) \"on_date : ON on_date_fmt\"\n",
             "Reduce by (29) \"except_date :\"\n",
             "Reduce by (110) \"job_stmt : stdid40_w_cpu\"\n",
         })
        EXPECT_NE(trace.find(line), std::string::npos) << line << "in\n" << trace;
    // The parse stops at the first job name: the trace ends there.
    const std::string last = "Reduce by (110) \"job_stmt : stdid40_w_cpu\"\n";
    ASSERT_GE(trace.size(), last.size());
    EXPECT_EQ(trace.substr(trace.size() - last.size()), last);
    // Every token read is announced, every state pushed is shown.
    std::size_t states = 0, received = 0;
    for (std::size_t at = 0; (at = trace.find("State ", at)) != std::string::npos; ++at)
        ++states;
    for (std::size_t at = 0; (at = trace.find("Received token ", at)) != std::string::npos; ++at)
        ++received;
    EXPECT_EQ(received, 9u);  // SCHEDULE CPU1 # S1 ON EVERYDAY : J1 and one look-ahead
    EXPECT_GT(states, received);
}

}  // namespace
