// Scanner of the schedule definition language: tokens and rule priority,
// start states, the name-follows rule, line handling, long lines, hostile input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "driver/sscanner.h"

namespace {

struct tok {
    int code;
    std::string text;
    int rule, line, column;
};

// Scans text (lines joined by newlines) to the end. Every call must consume
// input or end it, so more calls than characters is a failure.
std::vector<tok> scan_text(std::string_view text, scanner& sc) {
    string_lines_input in = lines_from_text(text);
    reset_scanner(sc, &in);
    std::vector<tok> out;
    for (std::size_t calls = 0;; ++calls) {
        if (calls > text.size() + 1) {
            ADD_FAILURE() << "scanner made no progress";
            break;
        }
        const int code = next_token(sc);
        if (code == SCH_EOF) break;
        EXPECT_FALSE(sc.token_text.empty());
        out.push_back({code, sc.token_text, sc.rule, sc.line_number, sc.column});
    }
    EXPECT_EQ(next_token(sc), SCH_EOF);  // end of input stays the end
    return out;
}

std::vector<tok> scan_text(std::string_view text) {
    scanner sc;
    return scan_text(text, sc);
}

std::vector<int> codes(std::string_view text) {
    std::vector<int> out;
    for (const tok& t : scan_text(text))
        out.push_back(t.code);
    return out;
}

std::string joined_texts(std::string_view text) {
    std::string out;
    for (const tok& t : scan_text(text))
        out += (out.empty() ? "" : "|") + t.text;
    return out;
}

scan_state state_after(std::string_view text) {
    scanner sc;
    scan_text(text, sc);
    return sc.state;
}

using V = std::vector<int>;

// The next n codes of the process-wide scanner.
V codes_of_next(int n) {
    V out;
    for (int i = 0; i < n; ++i)
        out.push_back(next_token());
    return out;
}
constexpr int X = EXTRANEOUS;

struct token_case {
    const char* text;
    V want;
};

TEST(ScannerTokens, RulesAndPriority) {
    const token_case cases[] = {
        // The documented examples.
        {"schedule cpu1#sched1 on mo", {SCHEDULE, ID, '#', ID, ON, DAY_OF_WEEK}},
        {"SCHEDULE ON#EXCEPT", {SCHEDULE, ID, '#', ID}},
        {"a*b", {ID}},
        {"12/25/98", {DATE}},
        {"12/25", {FILENAME}},
        {"1225", {NUMBER}},
        {"-2", {'-', NUMBER}},
        {"+2", {'+', NUMBER}},
        {"WORK\\\nDAYS", {WORKDAYS}},
        {"\"a b\"", {QUOTED_STRING}},
        {"\"a b\nc\"", {X, ID, ID, ID, X}},
        {"FOLLOWS EVERY", {FOLLOWS, ID}},
        {"AT EVERY", {AT, EVERY}},
        {"ON\rMO", {ON, X, DAY_OF_WEEK}},
        // Comments: whole lines, the rest of a line, and << >> across lines.
        {"* ON MO\n#ON\nAT * ON MO\nEND", {AT, END}},
        {"AT<<ON\nMO>>END", {AT, END}},
        {"<<x>y>>", {X, X, ID, X, ID, X, X}},
        {"<<ON", {X, X, ON}},
        {" #A", {'#', ID}},
        // Qualifiers run to the first ")" wherever it is.
        {"(a)b)", {QUALIFIER, ID, X}},
        {"( x\ny )", {QUALIFIER}},
        {"(never closed", {X, ID, ID}},
        // Names, files and delimiters.
        {"::: :: : @ @@ = .", {FILENAME, NETDELIM, ':', '@', ID, '=', '.'}},
        {"/usr/bin/x.sh", {FILENAME, '.', ID}},
        {"C:\\dir\\f agent::sched agent:: s", {FILENAME, FILENAME, FILENAME, ID}},
        {"1/2/3/4 1//2 %x ?y _z a$b", {FILENAME, FILENAME, ID, ID, ID, ID, X, ID}},
        {"/ + -", {'/', '+', '-'}},
        // Longest match, then the earlier rule.
        {"ON1 MO2 ATX AT_ END- 1a 1-2", {ID, ID, ID, ID, ID, ID, ID}},
        {"-12 -abc - 1* 1+", {ID, ID, '-', ID, NUMBER, '+'}},
        {"DAY DAYS WEEKDAY WEEKDAYS WORKDAY WORKDAYS EVERY EVERYDAY",
         {DAY, DAYS, WEEKDAY, WEEKDAYS, WORKDAY, WORKDAYS, EVERY, EVERYDAY}},
        {"OP IN INTERACTIVE AUTODOCON AUTODOCOFF HI GO OPENS",
         {OP, IN, INTERACTIVE, AUTODOCON, AUTODOCOFF, HI, GO, OPENS}},
        {"ON: ON :", {FILENAME, ON, ':'}},
        {"MONDAY Fri sat Tu", {ID, ID, ID, DAY_OF_WEEK}},
    };
    for (const token_case& c : cases)
        EXPECT_EQ(codes(c.text), c.want) << c.text;
    // Control characters, high bytes and a zero byte are single extraneous
    // characters; tabs separate like blanks.
    EXPECT_EQ(codes("\x01\x1b\f\v\x7f\xff\t\x80"), (V{X, X, X, X, X, X, X}));
    EXPECT_EQ(codes(std::string_view("a\0b", 3)), (V{ID, X, ID}));
    EXPECT_EQ(joined_texts("-2x -2 3 (a)b \"\" continue"), "-2x|-|2|3|(a)|b|\"\"|continue");
}

TEST(ScannerTokens, KeywordsInAnyCase) {
    const std::pair<const char*, int> kws[] = {{"SCHEDULE", SCHEDULE},
                                               {"ON", ON},
                                               {"EXCEPT", EXCEPT},
                                               {"FOLLOWS", FOLLOWS},
                                               {"NEEDS", NEEDS},
                                               {"OPENS", OPENS},
                                               {"AT", AT},
                                               {"UNTIL", UNTIL},
                                               {"PROMPT", PROMPT},
                                               {"PRIORITY", PRIORITY},
                                               {"LIMIT", LIMIT},
                                               {"CARRYFORWARD", CARRYFORWARD},
                                               {"IN", IN},
                                               {"ORDER", ORDER},
                                               {"EVERY", EVERY},
                                               {"CONFIRMED", CONFIRMED},
                                               {"DAY", DAY},
                                               {"DAYS", DAYS},
                                               {"WEEKDAY", WEEKDAY},
                                               {"WEEKDAYS", WEEKDAYS},
                                               {"WORKDAY", WORKDAY},
                                               {"WORKDAYS", WORKDAYS},
                                               {"MO", DAY_OF_WEEK},
                                               {"TU", DAY_OF_WEEK},
                                               {"WE", DAY_OF_WEEK},
                                               {"TH", DAY_OF_WEEK},
                                               {"FR", DAY_OF_WEEK},
                                               {"SA", DAY_OF_WEEK},
                                               {"SU", DAY_OF_WEEK},
                                               {"JOBFILENAME", JOBFILENAME},
                                               {"SCRIPTNAME", SCRIPTNAME},
                                               {"DOCOMMAND", DOCOMMAND},
                                               {"STREAMLOGON", STREAMLOGON},
                                               {"DESCRIPTION", DESCRIPTION},
                                               {"ISUSERJOB", ISUSERJOB},
                                               {"AUTODOCON", AUTODOCON},
                                               {"AUTODOCOFF", AUTODOCOFF},
                                               {"RECOVERY", RECOVERY},
                                               {"OP", OP},
                                               {"STOP", STOP},
                                               {"RERUN", RERUN},
                                               {"NEXTJOB", NEXTJOB},
                                               {"CONTINUE", NEXTJOB},
                                               {"AFTER", AFTER},
                                               {"ABENDPROMPT", ABENDPROMPT},
                                               {"EVERYDAY", EVERYDAY},
                                               {"INTERACTIVE", INTERACTIVE},
                                               {"REQUEST", REQUEST},
                                               {"NOTEMPTY", NOTEMPTY},
                                               {"HI", HI},
                                               {"GO", GO},
                                               {"END", END}};
    int rule = 19;
    for (const auto& [word, code] : kws) {
        std::string lower = word, mixed = word;
        for (std::size_t i = 0; i < lower.size(); ++i) {
            lower[i] = static_cast<char>(lower[i] - 'A' + 'a');
            if (i % 2 == 1) mixed[i] = lower[i];
        }
        for (const std::string& w : {std::string(word), lower, mixed}) {
            const std::vector<tok> t = scan_text(w);
            ASSERT_EQ(t.size(), 1u) << w;
            EXPECT_EQ(t[0].code, code) << w;
            EXPECT_EQ(t[0].rule, rule) << w;
        }
        ++rule;
    }
    EXPECT_EQ(rule, 71);
}

TEST(ScannerTokens, NumberValues) {
    auto value_of = [](std::string_view text) {
        scanner sc;
        string_lines_input in = lines_from_text(text);
        reset_scanner(sc, &in);
        EXPECT_EQ(next_token(sc), NUMBER) << text;
        next_token(sc);  // another token leaves the value alone
        return sc.token_value;
    };
    EXPECT_EQ(value_of("0600 x"), 600);
    EXPECT_EQ(value_of("2147483647"), 2147483647);
    EXPECT_EQ(value_of("2147483648"), 2147483647);
    EXPECT_EQ(value_of("99999999999999999999999 \"a\""), 2147483647);
}

TEST(ScannerTokens, NameFollows) {
    const token_case cases[] = {
        {"FOLLOWS ON NEEDS MO OPENS AT PROMPT GO AFTER HI",
         {FOLLOWS, ID, NEEDS, ID, OPENS, ID, PROMPT, ID, AFTER, ID}},
        {"JOBFILENAME a SCRIPTNAME b DOCOMMAND c STREAMLOGON d",
         {JOBFILENAME, ID, SCRIPTNAME, ID, DOCOMMAND, ID, STREAMLOGON, ID}},
        {"x / ON =ON .ON #ON", {ID, '/', ID, '=', ID, '.', ID, '#', ID}},
        // A converted keyword clears the flag, even one that introduces names.
        {"FOLLOWS FOLLOWS ON", {FOLLOWS, ID, ON}},
        {"FOLLOWS x ON # 12 ON", {FOLLOWS, ID, ON, '#', NUMBER, ON}},
        // Only multi-character tokens that begin with a letter are converted.
        {"x #12/25/98 #\"q\" #(x) #:: #a/b #- #@",
         {ID, '#', DATE, '#', QUOTED_STRING, '#', QUALIFIER, '#', NETDELIM, '#', FILENAME, '#', '-',
          '#', '@'}},
        // Skipped text keeps the flag: blanks, comments, line ends.
        {"FOLLOWS <<c>>\n* x\n  ON", {FOLLOWS, ID}},
        // The comma introduces a name in JOBS only; in JOBCONT it is extraneous.
        {"ON,ON : ON,ON &\nON,ON", {ON, ',', ON, ':', ON, ',', ID, ON, X, ON}},
    };
    for (const token_case& c : cases)
        EXPECT_EQ(codes(c.text), c.want) << c.text;
}

TEST(ScannerStates, SwitchesAndLineStart) {
    std::vector<tok> t = [] {
        scanner sc;
        string_lines_input in = lines_from_text("SCHEDULE a :\nJ1 x &\n  y\nEND x\n:");
        reset_scanner(sc, &in);
        std::vector<tok> out;
        while (next_token(sc) != SCH_EOF)
            out.push_back({0, sc.token_text, static_cast<int>(sc.state), 0, 0});
        return out;
    }();
    std::string states;
    for (const tok& k : t)
        states += static_cast<char>('0' + k.rule);
    // INITIAL 0, JOBS 1, JOBCONT 2: the ':' opens JOBS, the "&" at the end of
    // a line continues into JOBCONT, END returns to INITIAL.
    EXPECT_EQ(states, "001112001");

    // "&" needs a newline after it (blanks between allowed).
    EXPECT_EQ(codes("a & \t\nb a &b a &&\nb"), (V{ID, ID, ID, X, ID, ID, X, ID}));
    EXPECT_EQ(codes("a &"), (V{ID, X}));  // the last line has no newline after it
    EXPECT_EQ(state_after("SCHEDULE x &\n"), scan_state::INITIAL);
    EXPECT_EQ(state_after(": &\n &\n"), scan_state::JOBCONT);
    EXPECT_EQ(state_after(": # END"), scan_state::INITIAL);  // converted, still switches
    EXPECT_EQ(state_after("x : # SCHEDULE"), scan_state::INITIAL);
    // Blanks before a newline count as a line start only right after a match
    // that ended with a newline: an empty line that releases continued blanks.
    EXPECT_EQ(state_after(": &\n  \\\n\nx"), scan_state::JOBS);
    EXPECT_EQ(state_after(": &\n  \nx"), scan_state::JOBCONT);
}

TEST(ScannerLines, NumbersColumnsAndContinuation) {
    scanner sc;
    std::vector<tok> t = scan_text("ab  cd\n* c\n# d\nON MO,\\\nFR\\\n\n12/25\\\n/98\nx\\", sc);
    ASSERT_EQ(t.size(), 7u);
    const int lines[] = {1, 1, 6, 6, 6, 6, 8}, cols[] = {2, 4, 2, 4, 5, 7, 8};
    for (std::size_t i = 0; i < t.size(); ++i) {
        EXPECT_EQ(t[i].line, lines[i]) << i;
        EXPECT_EQ(t[i].column, cols[i]) << i;
    }
    // Continued pieces join with nothing between; a continued last line is lost.
    EXPECT_EQ(t[5].code, DAY_OF_WEEK);
    EXPECT_EQ(t[5].text, "FR");
    EXPECT_EQ(t[6].code, DATE);
    EXPECT_EQ(sc.line_text, "x\\");
    EXPECT_EQ(sc.line_number, 9);
    // A comment line inside a continued line is dropped on its own.
    EXPECT_EQ(joined_texts("a\\\n* x\nb c\\\n#y\\\nd"), "ab|cd");
    // A backslash elsewhere in the line is part of a file name.
    EXPECT_EQ(codes("a\\b c"), (V{FILENAME, ID}));
    // Multi-line comments and qualifiers do not count the lines they cover.
    EXPECT_EQ(scan_text("(a\nb\nc) <<\n>> d").back().line, 1);
}

TEST(ScannerLines, EchoOfLinesLeft) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    scanner sc;
    set_scanner_echo(sc, true, out);
    string_lines_input in({"a", "* b", "c\\", "d"}, "sched.txt");
    reset_scanner(sc, &in);
    while (next_token(sc) != SCH_EOF) {
    }
    std::string got(256, '\0');
    std::rewind(out);
    got.resize(std::fread(got.data(), 1, got.size(), out));
    std::fclose(out);
    // The last line is never left, so it is not echoed.
    EXPECT_EQ(got, "\nFilename being parsed : sched.txt\n\n    1: a\n    2: * b\n    3: c\\\n");
}

