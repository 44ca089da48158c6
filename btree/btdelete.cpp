// Deleting a key. Pages are never merged; a page is freed when its last
// entry goes, and the entry that led to it is removed from its parent.
#include "btree/btpriv.h"

// Takes a page out of its level's sibling chain; both neighbours must point back at it.
static int unlink_page(btree_handle* h, std::int32_t off, const bt_page& pg) {
    bt_page left;
    bt_page right;
    if (pg.left != BT_NOPAGE) {
        if (bt_read_page(h, pg.left, &left) != 0) return -1;
        if (left.right != off) {
            h->error = BTE_CORRUPT;
            return -1;
        }
    }
    if (pg.right != BT_NOPAGE) {
        if (bt_read_page(h, pg.right, &right) != 0) return -1;
        if (right.left != off) {
            h->error = BTE_CORRUPT;
            return -1;
        }
    }
    if (pg.left != BT_NOPAGE) {
        left.right = pg.right;
        if (bt_write_page(h, pg.left, left) != 0) return -1;
    }
    if (pg.right != BT_NOPAGE) {
        right.left = pg.left;
        if (bt_write_page(h, pg.right, right) != 0) return -1;
    }
    return 0;
}

int btdelete(btree_handle* h, const void* key, int key_len) {
    if (!bt_begin(h)) return BT_FAIL;
    if (!bt_key_ok(h, key, key_len)) return BT_FAIL;
    bt_leaf_hit hit;
    if (bt_seek(h, static_cast<const std::uint8_t*>(key), key_len, &hit) != 0) return BT_FAIL;
    if (!hit.found) return BT_NOT_FOUND;
    bt_forget_position(h);

    int level = h->sb.depth - 1;
    int j = hit.pos;
    for (;;) {
        const std::int32_t off = h->path[static_cast<std::size_t>(level)].page;
        bt_page pg;
        if (bt_read_page(h, off, &pg) != 0) return BT_FAIL;
        if (level == 0 && pg.count() == 0) {
            // The root lost its last child: the tree is empty again.
            pg.high = BT_NOPAGE;
            pg.clear_keys();
            if (bt_write_page(h, off, pg) != 0) return BT_FAIL;
            h->sb.depth = 1;
            return bt_write_super(h) == 0 ? BT_OK : BT_FAIL;
        }
        if (pg.count() > 1 || level == 0 || (pg.count() == 1 && !pg.leaf())) {
            if (!bt_page_remove_entry(&pg, j)) {
                h->error = BTE_CORRUPT;
                return BT_FAIL;
            }
            return bt_write_page(h, off, pg) == 0 ? BT_OK : BT_FAIL;
        }
        // The page's last entry goes: free the page and remove its entry above.
        if (unlink_page(h, off, pg) != 0 || bt_free_page(h, off) != 0) return BT_FAIL;
        --level;
        j = h->path[static_cast<std::size_t>(level)].index;
    }
}
