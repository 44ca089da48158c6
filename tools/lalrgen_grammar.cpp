// Reading grammar files: a small hand-written lexer and a recursive reader.
#include "tools/lalrgen_grammar.h"

#include <cctype>
#include <map>
#include <set>
#include <utility>

namespace {

enum class Tok { End, Name, Number, Char, Directive, Colon, Bar, Semicolon, Action, Bad };

struct Token {
    Tok kind = Tok::End;
    std::string text;  // name, directive (without %), char literal as written, or message
    long value = 0;    // number, char code, or action number (-1 for {})
    int line = 0;
};

class Lexer {
  public:
    explicit Lexer(std::string_view text) : text_(text) {}

    Token next() {
        skip_blanks();
        Token t;
        t.line = line_;
        if (pos_ >= text_.size()) return t;
        char c = text_[pos_];
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
            t.kind = Tok::Name;
            t.text = take_word();
        } else if (std::isdigit(static_cast<unsigned char>(c))) {
            t.kind = Tok::Number;
            t.text = take_word();
            if (!to_number(t.text, t.value)) return bad(t, "bad number '" + t.text + "'");
        } else if (c == '%') {
            ++pos_;
            t.kind = Tok::Directive;
            t.text = take_word();
        } else if (c == '\'') {
            return char_literal(t);
        } else if (c == '{') {
            return action(t);
        } else {
            ++pos_;
            switch (c) {
                case ':':
                    t.kind = Tok::Colon;
                    break;
                case '|':
                    t.kind = Tok::Bar;
                    break;
                case ';':
                    t.kind = Tok::Semicolon;
                    break;
                default:
                    return bad(t, std::string("unexpected character '") + c + "'");
            }
        }
        return t;
    }