// Text read far ahead (a qualifier closing thousands of characters later) and
// a logical line joined from many pieces come out whole, and so does every
// token after them.
TEST(ScannerLines, LongTextsReadFarAhead) {
    std::string lines;
    for (int i = 0; i < 400; ++i)
        lines += "J" + std::to_string(i) + " AT 0100\n";
    std::vector<tok> t = scan_text("(" + lines + ")\n" + lines + "END");
    ASSERT_EQ(t.size(), 2u + 400 * 3);
    EXPECT_EQ(t[0].code, QUALIFIER);
    EXPECT_EQ(t[0].text, "(" + lines + ")");
    EXPECT_EQ(t[t.size() - 4].text, "J399");
    EXPECT_EQ(t[t.size() - 2].code, NUMBER);
    EXPECT_EQ(t.back().code, END);

    std::string pieces, joined;
    for (int i = 0; i < 600; ++i) {
        const std::string word = "abcdefgh" + std::to_string(i);
        pieces += word + " \\\n";
        joined += (i > 0 ? "|" : "") + word;
    }
    EXPECT_EQ(joined_texts(pieces + "END"), joined + "|END");
}

TEST(ScannerLines, ResetStartsAfresh) {
    scanner& sc = schedule_scanner();
    EXPECT_EQ(&sc, &schedule_scanner());
    // Stop in JOBS, right after FOLLOWS, with read-ahead text and a
    // continuation piece pending.
    string_lines_input first = lines_from_text(": (a\nFOLLOWS\nb \\\nc");
    reset_scanner(sc, &first);
    EXPECT_EQ(codes_of_next(4), (V{':', X, ID, FOLLOWS}));
    string_lines_input second = lines_from_text("ON");
    reset_scanner(sc, &second);
    EXPECT_EQ(codes_of_next(2), (V{ON, SCH_EOF}));
    EXPECT_EQ(sc.line_number, 1);
    EXPECT_EQ(sc.state, scan_state::INITIAL);
}

