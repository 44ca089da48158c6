// Fault walks over whole runs of the real programs: a clean run of a
// program on an installation tree learns how many checked file calls of each
// kind the run makes (KORVEX_FAULT_COUNTS), then the program is run again
// once for every chosen call number and error (KORVEX_FAULT), each time on
// the database as it was before the first run, and the caller judges what
// every faulted run left behind.
//
// Stride: a kind with more calls than the walk's budget is walked at its
// first and last edge() calls and at evenly spaced calls between them. The
// sanitizer build uses a smaller budget. KORVEX_FAULT_WALK_ALL=1 in the
// test's environment walks every call.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/install_tree.h"

namespace fw {

namespace fs = std::filesystem;
using e2e::InstallTree;
using e2e::RunOptions;
using e2e::RunResult;

using e2e::kSanitized;

inline const std::vector<std::string> kKinds = {"read", "write", "seek",
                                                "lock", "fsync", "truncate"};
// Calls walked at each end of a kind whatever the stride, and call numbers
// walked per kind at most (beyond the edges the stride thins them). The
// sanitizer build runs each program many times slower and walks less.
inline unsigned long edge() {
    return kSanitized ? 8 : 20;
}
inline unsigned long budget_per_kind() {
    const char* all = std::getenv("KORVEX_FAULT_WALK_ALL");
    if (all != nullptr && std::string(all) == "1") return ~0ul;
    return kSanitized ? 2 * edge() + 8 : 2 * edge() + 40;
}

// Errors tried at each call: a short transfer only means something for the
// calls that move bytes.
inline std::vector<std::string> errors_for(const std::string& kind) {
    if (kind == "read" || kind == "write") {
        if (kSanitized) return {"EIO", "SHORT"};
        return {"EIO", "ENOSPC", "SHORT"};
    }
    // A full disk shows in fsync and in a truncate that extends; seek and
    // lock calls only fail with errors such as EIO.
    if (kSanitized || kind == "seek" || kind == "lock") return {"EIO"};
    return {"EIO", "ENOSPC"};
}

struct Point {
    std::string kind;
    unsigned long n = 0;
    std::string err;
    std::string text() const { return kind + ":" + std::to_string(n) + ":" + err; }
};

// The call numbers 1..count walked for one kind.
inline std::vector<unsigned long> call_numbers(unsigned long count, unsigned long budget) {
    std::vector<unsigned long> out;
    const unsigned long ends = edge();
    if (count <= budget || count <= 2 * ends) {
        for (unsigned long i = 1; i <= count; ++i)
            out.push_back(i);
        return out;
    }
    for (unsigned long i = 1; i <= ends; ++i)
        out.push_back(i);
    const unsigned long middle = count - 2 * ends;
    const unsigned long slots = budget > 2 * ends ? budget - 2 * ends : 0;
    if (slots > 0) {
        const unsigned long stride = (middle + slots - 1) / slots;
        for (unsigned long i = ends + 1; i <= count - ends; i += stride)
            out.push_back(i);
    }
    for (unsigned long i = count - ends + 1; i <= count; ++i)
        out.push_back(i);
    return out;
}

using Counts = std::map<std::string, unsigned long>;

inline std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline Counts parse_counts(const std::string& text) {
    Counts c;
    std::istringstream in(text);
    std::string kind;
    unsigned long n = 0;
    while (in >> kind >> n)
        c[kind] = n;
    return c;
}

inline std::vector<Point> plan(const Counts& counts) {
    std::vector<Point> points;
    for (const std::string& kind : kKinds) {
        const auto it = counts.find(kind);
        if (it == counts.end()) continue;
        for (unsigned long n : call_numbers(it->second, budget_per_kind()))
            for (const std::string& err : errors_for(kind))
                points.push_back({kind, n, err});
    }
    return points;
}

// Ended by a signal, killed at the time-out, or a sanitizer report.
inline std::string crash_of(const RunResult& r) {
    if (r.timed_out) return "hung (killed at the time-out)";
    if (r.signal != 0) return "killed by signal " + std::to_string(r.signal);
    for (const char* mark :
         {"AddressSanitizer", "LeakSanitizer", "UndefinedBehaviorSanitizer", "runtime error:"})
        if (r.err.find(mark) != std::string::npos) return std::string("sanitizer report: ") + mark;
    return "";
}

// A numbered message: its reference "[SET.NUMBER]".
inline bool has_numbered_message(const std::string& text) {
    static const std::regex ref(R"(\[[0-9]+\.[0-9]+\])");
    return std::regex_search(text, ref);
}

// The live records of a keyed file from "kfutil dump" of a file that has
// just been rebuilt: for every master key the master record and its detail
// records in chain order.
using FileContent = std::map<std::string, std::vector<std::string>>;

inline FileContent parse_dump(const std::string& dump) {
    FileContent content;
    static const std::regex slot0(
        R"(^slot 0: record length [0-9]+, key offset ([0-9]+), key length ([0-9]+))");
    static const std::regex record(R"re(^[0-9A-F]{8} (D[M0-9]) [0-9A-F]{8} "(.*)"$)re");
    std::size_t key_off = 0, key_len = 0;
    std::istringstream in(dump);
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_search(line, m, slot0)) {
            key_off = std::stoul(m[1]);
            key_len = std::stoul(m[2]);
        } else if (std::regex_match(line, m, record)) {
            const std::string text = m[2];
            // Detail records begin with their master's key.
            const std::string key =
                m[1] == "DM" ? text.substr(key_off, key_len) : text.substr(0, key_len);
            content[key].push_back(m[1].str() + " " + text);
        }
    }
    return content;
}

