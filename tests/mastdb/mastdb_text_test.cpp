// mastdb add-schedules keeps the files it reads in memory and stores each
// definition from where it lies in them: the stored text must be the file's
// lines whatever their line ends, and the limit on stored lines must count
// the pieces long lines are cut into.
#include "tests/mastdb/mastdb_testutil.h"

namespace {

using mdbtest::MastdbTest;

TEST_F(MastdbTest, StoredTextIsTheFilesLinesWhateverTheirEnds) {
    create(false);
    struct Case {
        const char* id;
        std::string input;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"CPU1#CRLF", "* c\r\nSCHEDULE cpu1#crlf ON MO  \r\n:\r\nJ1\r\nEND\r\n",
         "* c\nSCHEDULE CPU1#CRLF ON MO\n:\nJ1\nEND\n"},
        {"CPU1#NONL", "SCHEDULE CPU1#NONL ON TU\n:\nEND", "SCHEDULE CPU1#NONL ON TU\n:\nEND\n"},
        {"CPU1#CREOF", "SCHEDULE CPU1#CREOF ON TU\n:\nEND\r",
         "SCHEDULE CPU1#CREOF ON TU\n:\nEND\n"},
        // The identity written apart, with tabs; the rest of the line kept.
        {"CPU1#APART", "SCHEDULE   cpu1 \t#\t apart  \t ON MO\t\n:\nEND\n",
         "SCHEDULE CPU1#APART ON MO\n:\nEND\n"},
        // Blank lines before the comments are not stored, those among them
        // are.
        {"CPU1#PRE", "\n\n* one\n\n* two\nSCHEDULE CPU1#PRE ON MO\n:\nEND\n",
         "* one\n\n* two\nSCHEDULE CPU1#PRE ON MO\n:\nEND\n"},
        {"CPU1#BARE", "SCHEDULE CPU1#BARE\nON MO\n:\nJ\nEND\n",
         "SCHEDULE CPU1#BARE\nON MO\n:\nJ\nEND\n"},
        // A '*' inside a word starts no comment, so the "<<" after it hides
        // the next line's SCHEDULE; a "<<" in quotes starts no block comment.
        {"CPU1#WORD", "SCHEDULE CPU1#WORD ON MO\n:\nJ1 x*y <<\nSCHEDULE CPU1#NOT ON TU >>\nEND\n",
         "SCHEDULE CPU1#WORD ON MO\n:\nJ1 x*y <<\nSCHEDULE CPU1#NOT ON TU >>\nEND\n"},
        {"CPU1#QUOTE", "SCHEDULE CPU1#QUOTE ON MO\n:\nJ1 DOCOMMAND \"a << b\" * c <<\nEND\n",
         "SCHEDULE CPU1#QUOTE ON MO\n:\nJ1 DOCOMMAND \"a << b\" * c <<\nEND\n"},
    };
    // Every case in a file of its own, then all of them one after the other
    // in the standard input under other names.
    std::vector<std::string> args = {"add-schedules"};
    std::string piped;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        args.push_back(input_file("t" + std::to_string(i) + ".sched", cases[i].input));
        std::string again = cases[i].input;
        std::size_t name = again.find('#') + 1;
        while (again[name] == ' ' || again[name] == '\t')
            ++name;
        again.insert(name, "X");
        if (again.back() != '\n') again += '\n';
        piped += "* from the pipe\n" + again;
    }
    args.push_back("-");
    EXPECT_NE(ok(args, piped).find(std::to_string(2 * cases.size()) + " schedules stored"),
              std::string::npos);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(ok({"show-schedule", c.id}), c.shown);
        const std::string id = std::string(c.id).insert(5, "X");
        std::string shown = c.shown;
        shown.replace(shown.find("SCHEDULE CPU1#") + 14, 0, "X");
        // The blank lines before the first comment of the pipe's definition
        // are among its comment lines there.
        const std::string lead = id == "CPU1#XPRE" ? "* from the pipe\n\n\n" : "* from the pipe\n";
        EXPECT_EQ(ok({"show-schedule", id}), lead + shown);
    }
    ok({"check"});
}

TEST_F(MastdbTest, StoredLineLimitCountsThePiecesOfLongLines) {
    create(false);
    // 3 (SCHEDULE, ":", END) + 1 (trailing blanks are not stored) + 2 (127
    // characters ending in a backslash) + 2 (253 characters) + 3 for each
    // line of 300 characters: 32 768 stored lines, the most a schedule holds.
    std::string body = "J1" + std::string(200, ' ') + "\n" + "* " + std::string(124, 'c') + "\\\n" +
                       "* " + std::string(251, 'b') + "\n";
    const std::string piece3 = "* " + std::string(298, 'a') + "\n";
    for (int i = 0; i < 10920; ++i)
        body += piece3;
    const std::string full = "SCHEDULE CPU1#BIG ON MO\n:\n" + body + "END\n";
    const std::string over = "SCHEDULE CPU1#BIG ON MO\n:\n" + body + "J2\nEND\n";
    // A repeated definition in another file keeps either from being stored.
    const std::string twice = input_file("twice.sched", "SCHEDULE CPU1#BIG ON TU\n:\nEND\n");
    const mdbtest::Snapshot before = snapshot();

    const e2e::RunResult at_limit =
        mastdb({"add-schedules", input_file("full.sched", full), twice});
    EXPECT_TRUE(at_limit.exited(1)) << at_limit.both();
    EXPECT_NE(at_limit.err.find("defined twice"), std::string::npos) << at_limit.err;
    EXPECT_EQ(at_limit.err.find("stored lines"), std::string::npos) << at_limit.err;

    fails({"add-schedules", input_file("over.sched", over)},
          {"over.sched, line 1: the definition needs 32769 stored lines; a schedule holds at "
           "most 32768",
           "nothing was stored"});
    EXPECT_EQ(snapshot(), before);
}

}  // namespace