TEST(ScannerLimits, LongLinesGrowTheBuffers) {
    for (const std::size_t n : {std::size_t{300}, std::size_t{4351}, std::size_t{4352},
                                std::size_t{4353}, std::size_t{9000}}) {
        scanner sc;
        const std::vector<tok> t = scan_text(std::string(n, 'a'), sc);
        ASSERT_EQ(t.size(), 1u) << n;
        EXPECT_EQ(t[0].text.size(), n);
        EXPECT_EQ(t[0].column, static_cast<int>(n));
        EXPECT_EQ(sc.line_text.size(), std::min<std::size_t>(n, kScanLineMax));
    }
    // A logical line of 80 stored pieces of 126 characters each.
    std::string text;
    for (int i = 0; i < 80; ++i)
        text += std::string(126, 'b') + "\\\n";
    text += "\"q\" c";
    const std::vector<tok> t = scan_text(text);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].text, std::string(80 * 126, 'b'));
    EXPECT_EQ(t[1].code, QUOTED_STRING);
    EXPECT_EQ(t[2].line, 81);
}

TEST(ScannerLimits, MegabyteLinesInLinearTime) {
    const std::size_t mb = 1 << 20, quarter = mb / 4;
    std::string words;
    while (words.size() < mb)
        words += "ab ON ";
    const std::clock_t start = std::clock();
    EXPECT_EQ(scan_text(words).size(), words.size() / 3);
    // Openings that are never closed must not rescan the rest of the line
    // (rescanning would take hours here).
    for (const char c : {'(', '<', '"', '&', '-'}) {
        const std::vector<tok> t = scan_text(std::string(c == '(' ? mb : quarter, c));
        EXPECT_EQ(t.size(), c == '(' ? mb : c == '-' ? 1 : c == '"' ? quarter / 2 : quarter) << c;
    }
    EXPECT_EQ(scan_text(std::string(quarter, '<') + ">" + std::string(quarter, '(') + "\n)").size(),
              quarter + 1 + 1);
    EXPECT_LT(static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC, 60.0);
}

