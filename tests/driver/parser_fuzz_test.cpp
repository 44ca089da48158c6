// Hostile schedule texts: control characters, carriage returns, unterminated
// quotes and comments, many FOLLOWS, very long names and lines, and thousands
// of random and mutated texts. Every parse ends in accept (possibly after a
// definition error) or an abort, never a crash or a hang.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>

#include "parser_testutil.h"

namespace {

using ptest::ParserTest;

// The text being parsed, for the report of a hang.
char g_current[512];

extern "C" void on_hang(int) {
    static const char msg[] = "\nparser hang on text: ";
    ssize_t rc = ::write(1, msg, sizeof msg - 1);
    rc = ::write(1, g_current, ::strnlen(g_current, sizeof g_current));
    (void)rc;
    ::_exit(3);
}

class ParserHostile : public ParserTest {
  protected:
    void SetUp() override {
        ParserTest::SetUp();
        calendar("HOLIDAYS", {{2027, 1, 11}});
        calendar("PAYDAY", {{2027, 1, 8}, {2027, 2, 26}});
        calendar("CALA", {{2027, 1, 4}});
        run_date(2027, 1, 8);
    }

    struct Outcome {
        int rc = -1;
        std::vector<int> errors;
    };

    Outcome outcome(const std::string& text, bool forced = true) {
        ptest::recorded().definition_errors.clear();
        free_selected(run_selected_list());
        testing::internal::CaptureStderr();
        const int rc = parse(text, forced);
        testing::internal::GetCapturedStderr();
        return {rc, errors()};
    }
};

TEST_F(ParserHostile, BadCharactersAndUnterminatedTextsAreDefinitionErrors) {
    const struct {
        std::string text;
        int error;
    } cases[] = {
        {"SCHEDULE CPU1#S1 ON FR\x01\n:\nJ1", 43},
        {"SCHEDULE CPU1#S1 ON FR\r\n:\r\nJ1\r\nEND\r", 43},
        {"SCHEDULE CPU1#S1\r\nON FR\n:\nJ1", 35},
        {"SCHEDULE CPU1#S1 ON FR PROMPT \"abc\n:\nJ1", 38},
        {"SCHEDULE CPU1#S1 ON FR << comment\n:\nJ1", 43},
        {"SCHEDULE CPU1#S1 ON FR OPENS (((((\n:\nJ1", 43},
        {std::string("SCHEDULE CPU1#S1 ON\0FR\n:\nJ1", 27), 41},
        {"SCHEDULE\x7f", 38},
        {"\xff\xfe", 36},
    };
    for (const auto& c : cases) {
        const Outcome o = outcome(c.text);
        EXPECT_EQ(o.rc, 0) << c.text;
        EXPECT_EQ(o.errors, std::vector<int>{c.error}) << c.text;
    }
    // A text whose every line is continued never reaches the parser: it is
    // read as an empty text.
    const Outcome continued = outcome("SCHEDULE CPU1#S1 ON FR \\\n\\\n\\");
    EXPECT_EQ(continued.rc, 0);
    EXPECT_TRUE(continued.errors.empty());
    // A closed comment and text that is only comments are fine.
    EXPECT_TRUE(outcome("SCHEDULE CPU1#S1 ON FR <<\ncomment\n>>\n:\nJ1").errors.empty());
    EXPECT_TRUE(outcome("* only a comment\n# and another").errors.empty());
}

TEST_F(ParserHostile, LongNamesLinesAndLists) {
    const std::string name300(300, 'N');
    for (const std::string& text : {
             "SCHEDULE CPU1#" + name300 + " ON FR\n:\nJ1",
             "SCHEDULE " + name300 + "#S1 ON FR\n:\nJ1",
             "SCHEDULE CPU1#S1 ON " + name300 + "\n:\nJ1",
             "SCHEDULE CPU1#S1 ON FR FOLLOWS " + name300 + "\n:\nJ1",
             "SCHEDULE CPU1#S1 ON FR FOLLOWS " + name300 + " :: X\n:\nJ1",
             "SCHEDULE CPU1#S1 ON FR\n:\n" + name300,
         }) {
        const Outcome o = outcome(text);
        EXPECT_EQ(o.rc, 0);
        EXPECT_EQ(o.errors, std::vector<int>{200}) << text.substr(0, 40);
    }

    // Thousands of elements in one clause, and a thousand FOLLOWS.
    std::string on = "SCHEDULE CPU1#S1 ON ";
    for (int i = 0; i < 3000; ++i)
        on += "MO,PAYDAY -1 DAYS,";
    EXPECT_EQ(outcome(on + "FR\n:\nJ1", false).errors, std::vector<int>{});
    std::string follows = "SCHEDULE CPU1#S1 ON FR FOLLOWS S0";
    for (int i = 1; i < 1000; ++i)
        follows += ",S" + std::to_string(i);
    EXPECT_EQ(outcome(follows + "\n:\nJ1").errors, std::vector<int>{208});

    // A very long logical line, joined from continued lines.
    std::string joined = "SCHEDULE CPU1#S1 ON \\\n";
    for (int i = 0; i < 2000; ++i)
        joined += "MO,\\\n";
    const Outcome o = outcome(joined + "FR\n:\nJ1");
    EXPECT_TRUE(o.rc == 0 || o.rc == 1);
}

// Random texts from the language's pieces, and reference texts mutated by
// deletions, insertions, duplications and random bytes.
TEST_F(ParserHostile, RandomAndMutatedTextsNeverCrashOrHang) {
    static const char* const pieces[] = {
        "SCHEDULE",
        "schedule",
        "ON",
        "EXCEPT",
        "FOLLOWS",
        "NEEDS",
        "OPENS",
        "AT",
        "UNTIL",
        "PROMPT",
        "PRIORITY",
        "LIMIT",
        "CARRYFORWARD",
        "IN",
        "ORDER",
        "EVERY",
        "DAY",
        "DAYS",
        "WEEKDAY",
        "WEEKDAYS",
        "WORKDAY",
        "WORKDAYS",
        "EVERYDAY",
        "REQUEST",
        "HI",
        "GO",
        "END",
        "MO",
        "fr",
        "SA",
        "JOBFILENAME",
        "SCRIPTNAME",
        "DOCOMMAND",
        "STREAMLOGON",
        "ISUSERJOB",
        "DESCRIPTION",
        "RECOVERY",
        "STOP",
        "AFTER",
        "ABENDPROMPT",
        "CONFIRMED",
        "INTERACTIVE",
        "CPU1",
        "S1",
        "PAYDAY",
        "HOLIDAYS",
        "NOSUCH",
        "CALA",
        "J1",
        "X-Y_Z",
        "#",
        ":",
        "::",
        ",",
        ".",
        "@",
        "+",
        "-",
        "=",
        "/",
        "0",
        "1",
        "32",
        "2330",
        "2460",
        "99999999999",
        "2027/01/08",
        "27/13/45",
        "12/25",
        "\"text ^P1^\"",
        "\"unterminated",
        "\"^^\"",
        "(q)",
        "(unclosed",
        "<<c>>",
        "<<open",
        "* comment",
        "\\",
        "&",
        "\r",
        "\t",
        "\x01",
        "\x7f",
        "\xff",
        "\n",
        "\n",
        " ",
        " ",
        "^",
        "%",
        "?",
        "*",
        "/tmp/x.y",
        "C:\\a\\b",
    };
    std::vector<std::string> seeds;
    {
        const std::string s = dbtest::read_file(std::string(KORVEX_VECTORS_DIR) + "/parser.json");
        dbtest::Json root;
        std::size_t at = 0;
        ASSERT_TRUE(dbtest::parse_json(s, at, &root));
        for (const dbtest::Json& item : root.items)
            seeds.push_back(item["text"].text);
    }
    ASSERT_FALSE(seeds.empty());

    std::mt19937 rng(20270108);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
    };
    auto random_text = [&] {
        std::string t = pick(4) == 0 ? "" : "SCHEDULE CPU1#S1 ";
        const std::size_t n = 1 + pick(40);
        for (std::size_t i = 0; i < n; ++i) {
            t += pieces[pick(std::size(pieces))];
            if (pick(3) != 0) t += ' ';
        }
        return t;
    };
    auto mutated_text = [&] {
        std::string t = seeds[pick(seeds.size())];
        const std::size_t n = 1 + pick(8);
        for (std::size_t i = 0; i < n && !t.empty(); ++i) {
            const std::size_t at = pick(t.size());
            switch (pick(5)) {
                case 0:
                    t.erase(at, 1 + pick(10));
                    break;
                case 1:
                    t.insert(at, pieces[pick(std::size(pieces))]);
                    break;
                case 2:
                    t.insert(at, t.substr(at, pick(30)));
                    break;
                case 3:
                    t[at] = static_cast<char>(pick(256));
                    break;
                default:
                    t.insert(at, " ");
                    break;
            }
        }
        return t;
    };

