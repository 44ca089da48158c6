// Structural check of an index file: superblock, every page of the tree,
// key order within and across pages, sibling chains of every level, uniform
// depth, the free list, and pages that belong nowhere. Reads the file only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Receives one line (without newline) per fault found.
using bt_check_report = std::function<void(const std::string& line)>;

struct bt_check_summary {
    std::int32_t page_size = 0;
    std::int32_t depth = 0;
    std::int64_t pages = 0;  // pages by the end offset, the superblock page included
    std::int64_t keys = 0;   // keys in the leaves
    std::int64_t leaves = 0;
    std::int64_t interior = 0;
    std::int64_t free_pages = 0;
};

// Returns the number of faults reported (0 for a sound file), or -1 when the
// file cannot be opened or read at all (also reported). A zero-length file
// is sound: opening it makes it an empty index.
int btree_check(const char* path, const bt_check_report& report,
                bt_check_summary* summary = nullptr);
