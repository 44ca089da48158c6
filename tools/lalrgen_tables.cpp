// LALR(1) construction: LR(0) automaton, look-ahead sets, actions, packing.
#include "tools/lalrgen_tables.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <utility>

namespace {

// A set of terminals.
class TermSet {
  public:
    explicit TermSet(int size = 0) : words_((size + 63) / 64, 0) {}
    void add(int t) { words_[t / 64] |= std::uint64_t{1} << (t % 64); }
    bool has(int t) const { return (words_[t / 64] >> (t % 64)) & 1; }
    void merge(const TermSet& other) {
        for (size_t i = 0; i < words_.size(); ++i)
            words_[i] |= other.words_[i];
    }

  private:
    std::vector<std::uint64_t> words_;
};

class Builder {
  public:
    Builder(const Grammar& g, LgTables& t) : g_(g), t_(t), nt_count_(g.nonterminal_count()) {}

    bool run(std::string& error) {
        t_ = LgTables{};
        number_items();
        find_nullable();
        build_automaton();
        compute_lookaheads();
        resolve_actions();
        make_defaults();
        pack();
        rule_tables();
        return fits_16_bits(error);
    }

  private:
    using Bits = TermSet;

    int nt(int sym) const { return sym - g_.terminal_count; }
    int rhs_len(int rule) const { return static_cast<int>(g_.rules[rule].rhs.size()); }
    int item(int rule, int dot) const { return rule_item_[rule] + dot; }
    // Symbol after the dot of an item, or -1 when the item is complete.
    int next_symbol(int it) const {
        int rule = t_.item_rule[it], dot = t_.item_dot[it];
        return dot < rhs_len(rule) ? g_.rules[rule].rhs[dot] : -1;
    }

    void number_items() {
        by_lhs_.assign(nt_count_, {});
        for (size_t r = 0; r < g_.rules.size(); ++r) {
            rule_item_.push_back(static_cast<int>(t_.item_rule.size()));
            for (int dot = 0; dot <= rhs_len(static_cast<int>(r)); ++dot) {
                t_.item_rule.push_back(static_cast<int>(r));
                t_.item_dot.push_back(dot);
            }
            by_lhs_[nt(g_.rules[r].lhs)].push_back(static_cast<int>(r));
        }
    }

    void find_nullable() {
        nullable_.assign(nt_count_, false);
        for (bool changed = true; changed;) {
            changed = false;
            for (const LgRule& r : g_.rules) {
                if (nullable_[nt(r.lhs)]) continue;
                bool all = std::all_of(r.rhs.begin(), r.rhs.end(), [&](int s) {
                    return !g_.is_terminal(s) && nullable_[nt(s)];
                });
                if (all) nullable_[nt(r.lhs)] = changed = true;
            }
        }
    }

    bool nullable_tail(const LgRule& r, size_t from) const {
        for (size_t i = from; i < r.rhs.size(); ++i)
            if (g_.is_terminal(r.rhs[i]) || !nullable_[nt(r.rhs[i])]) return false;
        return true;
    }

    std::vector<int> closure(const std::vector<int>& kernel) const {
        std::vector<int> items = kernel;
        std::vector<bool> added(nt_count_, false);
        for (size_t i = 0; i < items.size(); ++i) {
            int sym = next_symbol(items[i]);
            if (sym < 0 || g_.is_terminal(sym) || added[nt(sym)]) continue;
            added[nt(sym)] = true;
            for (int rule : by_lhs_[nt(sym)])
                items.push_back(item(rule, 0));
        }
        return items;
    }

    // The start rule's item before the end token gives an accept, not a shift.
    bool is_accept_item(int it) const { return t_.item_rule[it] == 0 && t_.item_dot[it] == 1; }

