#include "utils/libs/tokenize.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const CharClasses kOptionsLine{.ordinary = " \t\n=", .rest_of_line = "#"};

struct W {
    std::string text;
    char delimiter;
};

std::vector<W> words_of(const char* text, const CharClasses& cc, int* status = nullptr) {
    auto list = split_words(text, 0, cc);
    EXPECT_TRUE(list.has_value());
    std::vector<W> out;
    if (!list) return out;
    for (const Word& w : list->words)
        out.push_back({w.text, w.delimiter});
    if (status != nullptr) *status = list->status;
    return out;
}

::testing::AssertionResult same_words(const std::vector<W>& got, const std::vector<W>& want) {
    std::string g;
    std::string e;
    for (const W& w : got)
        g += "[" + w.text + "|" + std::to_string(w.delimiter) + "]";
    for (const W& w : want)
        e += "[" + w.text + "|" + std::to_string(w.delimiter) + "]";
    if (g == e) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got " << g << " want " << e;
}

}  // namespace

TEST(SplitWords, OptionsLines) {
    auto list = split_words("key = value", 0, kOptionsLine);
    ASSERT_TRUE(list.has_value());
    ASSERT_EQ(list->words.size(), 2u);
    EXPECT_EQ(list->words[0].text, "key");
    EXPECT_EQ(list->words[0].delimiter, '=');
    EXPECT_EQ(list->words[0].delimiter_class, 2);
    EXPECT_EQ(list->words[1].text, "value");
    EXPECT_EQ(list->words[1].delimiter, 0);
    EXPECT_EQ(list->words[1].start, 6);

    EXPECT_TRUE(same_words(words_of("Brantis Directory = x\n", kOptionsLine),
                           {{"Brantis", ' '}, {"Directory", '='}, {"x", 0}}));
    EXPECT_TRUE(same_words(words_of("start=0600", kOptionsLine), {{"start", '='}, {"0600", 0}}));
    EXPECT_TRUE(same_words(words_of("history =   ", kOptionsLine), {{"history", '='}}));
    EXPECT_TRUE(same_words(words_of("a==b", kOptionsLine), {{"a", '='}, {"", '='}, {"b", 0}}));
    // An explicit length stops before the terminator.
    auto cut = split_words("abc def", 3, kOptionsLine);
    ASSERT_TRUE(cut.has_value());
    ASSERT_EQ(cut->words.size(), 1u);
    EXPECT_EQ(cut->words[0].text, "abc");
}

TEST(SplitWords, RestOfLine) {
    auto list = split_words("a # b", 0, kOptionsLine);
    ASSERT_TRUE(list.has_value());
    ASSERT_EQ(list->words.size(), 2u);
    EXPECT_EQ(list->words[0].text, "a");
    EXPECT_EQ(list->words[0].delimiter, '#');
    EXPECT_EQ(list->words[0].delimiter_class, 3);
    EXPECT_EQ(list->words[1].text, "b");
    EXPECT_EQ(list->words[0].flags, WORD_LETTER | WORD_NAME);
    EXPECT_EQ(list->words[1].flags, WORD_LETTER | WORD_NAME | WORD_REST);

    // Delimiters and quotes after the class-3 character are plain text.
    EXPECT_TRUE(same_words(words_of("x = y # one = \"two\n", kOptionsLine),
                           {{"x", '='}, {"y", '#'}, {"one = \"two", 0}}));
    EXPECT_TRUE(same_words(words_of("a #   \n", kOptionsLine), {{"a", '#'}}));
    // The forced-list layout: "#" ordinary, "*" rest of line.
    const CharClasses forced{.ordinary = "#\n", .rest_of_line = "*"};
    EXPECT_TRUE(same_words(words_of("ws1#sched1 * note\n", forced),
                           {{"ws1", '#'}, {"sched1", '*'}, {"note", 0}}));
}

