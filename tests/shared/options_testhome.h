// A throw-away installation for the options tests: <tmp>/home is the home
// directory, so that "../telvar/..." files land in <tmp>/telvar.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "utils/libs/stdutil.h"
#include "utils/libs/thiscpu.h"
#include "utils/libs/utlopts.h"

namespace optstest {

class TestHome {
  public:
    TestHome() {
        char tmpl[] = "/tmp/korvex_opts_XXXXXX";
        const char* d = ::mkdtemp(tmpl);
        root_ = d != nullptr ? d : "/tmp/korvex_opts_failed";
        std::filesystem::create_directories(home());
        set_home_dir(home());
        master_name_reset();
        this_cpu_reset();
    }
    ~TestHome() {
        set_home_dir("");
        master_name_reset();
        this_cpu_reset();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    TestHome(const TestHome&) = delete;
    TestHome& operator=(const TestHome&) = delete;

    std::string home() const { return root_ + "/home"; }
    // The full path of a name relative to the home directory.
    std::string path(const std::string& rel) const { return home() + "/" + rel; }

    // Writes a file below the home directory, creating its directories.
    void write(const std::string& rel, const std::string& text) const {
        const std::filesystem::path p = path(rel);
        std::filesystem::create_directories(p.parent_path());
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out << text;
    }
    void remove(const std::string& rel) const {
        std::error_code ec;
        std::filesystem::remove_all(path(rel), ec);
    }

  private:
    std::string root_;
};

// Sets or clears an environment variable for one scope.
class EnvVar {
  public:
    EnvVar(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old, had_ = true;
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~EnvVar() {
        if (had_) {
            ::setenv(name_.c_str(), old_.c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    EnvVar(const EnvVar&) = delete;
    EnvVar& operator=(const EnvVar&) = delete;

  private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

}  // namespace optstest