  private:
    void skip_blanks() {
        while (pos_ < text_.size()) {
            char c = text_[pos_];
            if (c == '\n') {
                ++line_;
                ++pos_;
            } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
                ++pos_;
            } else if (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '/') {
                while (pos_ < text_.size() && text_[pos_] != '\n')
                    ++pos_;
            } else {
                break;
            }
        }
    }

    std::string take_word() {
        size_t start = pos_;
        while (pos_ < text_.size() &&
               (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_'))
            ++pos_;
        return std::string(text_.substr(start, pos_ - start));
    }

    static bool to_number(const std::string& s, long& value) {
        if (s.empty() || s.size() > 6) return false;
        value = 0;
        for (char c : s) {
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
            value = value * 10 + (c - '0');
        }
        return true;
    }

    Token bad(Token& t, std::string message) {
        t.kind = Tok::Bad;
        t.text = std::move(message);
        return t;
    }

    // 'c', or one of the escapes '\\' '\'' '\n' '\t'.
    Token char_literal(Token& t) {
        size_t start = pos_++;
        if (pos_ >= text_.size() || text_[pos_] == '\n') return bad(t, "unterminated character");
        unsigned char c = static_cast<unsigned char>(text_[pos_++]);
        if (c == '\\') {
            if (pos_ >= text_.size()) return bad(t, "unterminated character");
            char e = text_[pos_++];
            switch (e) {
                case '\\':
                    c = '\\';
                    break;
                case '\'':
                    c = '\'';
                    break;
                case 'n':
                    c = '\n';
                    break;
                case 't':
                    c = '\t';
                    break;
                default:
                    return bad(t, std::string("unknown escape '\\") + e + "'");
            }
        } else if (c == '\'') {
            return bad(t, "empty character literal");
        }
        if (pos_ >= text_.size() || text_[pos_] != '\'') return bad(t, "unterminated character");
        ++pos_;
        t.kind = Tok::Char;
        t.text = std::string(text_.substr(start, pos_ - start));
        t.value = c;
        return t;
    }

    // {} or {N}
    Token action(Token& t) {
        ++pos_;
        skip_blanks();
        t.value = -1;
        if (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) {
            std::string digits = take_word();
            if (!to_number(digits, t.value)) return bad(t, "bad mid-rule action number");
            skip_blanks();
        }
        if (pos_ >= text_.size() || text_[pos_] != '}')
            return bad(t, "an action marker is {} or {number}");
        ++pos_;
        t.kind = Tok::Action;
        return t;
    }

    std::string_view text_;
    size_t pos_ = 0;
    int line_ = 1;
};

// A rule as read, symbols still by name.
struct RawRule {
    std::string lhs;
    std::vector<std::string> rhs;
    bool has_action = false;
    bool mid_rule = false;
    std::string text;
    int line = 0;
};

struct TokenDecl {
    std::string name;
    long code = 0;
    int line = 0;
};

class Reader {
  public:
    Reader(std::string_view text, const std::string& file) : lex_(text), file_(file) {}

    bool read(Grammar& g, std::string& error) {
        advance();
        while (ok_ && cur_.kind != Tok::End) {
            if (cur_.kind == Tok::Directive)
                directive();
            else if (cur_.kind == Tok::Name)
                rules();
            else
                fail(cur_.line, "expected a directive or a rule");
        }
        if (ok_) build(g);
        if (!ok_) error = error_;
        return ok_;
    }

  private:
    void advance() {
        cur_ = lex_.next();
        if (cur_.kind == Tok::Bad) fail(cur_.line, cur_.text);
    }

    void fail(int line, const std::string& message) {
        if (ok_) error_ = file_ + ":" + std::to_string(line) + ": " + message;
        ok_ = false;
    }

    void note_use(const std::string& name, int line) {
        if (first_use_.emplace(name, line).second) use_order_.push_back(name);
    }

    void directive() {
        Token d = cur_;
        advance();
        if (d.text == "token") {
            if (!ok_ || cur_.kind != Tok::Name) return fail(d.line, "%token needs a name");
            TokenDecl decl{cur_.text, 0, cur_.line};
            advance();
            if (!ok_ || cur_.kind != Tok::Number) return fail(d.line, "%token needs a code");
            decl.code = cur_.value;
            advance();
            if (decl.name == "error") return fail(decl.line, "'error' is predefined");
            if (decl.code == LG_ERROR_CODE || (decl.code > 0 && decl.code < 256))
                return fail(decl.line, "token code " + std::to_string(decl.code) +
                                           " is reserved for error or single characters");
            for (const TokenDecl& other : tokens_) {
                if (other.name == decl.name)
                    return fail(decl.line, "token " + decl.name + " declared twice");
                if (other.code == decl.code)
                    return fail(decl.line, "tokens " + other.name + " and " + decl.name +
                                               " have the same code");
            }
            tokens_.push_back(decl);
        } else if (d.text == "start") {
            if (!ok_ || cur_.kind != Tok::Name) return fail(d.line, "%start needs a name");
            if (!start_.empty()) return fail(d.line, "%start given twice");
            start_ = cur_.text;
            start_line_ = cur_.line;
            advance();
        } else {
            fail(d.line, "unknown directive %" + d.text);
        }
    }

    // name : alternative | alternative ... ;
    void rules() {
        std::string lhs = cur_.text;
        int line = cur_.line;
        advance();
        if (!ok_) return;
        if (cur_.kind != Tok::Colon) return fail(cur_.line, "expected ':' after " + lhs);
        if (lhs == "error") return fail(line, "'error' is a token");
        if (!has_rules_.emplace(lhs).second)
            return fail(line, "rules of " + lhs + " are written in two places");
        note_use(lhs, line);
        if (first_lhs_.empty()) first_lhs_ = lhs;
        do {
            advance();
            if (ok_) alternative(lhs);
        } while (ok_ && cur_.kind == Tok::Bar);
        if (!ok_) return;
        if (cur_.kind != Tok::Semicolon) return fail(cur_.line, "expected '|' or ';'");
        advance();
    }

    void alternative(const std::string& lhs) {
        if (cur_.kind != Tok::Number)
            return fail(cur_.line, "an alternative of " + lhs + " must begin with its rule number");
        long number = cur_.value;
        int line = cur_.line;
        advance();
        RawRule rule;
        rule.lhs = lhs;
        rule.line = line;
        bool empty_marker = false;
        std::vector<std::string> shown;  // symbols for the rule text (mid-rule actions left out)
        while (ok_) {
            if (cur_.kind == Tok::Name || cur_.kind == Tok::Char) {
                if (empty_marker) return fail(cur_.line, "symbols after %empty");
                if (rule.has_action) return fail(cur_.line, "symbols after the closing {}");
                rule.rhs.push_back(cur_.text);
                shown.push_back(cur_.text);
                note_use(cur_.text, cur_.line);
                if (cur_.kind == Tok::Char) note_char(cur_);
            } else if (cur_.kind == Tok::Directive && cur_.text == "empty") {
                if (!rule.rhs.empty() || empty_marker || rule.has_action)
                    return fail(cur_.line, "%empty must be the only symbol");
                empty_marker = true;
            } else if (cur_.kind == Tok::Action) {
                if (rule.has_action) return fail(cur_.line, "symbols after the closing {}");
                if (cur_.value < 0) {
                    rule.has_action = true;
                } else {
                    if (empty_marker) return fail(cur_.line, "mid-rule action after %empty");
                    if (!mid_rule(lhs, shown, cur_)) return;
                    rule.rhs.push_back(raw_.back().lhs);
                }
            } else {
                break;
            }
            advance();
        }
        if (!ok_) return;
        if (number != next_number())
            return fail(line, "rule number " + std::to_string(number) + " should be " +
                                  std::to_string(next_number()));
        rule.text = lhs + " :";
        for (const std::string& s : shown)
            rule.text += " " + s;
        raw_.push_back(std::move(rule));
    }

    bool mid_rule(const std::string& lhs, const std::vector<std::string>& shown, const Token& t) {
        if (t.value != next_number()) {
            fail(t.line, "mid-rule action number " + std::to_string(t.value) + " should be " +
                             std::to_string(next_number()));
            return false;
        }
        RawRule mid;
        mid.lhs = "$$" + std::to_string(t.value);
        mid.has_action = true;
        mid.mid_rule = true;
        mid.line = t.line;
        mid.text = lhs + " :";
        for (const std::string& s : shown)
            mid.text += " " + s;
        note_use(mid.lhs, t.line);
        has_rules_.insert(mid.lhs);
        raw_.push_back(std::move(mid));
        return true;
    }

    long next_number() const { return static_cast<long>(raw_.size()) + 1; }

    void note_char(const Token& t) {
        auto found = chars_.find(t.text);
        if (found != chars_.end()) return;
        for (const auto& [text, code] : chars_)
            if (code == t.value)
                return fail(t.line, "characters " + text + " and " + t.text + " are the same");
        chars_.emplace(t.text, t.value);
        char_order_.push_back(t.text);
    }

    int token_index(const std::string& name) const {
        for (size_t i = 0; i < tokens_.size(); ++i)
            if (tokens_[i].name == name) return static_cast<int>(i);
        return -1;
    }

    void build(Grammar& g) {
        g = Grammar{};
        if (raw_.empty()) return fail(1, "the grammar has no rules");
        std::map<std::string, int> index;
        auto add = [&](const std::string& name, bool terminal, int code, int line) {
            index[name] = static_cast<int>(g.symbols.size());
            g.symbols.push_back(LgSymbol{name, terminal, code, line});
            return static_cast<int>(g.symbols.size()) - 1;
        };

        // Terminals: the end of input, error, the named tokens, the characters.
        int end_decl = -1;
        for (size_t i = 0; i < tokens_.size(); ++i)
            if (tokens_[i].code == LG_END_CODE) end_decl = static_cast<int>(i);
        if (end_decl >= 0)
            g.end_symbol = add(tokens_[end_decl].name, true, LG_END_CODE, tokens_[end_decl].line);
        else
            g.end_symbol = add("$end", true, LG_END_CODE, 0);
        g.error_symbol = add("error", true, LG_ERROR_CODE, 0);
        for (size_t i = 0; i < tokens_.size(); ++i) {
            if (static_cast<int>(i) != end_decl)
                add(tokens_[i].name, true, static_cast<int>(tokens_[i].code), tokens_[i].line);
        }
        for (const TokenDecl& t : tokens_) {
            int sym = index[t.name];
            g.named_tokens.push_back(sym);
        }
        for (const std::string& c : char_order_)
            add(c, true, static_cast<int>(chars_[c]), first_use_[c]);
        for (const TokenDecl& t : tokens_)
            for (const auto& [text, code] : chars_)
                if (code == t.code) return fail(t.line, t.name + " has the code of " + text);
        g.terminal_count = static_cast<int>(g.symbols.size());

        // Nonterminals: $accept, then in order of first appearance.
        g.accept_symbol = add("$accept", false, 0, 0);
        for (const std::string& name : use_order_) {
            if (name.front() == '\'' || name == "error") continue;
            bool is_token = token_index(name) >= 0;
            bool has_rules = has_rules_.count(name) > 0;
            if (is_token && has_rules)
                return fail(first_use_[name], name + " is a token and has rules");
            if (is_token) continue;
            if (!has_rules)
                return fail(first_use_[name], name + " is neither a token nor has rules");
            add(name, false, static_cast<int>(g.symbols.size()) - g.terminal_count,
                first_use_[name]);
        }

        std::string start = start_.empty() ? first_lhs_ : start_;
        auto found = index.find(start);
        if (found == index.end() || g.symbols[found->second].terminal)
            return fail(start_line_, "start symbol " + start + " has no rules");
        g.start = found->second;

        LgRule accept;
        accept.lhs = g.accept_symbol;
        accept.rhs = {g.start, g.end_symbol};
        accept.text = "$accept : " + start + " " + g.symbols[g.end_symbol].name;
        g.rules.push_back(std::move(accept));
        for (RawRule& r : raw_) {
            LgRule rule;
            rule.lhs = index[r.lhs];
            for (const std::string& s : r.rhs) {
                rule.rhs.push_back(index[s]);
            }
            rule.has_action = r.has_action;
            rule.mid_rule = r.mid_rule;
            rule.text = std::move(r.text);
            rule.line = r.line;
            g.rules.push_back(std::move(rule));
        }
    }

    Lexer lex_;
    std::string file_;
    Token cur_;
    bool ok_ = true;
    std::string error_;
    std::vector<TokenDecl> tokens_;
    std::map<std::string, long> chars_;
    std::vector<std::string> char_order_;
    std::map<std::string, int> first_use_;
    std::vector<std::string> use_order_;
    std::set<std::string> has_rules_;
    std::vector<RawRule> raw_;
    std::string start_;
    int start_line_ = 1;
    std::string first_lhs_;
};

}  // namespace

bool read_grammar(std::string_view text, const std::string& file, Grammar& grammar,
                  std::string& error) {
    Reader reader(text, file);
    return reader.read(grammar, error);
}
