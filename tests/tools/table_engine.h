// Helpers for the parser table tests: a minimal table-driven parser that runs
// the packed tables the way the parser engine does, a word-level tokenizer that
// is just good enough for the sample schedule texts, and a reader for the
// reference parses.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver/sparser_tables.h"
#include "tools/lalrgen_tables.h"

namespace tabletest {

// The packed tables as plain integers, from the compiled tables or the generator.
struct TableView {
    std::vector<int> base, action, check, dflt, exceptions, goto_base, lhs, length;

    static TableView of(const SparserTables& t) {
        auto v = [](std::span<const std::int16_t> s) {
            return std::vector<int>(s.begin(), s.end());
        };
        return {v(t.action_base), v(t.action),    v(t.check),    v(t.default_action),
                v(t.exceptions),  v(t.goto_base), v(t.rule_lhs), v(t.rule_length)};
    }
    static TableView of(const LgTables& t) {
        return {t.action_base, t.action,    t.check,    t.default_action,
                t.exceptions,  t.goto_base, t.rule_lhs, t.rule_length};
    }

    // The state shifted to on `token` from `state`, or -1.
    int shift(int state, int token) const {
        if (base[state] <= SPT_NO_LOOKAHEAD) return -1;
        long n = static_cast<long>(base[state]) + token;
        if (n < 0 || n >= static_cast<long>(action.size())) return -1;
        return check[action[n]] == token ? action[n] : -1;
    }

    // The default action for `token`: a rule, SPT_ERROR, or SPT_ACCEPT.
    int reduction(int state, int token) const {
        if (dflt[state] != SPT_SEE_EXCEPTIONS) return dflt[state];
        size_t i = 0;
        while (i + 1 < exceptions.size() &&
               !(exceptions[i] == SPT_EXC_START && exceptions[i + 1] == state))
            i += 2;
        for (i += 2; i + 1 < exceptions.size(); i += 2)
            if (exceptions[i] < 0 || exceptions[i] == token) return exceptions[i + 1];
        return SPT_ERROR;
    }