TEST(SplitWords, QuotesAndBrackets) {
    auto list = split_words("\"a b \" 'c'`d` x", 0, kOptionsLine);
    ASSERT_TRUE(list.has_value());
    ASSERT_EQ(list->words.size(), 4u);
    EXPECT_EQ(list->words[0].text, "a b ");
    EXPECT_EQ(list->words[0].quote_open, '"');
    EXPECT_EQ(list->words[0].delimiter, ' ');
    EXPECT_EQ(list->words[1].text, "c");
    EXPECT_EQ(list->words[1].delimiter, 0);  // directly followed by a quote
    EXPECT_EQ(list->words[2].text, "d");
    EXPECT_EQ(list->words[3].text, "x");

    auto nested = split_words("( a (b) [c)] {\"}\"} ) = v", 0, kOptionsLine);
    ASSERT_TRUE(nested.has_value());
    ASSERT_EQ(nested->words.size(), 2u);
    EXPECT_EQ(nested->words[0].text, " a (b) [c)] {\"}\"}");
    EXPECT_EQ(nested->words[0].quote_open, '(');
    EXPECT_EQ(nested->words[0].quote_close, ')');
    EXPECT_EQ(nested->words[0].delimiter, '=');
    EXPECT_EQ(nested->words[1].text, "v");

    // A plain word stops at a quote or bracket, unless a "::" comes first.
    EXPECT_TRUE(
        same_words(words_of("abc\"def\" g", kOptionsLine), {{"abc", 0}, {"def", ' '}, {"g", 0}}));
    EXPECT_TRUE(
        same_words(words_of("ws::\"a b\" = 1", kOptionsLine), {{"ws::\"a b\"", '='}, {"1", 0}}));
    EXPECT_TRUE(same_words(words_of("a::b(c) d", kOptionsLine), {{"a::b(c)", ' '}, {"d", 0}}));
    EXPECT_TRUE(same_words(words_of("::\"x\"", kOptionsLine), {{"::", 0}, {"x", 0}}));
}

TEST(SplitWords, UnclosedQuoteOrBracket) {
    int pos = 0;
    ScannedWord w;
    EXPECT_EQ(scan_word("\"abc", 4, " ", &pos, &w), SCAN_UNCLOSED);
    pos = 0;
    EXPECT_EQ(scan_word("(a (b)", 6, " ", &pos, &w), SCAN_UNCLOSED);
    pos = 0;
    EXPECT_EQ(scan_word("(a \")\"", 6, " ", &pos, &w), SCAN_UNCLOSED);
    pos = 0;
    EXPECT_EQ(scan_word("ws::'x", 6, " ", &pos, &w), SCAN_UNCLOSED);

    // The splitter keeps the words before it and reports why it stopped.
    int status = 0;
    EXPECT_TRUE(same_words(words_of("k = \"v", kOptionsLine, &status), {{"k", '='}}));
    EXPECT_EQ(status, SCAN_UNCLOSED);
}

TEST(ScanWord, ResultsAndPositions) {
    int pos = 0;
    ScannedWord w;
    EXPECT_EQ(scan_word(nullptr, 3, " ", &pos, &w), SCAN_NO_TEXT);
    EXPECT_EQ(scan_word("abc", 0, " ", &pos, &w), SCAN_ZERO_LENGTH);
    EXPECT_EQ(scan_word("   ", 3, " ", &pos, &w), SCAN_NO_WORD);

    const char* text = "  one ,two";
    pos = 0;
    EXPECT_EQ(scan_word(text, 10, " ,", &pos, &w), 2);
    EXPECT_EQ(w.text, "one");
    EXPECT_EQ(w.delimiter, ',');  // blank, more blanks, then ","
    EXPECT_EQ(pos, 7);
    EXPECT_EQ(scan_word(text, 10, " ,", &pos, &w), 7);
    EXPECT_EQ(w.text, "two");
    EXPECT_EQ(w.delimiter, 0);
    EXPECT_EQ(pos, 10);
    EXPECT_EQ(scan_word(text, 10, " ,", &pos, &w), SCAN_NO_WORD);

    // Without blanks among the delimiters a plain word keeps inner blanks and
    // loses trailing ones.
    pos = 0;
    EXPECT_EQ(scan_word("key one  = v", 12, "=", &pos, &w), 0);
    EXPECT_EQ(w.text, "key one");
    EXPECT_EQ(w.delimiter, '=');
}

