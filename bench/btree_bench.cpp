// Index file benchmark: inserts, finds and a full traversal per second for
// 100,000 and 1,000,000 keys in random order, a bulk load of the same keys,
// the resulting file sizes, and the read calls of a traversal from an empty
// cache with and without the file held.
//
//   btree_bench [directory] [key count ...]
//
// The files are created in the directory (default: the system's temporary
// directory) and removed afterwards.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "btree/btree.h"
#include "platform/faults.h"
#include "platform/fileio.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Fixed-width keys like the master keys of the data files: 16 bytes.
std::string key_of(std::uint32_t n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "SCHED%011u", n);
    return buf;
}

// A fixed pseudo-random order of 0 .. n-1.
std::vector<std::uint32_t> shuffled(std::uint32_t n, std::uint32_t seed) {
    std::vector<std::uint32_t> v(n);
    for (std::uint32_t i = 0; i < n; ++i)
        v[i] = i;
    std::uint64_t x = seed;
    for (std::uint32_t i = n; i > 1; --i) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        std::swap(v[i - 1], v[static_cast<std::uint32_t>((x >> 33) % i)]);
    }
    return v;
}

std::int64_t file_size(const std::string& path) {
    plat::FileStatus st;
    return plat::FH_stat_file(path.c_str(), &st) == 0 ? st.size : -1;
}

int run(const std::string& dir, std::uint32_t n) {
    const std::string path = dir + "/bench-" + std::to_string(n) + ".KEY";
    plat::FH_remove_file(path.c_str());
    auto h = btopen(path.c_str(), plat::FH_CREAT, 0600);
    if (!h) {
        std::fprintf(stderr, "btree_bench: cannot create %s\n", path.c_str());
        return 1;
    }
    const std::vector<std::uint32_t> order = shuffled(n, 12345);

    auto t = Clock::now();
    for (std::uint32_t k : order) {
        const std::string key = key_of(k);
        if (btinsert(h.get(), key.data(), static_cast<int>(key.size()),
                     static_cast<std::int32_t>(k), 0) != BT_OK) {
            btperror(h.get(), "btree_bench: insert");
            return 1;
        }
    }
    const double insert_s = seconds_since(t);

    const std::vector<std::uint32_t> lookups = shuffled(n, 777);
    t = Clock::now();
    for (std::uint32_t k : lookups) {
        const std::string key = key_of(k);
        std::int32_t v = 0;
        if (btfind(h.get(), key.data(), static_cast<int>(key.size()), &v) != BT_OK ||
            v != static_cast<std::int32_t>(k)) {
            btperror(h.get(), "btree_bench: find");
            return 1;
        }
    }
    const double find_s = seconds_since(t);

    t = Clock::now();
    std::uint32_t seen = 0;
    char buf[256];
    int len = 0;
    std::int32_t v = 0;
    btgoto(h.get(), BT_PREVIOUS);
    while (btravrs(h.get(), BT_NEXT, buf, sizeof buf, &len, &v) == BT_OK)
        ++seen;
    const double walk_s = seconds_since(t);
    const int depth = h->sb.depth;
    btclose(std::move(h));
    const std::int64_t size = file_size(path);
    if (seen != n) {
        std::fprintf(stderr, "btree_bench: traversal saw %u keys of %u\n", seen, n);
        return 1;
    }

    // The same keys bulk-loaded, largest first.
    h = btopen(path.c_str(), 0, 0600);
    if (!h) return 1;
    t = Clock::now();
    btload(h.get(), nullptr, 0, 0, BT_LOAD_START);
    for (std::uint32_t i = n; i-- > 0;) {
        const std::string key = key_of(i);
        if (btload(h.get(), key.data(), static_cast<int>(key.size()), static_cast<std::int32_t>(i),
                   BT_LOAD_KEY) != BT_OK) {
            btperror(h.get(), "btree_bench: load");
            return 1;
        }
    }
    btload(h.get(), nullptr, 0, 0, BT_LOAD_FINISH);
    const double load_s = seconds_since(t);
    btclose(std::move(h));
    const std::int64_t load_size = file_size(path);

    // A traversal from an empty cache, every page read alone and then with
    // the file held (read in runs): read calls and time of each.
    unsigned long walk_reads[2] = {0, 0};
    double cold_s[2] = {0, 0};
    for (int held = 0; held < 2; ++held) {
        h = btopen(path.c_str(), 0, 0600);
        if (!h) return 1;
        btree_hold(h.get(), held != 0);
        plat::fault_disarm();
        t = Clock::now();
        btgoto(h.get(), BT_PREVIOUS);
        while (btravrs(h.get(), BT_NEXT, buf, sizeof buf, &len, &v) == BT_OK) {
        }
        cold_s[held] = seconds_since(t);
        walk_reads[held] = plat::fault_count(plat::FaultOp::read);
        btclose(std::move(h));
    }
    plat::FH_remove_file(path.c_str());

    std::printf(
        "%9u keys  depth %d  inserts %10.0f/s  finds %10.0f/s  traversal %11.0f keys/s"
        "  file %11lld bytes  |  bulk load %10.0f/s  file %11lld bytes\n"
        "%9s cold traversal: %lu reads %.4f s alone, %lu reads %.4f s held\n",
        n, depth, n / insert_s, n / find_s, n / walk_s, static_cast<long long>(size), n / load_s,
        static_cast<long long>(load_size), "", walk_reads[0], cold_s[0], walk_reads[1], cold_s[1]);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string();
    std::vector<std::uint32_t> counts;
    for (int i = 2; i < argc; ++i)
        counts.push_back(static_cast<std::uint32_t>(std::atol(argv[i])));
    if (counts.empty()) counts = {100000, 1000000};
    for (std::uint32_t n : counts)
        if (run(dir, n) != 0) return 1;
    return 0;
}
