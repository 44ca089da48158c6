// The schedule-language parser tables as compiled into the program: numbering
// of rules and tokens, the default-reduction layout the engine relies on, and
// parses of sample schedules checked against reference reductions.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

#include "table_engine.h"
#include "tools/lalrgen_grammar.h"
#include "tools/lalrgen_tables.h"

using tabletest::TableView;

namespace {

const SparserTables& T = sparser_tables;

int tok(const char* name) {
    return tabletest::token_code(T, name);
}

// Where the grammar's actions end a parse: accepting the end of input, the
// first job name, the missing END, and every alternative that catches a syntax
// error (they report a definition error).
std::set<int> stop_rules() {
    std::set<int> stops = {3, 4, 10, 110};
    for (size_t r = 1; r < T.rule_texts.size(); ++r) {
        std::string text = T.rule_texts[r];
        if (text.size() >= 6 && text.compare(text.size() - 6, 6, " error") == 0)
            stops.insert(static_cast<int>(r));
    }
    return stops;
}

std::string grammar_path() {
    return std::string(KORVEX_SOURCE_DIR) + "/driver/sparser.grammar";
}

}  // namespace

TEST(SparserTables, RulesAndTokensAreNumberedAsTheLanguageDefines) {
    ASSERT_EQ(T.rule_lhs.size(), 282u);
    ASSERT_EQ(T.rule_length.size(), 282u);
    ASSERT_EQ(T.rule_texts.size(), 282u);
    EXPECT_STREQ(T.rule_texts[0], "-no such reduction-");
    // 358 states and 147 nonterminals (mid-rule actions included) are what the
    // language's grammar gives; a change here means the grammar changed.
    EXPECT_EQ(T.action_base.size(), 358u);
    EXPECT_EQ(T.goto_base.size(), 148u);

    // Mid-rule actions are empty rules numbered just before their rule, each
    // with a left side of its own, named after the symbols before it.
    EXPECT_STREQ(T.rule_texts[5], "sched_stmt : schedstart schedid");
    EXPECT_STREQ(T.rule_texts[6],
                 "sched_stmt : schedstart schedid on_date except_date sched_deps ':'");
    EXPECT_STREQ(T.rule_texts[7],
                 "sched_stmt : schedstart schedid on_date except_date sched_deps ':' "
                 "job_stmts schedend");
    EXPECT_STREQ(T.rule_texts[109], "job_stmt :");
    EXPECT_STREQ(T.rule_texts[16], "stdid_w_hyphen : error '#' save_id");
    EXPECT_STREQ(T.rule_texts[281], "ck_p_txt : ck_p_txt QUOTED_STRING");
    EXPECT_NE(T.rule_lhs[5], T.rule_lhs[6]);
    EXPECT_NE(T.rule_lhs[5], T.rule_lhs[7]);
    EXPECT_EQ(T.rule_lhs[71], T.rule_lhs[72]);
    EXPECT_EQ(T.rule_lhs[262], T.rule_lhs[263]);

    // Length: twice the right-side symbols (mid-rule actions count), plus one
    // when an action runs.
    EXPECT_EQ(T.rule_length[5], 1);     // mid-rule action
    EXPECT_EQ(T.rule_length[7], 20);    // ten symbols, no action of its own
    EXPECT_EQ(T.rule_length[29], 0);    // empty, no action
    EXPECT_EQ(T.rule_length[3], 5);     // accepts the end of input
    EXPECT_EQ(T.rule_length[44], 3);    // saves the identifier
    EXPECT_EQ(T.rule_length[37], 2);    // the element's rule records the day
    EXPECT_EQ(T.rule_length[112], 13);  // six symbols and an action
    EXPECT_EQ(T.rule_length[264], 1);   // empty offset: value 0

    ASSERT_EQ(T.token_names.size(), 55u);
    EXPECT_STREQ(T.token_names.back().name, "-unknown-");
    EXPECT_EQ(T.token_names.back().code, -1);
    std::set<int> codes;
    for (size_t i = 0; i + 1 < T.token_names.size(); ++i)
        codes.insert(T.token_names[i].code);
    EXPECT_EQ(codes.size(), 54u);
    EXPECT_EQ(*codes.begin(), 0);
    EXPECT_EQ(*std::next(codes.begin()), 257);
    EXPECT_EQ(*codes.rbegin(), 309);
    EXPECT_EQ(tok("SCH_EOF"), 0);
    EXPECT_EQ(tok("SCHEDULE"), 257);
    EXPECT_EQ(tok("WORKDAYS"), 278);
    EXPECT_EQ(tok("DAY_OF_WEEK"), 298);
    EXPECT_EQ(tok("EXTRANEOUS"), 309);
}

