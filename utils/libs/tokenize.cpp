// Word splitting and keyword lookup. See tokenize.h.
#include "utils/libs/tokenize.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>

namespace {

bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}
bool is_quote(char c) {
    return c == '\'' || c == '"' || c == '`';
}

char closing_bracket(char c) {
    switch (c) {
        case '(':
            return ')';
        case '[':
            return ']';
        case '{':
            return '}';
        default:
            return 0;
    }
}

bool contains(std::string_view set, char c) {
    return c != '\0' && set.find(c) != std::string_view::npos;
}

// Index of the next c in text[from..length), or -1.
int find_char(const char* text, int from, int length, char c) {
    for (int i = from; i < length; ++i) {
        if (text[i] == c) return i;
    }
    return -1;
}

// text[open] is an opening bracket: index of its matching closing bracket, or
// -1. Nested brackets and quoted parts inside are skipped as units; a closing
// bracket that matches no open one is an ordinary character.
int find_group_end(const char* text, int open, int length) {
    std::string pending(1, closing_bracket(text[open]));
    for (int i = open + 1; i < length; ++i) {
        const char c = text[i];
        if (is_quote(c)) {
            i = find_char(text, i + 1, length, c);
            if (i < 0) return -1;
        } else if (const char close = closing_bracket(c); close != 0) {
            pending.push_back(close);
        } else if (c == pending.back()) {
            pending.pop_back();
            if (pending.empty()) return i;
        }
    }
    return -1;
}

void trim_trailing_space(std::string& s) {
    while (!s.empty() && is_space(s.back()))
        s.pop_back();
}

int delimiter_class(char d, const CharClasses& cc, bool leading_active) {
    if (d == '\0') return 0;
    if (leading_active && contains(cc.leading, d)) return 1;
    if (contains(cc.ordinary, d)) return 2;
    if (contains(cc.rest_of_line, d)) return 3;
    if (contains(cc.restart, d)) return 4;
    return 0;
}

}  // namespace

const Word* word_current(const WordList& list) {
    if (list.cursor < 0 || list.cursor >= static_cast<int>(list.words.size())) return nullptr;
    return &list.words[static_cast<std::size_t>(list.cursor)];
}

const Word* word_next(WordList& list) {
    // The cursor stops one step outside the list so that one step back
    // returns to its end.
    if (list.cursor < static_cast<int>(list.words.size())) ++list.cursor;
    return word_current(list);
}

const Word* word_previous(WordList& list) {
    if (list.cursor >= 0) --list.cursor;
    return word_current(list);
}

void word_rewind(WordList& list) {
    list.cursor = 0;
}

int word_class_flags(std::string_view text) {
    int flags = 0;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (std::isalpha(c)) {
            flags |= WORD_LETTER;
        } else if (std::isdigit(c)) {
            flags |= WORD_DIGIT;
        } else {
            flags |= WORD_OTHER;
        }
    }
    if (!text.empty() && std::isalpha(static_cast<unsigned char>(text[0]))) {
        if (text.size() >= 20) {
            flags |= WORD_LONG_NAME;
        } else if (!(flags & WORD_OTHER)) {
            flags |= WORD_NAME;
        }
    }
    return flags;
}

