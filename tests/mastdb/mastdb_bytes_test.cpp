// mastdb add-schedules looks for control characters in a whole input file at
// once, many bytes at a time: one must be found wherever it lies (at the
// start, in the middle or at the end of such a run of bytes, or in the few
// bytes after the last whole run), and no other byte may be taken for one.
#include "tests/mastdb/mastdb_testutil.h"

namespace {

using mdbtest::MastdbTest;

// A definition with a comment line in its body: "* ", fill characters, then
// tail. The comment is line 3.
std::string definition(const std::string& name, std::size_t fill, const std::string& tail) {
    return "SCHEDULE CPU1#" + name + " ON MO\n:\n* " + std::string(fill, 'x') + tail + "\nEND\n";
}

TEST_F(MastdbTest, ControlCharactersAreFoundWhereverTheyLie) {
    create(false);
    struct Case {
        std::size_t fill;
        char byte;
        const char* hex;
    };
    std::vector<Case> cases;
    // Every offset within a run of bytes, both in whole runs and in the
    // bytes after the last one.
    for (std::size_t fill = 0; fill < 40; ++fill)
        cases.push_back({fill, '\x01', "\\x01"});
    for (const Case& c : std::vector<Case>{{5, '\0', "\\x00"},
                                           {6, '\x1f', "\\x1F"},
                                           {7, '\x7f', "\\x7F"},
                                           {8, '\x0b', "\\x0B"},
                                           {9, '\x0c', "\\x0C"}})
        cases.push_back(c);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(std::string(c.hex) + " after " + std::to_string(c.fill));
        const std::string file = input_file("c" + std::to_string(i) + ".sched",
                                            definition("C", c.fill, std::string(1, c.byte)));
        const e2e::RunResult r = mastdb({"add-schedules", file});
        EXPECT_TRUE(r.exited(1)) << r.both();
        EXPECT_EQ(r.err, "mastdb: " + file + ", line 3: holds the control character " + c.hex +
                             " in column " + std::to_string(c.fill + 3) +
                             "; this is not a text file\nmastdb: nothing was stored\n");
    }
}

TEST_F(MastdbTest, BytesAboveTheControlCharactersAreText) {
    create(false);
    // Tabs, carriage returns that end lines and every byte from 128 up, at
    // every offset within a run of bytes.
    std::string high;
    for (int c = 0x80; c <= 0xff; ++c)
        high.push_back(static_cast<char>(c));
    std::vector<std::string> args = {"add-schedules"};
    for (std::size_t fill = 0; fill < 17; ++fill) {
        const std::string name = "T" + std::to_string(fill);
        std::string text = definition(name, fill, "\t" + high + " ~ \t");
        if (fill % 2 == 1) {
            std::string crlf;
            for (char ch : text)
                crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
            text = crlf;
        }
        args.push_back(input_file(name + ".sched", text));
    }
    EXPECT_EQ(ok(args), "mastdb: 17 schedules stored\n");
}

}  // namespace
