// Structural check of an index file, read-only and independent of any handle.
#include "btree/btcheck.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "btree/btpriv.h"
#include "platform/fileio.h"

namespace {

using Key = std::vector<std::uint8_t>;

std::string key_text(const Key& k) {
    std::string out;
    for (std::uint8_t c : k) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return "\"" + out + "\"";
}

struct LevelEntry {
    std::int32_t off;
    std::int32_t left;
    std::int32_t right;
};

enum : std::uint8_t { kUnseen = 0, kInTree = 1, kOnFreeList = 2 };

class Checker {
  public:
    Checker(int fd, const bt_check_report& report) : fd_(fd), report_(report) {}

    int run(bt_check_summary* summary);

  private:
    void fault(const std::string& line) {
        ++faults_;
        if (report_) report_(line);
    }
    static std::string num(std::int64_t v) { return std::to_string(v); }
    bool valid_offset(std::int32_t off) const {
        return off > 0 && off < sb_.end && off % sb_.page_size == 0;
    }
    bool read_page(std::int32_t off);
    // -1, 0, 1; nullopt when the key type cannot be compared.
    std::optional<int> compare(const std::uint8_t* a, int alen, const std::uint8_t* b,
                               int blen) const;
    void walk(std::int32_t off, int level, std::int32_t parent, const Key* lower, const Key* upper);
    void check_page_keys(std::int32_t off, const bt_page& pg, const Key* lower, const Key* upper);
    void check_chains();
    void check_free_list();
    void check_unaccounted();

