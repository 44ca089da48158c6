// Complete runs from the reference cases: the master database built with the
// real tools, korvex run on the case's date, and the production schedule
// file, standard output and exit status compared with the expected ones.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "masterdb/masterdb_testutil.h"
#include "tests/e2e/korvex_e2e.h"

namespace {

using dbtest::Json;

Json load_cases() {
    const std::string text = dbtest::read_file(std::string(KORVEX_VECTORS_DIR) + "/selection.json");
    Json root;
    std::size_t i = 0;
    if (!dbtest::parse_json(text, i, &root)) ADD_FAILURE() << "selection.json does not parse";
    return root;
}

std::string ymd(const Json& date, const char* sep = "/") {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04lld%s%02lld%s%02lld", date.items.at(0).number, sep,
                  date.items.at(1).number, sep, date.items.at(2).number);
    return buf;
}

// ["MSG", set, number, [arguments]] as the catalog's text.
std::string message_of(const Json& m) {
    std::vector<std::string> args;
    for (const Json& a : m.items.at(3).items)
        args.push_back(a.text);
    return kx::msg(static_cast<int>(m.items.at(2).number), args,
                   static_cast<int>(m.items.at(1).number));
}

std::string rtrim(std::string s) {
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t nl = text.find('\n', from);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(text.substr(from, nl - from));
        from = nl + 1;
    }
    return out;
}

// Standard output as the writer lays it out: each workstation header and
// each selected schedule on a line, a count and the total each followed by
// an empty line, an empty line before a total of none.
std::string expected_stdout(const Json& msgs) {
    std::string out;
    for (const Json& m : msgs.items) {
        const int number = static_cast<int>(m.items.at(1).number);
        std::vector<std::string> args;
        for (const Json& a : m.items.at(2).items)
            args.push_back(a.text);
        const std::string text = kx::msg(number, args, static_cast<int>(m.items.at(0).number));
        if (number == 26) out += "\n";
        out += text + "\n";
        if (number == 18 || number == 19 || (number >= 26 && number <= 28)) out += "\n";
    }
    return out;
}

TEST(KorvexVectors, CompleteRunsMatchTheReference) {
    const Json cases = load_cases();
    ASSERT_FALSE(cases.items.empty());
    int index = 0;
    for (const Json& c : cases.items) {
        SCOPED_TRACE("case " + std::to_string(index++));
        e2e::TreeOptions options;
        options.thiscpu = options.master = c["this_cpu"].text;
        options.globalopts = "start = " + std::to_string(c["start"].number) + "\n";
        kx::InstallTree tree(options);
        kx::create_db(tree);

        std::string calendars;
        for (const auto& [name, dates] : c["db"]["calendars"].fields) {
            calendars += name;
            for (const Json& d : dates.items)
                calendars += " " + ymd(d);
            calendars += "\n";
        }
        kx::add_calendars(tree, calendars);
        for (const Json& s : c["db"]["schedules"].items) {
            std::vector<std::string> logical;
            for (const Json& l : s["lines"].items)
                logical.push_back(l.text);
            kx::store_raw(tree, s["ws"].text, s["name"].text, kx::pieces_of(logical));
        }

        const kx::RunResult r =
            kx::korvex(tree, {"-date", ymd(c["run_date"]), "-prodsked", "prodsked"});
        EXPECT_TRUE(r.exited(static_cast<int>(c["exit_status"].number))) << r.both();
        EXPECT_EQ(kx::after_banner(r.out), expected_stdout(c["stdout_msgs"]));
        EXPECT_EQ(r.err, "");

        // Stored lines lose their trailing blanks, so lines compare without
        // them.
        std::vector<std::string> expected;
        for (const Json& line : c["prodsked"].items)
            expected.push_back(rtrim(line.items.empty() ? line.text : message_of(line)));
        std::vector<std::string> got;
        for (const std::string& line : lines_of(tree.read("prodsked")))
            got.push_back(rtrim(line));
        EXPECT_EQ(got, expected);
    }
}

}  // namespace
