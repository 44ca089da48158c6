// Stepping through the keys in either direction along the leaf chain.
#include <cstring>

#include "btree/btpriv.h"

// Reads the leaf at off; a page that is not a leaf cannot be in the chain.
static int fetch_leaf(btree_handle* h, std::int32_t off, const std::uint8_t** img) {
    if (bt_fetch(h, off, img) != 0) return -1;
    if (bt_img_high(*img) != BT_NOPAGE) {
        h->error = BTE_CORRUPT;
        return -1;
    }
    return 0;
}

int btravrs(btree_handle* h, int direction, void* buf, int buf_size, int* key_len,
            std::int32_t* value) {
    if (!bt_begin(h)) return BT_FAIL;
    if ((direction != BT_NEXT && direction != BT_PREVIOUS) || key_len == nullptr ||
        value == nullptr) {
        h->error = BTE_BAD_ARGUMENT;
        return BT_FAIL;
    }
    const bool forward = direction == BT_NEXT;
    if (h->cur_page == BT_NOPAGE && btgoto(h, forward ? BT_PREVIOUS : BT_NEXT) != 0) return BT_FAIL;
    if (h->walk_direction != direction) {
        h->walk_direction = direction;
        h->walk_steps = 0;
    }
    const std::int32_t start_page = h->cur_page;
    const int start_index = h->cur_index;

    std::int32_t off = h->cur_page;
    const std::uint8_t* img = nullptr;
    if (fetch_leaf(h, off, &img) != 0) return BT_FAIL;
    int count = bt_img_count(img);
    // The index is brought back into the page should the page have shrunk.
    int idx = h->cur_index + (forward ? 1 : -1);
    if (forward && idx < 0) idx = 0;
    if (!forward && idx >= count) idx = count - 1;

    // Past the end of this leaf: on to the neighbour, as long as there is one.
    // A chain longer than the file has pages is a loop.
    const std::int64_t max_steps = bt_page_count(h);
    while (forward ? idx >= count : idx < 0) {
        const std::int32_t next = bt_get32(img + (forward ? BT_PG_RIGHT : BT_PG_LEFT));
        if (next == BT_NOPAGE) {
            h->cur_page = off;
            h->cur_index = forward ? count : -1;
            *key_len = 0;
            *value = 0;
            return direction;
        }
        if (++h->walk_steps > max_steps) {
            h->error = BTE_CORRUPT;
            return BT_FAIL;
        }
        off = next;
        if (fetch_leaf(h, off, &img) != 0) return BT_FAIL;
        count = bt_img_count(img);
        idx = forward ? 0 : count - 1;
    }

    // The key and its pointer, from the key end table.
    const std::uint8_t* ends = img + bt_table_offset(bt_img_bytes(img));
    const int start = idx == 0 ? 0 : bt_get32(ends + 4 * (idx - 1));
    const int len = bt_get32(ends + 4 * idx) - start;
    const std::uint8_t* k = img + BT_PG_KEYS + start;
    if (buf == nullptr || len > buf_size) {
        // The position stays where it was, so the key can be asked for again.
        h->error = BTE_BUFFER_SMALL;
        h->cur_page = start_page;
        h->cur_index = start_index;
        return BT_FAIL;
    }
    std::memcpy(buf, k, static_cast<std::size_t>(len));
    *key_len = len;
    *value = bt_get32(ends + 4 * (count + idx));
    h->cur_page = off;
    h->cur_index = idx;
    return BT_OK;
}