    int go_to(int state, int nonterminal) const {
        size_t n = static_cast<size_t>(goto_base[nonterminal] + state + 1);
        if (n < action.size() && check[action[n]] == -nonterminal) return action[n];
        return action[goto_base[nonterminal]];
    }
};

// One reduction and whether a look-ahead token was held when it happened
// (and how many tokens had been read by then).
struct Reduction {
    int rule;
    bool lookahead;
    size_t tokens_read;
};

struct ParseResult {
    std::vector<int> rules;
    std::vector<Reduction> detail;
    int result = -1;  // 0 accept, 1 abort, -1 ran out of steps
};

// Parses `tokens` (end of input after them, repeated), stopping with 0 after a
// rule of `stops` is reduced, as the grammar's actions do.
inline ParseResult run(const TableView& t, const std::vector<int>& tokens,
                       const std::set<int>& stops) {
    ParseResult out;
    size_t next = 0;
    int token = -1;  // -1: none read ahead
    auto read = [&] {
        if (token < 0) token = next < tokens.size() ? tokens[next++] : SPT_END_TOKEN;
    };
    std::vector<int> stack{0};
    int errflag = 0;
    for (int steps = 0; steps < 100000; ++steps) {
        int state = stack.back();
        if (stack.size() > 150) return out.result = 1, out;
        if (t.base[state] > SPT_NO_LOOKAHEAD) {
            read();
            int to = t.shift(state, token);
            if (to >= 0) {
                stack.push_back(to);
                token = -1;
                if (errflag > 0) --errflag;
                continue;
            }
        }
        int act = t.dflt[state];
        if (act == SPT_SEE_EXCEPTIONS) {
            read();
            act = t.reduction(state, token);
            if (act < 0) return out.result = 0, out;
        }
        if (act == SPT_ERROR) {
            if (errflag < 3) {
                errflag = 3;
                while (!stack.empty() && t.shift(stack.back(), SPT_ERROR_TOKEN) < 0)
                    stack.pop_back();
                if (stack.empty()) return out.result = 1, out;
                stack.push_back(t.shift(stack.back(), SPT_ERROR_TOKEN));
            } else {
                if (token == SPT_END_TOKEN) return out.result = 1, out;
                token = -1;
            }
            continue;
        }
        out.rules.push_back(act);
        out.detail.push_back({act, token >= 0, next});
        if (stops.count(act)) return out.result = 0, out;
        stack.resize(stack.size() - t.length[act] / 2);
        stack.push_back(t.go_to(stack.back(), t.lhs[act]));
    }
    return out;
}

inline int token_code(const SparserTables& t, const std::string& name) {
    for (const SparserTokenName& n : t.token_names)
        if (name == n.name) return n.code;
    return -1;
}

// Words of a schedule text as token codes, for the sample texts only: comment
// lines, keywords and day names in any case, identifiers, numbers, dates,
// quoted strings, "::" and single characters. A keyword right after a token
// that introduces a name is an identifier.
inline std::vector<int> tokenize(const SparserTables& t, const std::string& text) {
    static const std::set<std::string> keywords = {
        "SCHEDULE",    "ON",          "EXCEPT",      "FOLLOWS",   "NEEDS",      "OPENS",
        "AT",          "UNTIL",       "PROMPT",      "PRIORITY",  "LIMIT",      "CARRYFORWARD",
        "IN",          "ORDER",       "EVERY",       "CONFIRMED", "DAY",        "DAYS",
        "WEEKDAY",     "WEEKDAYS",    "WORKDAY",     "WORKDAYS",  "SCRIPTNAME", "DOCOMMAND",
        "JOBFILENAME", "STREAMLOGON", "DESCRIPTION", "ISUSERJOB", "AUTODOCON",  "AUTODOCOFF",
        "RECOVERY",    "OP",          "STOP",        "RERUN",     "NEXTJOB",    "AFTER",
        "ABENDPROMPT", "EVERYDAY",    "INTERACTIVE", "REQUEST",   "NOTEMPTY",   "HI",
        "GO",          "END"};
    static const std::set<std::string> name_follows = {
        "SCHEDULE",   "FOLLOWS",     "NEEDS",     "OPENS",       "PROMPT",
        "SCRIPTNAME", "JOBFILENAME", "DOCOMMAND", "STREAMLOGON", "AFTER"};
    static const std::set<std::string> days = {"MO", "TU", "WE", "TH", "FR", "SA", "SU"};
    auto is_word = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_%?@-*", c);
    };
    std::string s;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.empty() || (line[0] != '*' && line[0] != '#')) s += line + "\n";

    std::vector<int> out;
    bool name_next = false, jobs = false;
    for (size_t i = 0; i < s.size();) {
        char c = s[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '"') {
            i = s.find('"', i + 1) + 1;
            out.push_back(token_code(t, "QUOTED_STRING"));
            name_next = false;
        } else if (s.compare(i, 2, "::") == 0) {
            out.push_back(token_code(t, "NETDELIM"));
            i += 2;
            name_next = false;
        } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
            size_t j = i;
            while (j < s.size() && (is_word(s[j]) || s[j] == '/'))
                ++j;
            std::string w = s.substr(i, j - i), u;
            for (char ch : w)
                u += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            i = j;
            bool keyword = keywords.count(u) || days.count(u);
            int code;
            if (w.find('/') != std::string::npos)
                code = token_code(t, "DATE");
            else if (u.find_first_not_of("0123456789") == std::string::npos)
                code = token_code(t, "NUMBER");
            else if (days.count(u))
                code = token_code(t, "DAY_OF_WEEK");
            else if (keyword)
                code = token_code(t, u);
            else
                code = token_code(t, "ID");
            if (name_next && keyword && std::isalpha(static_cast<unsigned char>(w[0])) &&
                w.size() > 1) {
                code = token_code(t, "ID");
                name_next = false;
            } else {
                name_next = name_follows.count(u) > 0;
            }
            if (u == "END") jobs = false;
            out.push_back(code);
        } else {
            if (c == ':') jobs = true;
            out.push_back(static_cast<unsigned char>(c));
            name_next = std::strchr("#=/.", c) || (c == ',' && jobs);
            ++i;
        }
    }
    return out;
}

struct Sample {
    std::string text;
    std::vector<int> rules;
    int result = 0;
};

// Reads the reference parses: a list of objects with "text", "reductions" and
// "result", nothing else.
inline std::vector<Sample> read_samples(const std::string& path) {
    std::ifstream in(path);
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Sample> out;
    for (size_t at = s.find("\"text\""); at != std::string::npos; at = s.find("\"text\"", at)) {
        Sample sample;
        size_t q = s.find('"', s.find(':', at) + 1) + 1;
        for (; q < s.size() && s[q] != '"'; ++q) {
            if (s[q] == '\\') {
                char e = s[++q];
                sample.text += e == 'n' ? '\n' : e == 't' ? '\t' : e;
            } else {
                sample.text += s[q];
            }
        }
        size_t open = s.find('[', s.find("\"reductions\"", q));
        size_t close = s.find(']', open);
        std::istringstream nums(s.substr(open + 1, close - open - 1));
        for (std::string n; std::getline(nums, n, ',');)
            sample.rules.push_back(std::stoi(n));
        size_t res = s.find("\"result\"", close);
        sample.result = std::stoi(s.substr(s.find(':', res) + 1));
        out.push_back(std::move(sample));
        at = res;
    }
    return out;
}

}  // namespace tabletest
