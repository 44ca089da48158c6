// The benchmark's installation generator (bench/gen.cpp): one seed gives the
// same files byte for byte, the definitions have the shape asked of them,
// and a generated installation loads with the real tools, checks clean and
// is selected by korvex exactly as the generator worked out.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/install_tree.h"

namespace {

namespace fs = std::filesystem;
using e2e::InstallTree;
using e2e::RunOptions;
using e2e::RunResult;

const fs::path kGen = fs::path(KORVEX_BUILD_DIR) / "bin" / "korvex_gen";

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every file below dir by its relative path, with its contents.
std::map<std::string, std::string> files_below(const fs::path& dir) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(dir, ec))
        if (e.is_regular_file()) files[fs::relative(e.path(), dir).string()] = read_file(e.path());
    return files;
}

// The files of one folder of the generated tree, in name order.
std::vector<std::string> files_in(const fs::path& dir) {
    std::vector<std::string> paths;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        paths.push_back(e.path().string());
    std::sort(paths.begin(), paths.end());
    return paths;
}

// A "key = value" line of the generator's summary.
std::string summary_value(const fs::path& dir, const std::string& key) {
    std::istringstream in(read_file(dir / "summary"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + " = ", 0) == 0) return line.substr(key.size() + 3);
    return {};
}

class GeneratorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(kGen)) GTEST_SKIP() << kGen << " is not built";
    }

    // The programs a generated installation is loaded and selected with.
    static e2e::TreeOptions tools() {
        e2e::TreeOptions options;
        options.programs = {"mastdb", "mksecurity", "korvex"};
        return options;
    }
    static void expect_built(const InstallTree& tree) {
        for (const std::string& p : tools().programs)
            ASSERT_TRUE(tree.has_program(p)) << p << " is not built";
    }
    // Runs in UTC, with time for the sanitizer build.
    static RunOptions in_utc() {
        RunOptions utc;
        utc.env = {{"TZ", "UTC"}};
        utc.timeout = std::chrono::milliseconds(300000);
        return utc;
    }

    // Generates n schedules with the seed into <tree>/src and lays out the
    // installation's own files from them (no database yet).
    static void generate_installation(const InstallTree& tree, const RunOptions& utc,
                                      const std::string& n, const std::string& seed) {
        const fs::path src = tree.root() / "src";
        const RunResult r = tree.run(kGen.string(), {"-n", n, "-seed", seed, src.string()}, utc);
        ASSERT_TRUE(r.exited(0)) << r.both();
        tree.write("localopts", read_file(src / "localopts"));
        tree.write("brantis/globalopts", read_file(src / "globalopts"));
        tree.write("Security.src", read_file(src / "Security.src"));
        fs::create_directories(tree.telvar() / "network");
    }

    RunResult generate(const InstallTree& tree, const std::vector<std::string>& args) const {
        return tree.run(kGen.string(), args);
    }
};

TEST_F(GeneratorTest, SameSeedGivesSameFilesAndTheAskedShape) {
    e2e::TreeOptions options;
    options.programs = {};
    options.component_group.clear();
    const InstallTree tree(options);
    const fs::path a = tree.root() / "a";
    const fs::path b = tree.root() / "b";
    const fs::path c = tree.root() / "c";
    for (const auto& [dir, seed] : {std::pair{a, "7"}, std::pair{b, "7"}, std::pair{c, "8"}}) {
        const RunResult r =
            generate(tree, {"-n", "300", "-seed", seed, "-per-file", "100", dir.string()});
        ASSERT_TRUE(r.exited(0)) << r.both();
    }

    const auto fa = files_below(a);
    const auto fb = files_below(b);
    const auto fc = files_below(c);
    ASSERT_EQ(fa.size(), fb.size());
    for (const auto& [name, text] : fa) {
        const auto it = fb.find(name);
        ASSERT_NE(it, fb.end()) << name;
        EXPECT_TRUE(it->second == text) << name << " differs for the same seed";
    }
    for (const char* name : {"schedules/s0001.sched", "schedules/s0003.sched",
                             "calendars/holidays.cal", "localopts", "globalopts", "Security.src"})
        EXPECT_EQ(fa.count(name), 1u) << name;
    EXPECT_EQ(fa.count("schedules/s0004.sched"), 0u);
    EXPECT_NE(fa.at("schedules/s0001.sched"), fc.at("schedules/s0001.sched"))
        << "another seed gives other schedules";

    EXPECT_EQ(summary_value(a, "schedules"), "300");
    EXPECT_EQ(summary_value(a, "calendars"), "201");
    const int selected = std::stoi("0" + summary_value(a, "selected"));
    EXPECT_GE(selected, 75) << "about a third are selected on the run date";
    EXPECT_LE(selected, 125);

    // Definitions are separated by one blank line: 10 to 40 lines each, from
    // their comments to END, and one name each.
    std::set<std::string> ids;
    int definitions = 0;
    for (const auto& file : fa) {
        const std::string& name = file.first;
        if (name.rfind("schedules/", 0) != 0) continue;
        std::istringstream in(file.second);
        std::vector<std::string> def;
        auto finish = [&] {
            if (def.empty()) return;
            ++definitions;
            EXPECT_GE(def.size(), 10u) << name << ": " << def.front();
            EXPECT_LE(def.size(), 40u) << name << ": " << def.front();
            EXPECT_EQ(def.back(), "END") << name;
            for (const std::string& l : def)
                if (l.rfind("SCHEDULE ", 0) == 0) {
                    std::string id = l.substr(9);
                    if (id.find('#') == std::string::npos) id = "MASTER#" + id;
                    EXPECT_TRUE(ids.insert(id).second) << id << " is defined twice";
                }
            def.clear();
        };
        for (std::string line; std::getline(in, line);) {
            if (line.empty())
                finish();
            else
                def.push_back(line);
        }
        finish();
    }
    EXPECT_EQ(definitions, 300);
    EXPECT_EQ(ids.size(), 300u);
}