// Lines from memory, counting how many the scanner has asked for.
class counting_input : public scan_input {
  public:
    explicit counting_input(std::string_view text) : lines_(lines_from_text(text)) {}
    bool next_line(std::string& line) override {
        ++taken;
        return lines_.next_line(line);
    }
    int taken = 0;

  private:
    string_lines_input lines_;
};

// Everything a token leaves in the scanner, and how far the input was read.
struct scan_step {
    int code, value, rule, line, column, lines_read;
    std::string text, line_text;
    scan_state state;
    bool name_follows;
    bool operator==(const scan_step&) const = default;
};

std::vector<scan_step> steps(std::string_view text, bool by_rules, std::string& echo) {
    std::FILE* out = std::tmpfile();
    scanner sc;
    sc.by_rules = by_rules;
    set_scanner_echo(sc, true, out);
    counting_input in(text);
    reset_scanner(sc, &in);
    std::vector<scan_step> got;
    for (;;) {
        const int code = next_token(sc);
        got.push_back({code, sc.token_value, sc.rule, sc.line_number, sc.column, in.taken,
                       sc.token_text, sc.line_text, sc.state, sc.name_follows});
        if (code == SCH_EOF || got.size() > text.size() + 2) break;
    }
    echo.assign(1 << 16, '\0');
    std::rewind(out);
    echo.resize(std::fread(echo.data(), 1, echo.size(), out));
    std::fclose(out);
    return got;
}