// A grammar change that adds a conflict must be looked at, and these numbers
// changed with it.
TEST(SparserTables, ConflictCountsArePinned) {
    EXPECT_EQ(T.shift_reduce_conflicts, 24);
    EXPECT_EQ(T.reduce_reduce_conflicts, 44);
}

TEST(SparserTables, DefaultActionsFollowTheEngineContract) {
    const TableView v = TableView::of(T);
    const int states = static_cast<int>(v.base.size());

    // Exception sequences: well formed, one per state that defers to them.
    std::set<int> listed;
    for (size_t i = 0; i < v.exceptions.size();) {
        ASSERT_EQ(v.exceptions[i], SPT_EXC_START) << "at " << i;
        int state = v.exceptions[i + 1];
        ASSERT_TRUE(state >= 0 && state < states);
        EXPECT_TRUE(listed.insert(state).second) << "state " << state << " listed twice";
        EXPECT_EQ(v.dflt[state], SPT_SEE_EXCEPTIONS) << "state " << state;
        int last = -1;
        for (i += 2; i + 1 < v.exceptions.size() && v.exceptions[i] >= 0; i += 2) {
            EXPECT_GT(v.exceptions[i], last) << "state " << state;
            last = v.exceptions[i];
            int act = v.exceptions[i + 1];
            EXPECT_TRUE(act == SPT_ACCEPT || (act > 0 && act < 282)) << "state " << state;
        }
        ASSERT_LT(i + 1, v.exceptions.size());
        EXPECT_LT(v.exceptions[i], 0);
        i += 2;
    }

    int error_states = 0, silent_states = 0;
    for (int s = 0; s < states; ++s) {
        if (v.dflt[s] == SPT_SEE_EXCEPTIONS) {
            EXPECT_TRUE(listed.count(s)) << "state " << s;
        }
        if (v.base[s] <= SPT_NO_LOOKAHEAD) {
            // Reduces by its one rule without reading a token.
            ++silent_states;
            EXPECT_GT(v.dflt[s], 0) << "state " << s;
            for (int t = 0; t <= 309; ++t)
                EXPECT_EQ(v.shift(s, t), -1);
        }
        if (v.shift(s, SPT_ERROR_TOKEN) >= 0) {
            // Error recovery must start here, not after a default reduction.
            ++error_states;
            EXPECT_TRUE(v.dflt[s] == SPT_ERROR || v.dflt[s] == SPT_SEE_EXCEPTIONS) << "state " << s;
            EXPECT_EQ(v.reduction(s, tok("EXTRANEOUS")), SPT_ERROR) << "state " << s;
        }
    }
    EXPECT_GT(error_states, 20);
    EXPECT_GT(silent_states, 100);
}

