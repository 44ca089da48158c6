// The source form compiler. See mksecurity.h.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "tools/mksecurity/mksecurity.h"
#include "utils/libs/dateutil.h"
#include "utils/libs/issuemsg.h"
#include "utils/libs/security.h"

namespace {

constexpr std::size_t kMaxValueLength = 127;
constexpr std::size_t kMaxBlockLength = 0xFFFF;

// ---------------------------------------------------------------------------
// Words

enum class Tok { Word, Equals, Comma, Plus, Tilde, End };

struct Token {
    Tok kind = Tok::End;
    std::string text;
    bool quoted = false;
    bool line_start = false;  // first token of its line
    int line = 0;
};

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

bool is_delimiter(char c) {
    return c == '=' || c == ',' || c == '+' || c == '~';
}

std::string upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

class Lexer {
  public:
    Lexer(const std::string& text, std::vector<SecCompileError>& errors)
        : text_(text), errors_(errors) {}

    std::vector<Token> run() {
        std::vector<Token> out;
        bool line_start = true;
        bool comment_possible = true;
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == '\n') {
                ++line_;
                ++pos_;
                line_start = true;
                comment_possible = true;
                continue;
            }
            if (is_blank(c)) {
                ++pos_;
                continue;
            }
            if (c == '*' && comment_possible) {
                while (pos_ < text_.size() && text_[pos_] != '\n')
                    ++pos_;
                continue;
            }
            comment_possible = false;
            Token t;
            t.line = line_;
            t.line_start = line_start;
            line_start = false;
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                errors_.push_back({line_, "", "a control character cannot stand in the source"});
                ++pos_;
                continue;
            }
            if (is_delimiter(c)) {
                t.kind = c == '='   ? Tok::Equals
                         : c == ',' ? Tok::Comma
                         : c == '+' ? Tok::Plus
                                    : Tok::Tilde;
                t.text.assign(1, c);
                ++pos_;
            } else if (c == '"' || c == '\'') {
                const std::size_t close = text_.find(c, pos_ + 1);
                const std::size_t eol = text_.find('\n', pos_ + 1);
                t.kind = Tok::Word;
                t.quoted = true;
                if (close == std::string::npos || (eol != std::string::npos && eol < close)) {
                    // Taken to the end of the line, so that what follows
                    // is read as it was meant.
                    const std::size_t end = eol == std::string::npos ? text_.size() : eol;
                    errors_.push_back(
                        {line_, text_.substr(pos_, end - pos_), "a quoted word is not closed"});
                    t.text = text_.substr(pos_ + 1, end - pos_ - 1);
                    pos_ = end;
                } else {
                    t.text = text_.substr(pos_ + 1, close - pos_ - 1);
                    pos_ = close + 1;
                }
            } else {
                const std::size_t start = pos_;
                while (pos_ < text_.size()) {
                    const char d = text_[pos_];
                    if (d == '\n' || is_blank(d) || is_delimiter(d)) break;
                    ++pos_;
                }
                t.kind = Tok::Word;
                t.text = text_.substr(start, pos_ - start);
            }
            for (char ch : t.text) {
                if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) {
                    errors_.push_back(
                        {line_, t.text, "a control character cannot stand in the source"});
                    break;
                }
            }
            out.push_back(std::move(t));
        }
        Token end;
        end.line = line_;
        end.line_start = true;
        out.push_back(end);
        return out;
    }

  private:
    const std::string& text_;
    std::vector<SecCompileError>& errors_;
    std::size_t pos_ = 0;
    int line_ = 1;
};

// ---------------------------------------------------------------------------
// Statements

struct Block {
    std::string name;
    int line = 0;
    std::vector<std::pair<int, std::string>> records;  // type, plain data
};

int base_type(int type) {
    if (type >= 128) return type - 128;
    if (type >= 64) return type - 64;
    return type;
}

bool is_rule_object(int code) {
    return (code >= SEC_OBJ_JOB && code <= SEC_OBJ_FILE) || code == SEC_OBJ_USEROBJ ||
           (code >= SEC_OBJ_SYM_JOB && code <= SEC_OBJ_SYM_USEROBJ) || code == SEC_OBJ_SYM_MJOB;
}

const SecKeyword* find_keyword(int table, const std::string& word) {
    const std::string w = upper(word);
    for (const SecKeyword& k : security_table(table))
        if (w == k.text) return &k;
    return nullptr;
}

