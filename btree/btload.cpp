// Bulk load: keys arrive in descending order and always go to the front of
// the leftmost page of each level; a full page gets a new page chained in
// before it. The path stack holds the leftmost page of every level, leaf
// level first.
#include <algorithm>

#include "btree/btpriv.h"

// Finds the leftmost page of every level when a load goes on without a fresh start.
static int leftmost_path(btree_handle* h) {
    if (btgoto(h, BT_PREVIOUS) != 0) return -1;
    const auto depth = static_cast<std::size_t>(h->sb.depth);
    std::reverse(h->path.begin(), h->path.begin() + static_cast<std::ptrdiff_t>(depth));
    h->path.resize(depth);
    h->loading = true;
    return 0;
}

static int load_key(btree_handle* h, const std::uint8_t* key, int key_len, std::int32_t value) {
    if (!h->loading && leftmost_path(h) != 0) return BT_FAIL;

    // The new key must come before every key loaded so far.
    bt_page pg;
    if (bt_read_page(h, h->path[0].page, &pg) != 0) return BT_FAIL;
    if (pg.count() > 0) {
        int c = 0;
        if (!bt_compare_keys(h->sb.key_type, h->compare, key, key_len, pg.key(0), pg.key_len(0),
                             &c)) {
            h->error = BTE_SEARCH;
            return BT_FAIL;
        }
        if (c >= 0) {
            h->error = c == 0 ? BTE_DUPLICATE : BTE_BAD_ARGUMENT;
            return BT_FAIL;
        }
    }

    std::int32_t ptr = value;
    for (std::size_t level = 0;; ++level) {
        const std::int32_t off = h->path[level].page;
        if (level > 0 && bt_read_page(h, off, &pg) != 0) return BT_FAIL;
        if (pg.leaf() != (level == 0)) {
            h->error = BTE_CORRUPT;
            return BT_FAIL;
        }
        if (bt_fits(pg.count(), pg.bytes(), key_len, h->sb.page_size)) {
            pg.insert(0, key, key_len, ptr);
            return bt_write_page(h, off, pg) == 0 ? BT_OK : BT_FAIL;
        }

        // Full: a new page goes in front of it at this level.
        const bool root_level = level + 1 == h->path.size();
        if (root_level && h->sb.depth >= BT_MAX_DEPTH) {
            h->error = BTE_CORRUPT;
            return BT_FAIL;
        }
        bt_page left_sibling;
        if (pg.left != BT_NOPAGE) {
            if (bt_read_page(h, pg.left, &left_sibling) != 0) return BT_FAIL;
            if (left_sibling.right != off) {
                h->error = BTE_CORRUPT;
                return BT_FAIL;
            }
        }
        std::int32_t n = BT_NOPAGE;
        if (bt_alloc_page(h, &n) != 0) return BT_FAIL;
        bt_page fresh;
        fresh.left = pg.left;
        fresh.right = off;
        if (level == 0) {
            fresh.insert(0, key, key_len, ptr);
        } else {
            fresh.high = ptr;
        }
        if (pg.left != BT_NOPAGE) {
            left_sibling.right = n;
            if (bt_write_page(h, pg.left, left_sibling) != 0) return BT_FAIL;
        }
        pg.left = n;
        if (bt_write_page(h, n, fresh) != 0 || bt_write_page(h, off, pg) != 0) return BT_FAIL;
        h->path[level].page = n;
        ptr = n;

        if (root_level) {
            std::int32_t root = BT_NOPAGE;
            if (bt_alloc_page(h, &root) != 0) return BT_FAIL;
            bt_page top;
            top.high = off;
            top.insert(0, key, key_len, ptr);
            if (bt_write_page(h, root, top) != 0) return BT_FAIL;
            h->sb.root = root;
            h->sb.depth += 1;
            h->path.push_back({root, 0});
            return bt_write_super(h) == 0 ? BT_OK : BT_FAIL;
        }
    }
}

int btload(btree_handle* h, const void* key, int key_len, std::int32_t value, int operation) {
    if (!bt_begin(h)) return BT_FAIL;
    switch (operation) {
        case BT_LOAD_START:
            if (btzap(h) != 0) return BT_FAIL;
            h->path.assign(1, bt_path_entry{h->sb.root, 0});
            h->loading = true;
            return BT_OK;
        case BT_LOAD_FINISH:
            return BT_OK;
        case BT_LOAD_KEY:
            if (!bt_key_ok(h, key, key_len)) return BT_FAIL;
            h->cur_page = BT_NOPAGE;
            return load_key(h, static_cast<const std::uint8_t*>(key), key_len, value);
        default:
            h->error = BTE_BAD_ARGUMENT;
            return BT_FAIL;
    }
}