    void build_automaton() {
        std::map<std::vector<int>, int> known;
        auto add_state = [&](std::vector<int> kernel, int symbol) {
            auto [pos, fresh] = known.emplace(kernel, static_cast<int>(t_.states.size()));
            if (fresh) {
                LgState s;
                s.kernel = std::move(kernel);
                s.symbol = symbol;
                t_.states.push_back(std::move(s));
            }
            return pos->second;
        };
        add_state({item(0, 0)}, -1);
        for (size_t n = 0; n < t_.states.size(); ++n) {
            std::vector<int> items = closure(t_.states[n].kernel);
            std::vector<int> order;
            std::map<int, std::vector<int>> moved;
            for (int it : items) {
                int sym = next_symbol(it);
                if (sym < 0 || is_accept_item(it)) continue;
                auto& kernel = moved[sym];
                if (kernel.empty()) order.push_back(sym);
                kernel.push_back(it + 1);
            }
            std::vector<std::pair<int, int>> transitions;
            for (int sym : order) {
                std::vector<int> kernel = moved[sym];
                std::sort(kernel.begin(), kernel.end());
                transitions.emplace_back(sym, add_state(std::move(kernel), sym));
            }
            t_.states[n].items = std::move(items);
            t_.states[n].transitions = std::move(transitions);
        }
        gotos_.assign(t_.states.size(), {});
        for (size_t n = 0; n < t_.states.size(); ++n)
            for (auto [sym, to] : t_.states[n].transitions)
                gotos_[n][sym] = to;
    }

    int goto_of(int state, int sym) const {
        auto found = gotos_[state].find(sym);
        return found == gotos_[state].end() ? -1 : found->second;
    }

    // Digraph traversal: F(x) = F'(x) united with F(y) for every y that x relates
    // to, strongly connected components sharing one set. Iterative, so that long
    // relation chains cannot exhaust the stack.
    static void digraph(const std::vector<std::vector<int>>& relation, std::vector<Bits>& f) {
        const int done = INT32_MAX;
        std::vector<int> n(f.size(), 0);
        std::vector<int> stack;
        struct Frame {
            int x;
            size_t edge;
            int depth;
        };
        std::vector<Frame> frames;
        auto enter = [&](int x) {
            stack.push_back(x);
            n[x] = static_cast<int>(stack.size());
            frames.push_back({x, 0, n[x]});
        };
        for (size_t start = 0; start < f.size(); ++start) {
            if (n[start] != 0) continue;
            enter(static_cast<int>(start));
            while (!frames.empty()) {
                Frame& fr = frames.back();
                if (fr.edge < relation[fr.x].size()) {
                    int y = relation[fr.x][fr.edge++];
                    if (n[y] == 0) {
                        enter(y);  // fr is not used after this
                    } else {
                        n[fr.x] = std::min(n[fr.x], n[y]);
                        f[fr.x].merge(f[y]);
                    }
                    continue;
                }
                int x = fr.x, depth = fr.depth;
                frames.pop_back();
                if (n[x] == depth) {
                    for (;;) {
                        int top = stack.back();
                        stack.pop_back();
                        n[top] = done;
                        if (top == x) break;
                        f[top] = f[x];
                    }
                }
                if (!frames.empty()) {
                    int parent = frames.back().x;
                    n[parent] = std::min(n[parent], n[x]);
                    f[parent].merge(f[x]);
                }
            }
        }
    }

