// Positioning before the first or after the last key.
#include "btree/btpriv.h"

int btgoto(btree_handle* h, int where) {
    if (!bt_begin(h)) return BT_FAIL;
    bt_forget_position(h);
    const bool to_end = where == BT_NEXT;
    const int depth = h->sb.depth;
    if (h->path.size() < static_cast<std::size_t>(depth) + 2)
        h->path.resize(static_cast<std::size_t>(depth) + 2);
    std::int32_t off = h->sb.root;
    for (int level = 0; level < depth; ++level) {
        const std::uint8_t* img = nullptr;
        if (bt_fetch(h, off, &img) != 0) return BT_FAIL;
        const int count = bt_img_count(img);
        const bool leaf = bt_img_high(img) == BT_NOPAGE;
        if (leaf != (level == depth - 1)) {
            h->error = BTE_CORRUPT;
            return BT_FAIL;
        }
        if (leaf) {
            h->path[static_cast<std::size_t>(level)] = {off, to_end ? count : 0};
            h->cur_page = off;
            h->cur_index = to_end ? count : -1;
            return BT_OK;
        }
        if (to_end || count == 0) {
            h->path[static_cast<std::size_t>(level)] = {off, count};
            off = bt_img_high(img);
        } else {
            h->path[static_cast<std::size_t>(level)] = {off, 0};
            off = bt_img_ptr(img, 0);
        }
    }
    h->error = BTE_CORRUPT;
    return BT_FAIL;
}