class Compiler {
  public:
    Compiler(std::vector<Token> tokens, std::vector<SecCompileError>& errors)
        : toks_(std::move(tokens)), errors_(errors) {}

    bool run(std::string& out);

  private:
    enum class State { Outside, Users, Rules };

    const Token& cur() const { return toks_[pos_]; }
    const Token& peek(std::size_t ahead = 1) const {
        return toks_[std::min(pos_ + ahead, toks_.size() - 1)];
    }
    bool word_is(const Token& t, const char* keyword) const {
        return t.kind == Tok::Word && !t.quoted && upper(t.text) == keyword;
    }
    bool starts_statement(std::size_t at) const;
    void error(const Token& t, const std::string& text) {
        errors_.push_back({t.line, t.kind == Tok::End ? "end of file" : t.text, text});
    }
    void recover(std::size_t start);

    bool user_statement(Block& block, bool first);
    bool object_statement(Block& block);
    bool conditions(int object_type, std::string& data, std::vector<int>* attributes);
    bool value(const SecKeyword& attribute, std::string& data);
    bool access_list(int object_type, std::string& data);
    bool finish_block(const Block& block, std::string& out);

    std::vector<Token> toks_;
    std::vector<SecCompileError>& errors_;
    std::size_t pos_ = 0;
};

bool Compiler::starts_statement(std::size_t at) const {
    const Token& t = toks_[at];
    if (t.kind != Tok::Word || t.quoted) return false;
    if (at + 1 < toks_.size() && toks_[at + 1].kind == Tok::Equals) return false;
    const std::string w = upper(t.text);
    if (w == "USER" || w == "BEGIN" || w == "END") return true;
    const SecKeyword* k = find_keyword(SEC_TABLE_OBJECTS, w);
    return k != nullptr && is_rule_object(k->code);
}

// Skips the rest of a faulty statement that began at `start`: on to the next
// line that begins with a statement keyword, moving on at least one word.
void Compiler::recover(std::size_t start) {
    if (pos_ == start && cur().kind != Tok::End) ++pos_;
    while (cur().kind != Tok::End && !(cur().line_start && starts_statement(pos_)))
        ++pos_;
}

bool Compiler::value(const SecKeyword& attribute, std::string& data) {
    const Token& t = cur();
    if (t.kind != Tok::Word) {
        error(t, std::string("a value of ") + attribute.text + " is expected here");
        return false;
    }
    if (!t.quoted && t.text.size() > 1 && t.text[0] == '$') {
        const SecKeyword* var = find_keyword(SEC_TABLE_VARIABLES, t.text.substr(1));
        if (var != nullptr) {
            if ((var->accepts & (1u << attribute.code)) == 0) {
                error(t,
                      std::string("the variable cannot be used in a value of ") + attribute.text);
                return false;
            }
            data += static_cast<char>(kSecVariableMark);
            data += static_cast<char>(var->code);
            ++pos_;
            return true;
        }
    }
    if (t.text.empty()) {
        error(t, "a value cannot be empty");
        return false;
    }
    if (t.text.size() > kMaxValueLength) {
        error(t, "a value is longer than 127 characters");
        return false;
    }
    data += static_cast<char>(t.text.size());
    data += attribute.upper ? upper(t.text) : t.text;
    ++pos_;
    return true;
}

// Conditions up to the first word that is not an attribute followed by "=".
bool Compiler::conditions(int object_type, std::string& data, std::vector<int>* attributes) {
    for (;;) {
        char sep = '+';
        const bool marked = cur().kind == Tok::Plus || cur().kind == Tok::Tilde;
        if (marked) {
            sep = cur().kind == Tok::Tilde ? '~' : '+';
            ++pos_;
        }
        const Token& t = cur();
        const bool attribute_here =
            t.kind == Tok::Word && !t.quoted && peek().kind == Tok::Equals && !word_is(t, "ACCESS");
        if (!attribute_here) {
            if (marked) {
                error(t, std::string("an attribute is expected after ") + sep);
                return false;
            }
            return true;
        }
        const SecKeyword* attribute = find_keyword(SEC_TABLE_ATTRIBUTES, t.text);
        if (attribute == nullptr) {
            error(t, "unknown attribute");
            return false;
        }
        if ((attribute->accepts & (1u << base_type(object_type))) == 0) {
            error(t, std::string("the attribute does not belong to a ") +
                         security_keyword(SEC_TABLE_OBJECTS, object_type) + " statement");
            return false;
        }
        if (attributes != nullptr) attributes->push_back(attribute->code);
        pos_ += 2;
        data += sep;
        data += static_cast<char>(attribute->code);
        for (;;) {
            if (!value(*attribute, data)) return false;
            if (cur().kind != Tok::Comma) break;
            data += ',';
            ++pos_;
        }
    }
}