    struct sigaction sa {};
    sa.sa_handler = on_hang;
    ::sigaction(SIGALRM, &sa, nullptr);
    ::alarm(240);

    const auto start = std::chrono::steady_clock::now();
    int runs = 0, aborts = 0, definition_errors = 0;
    testing::internal::CaptureStderr();
    for (; runs < 20000; ++runs) {
        if (runs >= 2000 && std::chrono::steady_clock::now() - start > std::chrono::seconds(60))
            break;
        const std::string text = runs % 2 == 0 ? random_text() : mutated_text();
        const std::size_t n = std::min(text.size(), sizeof g_current - 1);
        std::memcpy(g_current, text.data(), n);
        g_current[n] = '\0';
        ptest::recorded().definition_errors.clear();
        ptest::recorded().exits.clear();
        // Every other parse goes on past the errors that value checks find.
        ptest::recorded().go_on_after_checks = runs % 2 == 1;
        if (runs % 50 == 0) free_selected(run_selected_list());
        const bool forced = runs % 3 != 0;
        sched_eval_state& st = evaluation_state();
        st.selected = forced;
        st.forced = forced;
        string_lines_input in = lines_from_text(text);
        const int rc = parse_schedule(in, runs % 4 == 0);
        if (rc != 0 && rc != 1) {
            ADD_FAILURE() << "result " << rc << " for text: " << text;
            break;
        }
        aborts += rc;
        definition_errors += errors().empty() ? 0 : 1;
    }
    testing::internal::GetCapturedStderr();
    ::alarm(0);
    ::signal(SIGALRM, SIG_DFL);
    EXPECT_GE(runs, 2000);
    // Most random texts are wrong somewhere.
    EXPECT_GT(definition_errors, runs / 4);
    std::printf("%d texts parsed: %d definition errors, %d aborts\n", runs, definition_errors,
                aborts);
}

}  // namespace
