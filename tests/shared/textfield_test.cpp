// Fixed-width fields, escaping and wildcard name patterns.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "utils/libs/dateutil.h"

namespace {

// A field in a heap block of exactly its width, so that reading past the
// width is caught by the address sanitizer.
std::vector<char> field(const std::string& text, int width) {
    std::vector<char> f(static_cast<std::size_t>(width), ' ');
    std::memcpy(f.data(), text.data(), text.size());
    return f;
}

TEST(TextFields, PadAndUnpad) {
    char f[10];
    std::memset(f, '#', sizeof f);
    pad_field("AB", f, 8);
    EXPECT_EQ(std::string(f, 9), "AB      #");
    pad_field("ABCDEFGHIJ", f, 8);
    EXPECT_EQ(std::string(f, 9), "ABCDEFGH#");
    pad_field("XY", f, 0);
    EXPECT_EQ(f[0], 'A');

    char out[9];
    std::vector<char> full = field("ABCDEFGH", 8);
    EXPECT_EQ(field_to_str(full.data(), out, 8), 8);
    EXPECT_STREQ(out, "ABCDEFGH");
    std::vector<char> ab = field("AB \t", 8);
    EXPECT_EQ(field_to_str(ab.data(), out, 8), 2);
    EXPECT_STREQ(out, "AB");
    EXPECT_EQ(field_to_str("A\0CD", out, 4), 1);
    EXPECT_EQ(field_to_str(ab.data(), out, 0), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(field_to_str(full.data(), 8), "ABCDEFGH");
    EXPECT_EQ(field_to_str(ab.data(), 3), "AB");
}

// Long fields (stored text lines are 128 characters of mostly padding): the
// length up to the first NUL, without trailing white space, for text ending
// at every position around the word boundaries, with NULs and tabs.
TEST(TextFields, LengthsOfLongPaddedFields) {
    auto expected = [](const std::vector<char>& f) {
        std::size_t n = 0;
        while (n < f.size() && f[n] != '\0')
            ++n;
        while (n > 0 && std::strchr(" \t\n\v\f\r", f[n - 1]) != nullptr)
            --n;
        return static_cast<int>(n);
    };
    const std::string tails[] = {"",
                                 "\t",
                                 " \t ",
                                 std::string(1, '\0'),
                                 std::string("\0x", 2),
                                 std::string("x\0 ", 3),
                                 std::string(40, ' ') + "y"};
    for (const int width : {1, 7, 8, 9, 31, 32, 33, 64, 127, 128}) {
        for (int len = 0; len <= width; ++len) {
            for (const std::string& tail : tails) {
                // The tail is written after len letters, as far as the field goes.
                std::vector<char> f = field(std::string(static_cast<std::size_t>(len), 'a'), width);
                for (std::size_t j = 0; j < tail.size() && len + j < f.size(); ++j)
                    f[len + j] = tail[j];
                const int want = expected(f);
                EXPECT_EQ(field_length(f.data(), width), want) << width << "/" << len;
                EXPECT_EQ(field_to_str(f.data(), width).size(), static_cast<std::size_t>(want))
                    << width << "/" << len;
            }
        }
    }
    EXPECT_EQ(field_length(nullptr, 8), 0);
    EXPECT_EQ(field_length("abc", 0), 0);
    // A terminated text shorter than the width is read no further than its
    // terminator.
    const std::string short_text = "ab \t";
    EXPECT_EQ(field_length(short_text.c_str(), 128), 2);
    EXPECT_EQ(field_to_str(short_text.c_str(), 128), "ab");
}

TEST(TextFields, InPlaceOperations) {
    std::vector<char> nt = field("abcdef", 6);
    EXPECT_EQ(bounded_len(nt.data(), 6), 6);
    EXPECT_EQ(bounded_len("abc", 10), 3);
    EXPECT_EQ(bounded_len("abc", -1), 0);
    char s[] = "aB1\xe9 ";
    EXPECT_STREQ(upper_in_place(s), "AB1\xe9 ");
    EXPECT_STREQ(lower_in_place(s), "ab1\xe9 ");
    char t[] = "ab c \t\r\n";
    EXPECT_EQ(trim_right(t), 4);
    EXPECT_STREQ(t, "ab c");
    char b[] = " \t ";
    EXPECT_EQ(trim_right(b), 0);
    EXPECT_STREQ(skip_blanks(" \t\nx y"), "x y");
    EXPECT_STREQ(skip_blanks("   "), "");
}

TEST(TextFields, BaseName) {
    EXPECT_STREQ(base_name("/usr/maestro/bin/korvex"), "korvex");
    EXPECT_STREQ(base_name("c:\\maestro\\bin/x.exe"), "x.exe");
    EXPECT_STREQ(base_name("a/b\\c"), "c");
    EXPECT_STREQ(base_name("plain"), "plain");
    EXPECT_STREQ(base_name("dir/"), "");
    char out[4] = "zzz";
    EXPECT_STREQ(base_name("/a/longname", out, 4), "longname");
    EXPECT_STREQ(out, "lon");
    EXPECT_STREQ(base_name("/a/b", out, 4), "b");
    EXPECT_STREQ(out, "b");
}

TEST(TextFields, EscapeText) {
    EXPECT_EQ(escape_text("\tA"), "\\tA");
    EXPECT_EQ(escape_text("\x01"), "\\1");
    EXPECT_EQ(escape_text("\a\b\n\v\f\r"), "\\a\\b\\n\\v\\f\\r");
    EXPECT_EQ(escape_text("a\\b c!~"), "a\\\\b c!~");
    EXPECT_EQ(escape_text("\x7f\xff\x1b"), "\\177\\377\\33");
    EXPECT_EQ(escape_text("a\0b", 3), "a\\0b");
    EXPECT_EQ(escape_text(std::string(300, 'a').c_str()), std::string(255, 'a'));
    std::vector<char> nt = field("abcdefghij", 10);
    EXPECT_EQ(escape_text(nt.data(), 0, 10), "abcdefghij");

    // A piece that would not fit ends the output; the buffer needs limit + 1.
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(escape_text("abc\tdef", 0, buf, 4), buf);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(buf[5], '#');
    EXPECT_STREQ(escape_text("ab\tdef", 0, buf, 4), "ab\\t");
    EXPECT_STREQ(escape_text("abcd\x01", 0, buf, 5), "abcd");
    EXPECT_STREQ(escape_text("abcd\x01", 0, buf, 6), "abcd\\1");
    EXPECT_EQ(escape_text("x", 0, nullptr, 4), nullptr);
}

// Matches a pattern against name, blank-padded to width.
int match(const std::string& name, const char* pattern, int width = 8, int ci = 0) {
    std::vector<char> f = field(name, width);
    return match_pattern(f.data(), pattern, width,
                         pattern ? static_cast<int>(std::strlen(pattern)) : 0, ci);
}

TEST(Wildcards, EveryWildcardMatchesAndRefuses) {
    struct Case {
        const char* name;
        const char* pattern;
        int want;
    } cases[] = {{"AB", "AB", 1},
                 {"ABD", "AB", 0},
                 {"ABD", "AB@", 1},
                 {"ABD", "@D", 1},
                 {"ABD", "@B", 0},
                 {"", "@", 1},
                 {"ABD", "@", 1},
                 {"ABD", "A?D", 1},
                 {"AXD", "A?D", 1},
                 {"AD", "A?D", 0},
                 {"J123", "J###", 1},
                 {"J12A", "J###", 0},
                 {"J1", "J$", 1},
                 {"J1", "J%", 1},
                 {"J%", "J%", 1},
                 {"JX", "J$", 0},
                 {"A B", "A^B", 1},
                 {"AXB", "A^B", 0},
                 {"A\tB", "A B", 1},
                 {"AB", "AB^", 1},
                 {"AXB", "A~B", 1},
                 {"A1B", "A~B", 0},
                 {"ABCDEFGH", "ABCDEFGH", 1},
                 {"ABCDEFGH", "ABCDEFGH@", 1},
                 {"ABCDEFGH", "ABCDEFG", 0},
                 {"ABCDEFGH", "ABCDEFGHI", 0},
                 {"ABCDEFGH", "@H", 1},
                 {"XAYAZB", "@A@B", 1},
                 {"ABA", "A@A", 1},
                 {"ABXB", "A@B", 1},
                 {"ABAB", "A@A", 0},
                 {"AAAB", "@AB", 1},
                 {"PRODSKED", "PROD@", 1},
                 {"PROD", "PROD@", 1},
                 {"ab", "AB", 0},
                 {"AB", "", 1}};
    for (const Case& c : cases) {
        EXPECT_EQ(match(c.name, c.pattern), c.want) << c.name << " ~ " << c.pattern;
    }
    EXPECT_EQ(match("AB", nullptr), 1);
    EXPECT_EQ(match_pattern(nullptr, "AB", 8, 2, 0), 0);
    EXPECT_EQ(match_pattern("ABC     ", "ABXYZ", 8, 0, 0), 1);  // length 0: everything
    EXPECT_EQ(match_pattern("AB      ", "ABXYZ", 8, 2, 0), 1);  // only the given length
    EXPECT_EQ(match_pattern("AB      ", "AB", 8, -1, 0), 1);    // up to the terminator
}

TEST(Wildcards, CaseAndSubjectWidth) {
    EXPECT_EQ(match("AB", "ab", 8, 1), 1);
    EXPECT_EQ(match("AB", "ab", 8, 0), 0);
    EXPECT_EQ(match_pattern_exact("AB      ", "ab", 8, 2), 0);
    EXPECT_EQ(match("prod1", "?ROD#", 5, 1), 1);
    EXPECT_EQ(match("PROD1", "?ROD#", 5), 1);
    EXPECT_EQ(match("PRODX", "?ROD#", 5), 0);
    EXPECT_EQ(match("PROD", "PROD@", 4), 1);
    EXPECT_EQ(match_pattern("", "@", 0, 1, 0), 1);
    EXPECT_EQ(match_pattern("", "A", 0, 1, 0), 0);
}

}  // namespace
