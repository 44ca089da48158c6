// Helpers for the index file tests: a scratch directory, whole-file reads and
// writes, big-endian words, and the structural check as a gtest assertion.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "btree/btcheck.h"
#include "btree/btree.h"
#include "platform/fileio.h"

namespace bttest {

using Bytes = std::vector<std::uint8_t>;

class TempDir {
  public:
    TempDir() {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path() /
                ("korvex-bt-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

inline Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

inline std::int32_t be32(const Bytes& b, std::size_t off) {
    return static_cast<std::int32_t>(
        (std::uint32_t{b.at(off)} << 24) | (std::uint32_t{b.at(off + 1)} << 16) |
        (std::uint32_t{b.at(off + 2)} << 8) | std::uint32_t{b.at(off + 3)});
}

inline void put_be32(Bytes& b, std::size_t off, std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    if (b.size() < off + 4) b.resize(off + 4, 0);
    b[off] = static_cast<std::uint8_t>(u >> 24);
    b[off + 1] = static_cast<std::uint8_t>(u >> 16);
    b[off + 2] = static_cast<std::uint8_t>(u >> 8);
    b[off + 3] = static_cast<std::uint8_t>(u);
}

// A page image built here, independently of the tree's own writer.
inline Bytes page_image(std::size_t page_size, std::int32_t left, std::int32_t right,
                        std::int32_t high, const std::vector<std::string>& keys,
                        const std::vector<std::int32_t>& ptrs) {
    Bytes p(page_size, 0);
    std::size_t bytes = 0;
    for (const auto& k : keys)
        bytes += k.size();
    put_be32(p, 0, left);
    put_be32(p, 4, right);
    put_be32(p, 8, high);
    put_be32(p, 12, static_cast<std::int32_t>(keys.size()));
    put_be32(p, 16, static_cast<std::int32_t>(bytes));
    std::size_t at = 20;
    for (const auto& k : keys) {
        std::memcpy(p.data() + at, k.data(), k.size());
        at += k.size();
    }
    const std::size_t table = 20 + bytes + (4 - (20 + bytes) % 4);
    std::size_t end = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        end += keys[i].size();
        put_be32(p, table + 4 * i, static_cast<std::int32_t>(end));
        put_be32(p, table + 4 * (keys.size() + i), ptrs[i]);
    }
    return p;
}

inline Bytes superblock(std::int32_t page, std::int32_t depth, std::int32_t type, std::int32_t root,
                        std::int32_t free_list, std::int32_t end) {
    Bytes s(static_cast<std::size_t>(page), 0);
    const std::int32_t words[] = {BT_MAGIC, page, depth, type, root, free_list, end};
    for (std::size_t i = 0; i < 7; ++i)
        put_be32(s, 4 * i, words[i]);
    return s;
}

inline void append(Bytes& file, const Bytes& part) {
    file.insert(file.end(), part.begin(), part.end());
}

inline btree_ptr open_index(const std::string& path) {
    return btopen(path.c_str(), plat::FH_CREAT, 0600);
}

inline int insert(btree_handle* h, const std::string& key, std::int32_t value, int replace = 0) {
    return btinsert(h, key.data(), static_cast<int>(key.size()), value, replace);
}

inline int find(btree_handle* h, const std::string& key, std::int32_t* value) {
    return btfind(h, key.data(), static_cast<int>(key.size()), value);
}

inline int erase(btree_handle* h, const std::string& key) {
    return btdelete(h, key.data(), static_cast<int>(key.size()));
}

struct Step {
    int rc = 0;
    std::string key;
    std::int32_t value = 0;
};

inline Step step(btree_handle* h, int direction) {
    char buf[256];
    int len = -1;
    Step s;
    s.rc = btravrs(h, direction, buf, sizeof buf, &len, &s.value);
    if (s.rc == BT_OK) s.key.assign(buf, static_cast<std::size_t>(len));
    return s;
}

// Every key from one end to the other.
inline std::vector<std::string> all_keys(btree_handle* h, int direction = BT_NEXT) {
    std::vector<std::string> keys;
    if (btgoto(h, direction == BT_NEXT ? BT_PREVIOUS : BT_NEXT) != 0) return keys;
    for (;;) {
        const Step s = step(h, direction);
        if (s.rc != BT_OK) break;
        keys.push_back(s.key);
    }
    return keys;
}

// The faults btree_check finds, one string per line.
inline std::vector<std::string> check_faults(const std::string& path,
                                             bt_check_summary* summary = nullptr) {
    std::vector<std::string> lines;
    const int rc = btree_check(
        path.c_str(), [&](const std::string& l) { lines.push_back(l); }, summary);
    if (rc < 0 && lines.empty()) lines.push_back("check failed");
    return lines;
}

inline std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines)
        s += l + "\n";
    return s;
}

}  // namespace bttest