TEST_F(GeneratorTest, RefusesBadArgumentsAndAFolderInUse) {
    e2e::TreeOptions options;
    options.programs = {};
    options.component_group.clear();
    const InstallTree tree(options);
    const std::string used = (tree.root() / "used").string();
    fs::create_directories(used);
    tree.write(used + "/keep", "the user's file\n");
    const std::vector<std::vector<std::string>> bad = {
        {"-n", "0", "out"},     {"-n", "12x", "out"}, {"-date", "2027/02/30", "out"},
        {"-seed", "-1", "out"}, {"-n", "10"},         {"-n", "10", "out", "extra"},
        {"-n", "10", used},
    };
    for (const auto& args : bad) {
        const RunResult r = generate(tree, args);
        EXPECT_TRUE(r.exited(2)) << args.front() << "\n" << r.both();
    }
    EXPECT_EQ(tree.read(used + "/keep"), "the user's file\n");
    EXPECT_FALSE(tree.exists("out"));
}

TEST_F(GeneratorTest, InstallationLoadsChecksCleanAndSelectsAsWorkedOut) {
    const InstallTree tree(tools());
    ASSERT_NO_FATAL_FAILURE(expect_built(tree));
    const fs::path src = tree.root() / "src";
    const RunOptions utc = in_utc();
    ASSERT_NO_FATAL_FAILURE(generate_installation(tree, utc, "200", "3"));
    RunResult r;
    auto tool = [&](const std::string& program, std::vector<std::string> args,
                    const std::string& folder = {}) {
        if (!folder.empty())
            for (const std::string& f : files_in(src / folder))
                args.push_back(f);
        return tree.run(program, args, utc);
    };
    r = tool("mastdb", {"create"});
    ASSERT_TRUE(r.exited(0)) << r.both();
    r = tool("mastdb", {"add-calendars"}, "calendars");
    ASSERT_TRUE(r.exited(0)) << r.both();
    r = tool("mastdb", {"add-schedules"}, "schedules");
    ASSERT_TRUE(r.exited(0)) << r.both();
    EXPECT_NE(r.out.find("200 schedules stored"), std::string::npos) << r.both();
    EXPECT_EQ(r.err, "") << "no warnings";
    r = tool("mksecurity", {"Security.src"});
    ASSERT_TRUE(r.exited(0)) << r.both();

    r = tool("mastdb", {"check"});
    EXPECT_TRUE(r.exited(0)) << r.both();
    EXPECT_NE(r.out.find("mastsked: sound, 200 master records"), std::string::npos) << r.both();
    EXPECT_NE(r.out.find("calendars: sound, 201 master records"), std::string::npos) << r.both();

    const std::string prodsked = (tree.root() / "prodsked").string();
    r = tool("korvex", {"-date", summary_value(src, "rundate"), "-prodsked", prodsked});
    ASSERT_TRUE(r.exited(0)) << r.both();
    std::istringstream in(read_file(prodsked));
    int taken = 0;
    for (std::string line; std::getline(in, line);)
        taken += line.rfind("SCHEDULE ", 0) == 0 ? 1 : 0;
    EXPECT_EQ(std::to_string(taken), summary_value(src, "selected"));
}

