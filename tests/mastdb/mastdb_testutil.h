// Helpers for the mastdb tests: an installation tree with the real mastdb
// program, a way to run it, and snapshots of the database directory for
// "nothing changed" checks.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/install_tree.h"

namespace mdbtest {

// Every file of the database directory with its bytes.
using Snapshot = std::map<std::string, std::string>;

class MastdbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tree_.has_program("mastdb")) << "mastdb is not built in " KORVEX_BUILD_DIR;
    }

    e2e::RunResult mastdb(const std::vector<std::string>& args,
                          std::optional<std::string> input = std::nullopt) {
        e2e::RunOptions o;
        o.input = std::move(input);
        o.env = env_;
        e2e::RunResult r = tree_.run("mastdb", args, o);
        // A sanitizer's report ends the program with status 1 too: it must
        // never pass for an expected failure.
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("runtime error:"), std::string::npos) << r.err;
        EXPECT_FALSE(r.timed_out) << "mastdb " << join(args) << " did not end";
        return r;
    }

    // Runs mastdb and expects success.
    std::string ok(const std::vector<std::string>& args,
                   std::optional<std::string> input = std::nullopt) {
        const e2e::RunResult r = mastdb(args, std::move(input));
        EXPECT_TRUE(r.exited(0)) << "mastdb " << join(args) << "\n" << r.both();
        return r.out;
    }

    // Runs mastdb and expects a failure (exit 1) whose standard error holds
    // every one of the texts.
    void fails(const std::vector<std::string>& args, const std::vector<std::string>& texts,
               std::optional<std::string> input = std::nullopt) {
        const e2e::RunResult r = mastdb(args, std::move(input));
        EXPECT_TRUE(r.exited(1)) << "mastdb " << join(args) << "\n" << r.both();
        for (const std::string& t : texts)
            EXPECT_NE(r.err.find(t), std::string::npos)
                << "mastdb " << join(args) << ": no \"" << t << "\" in\n"
                << r.err;
    }

    void create(bool long_names) {
        ok(long_names ? std::vector<std::string>{"create", "-long"}
                      : std::vector<std::string>{"create"});
    }

    // Writes a file below the tree's root (outside the installation) and
    // returns its path.
    std::string input_file(const std::string& name, const std::string& text) {
        const std::string path = (tree_.root() / name).string();
        tree_.write(path, text);
        return path;
    }

    Snapshot snapshot() const {
        Snapshot s;
        for (const auto& e : std::filesystem::directory_iterator(tree_.brantis()))
            s[e.path().filename().string()] = tree_.read(e.path().string());
        return s;
    }

    static std::string join(const std::vector<std::string>& args) {
        std::string out;
        for (const std::string& a : args)
            out += (out.empty() ? "" : " ") + a;
        return out;
    }

    static e2e::TreeOptions mastdb_only() {
        e2e::TreeOptions o;
        o.programs = {"mastdb"};
        return o;
    }

    e2e::InstallTree tree_{mastdb_only()};
    std::vector<std::pair<std::string, std::string>> env_ = {{"TZ", "UTC"}};
};

}  // namespace mdbtest
