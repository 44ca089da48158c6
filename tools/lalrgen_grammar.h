// Grammar files of the LALR(1) table generator.
//
// A grammar file holds %token declarations (name and code), an optional %start
// line and the rules, each alternative beginning with its rule number and
// optionally carrying action markers; driver/sparser.grammar describes the
// format in its header comment. read_grammar turns the text into a Grammar:
// symbols numbered densely (terminals first, then nonterminals) and rules in
// rule-number order, with rule 0 the augmented start rule
// "$accept : start <end of input>".
#pragma once

#include <string>
#include <string_view>
#include <vector>

constexpr int LG_ERROR_CODE = 256;  // code of the predefined `error` token
constexpr int LG_END_CODE = 0;      // code of the end of input

struct LgSymbol {
    std::string name;       // as written: NAME, 'c', error, $accept, $$N
    bool terminal = false;  // token or nonterminal
    int code = 0;           // token code; for a nonterminal its number (0 = $accept)
    int line = 0;           // line of the declaration or first use
};

struct LgRule {
    int lhs = 0;              // symbol index of the left side
    std::vector<int> rhs;     // symbol indices of the right side
    bool has_action = false;  // reducing it runs an action
    bool mid_rule = false;    // the empty rule of a mid-rule action
    std::string text;         // "lhs : sym sym", for traces
    int line = 0;             // line of the alternative
};

struct Grammar {
    std::vector<LgSymbol> symbols;  // terminals at [0, terminal_count), then nonterminals
    int terminal_count = 0;
    std::vector<LgRule> rules;      // rules[n] is rule n; rules[0] is the start rule
    int start = -1;                 // symbol index of the start symbol
    int end_symbol = -1;            // symbol index of the end-of-input token
    int error_symbol = -1;          // symbol index of `error`
    int accept_symbol = -1;         // symbol index of $accept
    std::vector<int> named_tokens;  // symbol indices of %token names, in declaration order

    int nonterminal_count() const { return static_cast<int>(symbols.size()) - terminal_count; }
    bool is_terminal(int sym) const { return sym < terminal_count; }
};

// Reads a grammar from its text; `file` names it in messages. Returns true on
// success; on failure `error` holds "file:line: message".
bool read_grammar(std::string_view text, const std::string& file, Grammar& grammar,
                  std::string& error);