    int fd_;
    const bt_check_report& report_;
    int faults_ = 0;
    bt_superblock sb_;
    std::int64_t npages_ = 0;
    bool comparable_ = true;
    std::vector<std::uint8_t> state_;
    std::vector<std::vector<LevelEntry>> levels_;
    std::vector<std::uint8_t> img_;
    bt_check_summary sum_;
};

bool Checker::read_page(std::int32_t off) {
    std::size_t done = 0;
    while (done < img_.size()) {
        const long n = plat::FH_pread_file(fd_, img_.data() + done, img_.size() - done,
                                           off + static_cast<std::int64_t>(done));
        if (n < 0) {
            fault("page " + num(off) + " cannot be read: " + std::strerror(errno));
            return false;
        }
        if (n == 0) {
            fault("page " + num(off) + " lies beyond the end of the file");
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<int> Checker::compare(const std::uint8_t* a, int alen, const std::uint8_t* b,
                                    int blen) const {
    if (!comparable_) return std::nullopt;
    int c = 0;
    if (!bt_compare_keys(sb_.key_type, nullptr, a, alen, b, blen, &c)) return std::nullopt;
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

void Checker::check_page_keys(std::int32_t off, const bt_page& pg, const Key* lower,
                              const Key* upper) {
    const int count = pg.count();
    for (int i = 1; i < count; ++i) {
        const auto c = compare(pg.key(i - 1), pg.key_len(i - 1), pg.key(i), pg.key_len(i));
        if (c && *c >= 0) {
            fault("page " + num(off) + ": key " + num(i) + " is not greater than key " +
                  num(i - 1));
            return;
        }
    }
    for (int i = 0; i < count; ++i) {
        if (lower) {
            const auto c =
                compare(pg.key(i), pg.key_len(i), lower->data(), static_cast<int>(lower->size()));
            if (c && *c <= 0) {
                fault("page " + num(off) + ": key " + num(i) + " is not above the bound " +
                      key_text(*lower) + " of its parent");
                return;
            }
        }
        if (upper) {
            const auto c =
                compare(pg.key(i), pg.key_len(i), upper->data(), static_cast<int>(upper->size()));
            if (c && *c > 0) {
                fault("page " + num(off) + ": key " + num(i) + " is above the bound " +
                      key_text(*upper) + " of its parent");
                return;
            }
        }
    }
}

void Checker::walk(std::int32_t off, int level, std::int32_t parent, const Key* lower,
                   const Key* upper) {
    if (!valid_offset(off)) {
        fault("page " + num(parent) + " points to " + num(off) + ", which is not a page");
        return;
    }
    std::uint8_t& seen = state_[static_cast<std::size_t>(off / sb_.page_size)];
    if (seen == kInTree) {
        fault("page " + num(off) + " is reached twice in the tree (again from page " + num(parent) +
              ")");
        return;
    }
    seen = kInTree;
    if (!read_page(off)) return;
    const std::int32_t high = bt_img_high(img_.data());
    if (high == BT_FREEPAGE) {
        fault("page " + num(off) + " is in the tree but marked free");
        return;
    }
    if (!bt_page_valid(img_.data(), sb_.page_size)) {
        fault("page " + num(off) + " is corrupt (" + num(bt_img_count(img_.data())) + " keys, " +
              num(bt_img_bytes(img_.data())) + " key bytes)");
        return;
    }
    const bool leaf = high == BT_NOPAGE;
    const bool leaf_level = level == sb_.depth - 1;
    if (leaf != leaf_level) {
        fault(leaf ? "leaf " + num(off) + " is at level " + num(level) + " of " + num(sb_.depth)
                   : "page " + num(off) + " at the leaf level is not a leaf");
        return;
    }
    bt_page pg;
    bt_page_decode(img_.data(), &pg);
    levels_[static_cast<std::size_t>(level)].push_back({off, pg.left, pg.right});
    check_page_keys(off, pg, lower, upper);
    if (leaf) {
        ++sum_.leaves;
        sum_.keys += pg.count();
        return;
    }
    ++sum_.interior;
    std::vector<Key> keys;
    for (int i = 0; i < pg.count(); ++i)
        keys.emplace_back(pg.key(i), pg.key(i) + pg.key_len(i));
    for (int i = 0; i < pg.count(); ++i) {
        const Key* lo = i == 0 ? lower : &keys[static_cast<std::size_t>(i - 1)];
        walk(pg.ptrs[static_cast<std::size_t>(i)], level + 1, off, lo,
             &keys[static_cast<std::size_t>(i)]);
    }
    walk(pg.high, level + 1, off, keys.empty() ? lower : &keys.back(), upper);
}

void Checker::check_chains() {
    for (std::size_t level = 0; level < levels_.size(); ++level) {
        const auto& row = levels_[level];
        const std::string where = "level " + num(static_cast<std::int64_t>(level)) + ": page ";
        for (std::size_t i = 0; i < row.size(); ++i) {
            const std::int32_t want_left = i == 0 ? BT_NOPAGE : row[i - 1].off;
            const std::int32_t want_right = i + 1 == row.size() ? BT_NOPAGE : row[i + 1].off;
            if (row[i].left != want_left)
                fault(where + num(row[i].off) + " has left sibling " + num(row[i].left) +
                      ", expected " + num(want_left));
            if (row[i].right != want_right)
                fault(where + num(row[i].off) + " has right sibling " + num(row[i].right) +
                      ", expected " + num(want_right));
        }
    }
}

void Checker::check_free_list() {
    std::int32_t off = sb_.free_list;
    std::int64_t steps = 0;
    while (off != BT_NOPAGE) {
        if (!valid_offset(off)) {
            fault("free list points to " + num(off) + ", which is not a page");
            return;
        }
        std::uint8_t& seen = state_[static_cast<std::size_t>(off / sb_.page_size)];
        if (seen == kInTree) {
            fault("free page " + num(off) + " is also in the tree");
            return;
        }
        if (seen == kOnFreeList || ++steps > npages_) {
            fault("free list loops back to page " + num(off));
            return;
        }
        seen = kOnFreeList;
        if (!read_page(off)) return;
        if (bt_img_high(img_.data()) != BT_FREEPAGE)
            fault("page " + num(off) + " on the free list is not marked free");
        ++sum_.free_pages;
        off = bt_get32(img_.data() + BT_PG_LEFT);
    }
}

void Checker::check_unaccounted() {
    constexpr int kShown = 10;
    std::int64_t lost = 0;
    for (std::int64_t i = 1; i < npages_; ++i) {
        if (state_[static_cast<std::size_t>(i)] != kUnseen) continue;
        if (++lost <= kShown)
            fault("page " + num(i * sb_.page_size) +
                  " is neither in the tree nor on the free list");
    }
    if (lost > kShown) {
        faults_ += static_cast<int>(lost - kShown - 1);
        fault("... and " + num(lost - kShown) + " more such pages");
    }
}

int Checker::run(bt_check_summary* summary) {
    plat::FileStatus st;
    if (plat::FH_fstat_file(fd_, &st) != 0) {
        if (report_) report_(std::string("cannot examine the file: ") + std::strerror(errno));
        return -1;
    }
    if (st.size == 0) return 0;
    std::uint8_t raw[BT_SUPER_SIZE];
    if (st.size < BT_SUPER_SIZE) {
        fault("file is " + num(st.size) + " bytes, too short for a superblock");
        return faults_;
    }
    if (plat::FH_pread_file(fd_, raw, sizeof raw, 0) != static_cast<long>(sizeof raw)) {
        if (report_) report_(std::string("cannot read the superblock: ") + std::strerror(errno));
        return -1;
    }
    bt_decode_super(raw, &sb_);
    sum_.page_size = sb_.page_size;
    sum_.depth = sb_.depth;
    if (sb_.magic != BT_MAGIC) {
        fault("bad magic number " + num(sb_.magic) + " (expected " + num(BT_MAGIC) + ")");
        return faults_;
    }
    if (sb_.page_size < BT_MIN_PAGE_SIZE || sb_.page_size > BT_MAX_PAGE_SIZE ||
        sb_.page_size % 4 != 0) {
        fault("unusable page size " + num(sb_.page_size));
        return faults_;
    }
    if (sb_.end < 2 * sb_.page_size || sb_.end % sb_.page_size != 0) {
        fault("bad end offset " + num(sb_.end));
        return faults_;
    }
    npages_ = sb_.end / sb_.page_size;
    sum_.pages = npages_;
    if (st.size != sb_.end)
        fault("file is " + num(st.size) + " bytes but its end offset is " + num(sb_.end));
    bool walkable = true;
    if (sb_.depth < 1 || sb_.depth > BT_MAX_DEPTH || sb_.depth >= npages_) {
        fault("bad depth " + num(sb_.depth));
        walkable = false;
    }
    if (!valid_offset(sb_.root)) {
        fault("bad root offset " + num(sb_.root));
        walkable = false;
    }
    if (sb_.free_list != BT_NOPAGE && !valid_offset(sb_.free_list)) {
        fault("bad free list head " + num(sb_.free_list));
        walkable = false;
    }
    comparable_ = sb_.key_type >= BT_KEY_BYTES && sb_.key_type <= BT_KEY_FLOAT;
    if (sb_.key_type < BT_KEY_BYTES || sb_.key_type > BT_KEY_USER)
        fault("unknown key type " + num(sb_.key_type));
    if (walkable) {
        state_.assign(static_cast<std::size_t>(npages_), kUnseen);
        levels_.resize(static_cast<std::size_t>(sb_.depth));
        img_.assign(static_cast<std::size_t>(sb_.page_size), 0);
        walk(sb_.root, 0, 0, nullptr, nullptr);
        check_chains();
        check_free_list();
        check_unaccounted();
    }
    if (summary) *summary = sum_;
    return faults_;
}

}  // namespace

int btree_check(const char* path, const bt_check_report& report, bt_check_summary* summary) {
    if (summary) *summary = bt_check_summary{};
    const int fd = path ? plat::FH_open_file(path, plat::FH_RDONLY) : -1;
    if (fd < 0) {
        if (report)
            report(std::string("cannot open ") + (path ? path : "(no file)") + ": " +
                   std::strerror(errno));
        return -1;
    }
    Checker checker(fd, report);
    const int rc = checker.run(summary);
    plat::FH_close_file(fd);
    return rc;
}
