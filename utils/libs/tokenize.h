// Word splitting by character classes, honouring quotes and brackets, and
// keyword lookup with unique abbreviations.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The character classes of the splitter. Every class is a set of characters.
// A character found in several classes takes the first class in this order.
struct CharClasses {
    // Class 1: delimiters that count only at the start of the line and right
    // after a delimiter of class 4.
    std::string leading{};
    // Class 2: ordinary delimiters.
    std::string ordinary{};
    // Class 3: once a word ends with one of these, everything after it up to
    // the end of the text is one final word.
    std::string rest_of_line{};
    // Class 4: delimiters after which class 1 counts again. They are always
    // delimiters themselves.
    std::string restart{};
};

// Class flags of a word.
enum : int {
    WORD_LETTER = 0x01,     // contains a letter
    WORD_DIGIT = 0x02,      // contains a digit
    WORD_OTHER = 0x04,      // contains a character that is neither
    WORD_NAME = 0x08,       // begins with a letter, shorter than 20, letters and digits only
    WORD_REST = 0x10,       // the rest-of-line word after a class-3 delimiter
    WORD_LONG_NAME = 0x20,  // begins with a letter and is 20 characters or longer
};

struct Word {
    std::string text;         // without its quotes or brackets
    char delimiter = 0;       // the delimiter that ended it; 0 none or end of text
    int delimiter_class = 0;  // 1..4, 0 none
    char quote_open = 0;      // the quote or bracket pair around it, 0 if none
    char quote_close = 0;
    int start = 0;  // offset in the text where it begins (at its opening quote)
    int flags = 0;  // WORD_... flags
};

// A split line. The words are walked with a cursor that starts at the first
// word; a cursor outside the list yields no word.
struct WordList {
    std::string text;  // private copy of the split text
    std::vector<Word> words;
    // 0, or the scan_word result that stopped the splitting early
    // (SCAN_UNCLOSED for a quote or bracket that is never closed).
    int status = 0;
    int cursor = 0;
};

const Word* word_current(const WordList& list);
const Word* word_next(WordList& list);      // moves the cursor forward, then as word_current
const Word* word_previous(WordList& list);  // moves the cursor back, then as word_current
void word_rewind(WordList& list);           // back to the first word

// The class flags of a word's text (WORD_LETTER ... WORD_LONG_NAME, never WORD_REST).
int word_class_flags(std::string_view text);

// Splits text (length characters, 0 = up to the terminator) into words. The
// first word may end with a delimiter of classes 1 to 4, every later one with
// classes 2 to 4, and with class 1 again right after a class-4 delimiter.
// Returns std::nullopt only when memory runs out; a null text gives an empty
// list.
std::optional<WordList> split_words(const char* text, int length, const CharClasses& classes);

// scan_word results.
enum : int {
    SCAN_NO_TEXT = -1,
    SCAN_ZERO_LENGTH = -2,
    SCAN_NO_MEMORY = -4,
    SCAN_NO_WORD = -5,   // only white space left
    SCAN_UNCLOSED = -6,  // a quote or bracket is not closed
};

struct ScannedWord {
    std::string text;
    char quote_open = 0;  // the quote or bracket pair around the word, 0 if none
    char quote_close = 0;
    char delimiter = 0;  // the delimiter that ended it, 0 none or end of text
};

// Scans the next word of text[0..length) from *position with the given
// delimiter set:
//  - a word beginning with ', " or ` runs to the next occurrence of that
//    character (the quotes are not part of it, white space inside is);
//  - a word beginning with (, [ or { is the text inside, up to the matching
//    closing bracket, nested brackets and quoted parts skipped as units;
//  - any other word runs to the first delimiter, or to the first quote or
//    opening bracket if that comes earlier; but when a "::" after its first
//    character comes before both, it runs to the delimiter, or through a
//    quoted string that follows the "::" directly.
// Trailing white space is trimmed from bracketed and plain words. A white
// space delimiter followed by more white space and another delimiter (or the
// end of the text, 0) is replaced by that one. *position moves past the
// delimiter. Returns the offset where the word begins, or a SCAN_ result.
int scan_word(const char* text, int length, std::string_view delimiters, int* position,
              ScannedWord* word);

// Keywords: upper case, at most 20 characters, with a value byte each. A
// table is a plain array (std::span converts from it); an entry with a null
// text also ends it.
struct Keyword {
    const char* text;
    unsigned char value;
};

constexpr int kKeywordMaxLength = 20;

enum : int {
    KEYWORD_NONE = -201,
    KEYWORD_AMBIGUOUS = -202,
    KEYWORD_TOO_LONG = -203,
};

// The yes/no words of the options files: value 1 true, 0 false.
inline constexpr Keyword kBooleanKeywords[] = {
    {"YES", 1}, {"ON", 1}, {"TRUE", 1}, {"NO", 0}, {"OFF", 0}, {"FALSE", 0},
};

// Index of the keyword that equals the upper-cased word; with prefix set, also
// of the only keyword that begins with it. An exact match wins over any number
// of prefix matches. KEYWORD_NONE (also for an empty or null word),
// KEYWORD_AMBIGUOUS when several keywords begin with the word, KEYWORD_TOO_LONG
// for a word longer than 20 characters.
int match_keyword(const char* word, std::span<const Keyword> table, bool prefix);

// The value byte of the keyword match_keyword finds, or its negative result.
int keyword_value(const char* word, std::span<const Keyword> table, bool prefix);