bool Compiler::access_list(int object_type, std::string& data) {
    if (!(word_is(cur(), "ACCESS") && peek().kind == Tok::Equals)) {
        error(cur(), "ACCESS= is expected here");
        return false;
    }
    pos_ += 2;
    data += '=';
    const std::vector<SecKeyword> actions =
        security_keyword_copy(SEC_TABLE_ACTIONS, base_type(object_type));
    std::vector<int> codes;
    // Nothing after "=" on its line, and a new statement or the end next: a
    // rule that allows no action.
    if (cur().kind == Tok::End || (cur().line_start && starts_statement(pos_))) return true;
    for (;;) {
        const Token& t = cur();
        if (t.kind != Tok::Word) {
            error(t, "an action is expected here");
            return false;
        }
        const std::string pattern = upper(t.text);
        bool found = false;
        for (const SecKeyword& a : actions) {
            if (std::strcmp(a.text, " ") == 0) continue;
            if (!match_pattern(a.text, pattern.data(), static_cast<int>(std::strlen(a.text)),
                               static_cast<int>(pattern.size()), 0)) {
                continue;
            }
            found = true;
            if (std::find(codes.begin(), codes.end(), a.code) == codes.end()) {
                codes.push_back(a.code);
            }
        }
        if (!found) {
            if (find_keyword(SEC_TABLE_ACTIONS, pattern) != nullptr) {
                error(t, std::string("the action does not apply to ") +
                             security_keyword(SEC_TABLE_OBJECTS, object_type));
            } else {
                error(t, "no action has this name");
            }
            return false;
        }
        ++pos_;
        if (cur().kind != Tok::Comma) break;
        ++pos_;
    }
    for (int code : codes)
        data += static_cast<char>(code);
    return true;
}

bool check_length(std::vector<SecCompileError>& errors, const Token& at, const std::string& data) {
    if (data.size() <= static_cast<std::size_t>(kSecMaxRecordData)) return true;
    errors.push_back({at.line, at.text,
                      "the statement compiles to " + std::to_string(data.size()) +
                          " bytes, more than the 1024 a rule can hold"});
    return false;
}

bool Compiler::user_statement(Block& block, bool first) {
    const Token keyword = cur();
    ++pos_;
    // The block name: the next word, unless it is an attribute or BEGIN.
    std::string name;
    bool named = false;
    if (cur().kind == Tok::Word && peek().kind != Tok::Equals &&
        (cur().quoted || !(word_is(cur(), "BEGIN") || word_is(cur(), "USER")))) {
        name = cur().text;
        named = true;
        if (name.size() > static_cast<std::size_t>(kSecBlockNameSize)) {
            error(cur(), "a USER name is longer than 36 characters");
            return false;
        }
        ++pos_;
    }
    if (first) {
        block.name = name;
        block.line = keyword.line;
    } else if (named && name != block.name) {
        error(toks_[pos_ - 1],
              "a further USER statement of a block must repeat its name or "
              "leave it out");
        return false;
    }
    std::string data;
    std::vector<int> attributes;
    if (!conditions(SEC_OBJ_USER, data, &attributes)) return false;
    if (attributes.empty()) {
        error(cur(), "a USER statement needs a LOGON, GROUP or CPU condition");
        return false;
    }
    if (!check_length(errors_, keyword, data)) return false;
    block.records.emplace_back(SEC_OBJ_USER, std::move(data));
    return true;
}