// The compiled tables are what the generator makes of the grammar file now,
// and the packed form gives every state exactly its actions and gotos.
TEST(SparserTables, PackedTablesMatchTheGrammarFile) {
    std::ifstream in(grammar_path());
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Grammar g;
    LgTables built;
    std::string error;
    ASSERT_TRUE(read_grammar(text, grammar_path(), g, error)) << error;
    ASSERT_TRUE(build_tables(g, built, error)) << error;

    const TableView v = TableView::of(T);
    const TableView b = TableView::of(built);
    EXPECT_EQ(v.base, b.base);
    EXPECT_EQ(v.action, b.action);
    EXPECT_EQ(v.check, b.check);
    EXPECT_EQ(v.dflt, b.dflt);
    EXPECT_EQ(v.exceptions, b.exceptions);
    EXPECT_EQ(v.goto_base, b.goto_base);
    EXPECT_EQ(v.lhs, b.lhs);
    EXPECT_EQ(v.length, b.length);
    EXPECT_EQ(T.shift_reduce_conflicts, built.shift_reduce);
    EXPECT_EQ(T.reduce_reduce_conflicts, built.reduce_reduce);

    for (size_t s = 0; s < built.states.size(); ++s) {
        const LgState& st = built.states[s];
        const int state = static_cast<int>(s);
        std::vector<int> shift_to(g.terminal_count, -1), reduce_by(g.terminal_count, 0);
        for (const LgAction& a : st.actions) {
            if (a.kind == LgActionKind::Shift) shift_to[a.symbol] = a.value;
            if (a.kind == LgActionKind::Reduce) reduce_by[a.symbol] = a.value;
        }
        for (int sym = 0; sym < g.terminal_count; ++sym) {
            int code = g.symbols[sym].code;
            ASSERT_EQ(v.shift(state, code), shift_to[sym]) << "state " << s << " token " << code;
            if (shift_to[sym] < 0 && reduce_by[sym] > 0) {
                EXPECT_EQ(v.base[s] <= SPT_NO_LOOKAHEAD ? v.dflt[s] : v.reduction(state, code),
                          reduce_by[sym])
                    << "state " << s << " token " << code;
            }
        }
        for (auto [sym, to] : st.transitions)
            if (!g.is_terminal(sym)) {
                int a = g.symbols[sym].code;
                EXPECT_EQ(v.go_to(state, a), to) << "state " << s << " nonterminal " << a;
            }
    }
}

TEST(SparserTables, ReproducesTheReferenceParses) {
    const TableView v = TableView::of(T);
    const std::set<int> stops = stop_rules();

    // Tokens written out by hand: schedule cpu1#sched1 on mo : j1 end
    std::vector<int> by_hand = {tok("SCHEDULE"),    tok("ID"), '#',       tok("ID"), tok("ON"),
                                tok("DAY_OF_WEEK"), ':',       tok("ID"), tok("END")};
    auto parsed = tabletest::run(v, by_hand, stops);
    EXPECT_EQ(parsed.rules, (std::vector<int>{9,  44, 17, 44, 18,  12,  5,  37, 26, 22,
                                              21, 29, 80, 6,  106, 109, 44, 67, 59, 110}));
    EXPECT_EQ(parsed.result, 0);

    auto samples = tabletest::read_samples(std::string(KORVEX_VECTORS_DIR) + "/parser.json");
    ASSERT_GE(samples.size(), 40u);
    for (const auto& sample : samples) {
        auto r = tabletest::run(v, tabletest::tokenize(T, sample.text), stops);
        EXPECT_EQ(r.rules, sample.rules) << sample.text;
        EXPECT_EQ(r.result, sample.result) << sample.text;
    }
}

// Actions that look at the scanner's current token text (a date, a day word,
// an identifier, an offset unit) run before the next token is read.
TEST(SparserTables, TokenActionsRunBeforeTheNextTokenIsRead) {
    const TableView v = TableView::of(T);
    const char* text =
        "SCHEDULE CPU1#S1 ON MO,12/25/98,WEEKDAYS,CAL +2 WORKDAYS,REQUEST "
        "EXCEPT TU,01/01/99,HOLIDAYS -1 DAYS,WEEKDAYS\n:\nJ1\nEND";
    auto r = tabletest::run(v, tabletest::tokenize(T, text), stop_rules());
    ASSERT_EQ(r.result, 0);
    ASSERT_EQ(r.rules.back(), 110);
    const std::set<int> token_readers = {25, 26, 34, 35, 37, 38, 41, 42, 44, 70, 75, 79};
    std::set<int> seen;
    for (const auto& red : r.detail)
        if (token_readers.count(red.rule)) {
            seen.insert(red.rule);
            EXPECT_FALSE(red.lookahead)
                << "rule " << red.rule << " after token " << red.tokens_read;
        }
    // Mid-rule actions right after a keyword run before its operand is read.
    EXPECT_EQ(seen, token_readers);
    auto at = tabletest::run(v, tabletest::tokenize(T, "SCHEDULE S1 ON MO AT 0600"), {239});
    ASSERT_EQ(at.rules.back(), 239);
    EXPECT_FALSE(at.detail.back().lookahead);
}
