// Inserting a key: into its leaf when it fits, otherwise splitting pages
// upwards, and growing a new root when the root itself splits.
#include "btree/btpriv.h"

// Replaces the value of a key that is already in the leaf.
static int replace_value(btree_handle* h, const bt_leaf_hit& hit, std::int32_t value) {
    bt_page pg;
    if (bt_read_page(h, hit.leaf, &pg) != 0) return BT_FAIL;
    pg.ptrs[static_cast<std::size_t>(hit.pos)] = value;
    return bt_write_page(h, hit.leaf, pg) == 0 ? BT_OK : BT_FAIL;
}

int btinsert(btree_handle* h, const void* key, int key_len, std::int32_t value, int replace) {
    if (!bt_begin(h)) return BT_FAIL;
    if (!bt_key_ok(h, key, key_len)) return BT_FAIL;
    bt_forget_position(h);
    bt_leaf_hit hit;
    const auto* kp = static_cast<const std::uint8_t*>(key);
    if (bt_seek(h, kp, key_len, &hit) != 0) return BT_FAIL;
    if (hit.found) {
        if (!replace) {
            h->error = BTE_DUPLICATE;
            return BT_FAIL;
        }
        return replace_value(h, hit, value);
    }

    // The key to insert at this level and its pointer: first the caller's key
    // and value, then, after each split, the separator and the new left page.
    std::vector<std::uint8_t> k(kp, kp + key_len);
    std::int32_t ptr = value;
    int level = h->sb.depth - 1;
    int idx = hit.pos;
    for (;;) {
        const std::int32_t off = h->path[static_cast<std::size_t>(level)].page;
        bt_page pg;
        if (bt_read_page(h, off, &pg) != 0) return BT_FAIL;
        if (idx < 0 || idx > pg.count() || pg.leaf() != (level == h->sb.depth - 1)) {
            h->error = BTE_CORRUPT;
            return BT_FAIL;
        }
        const int klen = static_cast<int>(k.size());
        if (bt_fits(pg.count(), pg.bytes(), klen, h->sb.page_size)) {
            pg.insert(idx, k.data(), klen, ptr);
            return bt_write_page(h, off, pg) == 0 ? BT_OK : BT_FAIL;
        }

        // Split: the left half goes to a new page N, chained in before this one.
        bt_page left_sibling;
        if (pg.left != BT_NOPAGE) {
            if (bt_read_page(h, pg.left, &left_sibling) != 0) return BT_FAIL;
            if (left_sibling.right != off) {
                h->error = BTE_CORRUPT;
                return BT_FAIL;
            }
        }
        bt_page merged = pg;
        merged.insert(idx, k.data(), klen, ptr);
        bt_page left;
        bt_page right;
        std::vector<std::uint8_t> separator;
        if (!bt_page_split(merged, h->sb.page_size, &left, &right, &separator) ||
            (level == 0 && h->sb.depth >= BT_MAX_DEPTH)) {
            h->error = BTE_CORRUPT;
            return BT_FAIL;
        }
        std::int32_t n = BT_NOPAGE;
        if (bt_alloc_page(h, &n) != 0) return BT_FAIL;
        left.left = pg.left;
        left.right = off;
        right.left = n;
        right.right = pg.right;
        if (pg.left != BT_NOPAGE) {
            left_sibling.right = n;
            if (bt_write_page(h, pg.left, left_sibling) != 0) return BT_FAIL;
        }
        if (bt_write_page(h, n, left) != 0 || bt_write_page(h, off, right) != 0) return BT_FAIL;

        if (level > 0) {
            --level;
            idx = h->path[static_cast<std::size_t>(level)].index;
            k = std::move(separator);
            ptr = n;
            continue;
        }

        // The root split: a new root above both halves.
        std::int32_t root = BT_NOPAGE;
        if (bt_alloc_page(h, &root) != 0) return BT_FAIL;
        bt_page top;
        top.high = off;
        top.insert(0, separator.data(), static_cast<int>(separator.size()), n);
        if (bt_write_page(h, root, top) != 0) return BT_FAIL;
        h->sb.root = root;
        h->sb.depth += 1;
        return bt_write_super(h) == 0 ? BT_OK : BT_FAIL;
    }
}