// What one faulted run gave, for the tally.
struct Tally {
    std::size_t runs = 0;
    std::size_t succeeded = 0;
    std::size_t succeeded_with_message = 0;  // exit 0 but a message on standard error
    std::size_t failed = 0;                  // failure status with a message
    std::size_t partial = 0;                 // failed and left a state between before and after
    std::map<std::string, std::vector<std::string>> defects;  // kind of defect -> points

    void defect(const std::string& kind, const Point& p, const std::string& detail = "") {
        defects[kind].push_back(p.text() + (detail.empty() ? "" : " (" + detail + ")"));
    }
    std::string summary() const {
        std::ostringstream s;
        s << runs << " runs: " << succeeded << " succeeded (" << succeeded_with_message
          << " with a message), " << failed << " failed with a message, " << partial
          << " of them left part of the change";
        for (const auto& [kind, points] : defects) {
            s << "\n  DEFECT " << kind << ": " << points.size() << " points, e.g.";
            for (std::size_t i = 0; i < points.size() && i < 4; ++i)
                s << " " << points[i];
            // How often each detail (the text in parentheses) was seen.
            std::map<std::string, std::size_t> details;
            for (const std::string& p : points)
                if (const std::size_t at = p.find(" ("); at != std::string::npos)
                    ++details[p.substr(at + 1)];
            for (const auto& [detail, n] : details)
                s << "\n    " << n << " x " << detail.substr(0, 160);
        }
        return s.str();
    }
};

// Ends a walk: fails on a defect not in known (kind of defect -> the
// defect's name), skips with the names when only known defects were seen.
inline void finish(const Tally& t, const std::map<std::string, std::string>& known) {
    std::printf("fault walk: %s\n", t.summary().c_str());
    std::string seen_known;
    for (const auto& [kind, points] : t.defects) {
        const auto k = known.find(kind);
        if (k == known.end()) {
            ADD_FAILURE() << "defect " << kind << " at " << points.size() << " points, first "
                          << points.front();
        } else {
            seen_known += "\n" + k->second + " (e.g. KORVEX_FAULT=" + points.front() + ")";
        }
    }
    if (!seen_known.empty() && !::testing::Test::HasFailure())
        GTEST_SKIP() << "known defects:" << seen_known;
}

// An installation tree whose database directory can be set back to a saved
// state before every run, and runs of its programs with a fault armed.
class Walker {
  public:
    explicit Walker(InstallTree& tree)
        : tree_(tree), saved_(tree.root() / "saved-db"), temp_(tree.root() / "tmp") {
        fs::create_directories(temp_);
    }

    // Keeps the database directory as it is now.
    void save() {
        fs::remove_all(saved_);
        fs::copy(tree_.brantis(), saved_, fs::copy_options::recursive);
    }
    void restore() const {
        fs::remove_all(tree_.brantis());
        fs::copy(saved_, tree_.brantis(), fs::copy_options::recursive);
    }
    // Every file of the database directory and its bytes.
    std::map<std::string, std::string> db_bytes() const {
        std::map<std::string, std::string> files;
        for (const auto& e : fs::directory_iterator(tree_.brantis()))
            files[e.path().filename().string()] = read_file(e.path());
        return files;
    }