bool Compiler::object_statement(Block& block) {
    const Token keyword = cur();
    const SecKeyword* object = find_keyword(SEC_TABLE_OBJECTS, keyword.text);
    const int type = object->code;
    ++pos_;
    std::string data;
    std::vector<int> attributes;
    if (!conditions(type, data, &attributes)) return false;
    if (!access_list(type, data)) return false;
    const SecKeyword* base = nullptr;
    for (const SecKeyword& k : security_table(SEC_TABLE_OBJECTS)) {
        if (k.code == base_type(type)) {
            base = &k;
            break;
        }
    }
    if (base != nullptr && base->must_name != 0 &&
        std::find(attributes.begin(), attributes.end(), base->must_name) == attributes.end()) {
        char buf[kFormatBufSize];
        std::int16_t length = 0;
        format_msg(buf, &length, 1113, 112);
        std::string text(buf, static_cast<std::size_t>(std::max<std::int16_t>(length, 0)));
        while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
            text.pop_back();
        error(keyword, std::string(security_keyword(SEC_TABLE_ATTRIBUTES, base->must_name)) +
                           " is missing: " + text);
        return false;
    }
    if (!check_length(errors_, keyword, data)) return false;
    block.records.emplace_back(type, std::move(data));
    return true;
}

std::string hex4(std::size_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(v & 0xFFFF));
    return buf;
}

bool Compiler::finish_block(const Block& block, std::string& out) {
    const std::string key = security_block_key(block.name);
    std::string body;
    for (const auto& [type, plain] : block.records) {
        std::string data = plain;
        const unsigned sum =
            scramble_record(key, reinterpret_cast<std::uint8_t*>(data.data()), data.size());
        body += hex4(kSecRecordHeaderSize + data.size());
        body += hex4(security_checksum(sum));
        body += static_cast<char>(type);
        body += data;
    }
    const std::size_t length = kSecBlockHeaderSize + body.size();
    if (length > kMaxBlockLength) {
        errors_.push_back({block.line, block.name,
                           "the USER block compiles to " + std::to_string(length) +
                               " bytes, more than the 65535 a block can hold"});
        return false;
    }
    std::string name = block.name;
    name.resize(kSecBlockNameSize, ' ');
    out += hex4(length);
    out += "0000";
    out += static_cast<char>(SEC_OBJ_USER);
    out += name;
    out += body;
    return true;
}

bool Compiler::run(std::string& out) {
    const std::size_t errors_before = errors_.size();
    out = "SF  0001";
    out.append(kSecHeaderSize - 1 - out.size(), ' ');
    out += '\n';

    State state = State::Outside;
    Block block;
    while (cur().kind != Tok::End) {
        const Token& t = cur();
        const std::size_t start = pos_;
        bool ok = true;
        if (!starts_statement(pos_)) {
            error(t, state == State::Rules ? "an object statement or END is expected here"
                                           : "USER is expected here");
            ok = false;
        } else if (word_is(t, "USER")) {
            if (state == State::Rules) {
                error(t, "END is missing before this USER");
                ok = false;
            } else {
                if (state == State::Outside) block = Block{};
                ok = user_statement(block, state == State::Outside);
                state = State::Users;
            }
        } else if (word_is(t, "BEGIN")) {
            if (state != State::Users) {
                error(t, "BEGIN stands only after the USER statements of a block");
                ok = false;
            } else {
                block.records.emplace_back(SEC_OBJ_BEGIN, std::string());
                state = State::Rules;
                ++pos_;
            }
        } else if (word_is(t, "END")) {
            if (state != State::Rules) {
                error(t, "END without BEGIN");
                ok = false;
            } else {
                block.records.emplace_back(SEC_OBJ_END, std::string());
                finish_block(block, out);
                state = State::Outside;
                ++pos_;
            }
        } else {
            if (state != State::Rules) {
                error(t, "an object statement stands only between BEGIN and END");
                ok = false;
            } else {
                ok = object_statement(block);
            }
        }
        if (!ok) recover(start);
    }
    if (state != State::Outside) error(cur(), "END is missing at the end of the source");
    return errors_.size() == errors_before;
}

}  // namespace

bool compile_security_source(const std::string& source, std::string& compiled,
                             std::vector<SecCompileError>& errors) {
    compiled.clear();
    const std::size_t before = errors.size();
    Lexer lexer(source, errors);
    std::vector<Token> tokens = lexer.run();
    Compiler compiler(std::move(tokens), errors);
    std::string out;
    const bool ok = compiler.run(out) && errors.size() == before;
    std::stable_sort(
        errors.begin() + static_cast<std::ptrdiff_t>(before), errors.end(),
        [](const SecCompileError& a, const SecCompileError& b) { return a.line < b.line; });
    if (ok) compiled = std::move(out);
    return ok;
}