// The shortcuts for words, numbers, blanks and line ends choose what the full
// comparison of the rules chooses, read no further ahead, and leave the line
// state (numbers, columns, the current line, its echo) the same.
TEST(ScannerShortcuts, AgreeWithTheRules) {
    // Pieces of text, between the bars.
    const std::string_view all =
        "SCHEDULE|schedule|On|ON|onx|EXCEPT|Follows|AT|at0100|DAY|days|DAYSX|WeekDays|WORKDAY|"
        "MO|mo|tu|CARRYFORWARD|carryforwardx|END|end|CONTINUE|a|ab_c|x-y|A%?@|a*b|9|12|0100|"
        "12/25/98|1/2/|1/2/3/4|007abc|12ab/cd|a/b|c:d|a\\b|/|:|::|-|-5|+|@|#|=|,|.|\"q r\"|"
        "\"open|(x)|(|)|<<c>>|<<|>>|<|>|&|*| |  |\t| \t |\n|\n|\n|\\\n| &\n|\n#|\n*|\n  \n|"
        "\r|\x01|\xe9|ab*cd/ef|p/q*r:s|x*|y/|z9*/\\";
    std::vector<std::string> pieces;
    for (std::size_t from = 0, bar = 0; bar != std::string_view::npos; from = bar + 1) {
        bar = all.find('|', from);
        pieces.emplace_back(all.substr(from, bar - from));
    }
    std::mt19937 rng(20261208);
    for (int i = 0; i < 4000; ++i) {
        std::string text;
        for (int n = static_cast<int>(rng() % 40); n > 0; --n)
            text += pieces[rng() % pieces.size()];
        std::string echo_fast, echo_rules;
        const std::vector<scan_step> fast = steps(text, false, echo_fast);
        const std::vector<scan_step> rules = steps(text, true, echo_rules);
        ASSERT_EQ(fast.size(), rules.size()) << text;
        for (std::size_t k = 0; k < fast.size(); ++k)
            ASSERT_EQ(fast[k], rules[k]) << "token " << k << " of: " << text;
        ASSERT_EQ(echo_fast, echo_rules) << text;
    }
}

TEST(ScannerLimits, RandomBytesNeverHang) {
    std::mt19937 rng(20240607);
    const std::string alphabet = "\n\n\\\"()<>&*#:/-+ \t,.@=0123456789aONMO\r";
    for (int i = 0; i < 3000; ++i) {
        std::string text(rng() % 200, '\0');
        for (char& ch : text)
            ch = (rng() % 4 == 0) ? static_cast<char>(rng() % 256)
                                  : alphabet[rng() % alphabet.size()];
        scan_text(text);  // checks progress and the end
    }
}

}  // namespace
