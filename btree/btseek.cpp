// Descent from the root to the leaf that holds, or would hold, a key.
#include "btree/btpriv.h"

bool bt_begin(btree_handle* h) {
    if (!h) return false;
    if (h->fd < 0 || h->sb.magic != BT_MAGIC) {
        h->error = BTE_CORRUPT;
        return false;
    }
    h->error = BTE_NONE;
    return true;
}

bool bt_key_ok(btree_handle* h, const void* key, int key_len) {
    if (key_len == 0) {
        h->error = BTE_ZERO_KEY;
        return false;
    }
    // Compared unsigned, so a negative length is too big as well.
    if (static_cast<unsigned>(key_len) >
        static_cast<unsigned>(bt_max_key_length(h->sb.page_size))) {
        h->error = BTE_KEY_TOO_BIG;
        return false;
    }
    if (key == nullptr) {
        h->error = BTE_BAD_ARGUMENT;
        return false;
    }
    return true;
}

void bt_forget_position(btree_handle* h) {
    h->cur_page = BT_NOPAGE;
    h->cur_index = 0;
    h->walk_direction = 0;
    h->walk_steps = 0;
    h->loading = false;
}

int bt_seek(btree_handle* h, const std::uint8_t* key, int key_len, bt_leaf_hit* hit) {
    const int depth = h->sb.depth;
    h->loading = false;  // the path stack is about to hold this descent
    if (h->path.size() < static_cast<std::size_t>(depth) + 2)
        h->path.resize(static_cast<std::size_t>(depth) + 2);
    std::int32_t off = h->sb.root;
    // Every level is one page; the leaves are exactly depth levels down.
    for (int level = 0; level < depth; ++level) {
        const std::uint8_t* img = nullptr;
        if (bt_fetch(h, off, &img) != 0) return -1;
        const bool leaf = bt_img_high(img) == BT_NOPAGE;
        if (leaf != (level == depth - 1)) {
            h->error = BTE_CORRUPT;
            return -1;
        }
        int pos = 0;
        std::int32_t ptr = 0;
        const int r = bt_page_search(h, img, key, key_len, &pos, &ptr);
        if (r < 0) {
            h->error = BTE_SEARCH;
            return -1;
        }
        h->path[static_cast<std::size_t>(level)] = {off, pos};
        if (leaf) {
            hit->leaf = off;
            hit->pos = pos;
            hit->ptr = ptr;
            hit->found = r == 1;
            return 0;
        }
        off = ptr;
    }
    h->error = BTE_CORRUPT;  // not reached: depth >= 1
    return -1;
}