    void compute_lookaheads() {
        // Nonterminal transitions (p, A).
        std::map<std::pair<int, int>, int> index;
        std::vector<std::pair<int, int>> trans;
        for (size_t p = 0; p < t_.states.size(); ++p)
            for (auto [sym, to] : t_.states[p].transitions)
                if (!g_.is_terminal(sym)) {
                    index[{static_cast<int>(p), sym}] = static_cast<int>(trans.size());
                    trans.emplace_back(static_cast<int>(p), sym);
                }
        const int tc = g_.terminal_count;
        std::vector<Bits> f(trans.size(), Bits(tc));
        std::vector<std::vector<int>> reads(trans.size()), includes(trans.size());
        for (size_t x = 0; x < trans.size(); ++x) {
            int r = goto_of(trans[x].first, trans[x].second);
            for (auto [sym, to] : t_.states[r].transitions) {
                if (g_.is_terminal(sym))
                    f[x].add(sym);
                else if (nullable_[nt(sym)])
                    reads[x].push_back(index[{r, sym}]);
            }
            for (int it : t_.states[r].kernel)
                if (is_accept_item(it)) f[x].add(g_.end_symbol);
        }
        digraph(reads, f);  // f is now Read(p, A)

        // includes: (p, A) includes (p', B) when B -> beta A gamma, gamma nullable,
        // and p' reaches p over beta. lookback: the state that ends each rule.
        std::vector<std::vector<std::pair<int, int>>> lookback(trans.size());  // (state, rule)
        for (size_t y = 0; y < trans.size(); ++y) {
            auto [from, b] = trans[y];
            for (int rule : by_lhs_[nt(b)]) {
                const LgRule& r = g_.rules[rule];
                int q = from;
                for (size_t i = 0; i < r.rhs.size(); ++i) {
                    int sym = r.rhs[i];
                    if (!g_.is_terminal(sym) && nullable_tail(r, i + 1))
                        includes[index[{q, sym}]].push_back(static_cast<int>(y));
                    q = goto_of(q, sym);
                }
                lookback[y].emplace_back(q, rule);
            }
        }
        digraph(includes, f);  // f is now Follow(p, A)

        for (size_t x = 0; x < trans.size(); ++x)
            for (auto [state, rule] : lookback[x]) {
                auto [pos, fresh] = lookahead_.try_emplace({state, rule}, Bits(tc));
                pos->second.merge(f[x]);
            }
    }

    void resolve_actions() {
        const int tc = g_.terminal_count;
        std::vector<bool> reduced(g_.rules.size(), false);
        for (size_t n = 0; n < t_.states.size(); ++n) {
            LgState& s = t_.states[n];
            std::vector<int> shift(tc, -1);
            for (auto [sym, to] : s.transitions)
                if (g_.is_terminal(sym)) shift[sym] = to;
            bool accept = false;
            std::vector<int> rules;  // complete rules, ascending
            for (int it : s.items) {
                if (is_accept_item(it)) accept = true;
                if (next_symbol(it) < 0 && t_.item_rule[it] != 0) rules.push_back(t_.item_rule[it]);
            }
            std::sort(rules.begin(), rules.end());
            for (int sym = 0; sym < tc; ++sym) {
                std::vector<int> candidates;
                for (int rule : rules) {
                    auto found = lookahead_.find({static_cast<int>(n), rule});
                    if (found != lookahead_.end() && found->second.has(sym))
                        candidates.push_back(rule);
                }
                bool accept_here = accept && sym == g_.end_symbol;
                if (shift[sym] >= 0) {
                    for (int rule : candidates)
                        add_conflict(static_cast<int>(n), sym, true, shift[sym], rule);
                    s.actions.push_back({sym, LgActionKind::Shift, shift[sym]});
                    // The end token is also shifted here; the accept stays in the
                    // exception table, where the engine looks only after a failed shift.
                    if (accept_here) {
                        t_.shadowed_accepts.push_back(static_cast<int>(n));
                        s.actions.push_back({sym, LgActionKind::Accept, 0});
                    }
                } else if (accept_here) {
                    for (int rule : candidates)
                        add_conflict(static_cast<int>(n), sym, true, -1, rule);
                    s.actions.push_back({sym, LgActionKind::Accept, 0});
                } else if (!candidates.empty()) {
                    for (size_t i = 1; i < candidates.size(); ++i)
                        add_conflict(static_cast<int>(n), sym, false, candidates[0], candidates[i]);
                    s.actions.push_back({sym, LgActionKind::Reduce, candidates[0]});
                    reduced[candidates[0]] = true;
                }
            }
        }
        for (size_t r = 1; r < g_.rules.size(); ++r)
            if (!reduced[r]) t_.unused_rules.push_back(static_cast<int>(r));
    }

