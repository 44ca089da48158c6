// The table generator on small grammars: what it refuses, how precise its
// look-ahead sets are, how conflicts resolve, and parses run on its tables.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <set>
#include <string>

#include "table_engine.h"
#include "tools/lalrgen_emit.h"
#include "tools/lalrgen_grammar.h"
#include "tools/lalrgen_tables.h"

namespace {

struct Built {
    Grammar grammar;
    LgTables tables;
    tabletest::TableView view;
};

Built build(const std::string& text) {
    Built b;
    std::string error;
    EXPECT_TRUE(read_grammar(text, "test.grammar", b.grammar, error)) << error;
    EXPECT_TRUE(build_tables(b.grammar, b.tables, error)) << error;
    b.view = tabletest::TableView::of(b.tables);
    return b;
}

std::string read_error(const std::string& text) {
    Grammar g;
    std::string error;
    EXPECT_FALSE(read_grammar(text, "test.grammar", g, error)) << text;
    return error;
}

// Tokens from a string: one character per token, blanks skipped; upper-case
// words stand for the named tokens given.
std::vector<int> tokens(const Built& b, const std::string& text) {
    std::vector<int> out;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == ' ') {
            ++i;
        } else if (std::isupper(static_cast<unsigned char>(text[i]))) {
            size_t j = text.find(' ', i);
            std::string word = text.substr(i, j == std::string::npos ? j : j - i);
            for (int sym : b.grammar.named_tokens)
                if (b.grammar.symbols[sym].name == word) out.push_back(b.grammar.symbols[sym].code);
            i += word.size();
        } else {
            out.push_back(static_cast<unsigned char>(text[i++]));
        }
    }
    return out;
}

tabletest::ParseResult parse(const Built& b, const std::string& text) {
    return tabletest::run(b.view, tokens(b, text), {});
}

}  // namespace

TEST(LalrgenGrammar, RefusesMalformedGrammars) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"%token A 300\ns : 2 A ;", "test.grammar:2: rule number 2 should be 1"},
        {"s : 1 'a' {2} 'b' ;", "mid-rule action number 2 should be 1"},
        {"s : 1 'a' {} 'b' ;", "symbols after the closing {}"},
        {"s : 1 %empty 'a' ;", "symbols after %empty"},
        {"s : 1 'a' %empty ;", "%empty must be the only symbol"},
        {"s : 'a' ;", "must begin with its rule number"},
        {"s : 1 'a'", "expected '|' or ';'"},
        {"s : 1 x ;", "x is neither a token nor has rules"},
        {"%token s 300\ns : 1 'a' ;", "s is a token and has rules"},
        {"%token A 300\n%token B 300\ns : 1 A ;", "have the same code"},
        {"%token A 300\n%token A 301\ns : 1 A ;", "declared twice"},
        {"%token A 65\ns : 1 A ;", "reserved"},
        {"%token A 256\ns : 1 A ;", "reserved"},
        {"%token error 300\ns : 1 'a' ;", "'error' is predefined"},
        {"s : 1 'a' ;\ns : 2 'b' ;", "written in two places"},
        {"%start t\ns : 1 'a' ;", "start symbol t has no rules"},
        {"s : 1 '' ;", "empty character literal"},
        {"s : 1 'a ;", "unterminated character"},
        {"%left 'a'\ns : 1 'a' ;", "unknown directive %left"},
        {"s : 1 'a' ; $", "unexpected character '$'"},
        {"// nothing\n", "no rules"},
    };
    for (const Case& c : cases) {
        std::string error = read_error(c.text);
        EXPECT_NE(error.find(c.message), std::string::npos) << c.text << " -> " << error;
    }
}