// korvex visits the schedule records in the order the file holds them unless
// its line echo is on, when it visits them in key order: both give the same
// production schedule and messages, on a file with replaced and deleted
// schedules, with a forced list, and with a calendar named but gone (whose
// warnings send the first way back to the second).
TEST_F(GeneratorTest, FileOrderAndKeyOrderPassesAgree) {
    const InstallTree tree(tools());
    ASSERT_NO_FATAL_FAILURE(expect_built(tree));
    const fs::path src = tree.root() / "src";
    const RunOptions utc = in_utc();
    ASSERT_NO_FATAL_FAILURE(generate_installation(tree, utc, "1500", "5"));
    RunResult r;
    auto tool = [&](const std::string& program, std::vector<std::string> args,
                    const RunOptions& o) { return tree.run(program, args, o); };
    const std::vector<std::string> schedules = files_in(src / "schedules");
    std::vector<std::string> add = {"add-schedules"};
    add.insert(add.end(), schedules.begin(), schedules.end());
    std::vector<std::string> cals = {"add-calendars"};
    for (const std::string& f : files_in(src / "calendars"))
        cals.push_back(f);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"create"}, cals, add,
          // Replaced: their old records stay in the file.
          std::vector<std::string>{"add-schedules", schedules.front(), schedules.back()}}) {
        r = tool("mastdb", args, utc);
        ASSERT_TRUE(r.exited(0)) << r.both();
    }
    r = tool("mksecurity", {"Security.src"}, utc);
    ASSERT_TRUE(r.exited(0)) << r.both();
    r = tool("mastdb", {"list-schedules"}, utc);
    ASSERT_TRUE(r.exited(0)) << r.both();
    std::istringstream listed(r.out);
    std::vector<std::string> names;
    for (std::string line; std::getline(listed, line);)
        if (line.find('#') != std::string::npos) names.push_back(line);
    ASSERT_GT(names.size(), 100u) << r.out;
    r = tool("mastdb", {"delete-schedule", names[names.size() / 2]}, utc);
    ASSERT_TRUE(r.exited(0)) << r.both();
    const std::string date = summary_value(src, "rundate");
    auto both_ways = [&](const std::vector<std::string>& args) {
        const std::string prodsked = (tree.root() / "prodsked").string();
        std::vector<std::string> all = {"-date", date, "-prodsked", prodsked};
        all.insert(all.end(), args.begin(), args.end());
        const RunResult file_order = tool("korvex", all, utc);
        const std::string by_file = read_file(prodsked);
        RunOptions echo = utc;
        echo.env.emplace_back("SCHDEBUG", "4");
        const RunResult key_order = tool("korvex", all, echo);
        EXPECT_EQ(file_order.status, key_order.status) << file_order.both() << key_order.both();
        EXPECT_EQ(by_file, read_file(prodsked));
        EXPECT_EQ(file_order.err, key_order.err);
        return file_order;
    };
    r = both_ways({});
    EXPECT_TRUE(r.exited(0)) << r.both();
    // Forced: schedules the date leaves out.
    const std::string by_date = read_file(tree.root() / "prodsked");
    std::string forced;
    for (std::size_t i = 0, n = 0; i < names.size() && n < 5; i += 7) {
        if (by_date.find("SCHEDULE " + names[i] + "\n") != std::string::npos) continue;
        forced += names[i] + "\n";
        ++n;
    }
    tree.write("forced", forced);
    r = both_ways({"-scheds", (tree.home() / "forced").string()});
    EXPECT_TRUE(r.exited(0)) << r.both();
    EXPECT_GT(read_file(tree.root() / "prodsked").size(), by_date.size()) << forced;

    // A calendar the definitions name, deleted: warnings in key order.
    std::string every_schedule;
    for (const std::string& f : schedules)
        every_schedule += read_file(f);
    std::string calendar;
    for (const std::string& f : files_in(src / "calendars")) {
        std::istringstream in(read_file(f));
        for (std::string line; calendar.empty() && std::getline(in, line);) {
            // "NAME \"description\"" starts a calendar.
            const std::size_t blank = line.find(' ');
            if (line.empty() || line[0] == '#' || line[0] == ' ' || blank == std::string::npos)
                continue;
            const std::string name = line.substr(0, blank);
            if (name != "HOLIDAYS" && every_schedule.find("ON " + name) != std::string::npos)
                calendar = name;
        }
    }
    ASSERT_FALSE(calendar.empty());
    r = tool("mastdb", {"delete-calendar", calendar}, utc);
    ASSERT_TRUE(r.exited(0)) << r.both();
    r = both_ways({});
    EXPECT_NE(r.err, "") << "no warning for the deleted calendar " << calendar;
}

}  // namespace