    void add_conflict(int state, int sym, bool shift, int kept, int dropped) {
        t_.conflicts.push_back({state, sym, shift, kept, dropped});
        ++(shift ? t_.shift_reduce : t_.reduce_reduce);
    }

    int code(int sym) const { return g_.symbols[sym].code; }

    void make_defaults() {
        const size_t n_states = t_.states.size();
        t_.action_base.assign(n_states, 0);
        t_.default_action.assign(n_states, LG_ERROR_ACTION);
        t_.check.assign(n_states, LG_NO_SYMBOL);
        for (size_t n = 0; n < n_states; ++n) {
            const LgState& s = t_.states[n];
            if (s.symbol >= 0)
                t_.check[n] = g_.is_terminal(s.symbol) ? code(s.symbol) : -nt(s.symbol);
            bool shifts = false, shifts_error = false, accept = false;
            std::map<int, int> count;                 // rule -> tokens
            std::vector<std::pair<int, int>> others;  // (token code, action) for exceptions
            for (const LgAction& a : s.actions) {
                if (a.kind == LgActionKind::Shift) {
                    shifts = true;
                    if (a.symbol == g_.error_symbol) shifts_error = true;
                } else if (a.kind == LgActionKind::Accept) {
                    accept = true;
                } else {
                    ++count[a.value];
                }
            }
            if (!shifts && !accept && count.size() == 1) {
                t_.action_base[n] = LG_NO_LOOKAHEAD;
                t_.default_action[n] = count.begin()->first;
                continue;
            }
            int fallback = LG_ERROR_ACTION;
            if (!shifts_error && !count.empty()) {
                // Most frequent rule; map order makes ties go to the lower rule.
                int best = 0;
                for (auto [rule, tokens] : count)
                    if (tokens > best) {
                        best = tokens;
                        fallback = rule;
                    }
            }
            for (const LgAction& a : s.actions) {
                if (a.kind == LgActionKind::Accept)
                    others.emplace_back(code(a.symbol), LG_ACCEPT);
                else if (a.kind == LgActionKind::Reduce && a.value != fallback)
                    others.emplace_back(code(a.symbol), a.value);
            }
            if (others.empty()) {
                t_.default_action[n] = fallback;
                continue;
            }
            std::sort(others.begin(), others.end());
            t_.default_action[n] = LG_SEE_EXCEPTIONS;
            t_.exceptions.push_back(-1);
            t_.exceptions.push_back(static_cast<int>(n));
            for (auto [token, action] : others) {
                t_.exceptions.push_back(token);
                t_.exceptions.push_back(action);
            }
            t_.exceptions.push_back(-2);
            t_.exceptions.push_back(fallback);
        }
    }

    // One row to place in the packed table: slots relative to its base.
    struct Row {
        bool is_state = false;
        int owner = 0;                           // state, or nonterminal number
        std::vector<std::pair<int, int>> slots;  // (offset, value)
    };

    bool fits(const std::vector<std::pair<int, int>>& slots, int base) const {
        for (auto [offset, value] : slots) {
            int at = base + offset;
            if (at < 0) return false;
            if (at < static_cast<int>(used_.size()) && used_[at]) return false;
        }
        return true;
    }

    void place(const std::vector<std::pair<int, int>>& slots, int base) {
        for (auto [offset, value] : slots) {
            size_t at = static_cast<size_t>(base + offset);
            if (at >= used_.size()) {
                used_.resize(at + 1, false);
                t_.action.resize(at + 1, 0);
            }
            used_[at] = true;
            t_.action[at] = value;
        }
    }