TEST(LalrgenGrammar, MidRuleActionsBecomeNumberedEmptyRules) {
    Built b = build(
        "// three A with two actions between them\n"
        "%token A 300\n"
        "s : 3 A {1} A {2} A {}\n"
        "  | 4 %empty\n"
        "  ;\n");
    const Grammar& g = b.grammar;
    ASSERT_EQ(g.rules.size(), 5u);
    EXPECT_EQ(g.rules[1].text, "s : A");
    EXPECT_EQ(g.rules[2].text, "s : A A");
    EXPECT_EQ(g.rules[3].text, "s : A A A");
    EXPECT_EQ(g.rules[4].text, "s :");
    EXPECT_TRUE(g.rules[1].rhs.empty());
    EXPECT_EQ(b.tables.rule_length[1], 1);
    EXPECT_EQ(b.tables.rule_length[2], 1);
    EXPECT_EQ(b.tables.rule_length[3], 2 * 5 + 1);
    EXPECT_EQ(b.tables.rule_length[4], 0);
    EXPECT_NE(b.tables.rule_lhs[1], b.tables.rule_lhs[3]);
    EXPECT_NE(b.tables.rule_lhs[2], b.tables.rule_lhs[3]);
    EXPECT_NE(b.tables.rule_lhs[1], b.tables.rule_lhs[2]);
    EXPECT_EQ(b.tables.rule_lhs[3], b.tables.rule_lhs[4]);

    auto r = parse(b, "A A A");
    EXPECT_EQ(r.rules, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(parse(b, "").rules, (std::vector<int>{4}));
}

// Look-ahead sets are LALR(1): exact where the simpler follow sets would give a
// conflict, merged (and so in conflict) where only canonical LR(1) separates.
TEST(LalrgenTables, LookaheadsAreLalr) {
    Built assign = build(
        "%token ID 300\n"
        "s : 1 l '=' r | 2 r ;\n"
        "l : 3 '*' r | 4 ID ;\n"
        "r : 5 l ;\n");
    EXPECT_EQ(assign.tables.shift_reduce, 0);
    EXPECT_EQ(assign.tables.reduce_reduce, 0);
    auto r = parse(assign, "ID = * ID");
    EXPECT_EQ(r.rules, (std::vector<int>{4, 4, 5, 3, 5, 1}));
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(parse(assign, "* ID").rules, (std::vector<int>{4, 5, 3, 5, 2}));

    Built merged = build(
        "s : 1 'a' e 'c' | 2 'a' f 'd' | 3 'b' f 'c' | 4 'b' e 'd' ;\n"
        "e : 5 'e' ;\n"
        "f : 6 'e' ;\n");
    EXPECT_EQ(merged.tables.shift_reduce, 0);
    EXPECT_EQ(merged.tables.reduce_reduce, 2);  // after 'e', on 'c' and on 'd'
    EXPECT_EQ(parse(merged, "aec").rules, (std::vector<int>{5, 1}));
    EXPECT_EQ(parse(merged, "aed").result, 1);  // the lower rule won: e, not f

    // Empty rules: look-aheads through nullable neighbours and enclosing rules.
    Built nullable = build(
        "s : 1 a b 'c' | 2 t 'x' ;\n"
        "a : 3 %empty | 4 'a' ;\n"
        "b : 5 %empty | 6 'b' ;\n"
        "t : 7 u ;\n"
        "u : 8 'u' v ;\n"
        "v : 9 %empty | 10 'v' ;\n");
    EXPECT_EQ(nullable.tables.shift_reduce + nullable.tables.reduce_reduce, 0);
    EXPECT_EQ(parse(nullable, "c").rules, (std::vector<int>{3, 5, 1}));
    EXPECT_EQ(parse(nullable, "bc").rules, (std::vector<int>{3, 6, 1}));
    EXPECT_EQ(parse(nullable, "ac").rules, (std::vector<int>{4, 5, 1}));
    EXPECT_EQ(parse(nullable, "abc").rules, (std::vector<int>{4, 6, 1}));
    EXPECT_EQ(parse(nullable, "ux").rules, (std::vector<int>{9, 8, 7, 2}));
    EXPECT_EQ(parse(nullable, "uvx").rules, (std::vector<int>{10, 8, 7, 2}));
    EXPECT_EQ(parse(nullable, "ab").result, 1);
    EXPECT_EQ(parse(nullable, "uv").result, 1);
}

TEST(LalrgenTables, ShiftReduceConflictsShift) {
    Built b = build(
        "%token IF 300\n%token ELSE 301\n%token X 302\n"
        "s : 1 IF 'c' s | 2 IF 'c' s ELSE s | 3 X ;\n");
    EXPECT_EQ(b.tables.shift_reduce, 1);
    EXPECT_EQ(b.tables.reduce_reduce, 0);
    ASSERT_EQ(b.tables.conflicts.size(), 1u);
    EXPECT_TRUE(b.tables.conflicts[0].shift);
    EXPECT_EQ(b.tables.conflicts[0].dropped, 1);
    // The else belongs to the inner IF.
    auto r = parse(b, "IF c IF c X ELSE X");
    EXPECT_EQ(r.rules, (std::vector<int>{3, 3, 2, 1}));
    EXPECT_EQ(r.result, 0);
}

// A state that can shift `error` keeps error as its default, so that recovery
// starts there rather than after a default reduction.
TEST(LalrgenTables, ErrorRecoveryStartsWhereErrorIsShifted) {
    Built b = build(
        "%token X 300\n"
        "list : 1 item | 2 list item ;\n"
        "item : 3 X ';' | 4 error ';' | 5 X X opt ';' ;\n"
        "opt : 6 %empty | 7 '+' ;\n");
    // After the first item the list state shifts error: the stray ';' is
    // caught by item : error ';' without reducing anything first.
    auto r = parse(b, "X ; ; X X ;");
    EXPECT_EQ(r.rules, (std::vector<int>{3, 1, 4, 2, 6, 5, 2}));
    EXPECT_EQ(r.result, 0);
    // The empty opt is the most frequent (only) reduction after X X.
    EXPECT_EQ(parse(b, "X X + ;").rules, (std::vector<int>{7, 5, 1}));
}

TEST(LalrgenTables, SameGrammarGivesTheSameSourceQuickly) {
    const std::string path = std::string(KORVEX_SOURCE_DIR) + "/driver/sparser.grammar";
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto generate = [&] {
        Grammar g;
        LgTables t;
        std::string error;
        EXPECT_TRUE(read_grammar(text, path, g, error)) << error;
        EXPECT_TRUE(build_tables(g, t, error)) << error;
        return emit_source(g, t, LgEmitOptions{});
    };
    auto start = std::chrono::steady_clock::now();
    std::string first = generate();
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::seconds(2));
    EXPECT_EQ(first, generate());
    EXPECT_NE(first.find("{\"-unknown-\", -1}"), std::string::npos);
    EXPECT_NE(first.find("\"-no such reduction-\""), std::string::npos);
}

// Elsewhere the most frequent reduction is the default (ties to the lower
// rule): an unexpected token is reduced by it before the error shows.
TEST(LalrgenTables, DefaultReductionIsTheMostFrequentRule) {
    Built tie = build(
        "s : 1 'p' a 'x' | 2 'p' b 'y' ;\n"
        "a : 3 'z' ;\n"
        "b : 4 'z' ;\n");
    EXPECT_EQ(parse(tie, "pzy").rules, (std::vector<int>{4, 2}));
    auto r = parse(tie, "pzq");
    EXPECT_EQ(r.rules, (std::vector<int>{3}));
    EXPECT_EQ(r.result, 1);

    Built most = build(
        "s : 1 'p' a 'x' | 2 'p' b 'y' | 3 'p' b 'w' ;\n"
        "a : 4 'z' ;\n"
        "b : 5 'z' ;\n");
    EXPECT_EQ(parse(most, "pzx").rules, (std::vector<int>{4, 1}));
    EXPECT_EQ(parse(most, "pzq").rules, (std::vector<int>{5}));
}