    RunOptions options(const std::vector<std::pair<std::string, std::string>>& extra = {}) const {
        RunOptions o;
        o.env = {{"TZ", "UTC"}, {"TEMP", temp_.string()}, {"TMPDIR", temp_.string()}};
        o.env.insert(o.env.end(), extra.begin(), extra.end());
        // Only the runs that ask for them arm a fault or write counts.
        o.unset_env = {"KORVEX_FAULT", "KORVEX_FAULT_COUNTS"};
        o.timeout = std::chrono::milliseconds(kSanitized ? 60000 : 20000);
        return o;
    }
    RunResult run(const std::string& program, const std::vector<std::string>& args) const {
        return tree_.run(program, args, options());
    }

    // A clean run on the saved state; its counts (empty when it failed).
    Counts count(const std::string& program, const std::vector<std::string>& args,
                 RunResult* result) const {
        restore();
        const fs::path report = tree_.root() / "counts";
        fs::remove(report);
        *result = tree_.run(program, args, options({{"KORVEX_FAULT_COUNTS", report.string()}}));
        return parse_counts(read_file(report));
    }

    // A run with one fault armed, on the saved state. Temporary files it left
    // behind are reported through leftovers.
    RunResult faulted(const std::string& program, const std::vector<std::string>& args,
                      const Point& p, std::vector<std::string>* leftovers) const {
        restore();
        fs::remove_all(temp_);
        fs::create_directories(temp_);
        RunResult r = tree_.run(program, args, options({{"KORVEX_FAULT", p.text()}}));
        leftovers->clear();
        for (const auto& e : fs::directory_iterator(temp_))
            leftovers->push_back(e.path().filename().string());
        return r;
    }

    // "mastdb check": sound (exit 0, every file sound), or its faults named
    // precisely (exit 1, each line naming a database file). Empty when it
    // is one of them, else what is wrong.
    std::string check_verdict(bool* sound) const {
        return verdict_of(run("mastdb", {"check"}), sound);
    }

    // The content of the master database after a clean "mastdb rebuild":
    // file name -> master key -> records. Empty with *why set when the
    // rebuild fails or leaves a database that is not sound.
    std::map<std::string, FileContent> rebuilt_content(std::string* why) const {
        why->clear();
        const RunResult rb = run("mastdb", {"rebuild"});
        if (!rb.exited(0)) {
            *why = "mastdb rebuild fails: " + rb.both();
            return {};
        }
        // The check and the dumps only read: they run side by side.
        e2e::Process check = tree_.start("mastdb", {"check"}, options());
        std::vector<std::pair<std::string, e2e::Process>> dumps;
        for (const char* file : {"mastsked", "job.sched", "calendars"})
            if (tree_.exists("brantis/" + std::string(file)))
                dumps.emplace_back(file,
                                   tree_.start("kfutil", {"dump", tree_.db_file(file)}, options()));
        bool sound = false;
        const std::string v = verdict_of(check.wait(), &sound);
        std::map<std::string, FileContent> content;
        for (auto& [file, process] : dumps) {
            const RunResult d = process.wait();
            if (!d.exited(0) && why->empty()) *why = "kfutil dump " + file + " fails: " + d.both();
            content[file] = parse_dump(d.out);
        }
        if (!sound) *why = "not sound after mastdb rebuild: " + v;
        if (!why->empty()) return {};
        return content;
    }

  private:
    std::string verdict_of(const RunResult& r, bool* sound) const {
        *sound = false;
        if (!crash_of(r).empty()) return "mastdb check " + crash_of(r);
        std::istringstream in(r.out + r.err);
        std::string line;
        bool any = false;
        bool all_sound = true;
        while (std::getline(in, line)) {
            if (line.empty()) continue;
            any = true;
            if (line.find(": sound") == std::string::npos) all_sound = false;
        }
        *sound = r.exited(0) && any && all_sound;
        if (*sound) return "";
        if (r.exited(0)) return "mastdb check exits 0 but reports: " + r.out + r.err;
        if (r.status != 1 || (r.out + r.err).find(tree_.brantis().string()) == std::string::npos)
            return "mastdb check fails without naming a file: " + r.both();
        return "";
    }

    InstallTree& tree_;
    fs::path saved_;
    fs::path temp_;
};

}  // namespace fw