    void pack() {
        std::vector<Row> rows;
        for (size_t n = 0; n < t_.states.size(); ++n) {
            if (t_.action_base[n] == LG_NO_LOOKAHEAD) continue;
            Row row{true, static_cast<int>(n), {}};
            for (const LgAction& a : t_.states[n].actions)
                if (a.kind == LgActionKind::Shift) row.slots.emplace_back(code(a.symbol), a.value);
            std::sort(row.slots.begin(), row.slots.end());
            if (row.slots.empty())
                t_.action_base[n] = LG_NO_SHIFT_BASE;
            else
                rows.push_back(std::move(row));
        }
        t_.goto_base.assign(nt_count_, 0);
        std::vector<std::vector<std::pair<int, int>>> gotos(nt_count_);  // (state, target)
        for (size_t p = 0; p < t_.states.size(); ++p)
            for (auto [sym, to] : t_.states[p].transitions)
                if (!g_.is_terminal(sym)) gotos[nt(sym)].emplace_back(static_cast<int>(p), to);
        for (int a = 1; a < nt_count_; ++a) {
            if (gotos[a].empty()) continue;
            std::map<int, int> count;
            for (auto [from, to] : gotos[a])
                ++count[to];
            int best = 0, fallback = 0;
            for (auto [to, times] : count)
                if (times > best) {
                    best = times;
                    fallback = to;
                }
            Row row{false, a, {{0, fallback}}};
            for (auto [from, to] : gotos[a])
                if (to != fallback) row.slots.emplace_back(from + 1, to);
            rows.push_back(std::move(row));
        }
        // Widest rows first, then fuller ones: narrow rows fill the holes that the
        // wide ones leave. The order among equals is fixed for determinism.
        auto span = [](const Row& r) { return r.slots.back().first - r.slots.front().first; };
        std::stable_sort(rows.begin(), rows.end(), [&](const Row& x, const Row& y) {
            if (span(x) != span(y)) return span(x) > span(y);
            return x.slots.size() > y.slots.size();
        });
        std::map<std::vector<std::pair<int, int>>, int> shared;  // shift rows already placed
        std::set<int> state_bases;
        for (const Row& row : rows) {
            if (row.is_state) {
                auto same = shared.find(row.slots);
                if (same != shared.end()) {
                    t_.action_base[row.owner] = same->second;
                    continue;
                }
                // Two states with one base would each accept the other's shifts.
                int base = -row.slots.front().first;
                while (!fits(row.slots, base) || state_bases.count(base))
                    ++base;
                place(row.slots, base);
                state_bases.insert(base);
                shared.emplace(row.slots, base);
                t_.action_base[row.owner] = base;
            } else {
                int base = 0;
                while (!fits(row.slots, base))
                    ++base;
                place(row.slots, base);
                t_.goto_base[row.owner] = base;
            }
        }
    }

    void rule_tables() {
        for (const LgRule& r : g_.rules) {
            t_.rule_lhs.push_back(nt(r.lhs));
            t_.rule_length.push_back(2 * static_cast<int>(r.rhs.size()) + (r.has_action ? 1 : 0));
        }
    }

    bool fits_16_bits(std::string& error) const {
        if (nt_count_ >= -LG_NO_SYMBOL) {
            error = "too many nonterminals";
            return false;
        }
        for (const std::vector<int>* v :
             {&t_.action_base, &t_.action, &t_.check, &t_.default_action, &t_.exceptions,
              &t_.goto_base, &t_.rule_lhs, &t_.rule_length})
            for (int x : *v)
                if (x < INT16_MIN || x > INT16_MAX) {
                    error = "a table value does not fit in 16 bits";
                    return false;
                }
        return true;
    }

    const Grammar& g_;
    LgTables& t_;
    const int nt_count_;
    std::vector<int> rule_item_;
    std::vector<std::vector<int>> by_lhs_;
    std::vector<bool> nullable_;
    std::vector<std::map<int, int>> gotos_;
    std::map<std::pair<int, int>, Bits> lookahead_;  // (state, rule) -> look-ahead tokens
    std::vector<bool> used_;
};

}  // namespace

bool build_tables(const Grammar& grammar, LgTables& tables, std::string& error) {
    Builder builder(grammar, tables);
    return builder.run(error);
}
