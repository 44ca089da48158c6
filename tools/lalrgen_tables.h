// LALR(1) construction and table packing of the table generator.
//
// build_tables makes the LR(0) automaton of a Grammar, computes LALR(1)
// look-ahead sets (DeRemer and Pennello's relations), resolves conflicts
// (shift/reduce to shift, reduce/reduce to the lower rule) and packs the result
// into the tables that the parser engine runs on:
//
//   action_base[state]    offset of the state's shifts in `action` (state's
//                         token code added); LG_NO_LOOKAHEAD for a state that
//                         reduces by its default rule without reading a token;
//                         LG_NO_SHIFT_BASE for a state that reads a token but
//                         shifts nothing (every sum falls outside the table).
//   action[]              packed next states, for shifts and gotos; 0 = empty.
//   check[state]          the symbol that leads into the state: a token code,
//                         minus the nonterminal number, or LG_NO_SYMBOL for 0.
//   default_action[state] the rule to reduce by default, LG_ERROR_ACTION, or
//                         LG_SEE_EXCEPTIONS.
//   exceptions[]          per such state: -1, state, (token, action) pairs in
//                         ascending token order, closing pair (-2, default);
//                         an action of LG_ACCEPT means accept.
//   goto_base[nonterm]    action[goto_base[A]] is A's most frequent target;
//                         action[goto_base[A] + state + 1] is the target from
//                         `state` when check of it is -A.
//   rule_lhs[rule]        nonterminal number of the left side.
//   rule_length[rule]     2 * right-side symbols, + 1 when it runs an action.
//
// Default reductions: a state that can shift `error` keeps error as its default
// and lists every reduction per token, so that error recovery starts there;
// any other state reduces by its most frequent rule (counted in tokens, ties to
// the lower rule) and lists the others.
#pragma once

#include <string>
#include <vector>

#include "tools/lalrgen_grammar.h"

constexpr int LG_NO_LOOKAHEAD = -3000;   // action base of a reduce-without-reading state
constexpr int LG_NO_SHIFT_BASE = -1000;  // action base of a state with no shifts
constexpr int LG_NO_SYMBOL = -1000;      // check entry of state 0
constexpr int LG_ERROR_ACTION = 0;       // default action: syntax error
constexpr int LG_SEE_EXCEPTIONS = -2;    // default action: look in the exception table
constexpr int LG_ACCEPT = -1;            // exception action: accept

enum class LgActionKind { Shift, Reduce, Accept };

struct LgAction {
    int symbol = 0;  // terminal symbol index
    LgActionKind kind = LgActionKind::Shift;
    int value = 0;  // next state, or rule
};

struct LgConflict {
    int state = 0;
    int symbol = 0;      // terminal symbol index
    bool shift = false;  // shift/reduce (true) or reduce/reduce (false)
    int kept = 0;        // the state shifted to, or the rule kept
    int dropped = 0;     // the rule given up
};

struct LgState {
    std::vector<int> kernel;                       // item numbers
    std::vector<int> items;                        // closure, kernel first
    int symbol = -1;                               // accessing symbol index (-1 for state 0)
    std::vector<std::pair<int, int>> transitions;  // (symbol, state), in creation order
    std::vector<LgAction> actions;                 // after conflict resolution, by symbol
};

struct LgTables {
    std::vector<LgState> states;
    std::vector<int> item_rule;  // rule of item n
    std::vector<int> item_dot;   // dot position of item n
    std::vector<LgConflict> conflicts;
    int shift_reduce = 0;
    int reduce_reduce = 0;
    std::vector<int> shadowed_accepts;  // states whose accept lost to a shift of the end token
    std::vector<int> unused_rules;      // rules never reduced

    std::vector<int> action_base;
    std::vector<int> action;
    std::vector<int> check;
    std::vector<int> default_action;
    std::vector<int> exceptions;
    std::vector<int> goto_base;
    std::vector<int> rule_lhs;
    std::vector<int> rule_length;

    int exception_pairs() const { return static_cast<int>(exceptions.size()) / 2; }
};

// Builds the tables of `grammar`. Returns false with a message in `error` when
// the grammar cannot be turned into tables (a value outside 16 bits).
bool build_tables(const Grammar& grammar, LgTables& tables, std::string& error);
