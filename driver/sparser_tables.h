// Constant tables of the schedule-language parser.
//
// They are generated at build time by tools/lalrgen from driver/sparser.grammar
// (into <build>/generated/sparser_tables.cpp, library korvex_sparser_tables);
// nothing here is written by hand except this declaration.
//
// How the engine reads them, for a state s and a token code t:
//   - action_base[s] <= SPT_NO_LOOKAHEAD: reduce by default_action[s] without
//     reading a token.
//   - otherwise, with n = action_base[s] + t: when 0 <= n < action.size() and
//     check[action[n]] == t, shift to state action[n].
//   - else default_action[s]: a rule to reduce by, SPT_ERROR (syntax error), or
//     SPT_SEE_EXCEPTIONS: find the sequence SPT_EXC_START, s in `exceptions` and
//     in it the first pair (token, action) whose token is t, or the closing pair
//     (token < 0) that carries the default; an action of SPT_ACCEPT accepts, 0
//     is a syntax error, any other is the rule to reduce by.
//   - error recovery shifts `error` (SPT_ERROR_TOKEN) the same way as a token.
//   - after reducing by rule r (rule_length[r] / 2 symbols popped, leaving state
//     u on top) with A = rule_lhs[r]: with n = goto_base[A] + u + 1, the next
//     state is action[n] when n < action.size() and check[action[n]] == -A,
//     else action[goto_base[A]]. An odd rule_length[r] means the rule runs an
//     action.
#pragma once

#include <cstdint>
#include <span>

constexpr int SPT_ERROR_TOKEN = 256;     // code of the `error` token
constexpr int SPT_END_TOKEN = 0;         // end of input (SCH_EOF)
constexpr int SPT_NO_LOOKAHEAD = -3000;  // action base at or below: reduce without a token
constexpr int SPT_ERROR = 0;             // default action: syntax error
constexpr int SPT_SEE_EXCEPTIONS = -2;   // default action: the exception table decides
constexpr int SPT_EXC_START = -1;        // first word of a state's exception sequence
constexpr int SPT_ACCEPT = -1;           // exception action: accept

struct SparserTokenName {
    const char* name;
    int code;
};

struct SparserTables {
    std::span<const std::int16_t> action_base;     // per state
    std::span<const std::int16_t> action;          // packed next states (0 = empty)
    std::span<const std::int16_t> check;           // per state: its token, or minus its nonterminal
    std::span<const std::int16_t> default_action;  // per state
    std::span<const std::int16_t> exceptions;      // sequences of (token, action) pairs
    std::span<const std::int16_t> goto_base;       // per nonterminal (index 0 unused)
    std::span<const std::int16_t> rule_lhs;        // per rule (rule 0 unused)
    std::span<const std::int16_t> rule_length;     // per rule: 2 * symbols, + 1 with an action
    std::span<const SparserTokenName> token_names;  // named tokens, then {"-unknown-", -1}
    std::span<const char* const> rule_texts;        // per rule; rule 0 "-no such reduction-"
    int shift_reduce_conflicts;                     // resolved to shift
    int reduce_reduce_conflicts;                    // resolved to the lower rule
};

extern const SparserTables sparser_tables;