int scan_word(const char* text, int length, std::string_view delimiters, int* position,
              ScannedWord* word) {
    if (text == nullptr || position == nullptr || word == nullptr || *position < 0) {
        return SCAN_NO_TEXT;
    }
    if (length <= 0) return SCAN_ZERO_LENGTH;

    const auto is_delim = [&](char c) { return contains(delimiters, c); };

    int p = *position;
    while (p < length && is_space(text[p]))
        ++p;
    if (p >= length) {
        *position = length;
        return SCAN_NO_WORD;
    }

    try {
        const int start = p;
        std::string out;
        char quote_open = 0;
        char quote_close = 0;
        int after;  // just past the word and its closing quote or bracket

        if (is_quote(text[p])) {
            const int close = find_char(text, p + 1, length, text[p]);
            if (close < 0) return SCAN_UNCLOSED;
            out.assign(text + p + 1, static_cast<std::size_t>(close - p - 1));
            quote_open = quote_close = text[p];
            after = close + 1;
        } else if (closing_bracket(text[p]) != 0) {
            const int close = find_group_end(text, p, length);
            if (close < 0) return SCAN_UNCLOSED;
            out.assign(text + p + 1, static_cast<std::size_t>(close - p - 1));
            trim_trailing_space(out);
            quote_open = text[p];
            quote_close = text[close];
            after = close + 1;
        } else {
            int delim = p;
            while (delim < length && !is_delim(text[delim]))
                ++delim;
            int opener = p;
            while (opener < length && !is_quote(text[opener]) && !closing_bracket(text[opener])) {
                ++opener;
            }
            int stop = std::min(delim, opener);

            int colons = -1;
            for (int i = p + 1; i + 1 < stop; ++i) {
                if (text[i] == ':' && text[i + 1] == ':') {
                    colons = i;
                    break;
                }
            }
            if (colons >= 0 && colons + 2 < length && is_quote(text[colons + 2])) {
                const int close = find_char(text, colons + 3, length, text[colons + 2]);
                if (close < 0) return SCAN_UNCLOSED;
                stop = close + 1;
                out.assign(text + p, static_cast<std::size_t>(stop - p));
            } else {
                if (colons >= 0) stop = delim;
                out.assign(text + p, static_cast<std::size_t>(stop - p));
                trim_trailing_space(out);
            }
            after = stop;
        }

        // The ending delimiter; the end of the text counts as delimiter 0.
        char delimiter = 0;
        int next = after;
        const auto look_past_space = [&](int from, char fallback) {
            int j = from;
            while (j < length && is_space(text[j]))
                ++j;
            if (j >= length) {
                delimiter = 0;
                next = length;
            } else if (is_delim(text[j])) {
                delimiter = text[j];
                next = j + 1;
            } else {
                delimiter = fallback;
                next = j;
            }
        };
        if (after >= length) {
            next = length;
        } else if (is_delim(text[after])) {
            delimiter = text[after];
            next = after + 1;
            if (is_space(delimiter)) look_past_space(next, delimiter);
        } else {
            look_past_space(after, 0);
        }

        word->text = std::move(out);
        word->quote_open = quote_open;
        word->quote_close = quote_close;
        word->delimiter = delimiter;
        *position = std::max(next, start + 1);
        return start;
    } catch (const std::bad_alloc&) {
        return SCAN_NO_MEMORY;
    }
}

std::optional<WordList> split_words(const char* text, int length, const CharClasses& classes) {
    try {
        WordList list;
        if (text == nullptr) return list;
        if (length <= 0) length = static_cast<int>(std::strlen(text));
        list.text.assign(text, static_cast<std::size_t>(length));

        const char* src = list.text.data();
        bool leading_active = true;
        bool rest_follows = false;
        int pos = 0;
        while (pos < length) {
            if (rest_follows) {
                while (pos < length && is_space(src[pos]))
                    ++pos;
                Word w;
                w.text.assign(src + pos, static_cast<std::size_t>(length - pos));
                trim_trailing_space(w.text);
                if (!w.text.empty()) {
                    w.start = pos;
                    w.flags = word_class_flags(w.text) | WORD_REST;
                    list.words.push_back(std::move(w));
                }
                break;
            }

            std::string active;
            if (leading_active) active += classes.leading;
            active += classes.ordinary;
            active += classes.rest_of_line;
            active += classes.restart;

            ScannedWord sw;
            const int start = scan_word(src, length, active, &pos, &sw);
            if (start == SCAN_NO_MEMORY) return std::nullopt;
            if (start < 0) {
                if (start != SCAN_NO_WORD) list.status = start;
                break;
            }
            Word w;
            w.flags = word_class_flags(sw.text);
            w.text = std::move(sw.text);
            w.delimiter = sw.delimiter;
            w.delimiter_class = delimiter_class(sw.delimiter, classes, leading_active);
            w.quote_open = sw.quote_open;
            w.quote_close = sw.quote_close;
            w.start = start;
            list.words.push_back(std::move(w));

            rest_follows = contains(classes.rest_of_line, sw.delimiter);
            leading_active = contains(classes.restart, sw.delimiter);
        }
        return list;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

int match_keyword(const char* word, std::span<const Keyword> table, bool prefix) {
    if (word == nullptr) return KEYWORD_NONE;
    const std::size_t n = strnlen(word, kKeywordMaxLength + 1);
    if (n > static_cast<std::size_t>(kKeywordMaxLength)) return KEYWORD_TOO_LONG;
    if (n == 0) return KEYWORD_NONE;

    char upper[kKeywordMaxLength + 1] = {};
    for (std::size_t i = 0; i < n; ++i) {
        upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[i])));
    }

    int found = KEYWORD_NONE;
    for (std::size_t i = 0; i < table.size() && table[i].text != nullptr; ++i) {
        const char* kw = table[i].text;
        const std::size_t len = std::strlen(kw);
        if (len == n && std::memcmp(kw, upper, n) == 0) return static_cast<int>(i);
        if (prefix && len > n && std::memcmp(kw, upper, n) == 0) {
            found = found == KEYWORD_NONE ? static_cast<int>(i) : KEYWORD_AMBIGUOUS;
        }
    }
    return found;
}

int keyword_value(const char* word, std::span<const Keyword> table, bool prefix) {
    const int index = match_keyword(word, table, prefix);
    if (index < 0) return index;
    return table[static_cast<std::size_t>(index)].value;
}
