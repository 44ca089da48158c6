// Index files built here must equal the reference files byte for byte,
// except the bytes the format leaves undefined.
#include <map>
#include <sstream>

#include "bt_testutil.h"

using namespace bttest;

namespace {

const std::string kVectors = std::string(KORVEX_VECTORS_DIR) + "/index/";

std::vector<std::string> lines_of(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// Differences between two index files, skipping the padding before a page's
// key end table, the tail after its pointer table, page 0 after the
// superblock, and all of a free page but its words 0 and 8.
std::vector<std::string> differences(const Bytes& ours, const Bytes& ref) {
    std::vector<std::string> out;
    if (ours.size() != ref.size()) {
        out.push_back("sizes differ: " + std::to_string(ours.size()) + " and " +
                      std::to_string(ref.size()));
        return out;
    }
    auto same = [&](std::size_t from, std::size_t to, const std::string& what) {
        for (std::size_t i = from; i < to; ++i) {
            if (ours[i] != ref[i]) {
                out.push_back(what + ": first difference at byte " + std::to_string(i));
                return;
            }
        }
    };
    same(0, BT_SUPER_SIZE, "superblock");
    const auto page = static_cast<std::size_t>(be32(ref, 4));
    for (std::size_t off = page; off + page <= ref.size(); off += page) {
        const std::string what = "page " + std::to_string(off);
        if (be32(ref, off + 8) == BT_FREEPAGE) {
            same(off, off + 4, what + " (free list link)");
            same(off + 8, off + 12, what + " (free mark)");
            continue;
        }
        const auto count = static_cast<std::size_t>(be32(ref, off + 12));
        const auto bytes = static_cast<std::size_t>(be32(ref, off + 16));
        const std::size_t table = 20 + bytes + (4 - (20 + bytes) % 4);
        same(off, off + 20 + bytes, what + " (header and keys)");
        same(off + table, off + table + 8 * count, what + " (tables)");
    }
    return out;
}

}  // namespace

TEST(BtreeVectors, RandomInsertsAndDeletesGiveTheReferenceFile) {
    TempDir dir;
    const std::string path = dir.file("random.KEY");
    auto h = open_index(path);
    ASSERT_TRUE(h);
    for (const std::string& line : lines_of(kVectors + "random.ops")) {
        std::istringstream in(line);
        std::string op, key;
        std::int32_t value = 0;
        in >> op >> key;
        if (op == "insert") {
            in >> value;
            ASSERT_EQ(insert(h.get(), key, value), BT_OK) << line << ": " << bterror_text(h.get());
        } else {
            ASSERT_EQ(op, "delete") << line;
            ASSERT_EQ(erase(h.get(), key), BT_OK) << line << ": " << bterror_text(h.get());
        }
    }
    ASSERT_EQ(btclose(std::move(h)), 0);
    EXPECT_EQ(joined(differences(read_file(path), read_file(kVectors + "random.KEY"))), "");
    EXPECT_EQ(joined(check_faults(path)), "");
}

TEST(BtreeVectors, BulkLoadGivesTheReferenceFile) {
    TempDir dir;
    const std::string path = dir.file("bulk.KEY");
    auto h = open_index(path);
    ASSERT_TRUE(h);
    // Start from a used index: the load must reset it first.
    ASSERT_EQ(insert(h.get(), "leftover", 1), BT_OK);
    ASSERT_EQ(btload(h.get(), nullptr, 0, 0, BT_LOAD_START), BT_OK);
    std::size_t loaded = 0;
    for (const std::string& line : lines_of(kVectors + "bulk.ops")) {
        std::istringstream in(line);
        std::string key;
        std::int32_t value = 0;
        in >> key >> value;
        ASSERT_EQ(btload(h.get(), key.data(), static_cast<int>(key.size()), value, BT_LOAD_KEY),
                  BT_OK)
            << line << ": " << bterror_text(h.get());
        ++loaded;
    }
    ASSERT_EQ(btload(h.get(), nullptr, 0, 0, BT_LOAD_FINISH), BT_OK);
    EXPECT_EQ(all_keys(h.get()).size(), loaded);
    ASSERT_EQ(btclose(std::move(h)), 0);
    EXPECT_EQ(joined(differences(read_file(path), read_file(kVectors + "bulk.KEY"))), "");
    EXPECT_EQ(joined(check_faults(path)), "");
}

TEST(BtreeVectors, ReferenceFilesAreReadCorrectly) {
    // The reference files, opened as they are, hold exactly the keys the
    // operations leave behind, with their values.
    TempDir dir;
    const std::string path = dir.file("copy.KEY");
    write_file(path, read_file(kVectors + "random.KEY"));
    std::map<std::string, std::int32_t> model;
    for (const std::string& line : lines_of(kVectors + "random.ops")) {
        std::istringstream in(line);
        std::string op, key;
        std::int32_t value = 0;
        in >> op >> key >> value;
        if (op == "insert")
            model[key] = value;
        else
            model.erase(key);
    }
    EXPECT_EQ(joined(check_faults(path)), "");
    auto h = open_index(path);
    ASSERT_TRUE(h);
    std::vector<std::string> expected;
    for (const auto& [k, v] : model) {
        expected.push_back(k);
        std::int32_t got = 0;
        ASSERT_EQ(find(h.get(), k, &got), BT_OK) << k;
        EXPECT_EQ(got, v) << k;
    }
    EXPECT_EQ(all_keys(h.get()), expected);
}
