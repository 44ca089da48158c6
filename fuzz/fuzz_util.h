// Shared pieces of the fuzz targets: a scratch directory that lives as long
// as the process, a scratch installation (home directory with "localopts",
// the database directory and the build's catalogs), a master database with a
// few calendars and schedules, and whole-file writes.
//
// Every file a target writes is below its scratch directory, which is made in
// $TMPDIR (or /tmp) and removed when the process ends normally; scripts/fuzz-run
// also points TMPDIR at a directory of its own and removes it after each run,
// so that a crash leaves nothing behind either.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "utils/libs/dateutil.h"
#include "utils/libs/issuemsg.h"
#include "utils/libs/stdutil.h"
#include "utils/libs/thiscpu.h"
#include "utils/libs/utlopts.h"

namespace fuzz {

namespace fs = std::filesystem;

class ScratchDir {
  public:
    explicit ScratchDir(const char* what) {
        std::string pattern =
            (fs::temp_directory_path() / ("korvex-fuzz-" + std::string(what) + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Writes bytes to a new file in place of the old one (removing is cheaper
// than truncating on some file systems).
inline void write_file(const std::string& path, const void* data, std::size_t size) {
    std::error_code ec;
    fs::remove(path, ec);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        std::perror(path.c_str());
        std::abort();
    }
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}
inline void write_file(const std::string& path, const std::string& data) {
    write_file(path, data.data(), data.size());
}

// A scratch installation: <dir>/localopts naming this workstation and the
// master, <dir>/brantis/ for the database, <dir>/catalog linked to the
// build's catalogs (missing catalogs only mean fallback texts).
class ScratchHome {
  public:
    explicit ScratchHome(const char* what, const std::string& thiscpu = "CPU1",
                         const std::string& master = "CPU1")
        : dir_(what) {
        fs::create_directories(dir_.file("brantis"));
        std::error_code ec;
        fs::create_directory_symlink(KORVEX_FUZZ_CATALOG_DIR, dir_.file("catalog"), ec);
        write_file(dir_.file("localopts"), "thiscpu = " + thiscpu + "\nmaster = " + master + "\n");
        set_home_dir(dir_.path());
        this_cpu_reset();
        master_name_reset();
        msg_state_reset();
    }
    const ScratchDir& dir() const { return dir_; }

  private:
    ScratchDir dir_;
};

// Local midnight of a calendar day.
inline time_value local_date(int y, int m, int d) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = m - 1;
    tm.tm_mday = d;
    tm.tm_isdst = -1;
    return static_cast<time_value>(std::mktime(&tm));
}

}  // namespace fuzz