TEST(SplitWords, LeadingDelimitersCountAfterRestart) {
    // ":" ends a label only at the start and after ";".
    const CharClasses cc{.leading = ":", .ordinary = " ", .restart = ";"};
    auto list = split_words("lbl: cmd a:b; lbl2: c:d", 0, cc);
    ASSERT_TRUE(list.has_value());
    std::vector<W> got;
    for (const Word& w : list->words)
        got.push_back({w.text, w.delimiter});
    EXPECT_TRUE(
        same_words(got, {{"lbl", ':'}, {"cmd", ' '}, {"a:b", ';'}, {"lbl2", ':'}, {"c:d", 0}}));
    ASSERT_EQ(list->words.size(), 5u);
    EXPECT_EQ(list->words[0].delimiter_class, 1);
    EXPECT_EQ(list->words[1].delimiter_class, 2);
    EXPECT_EQ(list->words[2].delimiter_class, 4);
    EXPECT_EQ(list->words[3].delimiter_class, 1);
    EXPECT_EQ(list->words[4].delimiter_class, 0);
}

TEST(SplitWords, ClassFlags) {
    EXPECT_EQ(word_class_flags("a1"), WORD_LETTER | WORD_DIGIT | WORD_NAME);
    EXPECT_EQ(word_class_flags("1a"), WORD_LETTER | WORD_DIGIT);
    EXPECT_EQ(word_class_flags("a-b"), WORD_LETTER | WORD_OTHER);
    EXPECT_EQ(word_class_flags(std::string(19, 'x')), WORD_LETTER | WORD_NAME);
    EXPECT_EQ(word_class_flags(std::string(20, 'x')), WORD_LETTER | WORD_LONG_NAME);
    EXPECT_EQ(word_class_flags("x" + std::string(19, '-')),
              WORD_LETTER | WORD_OTHER | WORD_LONG_NAME);
}

TEST(SplitWords, Cursor) {
    auto list = split_words("a b c", 0, kOptionsLine);
    ASSERT_TRUE(list.has_value());
    WordList& wl = *list;
    ASSERT_NE(word_current(wl), nullptr);
    EXPECT_EQ(word_current(wl)->text, "a");
    EXPECT_EQ(word_next(wl)->text, "b");
    EXPECT_EQ(word_next(wl)->text, "c");
    EXPECT_EQ(word_next(wl), nullptr);
    EXPECT_EQ(word_next(wl), nullptr);  // stays just outside
    EXPECT_EQ(word_previous(wl)->text, "c");
    word_rewind(wl);
    EXPECT_EQ(word_previous(wl), nullptr);
    EXPECT_EQ(word_previous(wl), nullptr);
    EXPECT_EQ(word_next(wl)->text, "a");
}

TEST(Keywords, MatchAndValue) {
    EXPECT_EQ(match_keyword("O", kBooleanKeywords, true), KEYWORD_AMBIGUOUS);
    EXPECT_EQ(match_keyword("ON", kBooleanKeywords, true), 1);
    EXPECT_EQ(match_keyword("of", kBooleanKeywords, true), 4);
    EXPECT_EQ(match_keyword("Y", kBooleanKeywords, false), KEYWORD_NONE);
    EXPECT_EQ(match_keyword("", kBooleanKeywords, true), KEYWORD_NONE);
    EXPECT_EQ(match_keyword(std::string(21, 'Y').c_str(), kBooleanKeywords, true),
              KEYWORD_TOO_LONG);
    EXPECT_EQ(match_keyword(std::string(20, 'Y').c_str(), kBooleanKeywords, true), KEYWORD_NONE);

    for (const char* t : {"y", "Yes", "t"})
        EXPECT_EQ(keyword_value(t, kBooleanKeywords, true), 1);
    for (const char* f : {"n", "F", "off"})
        EXPECT_EQ(keyword_value(f, kBooleanKeywords, true), 0);
    EXPECT_EQ(keyword_value("o", kBooleanKeywords, true), KEYWORD_AMBIGUOUS);

    // An exact match wins even after two keywords began with the word.
    const Keyword table[] = {{"ONE", 7}, {"ONCE", 8}, {"ON", 9}};
    EXPECT_EQ(match_keyword("on", table, true), 2);
    EXPECT_EQ(keyword_value("on", table, true), 9);
    EXPECT_EQ(keyword_value("onc", table, true), 8);

    // A null entry ends a table.
    const Keyword ended[] = {{"ALPHA", 1}, {nullptr, 0}, {"BETA", 2}};
    EXPECT_EQ(match_keyword("BETA", ended, true), KEYWORD_NONE);
}
